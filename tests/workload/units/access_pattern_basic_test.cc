// The basic access pattern: refusals, the range in force, the three access modes, the direction mix and the end of
// the pattern by passes and by time.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

#include "io_record.h"
#include "runner/access_pattern.h"
#include "sim_namespaces.h"

namespace wlunits {
namespace {

class BasicPatternTest : public SimNamespaces {
 protected:
  // A sequential read of blocks [start, start + size) of namespace 1 in 4 KiB transfers, one pass.
  static BasicAccessPatternInput Sequential(uint64_t start, uint64_t size) {
    BasicAccessPatternInput in;
    in.nsid = 1;
    in.workload = kAccessSequential;
    in.rangeType = kRangeStartSize;
    in.startLba = start;
    in.size = size;
    in.readPercent = 100;
    in.xferSize = 4096;
    in.loops = 1;
    return in;
  }

  std::string Refusal(uint32_t nsid, const BasicAccessPatternInput& in) {
    BasicAccessPatternOutput out;
    try {
      BasicAccessPatternGenerator generator(Ns(nsid), in, out);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "(accepted)";
  }

  BasicAccessPatternOutput out_;
};

TEST_F(BasicPatternTest, RefusesInputsThatDoNotFitTheNamespace) {
  struct Case {
    const char* what;
    uint32_t nsid;
    void (*edit)(BasicAccessPatternInput&);
    const char* text;
  } cases[] = {
      {"mix above 100", 1, [](BasicAccessPatternInput& in) { in.readPercent = 60, in.trimPercent = 41; },
       "Sum of read percent and trim percent is more than 100"},
      {"huge percentages do not wrap", 1,
       [](BasicAccessPatternInput& in) { in.readPercent = 0xFFFFFFFFu, in.trimPercent = 2; },
       "Sum of read percent and trim percent is more than 100"},
      {"transfer not whole blocks", 1, [](BasicAccessPatternInput& in) { in.xferSize = 700; },
       "Xfersize is not multiples of LBA size"},
      {"transfer above the largest", 1, [](BasicAccessPatternInput& in) { in.xferSize = 0xFFFFFE00u; },
       "options.xferSize must be at most 131072, the largest transfer of namespace 1"},
      {"start beyond the namespace", 5, [](BasicAccessPatternInput& in) { in.startLba = 64; },
       "range.start out of valid range"},
      {"empty range", 5, [](BasicAccessPatternInput& in) { in.size = 0; }, "range.size must be greater than 0"},
      {"range past the end", 5, [](BasicAccessPatternInput& in) { in.startLba = 60, in.size = 5; },
       "range.start_lba + range.size out of valid range"},
      {"range size that wraps", 5, [](BasicAccessPatternInput& in) { in.startLba = 8, in.size = ~0ULL - 4; },
       "range.start_lba + range.size out of valid range"},
      {"bytes above the namespace", 5,
       [](BasicAccessPatternInput& in) { in.rangeType = kRangeBytes, in.rangeBytes = 65 * 512; },
       "range out of bound"},
      {"bytes below one block", 5, [](BasicAccessPatternInput& in) { in.rangeType = kRangeBytes, in.rangeBytes = 100; },
       "range.size must be greater than 0"},
      {"percent above 100", 5,
       [](BasicAccessPatternInput& in) { in.rangeType = kRangePercent, in.rangePercent = 200; },
       "range out of bound"},
      {"percent of a tiny namespace", 5,
       [](BasicAccessPatternInput& in) { in.rangeType = kRangePercent, in.rangePercent = 1; },
       "range.size must be greater than 0"},
      {"list entry past the end", 5,
       [](BasicAccessPatternInput& in) { in.rangeType = kRangeLbaList, in.lbaList = {0, 57}; },
       "range out of bound"},
      {"empty list", 5, [](BasicAccessPatternInput& in) { in.rangeType = kRangeLbaList; }, "LBA list is empty"},
      {"list mode without a list", 5, [](BasicAccessPatternInput& in) { in.workload = kAccessLbaList; },
       "LBA list is empty"},
      {"unknown range type", 5, [](BasicAccessPatternInput& in) { in.rangeType = 5; },
       "invalid access pattern range type"},
  };
  for (const Case& c : cases) {
    BasicAccessPatternInput in = Sequential(0, 8);
    c.edit(in);
    EXPECT_EQ(Refusal(c.nsid, in), c.text) << c.what;
  }
  // The last list entry that still fits is accepted.
  BasicAccessPatternInput in = Sequential(0, 8);
  in.rangeType = kRangeLbaList;
  in.lbaList = {56};
  EXPECT_EQ(Refusal(5, in), "(accepted)");
}

TEST_F(BasicPatternTest, ReportsTheSettingsInForceAndItsBufferSizes) {
  BasicAccessPatternInput in = Sequential(16, 48);
  in.readPercent = 30;
  in.trimPercent = 20;
  in.loops = 3;
  in.xferSize = 0;  // the namespace's maximum
  BasicAccessPatternGenerator generator(Ns(5), in, out_);
  EXPECT_EQ(out_.xferSize, 0u) << "nothing is reported before GetOutput";
  generator.GetOutput();
  EXPECT_EQ(out_.loops, 3u);
  EXPECT_EQ(out_.readPercent, 30u);
  EXPECT_EQ(out_.trimPercent, 20u);
  EXPECT_EQ(out_.xferSize, 128u * 1024);
  EXPECT_EQ(out_.startLba, 16u);
  EXPECT_EQ(out_.size, 48u);
  EXPECT_EQ(out_.workload, kAccessSequential);
  EXPECT_EQ(generator.GetMaxDataSize(), 128u * 1024);
  EXPECT_EQ(generator.GetMaxMetaSize(), 0u);

  // Separate metadata: 8 bytes per block in its own buffer.
  BasicAccessPatternOutput meta_out;
  BasicAccessPatternGenerator separate(Ns(3), Sequential(0, 64), meta_out);
  EXPECT_EQ(separate.GetMaxDataSize(), 8u * 512);
  EXPECT_EQ(separate.GetMaxMetaSize(), 8u * 8);

  // Inline metadata: blocks count in data bytes, buffers in 520-byte blocks.
  BasicAccessPatternOutput inline_out;
  BasicAccessPatternGenerator extended(Ns(4), Sequential(0, 64), inline_out);
  EXPECT_EQ(extended.GetXferBlocks(), 8u);
  EXPECT_EQ(extended.GetMaxDataSize(), 8u * 520);
  EXPECT_EQ(extended.GetMaxMetaSize(), 0u);
  const Io io = NextIo(extended);
  EXPECT_EQ(io.blocks, 8u);
  EXPECT_EQ(io.bytes, 8u * 520);
}

TEST_F(BasicPatternTest, SequentialPassEndsWithAShorterIoAndWraps) {
  BasicAccessPatternInput in = Sequential(10, 20);
  in.loops = 2;
  BasicAccessPatternGenerator generator(Ns(1), in, out_);
  const std::vector<Io> ios = DrawUntilFinished(generator, 20);
  const std::vector<Io> expected = {
      {1, 10, 8, kIoDirectionRead, 4096, false}, {1, 18, 8, kIoDirectionRead, 4096, false},
      {1, 26, 4, kIoDirectionRead, 2048, false}, {1, 10, 8, kIoDirectionRead, 4096, false},
      {1, 18, 8, kIoDirectionRead, 4096, false}, {1, 26, 4, kIoDirectionRead, 2048, true},
  };
  EXPECT_EQ(ios, expected);
  EXPECT_EQ(generator.GetIssuedBlocks(), 40u);
  // Finished stays reported.
  EXPECT_TRUE(NextIo(generator).finished);
}

TEST_F(BasicPatternTest, SequentialRangeOfWholeTransfersGivesFullIosOnly) {
  BasicAccessPatternInput in = Sequential(0, 16);
  in.loops = 2;
  BasicAccessPatternGenerator generator(Ns(1), in, out_);
  const std::vector<Io> ios = DrawUntilFinished(generator, 10);
  ASSERT_EQ(ios.size(), 4u);
  const uint64_t lbas[] = {0, 8, 0, 8};
  for (size_t i = 0; i < ios.size(); ++i) {
    EXPECT_EQ(ios[i].lba, lbas[i]) << i;
    EXPECT_EQ(ios[i].blocks, 8u) << i;
  }
}

TEST_F(BasicPatternTest, NoLoopsFinishesOnTheFirstCall) {
  BasicAccessPatternInput in = Sequential(0, 64);
  in.loops = 0;
  BasicAccessPatternGenerator generator(Ns(1), in, out_);
  const Io io = NextIo(generator);
  EXPECT_TRUE(io.finished);
  EXPECT_EQ(io.lba, 0u) << "the I/O returned with the end is still a valid one";
  EXPECT_EQ(io.blocks, 8u);
}

TEST_F(BasicPatternTest, LbaListVisitsTheEntriesInOrderOncePerLoop) {
  BasicAccessPatternInput in = Sequential(0, 0);
  in.workload = kAccessLbaList;
  in.rangeType = kRangeLbaList;
  in.lbaList = {40, 8, 1000};
  in.loops = 2;
  BasicAccessPatternGenerator generator(Ns(1), in, out_);
  EXPECT_EQ(generator.GetStartLba(), 0u);
  EXPECT_EQ(generator.GetEndLba(), 24u);
  const std::vector<Io> ios = DrawUntilFinished(generator, 20);
  ASSERT_EQ(ios.size(), 6u);
  const uint64_t lbas[] = {40, 8, 1000, 40, 8, 1000};
  for (size_t i = 0; i < ios.size(); ++i) {
    EXPECT_EQ(ios[i].lba, lbas[i]) << i;
    EXPECT_EQ(ios[i].blocks, 8u) << i;
    EXPECT_EQ(ios[i].finished, i == 5) << i;
  }
}

// The direction is drawn before the position, both from the one engine, and the positions are aligned offsets
// from the start that keep the whole I/O inside the range.
TEST_F(BasicPatternTest, RandomDrawsDirectionThenAlignedPosition) {
  for (bool unaligned : {false, true}) {
    BasicAccessPatternInput in = Sequential(100, 64);
    in.workload = kAccessRandom;
    in.readPercent = 30;
    in.trimPercent = 20;
    in.unaligned = unaligned;
    in.loops = 4;
    BasicAccessPatternGenerator generator(Ns(1), in, out_);
    Random::Seed(1234);
    std::mt19937_64 replica(1234);
    const uint64_t align = unaligned ? 1 : 8;
    const std::vector<Io> ios = DrawUntilFinished(generator, 100);
    ASSERT_EQ(ios.size(), 32u) << "4 passes of 64 blocks in 8-block I/Os";
    for (size_t i = 0; i < ios.size(); ++i) {
      const uint64_t d = replica() % 100;
      const IoDirection dir = d < 50 ? kIoDirectionWrite : d < 80 ? kIoDirectionRead : kIoDirectionTrim;
      const uint64_t lba = 100 + replica() % ((64 - 8) / align + 1) * align;
      EXPECT_EQ(ios[i], (Io{1, lba, 8, dir, 4096, i == 31})) << i;
    }
  }
}

TEST_F(BasicPatternTest, RandomRangeNoLargerThanATransferIsThatRange) {
  BasicAccessPatternInput in = Sequential(20, 4);
  in.workload = kAccessRandom;
  in.loops = 2;
  BasicAccessPatternGenerator generator(Ns(1), in, out_);
  const std::vector<Io> ios = DrawUntilFinished(generator, 10);
  ASSERT_EQ(ios.size(), 2u);
  for (const Io& io : ios) {
    EXPECT_EQ(io.lba, 20u);
    EXPECT_EQ(io.blocks, 4u);
    EXPECT_EQ(io.bytes, 2048u);
  }
}

TEST_F(BasicPatternTest, SizedRangesArePlacedAtARandomAlignedStart) {
  // 2 MiB on namespace 1: 4096 blocks at an 8-block aligned start.
  BasicAccessPatternInput in = Sequential(0, 0);
  in.rangeType = kRangeBytes;
  in.rangeBytes = 2u << 20;
  Random::Seed(99);
  std::mt19937_64 replica(99);
  BasicAccessPatternGenerator bytes(Ns(1), in, out_);
  const uint64_t start = replica() % ((1u << 20) - 4096) / 8 * 8;
  EXPECT_EQ(bytes.GetStartLba(), start);
  EXPECT_EQ(bytes.GetEndLba(), start + 4096);
  EXPECT_EQ(NextIo(bytes).lba, start) << "a sequential walk starts at the placed start";

  // 50 % of 4096 blocks with one-block alignment.
  in.rangeType = kRangePercent;
  in.rangePercent = 50;
  in.unaligned = true;
  BasicAccessPatternOutput half_out;
  BasicAccessPatternGenerator half(Ns(3), in, half_out);
  const uint64_t half_start = replica() % 2048;
  EXPECT_EQ(half.GetStartLba(), half_start);
  EXPECT_EQ(half.GetEndLba(), half_start + 2048);

  // The whole namespace starts at 0 without a draw: the engine is where the replica is.
  in.rangePercent = 100;
  BasicAccessPatternOutput whole_out;
  BasicAccessPatternGenerator whole(Ns(5), in, whole_out);
  EXPECT_EQ(whole.GetStartLba(), 0u);
  EXPECT_EQ(whole.GetEndLba(), 64u);
  in.rangeType = kRangeBytes;
  in.rangeBytes = 64 * 512;
  BasicAccessPatternGenerator all_bytes(Ns(5), in, whole_out);
  EXPECT_EQ(all_bytes.GetStartLba(), 0u);
  EXPECT_EQ(Random::Get(), replica());
}

}  // namespace
}  // namespace wlunits
