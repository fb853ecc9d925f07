// The generator factory and the multi-range pattern: the completed copy of the input, its refusals, the weighted
// choice of range and transfer, and the walk inside each range.
#include <gtest/gtest.h>

#include <random>
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
                                   std::vector<MultiRangeAccessPatternXfer> xfers) {
  MultiRangeAccessPatternRange range;
  range.nsid = nsid;
  range.workload = kAccessSequential;
  range.readPercent = 100;
  range.startLba = start;
  range.size = size;
  range.probability = weight;
  range.xfers = std::move(xfers);
  return range;
}

class PatternFactoryTest : public SimNamespaces {
 protected:
  std::string Refusal(const AccessPatternInput& in) {
    AccessPatternOutput out;
    try {
      AccessPatternGeneratorFactory::Create(controller_, in, out);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "(accepted)";
  }

  // A basic 4 KiB read pattern over blocks [start, start + size) of the first active namespace.
  static AccessPatternInput Basic(uint64_t start, uint64_t size, uint32_t loops) {
    AccessPatternInput in;
    in.type = kAccessPatternBasic;
    in.basic.rangeType = kRangeStartSize;
    in.basic.startLba = start;
    in.basic.size = size;
    in.basic.xferSize = 4096;
    in.basic.readPercent = 100;
    in.basic.loops = loops;
    return in;
  }

  AccessPatternInput MultiRange(std::vector<MultiRangeAccessPatternRange> ranges, uint32_t loops = 1) {
    AccessPatternInput in;
    in.type = kAccessPatternMultiRange;
    in.multiRange.ranges = std::move(ranges);
    in.multiRange.loops = loops;
    return in;
  }

  AccessPatternOutput out_;
};

TEST_F(PatternFactoryTest, BasicPatternOnTheChosenOrFirstActiveNamespace) {
  AccessPatternInput in = Basic(8, 16, 1);
  auto first = AccessPatternGeneratorFactory::Create(controller_, in, out_);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(NextIo(*first).nsid, 1u) << "nsid 0 is the first active namespace";
  first->GetOutput();
  EXPECT_EQ(out_.basic.startLba, 8u) << "the basic generator reports into the output's basic record";

  in.basic.nsid = 5;
  auto fifth = AccessPatternGeneratorFactory::Create(controller_, in, out_);
  EXPECT_EQ(NextIo(*fifth).nsid, 5u);

  for (uint32_t nsid : {2u, 6u, 0xFFFFFFFFu}) {
    in.basic.nsid = nsid;
    EXPECT_EQ(Refusal(in), "invalid namespace id") << nsid;
  }
  in.type = 0;
  EXPECT_EQ(Refusal(in), "invalid access patern type");
  in.type = 3;
  EXPECT_EQ(Refusal(in), "invalid access patern type");
}

TEST_F(PatternFactoryTest, MultiRangeCopyIsCompletedInTheOutput) {
  AccessPatternInput in = MultiRange({Range(0, 0, 64, 1, {{4096, 2, 0}, {8192, 3, 0}}),
                                      Range(3, 128, 256, 3, {{2048, 1, 0}})},
                                     2);
  in.multiRange.duration = 7;
  auto generator = AccessPatternGeneratorFactory::Create(controller_, in, out_);
  ASSERT_NE(generator, nullptr);
  const MultiRangeAccessPatternInput& copy = out_.multiRange;
  ASSERT_EQ(copy.ranges.size(), 2u);
  EXPECT_EQ(copy.duration, 7u);
  EXPECT_EQ(copy.loops, 2u);
  EXPECT_EQ(copy.totalProbability, 4u);
  EXPECT_EQ(copy.maxXferSize, 8192u);
  EXPECT_EQ(generator->GetMaxDataSize(), 8192u);
  EXPECT_EQ(generator->GetMaxMetaSize(), 32u) << "4 blocks of namespace 3, with 8 bytes of metadata apart each";

  const MultiRangeAccessPatternRange& a = copy.ranges[0];
  EXPECT_EQ(a.nsid, 1u) << "nsid 0 is stored as the first active namespace";
  ASSERT_NE(a.ns, nullptr);
  EXPECT_EQ(a.ns->GetId(), 1u);
  EXPECT_EQ(a.cumulativeProbability, 1u);
  EXPECT_EQ(a.xfers[0].cumulativeProbability, 2u);
  EXPECT_EQ(a.xfers[1].cumulativeProbability, 5u);
  EXPECT_EQ(a.xferTotalProbability, 5u);
  EXPECT_EQ(a.maxXferSize, 8192u);
  EXPECT_EQ(a.sectorBufferSize, 512u);
  EXPECT_EQ(a.currentLba, 0u);
  EXPECT_EQ(a.endLba, 64u);

  const MultiRangeAccessPatternRange& b = copy.ranges[1];
  EXPECT_EQ(b.cumulativeProbability, 4u);
  EXPECT_EQ(b.xferTotalProbability, 1u);
  EXPECT_EQ(b.maxXferSize, 2048u);
  EXPECT_EQ(b.currentLba, 128u);
  EXPECT_EQ(b.endLba, 384u);

  // The input is left as the script gave it.
  EXPECT_EQ(in.multiRange.ranges[0].nsid, 0u);
  EXPECT_EQ(in.multiRange.ranges[0].cumulativeProbability, 0u);
  EXPECT_EQ(in.multiRange.totalProbability, 0u);
  auto* multi = dynamic_cast<MultiRangeAccessPatternGenerator*>(generator.get());
  ASSERT_NE(multi, nullptr);
  EXPECT_EQ(multi->GetTotalSize(), 320u);
}

TEST_F(PatternFactoryTest, MultiRangeRefusals) {
  struct Case {
    const char* what;
    MultiRangeAccessPatternRange range;
    const char* text;
  } cases[] = {
      {"inactive namespace", Range(2, 0, 64, 1, {{4096, 1, 0}}), "invalid namespace id, 2"},
      {"namespace above the maximum", Range(9, 0, 64, 1, {{4096, 1, 0}}), "invalid namespace id, 9"},
      {"transfer not whole blocks", Range(1, 0, 64, 1, {{4096, 1, 0}, {1000, 1, 0}}),
       "xfer.size must be multiples of LBA size, which is 512"},
      {"transfer in data bytes on inline metadata", Range(4, 0, 64, 1, {{4096, 1, 0}}),
       "xfer.size must be multiples of LBA size, which is 520"},
      {"empty transfer", Range(1, 0, 64, 1, {{0, 1, 0}}), "xfer.size must be greater than 0"},
      {"transfer above the largest", Range(4, 0, 520, 1, {{520 * 260, 1, 0}}),
       "xfer.size must be at most 131040, the largest transfer of namespace 4"},
      {"start beyond the namespace", Range(5, 64, 8, 1, {{4096, 1, 0}}), "range.start_lba is out of valid range"},
      {"range past the end", Range(5, 56, 16, 1, {{4096, 1, 0}}),
       "range.start_lba + range.size is out of valid range"},
      {"start off the largest transfer", Range(1, 4, 64, 1, {{4096, 1, 0}}),
       "range.start_lba must be multiples of 8 because alignment is 8"},
      {"size off the largest transfer", Range(1, 16, 60, 1, {{2048, 1, 0}, {4096, 1, 0}}),
       "range.size must be multiples of 8 because alignment is 8"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Refusal(MultiRange({c.range})), c.text) << c.what;
  }
  MultiRangeAccessPatternRange aligned = Range(1, 4, 64, 1, {{4096, 1, 0}});
  aligned.alignment = 8;
  EXPECT_EQ(Refusal(MultiRange({aligned})), "range.start_lba must be multiples of 8 because alignment is 8");
  aligned.alignment = 4;
  EXPECT_EQ(Refusal(MultiRange({aligned})), "(accepted)") << "an explicit alignment replaces the transfer's";

  // A refusal of a later range leaves the copy filled up to it.
  AccessPatternOutput out;
  EXPECT_THROW(AccessPatternGeneratorFactory::Create(
                   controller_, MultiRange({Range(5, 0, 64, 2, {{4096, 1, 0}}), Range(2, 0, 8, 1, {{512, 1, 0}})}),
                   out),
               std::runtime_error);
  ASSERT_EQ(out.multiRange.ranges.size(), 2u);
  EXPECT_EQ(out.multiRange.ranges[0].cumulativeProbability, 2u);
  EXPECT_EQ(out.multiRange.ranges[0].endLba, 64u);
}

// Each I/O draws the range (low 32 bits), then the transfer; a sequential range at 100 % read draws nothing else.
TEST_F(PatternFactoryTest, WeightsChooseRangesAndTransfersByCumulativeScan) {
  AccessPatternInput in = MultiRange({Range(1, 0, 1024, 1, {{4096, 1, 0}}),
                                      Range(5, 0, 64, 3, {{512, 1, 0}, {1024, 2, 0}})},
                                     1000);
  auto generator = AccessPatternGeneratorFactory::Create(controller_, in, out_);
  Random::Seed(7);
  std::mt19937_64 replica(7);
  uint64_t cursor[2] = {0, 0};
  const uint64_t end[2] = {1024, 64};
  int chosen[2] = {0, 0};
  for (int i = 0; i < 400; ++i) {
    const uint32_t r = static_cast<uint32_t>(replica()) % 4;
    const int index = r < 1 ? 0 : 1;
    const uint32_t x = static_cast<uint32_t>(replica()) % (index == 0 ? 1 : 3);
    const uint32_t bytes = index == 0 ? 4096 : (x < 1 ? 512 : 1024);
    uint32_t blocks = bytes / 512;
    const uint64_t lba = cursor[index];
    if (cursor[index] + blocks >= end[index]) {
      blocks = static_cast<uint32_t>(end[index] - cursor[index]);
      cursor[index] = 0;
    } else {
      cursor[index] += blocks;
    }
    ++chosen[index];
    const Io io = NextIo(*generator);
    ASSERT_EQ(io, (Io{index == 0 ? 1u : 5u, lba, blocks, kIoDirectionRead, blocks * 512, false})) << i;
  }
  // Weights 1 and 3: roughly a quarter of the draws go to the first range.
  EXPECT_GT(chosen[0], 60);
  EXPECT_LT(chosen[0], 140);
}

TEST_F(PatternFactoryTest, SequentialRangeWrapsAndLoopsCountAllRanges) {
  AccessPatternInput in = MultiRange({Range(1, 8, 24, 1, {{4096, 1, 0}})}, 2);
  in.multiRange.ranges[0].alignment = 1;
  auto generator = AccessPatternGeneratorFactory::Create(controller_, in, out_);
  const std::vector<Io> ios = DrawUntilFinished(*generator, 20);
  // 24 blocks in 8-block transfers from LBA 8: 8, 16, 24; passes of 24 blocks, two of them.
  ASSERT_EQ(ios.size(), 6u);
  const uint64_t lbas[] = {8, 16, 24, 8, 16, 24};
  for (size_t i = 0; i < ios.size(); ++i) {
    EXPECT_EQ(ios[i].lba, lbas[i]) << i;
    EXPECT_EQ(ios[i].blocks, 8u) << i;
    EXPECT_EQ(ios[i].finished, i == 5) << i;
  }

  AccessPatternOutput short_out;
  AccessPatternInput ragged = MultiRange({Range(1, 0, 20, 1, {{4096, 1, 0}})}, 1);
  ragged.multiRange.ranges[0].alignment = 4;
  auto tail = AccessPatternGeneratorFactory::Create(controller_, ragged, short_out);
  const std::vector<Io> pass = DrawUntilFinished(*tail, 10);
  ASSERT_EQ(pass.size(), 3u);
  EXPECT_EQ(pass[2].lba, 16u);
  EXPECT_EQ(pass[2].blocks, 4u);
  EXPECT_EQ(pass[2].bytes, 2048u);
  EXPECT_EQ(short_out.multiRange.ranges[0].currentLba, 0u) << "the cursor lives in the output copy";

  AccessPatternOutput none_out;
  auto none = AccessPatternGeneratorFactory::Create(controller_, MultiRange({Range(1, 0, 64, 1, {{4096, 1, 0}})}, 0),
                                                    none_out);
  EXPECT_TRUE(NextIo(*none).finished) << "no loops: finished at once";
}

TEST_F(PatternFactoryTest, RandomRangeStaysInsideAndAligned) {
  MultiRangeAccessPatternRange range = Range(1, 256, 512, 1, {{4096, 1, 0}, {16384, 1, 0}});
  range.workload = kAccessRandom;
  range.readPercent = 0;
  auto generator = AccessPatternGeneratorFactory::Create(controller_, MultiRange({range}, 100), out_);
  Random::Seed(3);
  bool saw_small = false;
  bool saw_large = false;
  bool saw_last_large = false;
  for (int i = 0; i < 500; ++i) {
    const Io io = NextIo(*generator);
    ASSERT_GE(io.lba, 256u);
    ASSERT_LE(io.lba + io.blocks, 768u) << i;
    // Alignment 0 means the range's largest transfer: 32 blocks.
    ASSERT_EQ((io.lba - 256) % 32, 0u) << io.lba;
    ASSERT_EQ(io.direction, kIoDirectionWrite);
    saw_small |= io.blocks == 8;
    saw_large |= io.blocks == 32;
    saw_last_large |= io.blocks == 32 && io.lba == 768 - 32;
  }
  EXPECT_TRUE(saw_small && saw_large);
  EXPECT_TRUE(saw_last_large) << "the last aligned place of a transfer can be chosen";

  // A range no larger than its transfer is written whole.
  MultiRangeAccessPatternRange tiny = Range(1, 64, 4, 1, {{4096, 1, 0}});
  tiny.workload = kAccessRandom;
  tiny.alignment = 1;
  AccessPatternOutput tiny_out;
  auto whole = AccessPatternGeneratorFactory::Create(controller_, MultiRange({tiny}, 3), tiny_out);
  for (const Io& io : DrawUntilFinished(*whole, 10)) {
    EXPECT_EQ(io.lba, 64u);
    EXPECT_EQ(io.blocks, 4u);
  }
}

TEST_F(PatternFactoryTest, WeightsThatSelectNothingAreReported) {
  AccessPatternOutput out;
  auto no_weight = AccessPatternGeneratorFactory::Create(
      controller_, MultiRange({Range(1, 0, 64, 0, {{4096, 1, 0}})}), out);
  uint32_t nsid, blocks, bytes;
  uint64_t lba;
  IoDirection dir;
  try {
    no_weight->Next(nsid, lba, blocks, dir, bytes, spdk_get_ticks());
    ADD_FAILURE() << "a range without weight was chosen";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "failed to select a range");
  }
  AccessPatternOutput out2;
  auto no_xfer = AccessPatternGeneratorFactory::Create(
      controller_, MultiRange({Range(1, 0, 64, 1, {{4096, 0, 0}})}), out2);
  try {
    no_xfer->Next(nsid, lba, blocks, dir, bytes, spdk_get_ticks());
    ADD_FAILURE() << "a transfer without weight was chosen";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "failed to select a xfer");
  }
}

