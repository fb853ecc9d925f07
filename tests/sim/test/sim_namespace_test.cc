#include "kyt_sim/sim_namespace.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace kyt::sim {
namespace {

SimNamespace Make(uint64_t blocks, uint8_t format) {
  NamespaceConfig c;
  c.blocks = blocks;
  c.lba_format = format;
  return SimNamespace(c, {}, false);
}

TEST(SimNamespaceTest, RejectsFormatsItDoesNotHave) {
  NamespaceConfig c;
  c.lba_format = 4;
  EXPECT_THROW(SimNamespace(c, {}, false), std::invalid_argument);
  c.lba_format = 0;  // no metadata to hold protection information
  c.pi_type = 1;
  EXPECT_THROW(SimNamespace(c, {}, false), std::invalid_argument);
  c.lba_format = 3;
  c.pi_type = 4;
  EXPECT_THROW(SimNamespace(c, {}, false), std::invalid_argument);
  c.pi_type = 0;
  c.blocks = 0;
  EXPECT_THROW(SimNamespace(c, {}, false), std::invalid_argument);
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

TEST(SimNamespaceTest, UncorrectableRangesSplitAndMerge) {
  SimNamespace ns = Make(1000, 0);
  uint64_t first = 0;
  ns.MarkUncorrectable(10, 10);   // 10..19
  ns.MarkUncorrectable(20, 5);    // merges: 10..24
  ns.MarkUncorrectable(30, 1);    // 30
  EXPECT_TRUE(ns.FindUncorrectable(0, 11, &first));
  EXPECT_EQ(first, 10u);
  EXPECT_FALSE(ns.FindUncorrectable(0, 10, &first));
  EXPECT_TRUE(ns.FindUncorrectable(24, 1, &first));
  EXPECT_EQ(first, 24u);
  EXPECT_FALSE(ns.FindUncorrectable(25, 5, &first));
  ns.ClearUncorrectable(12, 3);   // 10..11 and 15..24 remain
  EXPECT_TRUE(ns.FindUncorrectable(11, 1, &first));
  EXPECT_FALSE(ns.FindUncorrectable(12, 3, &first));
  EXPECT_TRUE(ns.FindUncorrectable(12, 4, &first));
  EXPECT_EQ(first, 15u);
  ns.ClearUncorrectable(0, 1000);
  EXPECT_FALSE(ns.FindUncorrectable(0, 1000, &first));
}

TEST(SimNamespaceTest, IdentifyData) {
  SimNamespace ns = Make(123456789012ull, 1);
  std::array<uint8_t, 4096> id{};
  ns.FillIdentify(id.data(), 40);
  uint64_t nsze;
  std::memcpy(&nsze, id.data(), 8);
  EXPECT_EQ(nsze, 123456789012ull);
  EXPECT_EQ(id[26], 1);
  EXPECT_EQ(id[32], 0x80 | 40);  // format progress
  uint64_t nvmcap;
  std::memcpy(&nvmcap, id.data() + 48, 8);
  EXPECT_EQ(nvmcap, 123456789012ull * 512);
}

}  // namespace
}  // namespace kyt::sim
