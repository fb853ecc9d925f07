#include "kyt_sim/data_pointer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kyt::sim {
namespace {

// Host memory for these tests: 64 pages whose bus addresses are offsets from kBase.
constexpr uint64_t kBase = 0x100000;
constexpr uint32_t kPage = 4096;
alignas(4096) uint8_t g_memory[64 * kPage];

void* Translate(uint64_t iova, uint64_t len) {
  if (iova < kBase || iova + len > kBase + sizeof(g_memory)) return nullptr;
  return g_memory + (iova - kBase);
}
uint64_t Page(int n) { return kBase + uint64_t(n) * kPage; }
HostMemory memory(Translate);
void SetEntry(int page, int index, uint64_t value) { std::memcpy(g_memory + page * kPage + index * 8, &value, 8); }

// The bytes a transfer of `len` reaches, as offsets into g_memory.
std::vector<size_t> Reached(DataPointer& dp, uint64_t len) {
  std::vector<size_t> out;
  for (const auto& s : dp.segments())
    for (uint64_t i = 0; i < s.len; ++i) out.push_back(size_t(s.ptr + i - g_memory));
  EXPECT_EQ(out.size(), len);
  return out;
}

TEST(DataPointerTest, Prp1CoversUpToTheEndOfItsPageAndPrp2IsTheSecondPage) {
  DataPointer dp;
  ASSERT_TRUE(dp.Build(Page(3) + 512, 0, 3584, kPage, memory).ok());
  EXPECT_EQ(Reached(dp, 3584).back(), 4 * kPage - 1);
  // 4096 bytes starting 512 bytes into page 3: the rest of page 3, then 512 bytes of page 9.
  ASSERT_TRUE(dp.Build(Page(3) + 512, Page(9), 4096, kPage, memory).ok());
  auto r = Reached(dp, 4096);
  EXPECT_EQ(r[3583], 4 * kPage - 1);
  EXPECT_EQ(r[3584], 9 * kPage);
  EXPECT_EQ(r.back(), 9 * kPage + 511);
}

// A list page holds 512 entries. A list two entries before the end of its page chains once three pages follow PRP1's
// page (at every PRP1 offset), and does not chain when exactly two follow.
TEST(DataPointerTest, PrpListsChainOnlyWhenMorePagesFollowThanTheirPageHolds) {
  SetEntry(40, 510, Page(20));
  SetEntry(40, 511, Page(41));
  SetEntry(41, 0, Page(21));
  SetEntry(41, 1, Page(22));
  DataPointer dp;
  for (uint32_t offset : {0u, 4u, 512u, 4092u}) {
    const uint64_t len = 4 * kPage - offset;
    ASSERT_TRUE(dp.Build(Page(2) + offset, Page(40) + 510 * 8, len, kPage, memory).ok()) << offset;
    auto r = Reached(dp, len);
    EXPECT_EQ(r.front(), 2 * kPage + offset);
    EXPECT_EQ(r[kPage - offset], 20 * kPage);
    EXPECT_EQ(r[2 * kPage - offset], 21 * kPage);
    EXPECT_EQ(r.back(), 23 * kPage - 1);
  }
  SetEntry(40, 511, Page(21));
  ASSERT_TRUE(dp.Build(Page(2), Page(40) + 510 * 8, 3 * kPage, kPage, memory).ok());
  EXPECT_EQ(Reached(dp, 3 * kPage)[2 * kPage], 21 * kPage);
}

TEST(DataPointerTest, MisalignedEntriesAndForeignMemoryAreRejected) {
  DataPointer dp;
  EXPECT_EQ(dp.Build(Page(3), Page(9) + 8, 8192, kPage, memory).sc, sc::kInvalidPrpOffset);  // PRP2 page
  EXPECT_EQ(dp.Build(Page(2) + 2, 0, 16, kPage, memory).sc, sc::kInvalidPrpOffset);  // PRP1 not dword aligned
  EXPECT_EQ(dp.Build(Page(2), Page(40) + 4, 3 * kPage, kPage, memory).sc, sc::kInvalidPrpOffset);  // list ptr
  SetEntry(40, 0, Page(20) + 16);
  EXPECT_EQ(dp.Build(Page(2), Page(40), 3 * kPage, kPage, memory).sc, sc::kInvalidPrpOffset);  // list entry
  SetEntry(40, 0, 0xDEAD0000);
  SetEntry(40, 1, Page(21));
  EXPECT_EQ(dp.Build(Page(2), Page(40), 3 * kPage, kPage, memory).sc, sc::kDataTransferError);
  EXPECT_EQ(dp.Build(0x1000, 0, 16, kPage, memory).sc, sc::kDataTransferError);
  EXPECT_EQ(dp.BuildContiguous(Page(1) + 2, 8, memory).sc, sc::kInvalidField);
}

TEST(DataPointerTest, CopiesContinueAcrossSegments) {
  std::memset(g_memory + 5 * kPage, 0xFF, 3 * kPage);
  DataPointer dp;
  ASSERT_TRUE(dp.Build(Page(5) + 4000, Page(7), 200, kPage, memory).ok());
  std::vector<uint8_t> src(200, 0x11), back(140);
  dp.ToHost(src.data(), 50);
  dp.ZeroToHost(10);
  dp.ToHost(src.data(), 140);
  EXPECT_EQ(g_memory[5 * kPage + 4050], 0);
  EXPECT_EQ(g_memory[7 * kPage + 103], 0x11);
  dp.Rewind();
  dp.Skip(60);
  dp.FromHost(back.data(), 140);
  EXPECT_EQ(back, std::vector<uint8_t>(140, 0x11));
}

}  // namespace
}  // namespace kyt::sim