// A time limit of N seconds ends the pattern once N seconds have passed since its first I/O, not a second later.
TEST_F(PatternFactoryTest, DurationEndsThePatternAtTheLimit) {
  AccessPatternInput basic = Basic(0, 64, 0xFFFFFFFFu);
  basic.basic.duration = 1;
  AccessPatternInput multi = MultiRange({Range(1, 0, 64, 1, {{4096, 1, 0}})}, 0xFFFFFFFFu);
  multi.multiRange.duration = 1;
  const uint64_t limit = spdk_get_ticks_hz();
  for (const AccessPatternInput& in : {basic, multi}) {
    AccessPatternOutput out;
    auto generator = AccessPatternGeneratorFactory::Create(controller_, in, out);
    const uint64_t before_first = spdk_get_ticks();
    ASSERT_FALSE(NextIo(*generator).finished);
    const uint64_t after_first = spdk_get_ticks();
    for (bool finished = false; !finished;) {
      const uint64_t before = spdk_get_ticks();
      finished = NextIo(*generator).finished;
      if (finished) {
        EXPECT_GE(spdk_get_ticks() - before_first, limit) << "ended before the limit";
      } else {
        ASSERT_LT(before - after_first, limit) << "still running at the limit (type " << in.type << ")";
      }
    }
  }
}

