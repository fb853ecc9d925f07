// The multi-range pattern: its refusals, the weighted choice of range and transfer, the walks inside each range, and
// the end of a pattern by time.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include "io_record.h"
#include "runner/access_pattern.h"
#include "sim_namespaces.h"
#include "spdk/env.h"

namespace wlunits {
namespace {

MultiRangeAccessPatternRange Range(uint32_t nsid, uint64_t start, uint64_t size, uint32_t weight,
                                   std::vector<MultiRangeAccessPatternXfer> xfers,
                                   uint32_t workload = kAccessSequential) {
  MultiRangeAccessPatternRange range;
  range.nsid = nsid;
  range.workload = workload;
  range.readPercent = 100;
  range.startLba = start;
  range.size = size;
  range.probability = weight;
  range.xfers = std::move(xfers);
  return range;
}

AccessPatternInput MultiRange(std::vector<MultiRangeAccessPatternRange> ranges, uint32_t loops = 1) {
  AccessPatternInput in;
  in.type = kAccessPatternMultiRange;
  in.multiRange.ranges = std::move(ranges);
  in.multiRange.loops = loops;
  return in;
}

class MultiRangePatternTest : public SimNamespaces {
 protected:
  std::unique_ptr<AccessPatternGenerator> Create(const AccessPatternInput& in) {
    return AccessPatternGeneratorFactory::Create(controller_, in, out_);
  }

