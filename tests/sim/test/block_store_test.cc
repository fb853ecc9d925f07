#include "kyt_sim/block_store.h"

#include <gtest/gtest.h>

#include <vector>

namespace kyt::sim {
namespace {

std::vector<uint8_t> Pattern(uint32_t size, uint8_t seed) {
  std::vector<uint8_t> v(size);
  for (uint32_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
  return v;
}

TEST(BlockStoreTest, UnwrittenBlocksReadZerosAndWrittenBlocksReadBack) {
  for (uint32_t size : {512u, 4104u}) {
    BlockStore store(size, false);
    std::vector<uint8_t> out(size, 0xAA);
    store.Read(12345678901ull, out.data());
    EXPECT_EQ(out, std::vector<uint8_t>(size, 0)) << size;
    auto a = Pattern(size, 1), b = Pattern(size, 2);
    store.Write(7, a.data());
    store.Write(1ull << 40, b.data());
    store.Write(8, b.data());
    store.Write(7, b.data());  // overwrite does not count twice
    store.Read(7, out.data());
    EXPECT_EQ(out, b);
    EXPECT_EQ(store.allocated_blocks(), 3u);
  }
}

// Without a block count every chunk is hashed; with 128 blocks the first two chunks sit in the flat table and the
// rest is hashed.
class BlockStoreLayoutTest : public ::testing::TestWithParam<uint64_t> {};
INSTANTIATE_TEST_SUITE_P(HashedAndTable, BlockStoreLayoutTest, ::testing::Values(0, 128));

TEST_P(BlockStoreLayoutTest, DeallocateForgetsExactlyTheRange) {
  BlockStore store(512, false);
  store.Reset(512, GetParam());
  auto a = Pattern(512, 3);
  for (uint64_t lba = 0; lba < 300; ++lba) store.Write(lba, a.data());
  store.Deallocate(10, 100);  // crosses chunk boundaries (64-block chunks for 512-byte blocks)
  EXPECT_EQ(store.allocated_blocks(), 200u);
  for (uint64_t lba : {9, 10, 109, 110}) EXPECT_EQ(store.Find(lba) == nullptr, lba == 10 || lba == 109) << lba;
  // A huge range over few stored chunks takes the other walk.
  store.Deallocate(200, ~uint64_t(0) - 300);
  EXPECT_EQ(store.allocated_blocks(), 100u);
  EXPECT_NE(store.Find(199), nullptr);
  EXPECT_EQ(store.Find(200), nullptr);
}

TEST_P(BlockStoreLayoutTest, FirstEightBytesRunsCrossChunks) {
  BlockStore store(512, true);
  store.Reset(512, GetParam());
  // Blocks 60..69 (64-block chunks), 520 bytes apart in host memory as with inline metadata.
  std::vector<uint8_t> host = Pattern(10 * 520, 4);
  store.WriteHeads(60, 10, host.data(), 520);
  EXPECT_EQ(store.allocated_blocks(), 10u);
  store.Deallocate(65, 1);
  std::vector<uint8_t> back(10 * 520, 0xEE);
  store.ReadHeads(59, 10, back.data(), 520);
  for (uint64_t lba = 59; lba < 69; ++lba) {
    const uint8_t* got = back.data() + (lba - 59) * 520;
    const bool held = lba >= 60 && lba != 65;
    for (int b = 0; b < 8; ++b) EXPECT_EQ(got[b], held ? host[(lba - 60) * 520 + b] : 0) << lba;
    EXPECT_EQ(got[8], 0xEE) << "only the first 8 bytes are moved";
  }
}

// Corruption flips stored bytes (materialising an unwritten block) and only those a block keeps.
TEST(BlockStoreTest, CorruptFlipsStoredBytesOnly) {
  for (bool first_8 : {false, true}) {
    BlockStore store(4096, first_8);
    auto a = Pattern(4096, 4);
    store.Write(1, a.data());
    ASSERT_TRUE(store.Corrupt(1, 7, 0x0F));
    ASSERT_TRUE(store.Corrupt(50, 0, 0xFF));
    EXPECT_NE(store.Corrupt(1, 8, 1), first_8);
    EXPECT_FALSE(store.Corrupt(1, 4096, 1));
    std::vector<uint8_t> out(4096);
    store.Read(1, out.data());
    a[7] ^= 0x0F;
    if (first_8) std::fill(a.begin() + 8, a.end(), 0);
    else a[8] ^= 1;
    EXPECT_EQ(out, a) << first_8;
    store.Read(50, out.data());
    EXPECT_EQ(out[0], 0xFF);
  }
}

}  // namespace
}  // namespace kyt::sim
