#include "kyt_sim/sim_namespace.h"

#include <gtest/gtest.h>

#include <vector>

namespace kyt::sim {
namespace {

// A format keeps the byte capacity, changes the block size and forgets the data and the bad blocks.
TEST(SimNamespaceTest, FormatKeepsTheByteCapacityAndForgetsTheData) {
  NamespaceConfig c;
  c.blocks = 8000;
  SimNamespace ns(c, {}, false);
  ns.MarkUncorrectable(5, 1);
  ns.store().Write(0, std::vector<uint8_t>(512, 1).data());
  ns.Format(3, true);
  EXPECT_EQ(ns.size(), 1000u);
  EXPECT_EQ(ns.block_bytes(), 4104u);
  EXPECT_EQ(ns.store().block_bytes(), 4104u);
  EXPECT_EQ(ns.store().allocated_blocks(), 0u);
  uint64_t first;
  EXPECT_FALSE(ns.FindUncorrectable(0, 1000, &first));
  ns.Format(0, false);
  EXPECT_EQ(ns.size(), 8000u);
}

}  // namespace
}  // namespace kyt::sim