  std::string Refusal(const AccessPatternInput& in) {
    try {
      Create(in);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "(accepted)";
  }

  AccessPatternOutput out_;
};

TEST_F(MultiRangePatternTest, MultiRangeRefusals) {
  const std::vector<MultiRangeAccessPatternXfer> x4k = {{4096, 1, 0}};
  struct Case {
    MultiRangeAccessPatternRange range;
    const char* text;
  } cases[] = {
      {Range(2, 0, 64, 1, x4k), "invalid namespace id, 2"},
      {Range(9, 0, 64, 1, x4k), "invalid namespace id, 9"},
      {Range(1, 0, 64, 1, {{4096, 1, 0}, {1000, 1, 0}}), "xfer.size must be multiples of LBA size, which is 512"},
      {Range(4, 0, 64, 1, x4k), "xfer.size must be multiples of LBA size, which is 520"},
      {Range(1, 0, 64, 1, {{0, 1, 0}}), "xfer.size must be greater than 0"},
      {Range(4, 0, 520, 1, {{520 * 260, 1, 0}}),
       "xfer.size must be at most 131040, the largest transfer of namespace 4"},
      {Range(5, 64, 8, 1, x4k), "range.start_lba is out of valid range"},
      {Range(5, 56, 16, 1, x4k), "range.start_lba + range.size is out of valid range"},
      {Range(1, 4, 64, 1, x4k), "range.start_lba must be multiples of 8 because alignment is 8"},
      {Range(1, 16, 60, 1, {{2048, 1, 0}, {4096, 1, 0}}), "range.size must be multiples of 8 because alignment is 8"},
  };
  for (const Case& c : cases) EXPECT_EQ(Refusal(MultiRange({c.range})), c.text);
  // The ranges are looked up by their cumulative weights, which must not wrap.
  EXPECT_EQ(Refusal(MultiRange({Range(1, 0, 64, 0x80000000u, x4k), Range(1, 64, 64, 0x80000000u, x4k)})),
            "the ranges' probabilities must add up to at most 4294967295");
  EXPECT_EQ(Refusal(MultiRange({Range(1, 0, 64, 0x80000000u, x4k), Range(1, 64, 64, 0x7FFFFFFFu, x4k)})),
            "(accepted)");
  MultiRangeAccessPatternRange aligned = Range(1, 4, 64, 1, x4k);
  aligned.alignment = 4;
  EXPECT_EQ(Refusal(MultiRange({aligned})), "(accepted)") << "an explicit alignment replaces the transfer's";
}

// Buffers fit the largest transfer of any range, and its metadata when a namespace keeps it apart.
TEST_F(MultiRangePatternTest, BuffersFitTheLargestTransfer) {
  auto generator =
      Create(MultiRange({Range(1, 0, 64, 1, {{4096, 2, 0}, {8192, 3, 0}}), Range(3, 128, 256, 3, {{2048, 1, 0}})}));
  EXPECT_EQ(generator->GetMaxDataSize(), 8192u);
  EXPECT_EQ(generator->GetMaxMetaSize(), 4u * 8) << "4 blocks of namespace 3, 8 bytes of metadata apart each";
}

// Weights 1 and 3 pick the ranges, weights 1 and 2 the transfers; each sequential range walks on from where it was.
TEST_F(MultiRangePatternTest, WeightsChooseRangesAndTransfers) {
  auto generator = Create(MultiRange({Range(1, 0, 1024, 1, {{4096, 1, 0}}),
                                      Range(5, 0, 64, 3, {{512, 1, 0}, {1024, 2, 0}})}, 1000));
  std::map<uint32_t, uint64_t> next = {{1, 0}, {5, 0}};
  std::map<uint32_t, int> ranges, sizes;
  for (int i = 0; i < 4000; ++i) {
    const Io io = NextIo(*generator);
    ASSERT_EQ(io.lba, next[io.nsid]) << i;
    next[io.nsid] = (io.lba + io.blocks) % (io.nsid == 1 ? 1024 : 64);
    ++ranges[io.nsid];
    if (io.nsid == 5 && io.lba + 2 <= 64) ++sizes[io.blocks];
  }
  EXPECT_NEAR(ranges[1], 1000, 150);
  EXPECT_NEAR(sizes[2], 2 * sizes[1], 400);
}

// A pass ends with a shorter I/O when the range is not whole transfers; loops count passes over all ranges.
TEST_F(MultiRangePatternTest, SequentialRangeWrapsAndLoopsEndThePattern) {
  AccessPatternInput in = MultiRange({Range(1, 0, 20, 1, {{4096, 1, 0}})}, 2);
  in.multiRange.ranges[0].alignment = 4;
  auto generator = Create(in);
  EXPECT_EQ(DrawUntilFinished(*generator, 20), (std::vector<Io>{
      {1, 0, 8, kIoDirectionRead, 4096, false}, {1, 8, 8, kIoDirectionRead, 4096, false},
      {1, 16, 4, kIoDirectionRead, 2048, false}, {1, 0, 8, kIoDirectionRead, 4096, false},
      {1, 8, 8, kIoDirectionRead, 4096, false}, {1, 16, 4, kIoDirectionRead, 2048, true}}));
}

// Every random I/O lies inside its range at an aligned offset (alignment 0: the range's largest transfer), and
// every such offset is drawn, the last one too; with alignment 1 a transfer still ends inside the range.
TEST_F(MultiRangePatternTest, RandomIosStayInsideAndReachEveryAlignedPlace) {
  for (uint32_t alignment : {0u, 1u}) {
    MultiRangeAccessPatternRange range = Range(1, 256, 512, 1, {{4096, 1, 0}, {16384, 1, 0}}, kAccessRandom);
    range.alignment = alignment;
    auto generator = Create(MultiRange({range}, 100));
    const uint64_t step = alignment == 0 ? 32 : 1;
    std::map<uint32_t, std::set<uint64_t>> offsets;
    for (int i = 0; i < 20000; ++i) {
      const Io io = NextIo(*generator);
      ASSERT_GE(io.lba, 256u);
      ASSERT_LE(io.lba + io.blocks, 768u) << io.lba << " + " << io.blocks;
      ASSERT_EQ((io.lba - 256) % step, 0u);
      offsets[io.blocks].insert(io.lba - 256);
    }
    EXPECT_EQ(offsets[32].size(), (512 - 32) / step + 1);
    EXPECT_EQ(offsets[8].size(), (512 - 8) / step + 1);
  }
}

// A time limit of N seconds ends the pattern once N seconds have passed since its first I/O, not before.
TEST_F(MultiRangePatternTest, DurationEndsThePatternAtTheLimit) {
  AccessPatternInput basic;
  basic.type = kAccessPatternBasic;
  basic.basic.rangeType = kRangeStartSize;
  basic.basic.size = 64;
  basic.basic.xferSize = 4096;
  basic.basic.loops = 0xFFFFFFFFu;
  basic.basic.duration = 2;
  AccessPatternInput multi = MultiRange({Range(1, 0, 64, 1, {{4096, 1, 0}})}, 0xFFFFFFFFu);
  multi.multiRange.duration = 2;
  const uint64_t limit = 2 * spdk_get_ticks_hz();
  for (const AccessPatternInput& in : {basic, multi}) {
    auto generator = Create(in);
    EXPECT_FALSE(NextIo(*generator, 1000).finished);
    EXPECT_FALSE(NextIo(*generator, 1000 + limit - 1).finished);
    EXPECT_TRUE(NextIo(*generator, 1000 + limit).finished);
  }
}

// Every aligned offset that keeps a transfer inside its range can be drawn, the last one too, and no other.
TEST(RandomOffset, ReachesEveryAlignedPlaceInsideTheRange) {
  struct Case {
    uint64_t span, blocks, alignment;
  } cases[] = {{64, 8, 8}, {64, 8, 1}, {64, 8, 16}, {60, 8, 8}, {8, 8, 8}, {40, 32, 1}};
  for (const Case& c : cases) {
    std::set<uint64_t> expected, seen;
    for (uint64_t o = 0; o + c.blocks <= c.span; o += c.alignment) expected.insert(o);
    for (int i = 0; i < 4000; ++i) seen.insert(AccessPatternGenerator::RandomOffset(c.span, c.blocks, c.alignment));
    EXPECT_EQ(seen, expected) << c.span << "/" << c.blocks << "/" << c.alignment;
  }
}

}  // namespace
}  // namespace wlunits