// Every aligned offset that keeps a transfer inside its range can be drawn, the last one too, and no other.
TEST(RandomOffset, ReachesEveryAlignedPlaceInsideTheRange) {
  struct Case {
    uint64_t span, blocks, alignment;
  } cases[] = {{64, 8, 8}, {64, 8, 1}, {64, 8, 16}, {60, 8, 8}, {8, 8, 8}, {40, 32, 1}};
  Random::Seed(11);
  for (const Case& c : cases) {
    std::set<uint64_t> expected, seen;
    for (uint64_t o = 0; o + c.blocks <= c.span; o += c.alignment) expected.insert(o);
    for (int i = 0; i < 4000; ++i) seen.insert(AccessPatternGenerator::RandomOffset(c.span, c.blocks, c.alignment));
    EXPECT_EQ(seen, expected) << c.span << "/" << c.blocks << "/" << c.alignment;
  }
}

TEST(DirectionChoice, MixOfReadsTrimsAndWrites) {
  // Read 30, trim 20: write for draws 0-49, read 50-79, trim 80-99.
  for (uint64_t d = 0; d < 100; ++d) {
    const IoDirection expected = d < 50 ? kIoDirectionWrite : d < 80 ? kIoDirectionRead : kIoDirectionTrim;
    EXPECT_EQ(AccessPatternGenerator::DirectionForDraw(30, 20, d), expected) << d;
    EXPECT_EQ(AccessPatternGenerator::DirectionForDraw(0, 0, d), kIoDirectionWrite) << d;
  }
  // Pure reads or trims take no draw from the engine.
  Random::Seed(5);
  std::mt19937_64 replica(5);
  EXPECT_EQ(AccessPatternGenerator::ChooseDirection(100, 0), kIoDirectionRead);
  EXPECT_EQ(AccessPatternGenerator::ChooseDirection(0, 100), kIoDirectionTrim);
  EXPECT_EQ(Random::Get(), replica());
  const IoDirection drawn = AccessPatternGenerator::ChooseDirection(30, 20);
  EXPECT_EQ(drawn, AccessPatternGenerator::DirectionForDraw(30, 20, replica() % 100));
  EXPECT_EQ(Random::GetSeed(), 5u);
  try {
    AccessPatternGenerator::ChooseDirection(70, 31);
    ADD_FAILURE() << "a mix above 100 % was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Sum of read percent and trim percent is more than 100");
  }
}

}  // namespace
}  // namespace wlunits
