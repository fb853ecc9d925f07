#include "kyt_sim/sim_namespace.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kyt::sim {
namespace {

SimNamespace Make(uint64_t blocks, uint8_t format) {
  NamespaceConfig c;
  c.blocks = blocks;
  c.lba_format = format;
  return SimNamespace(c, {}, false);
}

TEST(SimNamespaceTest, FormatKeepsTheByteCapacity) {
  SimNamespace ns = Make(8000, 0);
  ns.MarkUncorrectable(5, 1);
  ns.Format(3, true);
  EXPECT_EQ(ns.size(), 1000u);
  EXPECT_EQ(ns.block_bytes(), 4104u);
  EXPECT_TRUE(ns.extended());
  uint64_t first;
  EXPECT_FALSE(ns.FindUncorrectable(0, 1000, &first));
  ns.Format(0, false);
  EXPECT_EQ(ns.size(), 8000u);
}

}  // namespace
}  // namespace kyt::sim
