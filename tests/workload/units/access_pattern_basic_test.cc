// The basic access pattern: refusals, buffer sizes, the sequential, list and random walks, and where a sized range is
// placed.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

#include "io_record.h"
#include "runner/access_pattern.h"
#include "sim_namespaces.h"

namespace wlunits {
namespace {

class BasicPatternTest : public SimNamespaces {
 protected:
  // A sequential read of blocks [start, start + size) in 4 KiB transfers, one pass.
  static BasicAccessPatternInput Sequential(uint64_t start, uint64_t size) {
    BasicAccessPatternInput in;
    in.startLba = start;
    in.size = size;
    in.readPercent = 100;
    in.xferSize = 4096;
    in.loops = 1;
    return in;
  }

  std::string Refusal(uint32_t nsid, const BasicAccessPatternInput& in) {
    try {
      BasicAccessPatternGenerator generator(Ns(nsid), in, out_);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "(accepted)";
  }

  BasicAccessPatternOutput out_;
};

TEST_F(BasicPatternTest, RefusesInputsThatDoNotFitTheNamespace) {
  using In = BasicAccessPatternInput;
  struct Case {
    uint32_t nsid;
    void (*edit)(In&);
    const char* text;
  } cases[] = {
      {1, [](In& in) { in.readPercent = 60, in.trimPercent = 41; },
       "Sum of read percent and trim percent is more than 100"},
      {1, [](In& in) { in.readPercent = 0xFFFFFFFFu, in.trimPercent = 2; },
       "Sum of read percent and trim percent is more than 100"},
      {1, [](In& in) { in.xferSize = 700; }, "Xfersize is not multiples of LBA size"},
      {1, [](In& in) { in.xferSize = 0xFFFFFE00u; },
       "options.xferSize must be at most 131072, the largest transfer of namespace 1"},
      {5, [](In& in) { in.startLba = 64; }, "range.start out of valid range"},
      {5, [](In& in) { in.size = 0; }, "range.size must be greater than 0"},
      {5, [](In& in) { in.startLba = 60, in.size = 5; }, "range.start_lba + range.size out of valid range"},
      {5, [](In& in) { in.startLba = 8, in.size = ~0ULL - 4; }, "range.start_lba + range.size out of valid range"},
      {5, [](In& in) { in.rangeType = kRangeBytes, in.rangeBytes = 65 * 512; }, "range out of bound"},
      {5, [](In& in) { in.rangeType = kRangeBytes, in.rangeBytes = 100; }, "range.size must be greater than 0"},
      {5, [](In& in) { in.rangeType = kRangePercent, in.rangePercent = 200; }, "range out of bound"},
      {5, [](In& in) { in.rangeType = kRangeLbaList, in.lbaList = {0, 57}; }, "range out of bound"},
      {5, [](In& in) { in.rangeType = kRangeLbaList, in.lbaList = {56}; }, "(accepted)"},
      {5, [](In& in) { in.rangeType = kRangeLbaList; }, "LBA list is empty"},
      {5, [](In& in) { in.workload = kAccessLbaList; }, "LBA list is empty"},
      {5, [](In& in) { in.rangeType = 5; }, "invalid access pattern range type"},
  };
  for (const Case& c : cases) {
    BasicAccessPatternInput in = Sequential(0, 8);
    c.edit(in);
    EXPECT_EQ(Refusal(c.nsid, in), c.text);
  }
}

// Separate metadata has a buffer of its own; inline metadata makes the data buffer 520 bytes a block.
TEST_F(BasicPatternTest, BuffersHoldTheMetadataOfTheFormat) {
  BasicAccessPatternGenerator separate(Ns(3), Sequential(0, 64), out_);
  EXPECT_EQ(separate.GetMaxDataSize(), 8u * 512);
  EXPECT_EQ(separate.GetMaxMetaSize(), 8u * 8);
  BasicAccessPatternGenerator extended(Ns(4), Sequential(0, 64), out_);
  EXPECT_EQ(extended.GetMaxDataSize(), 8u * 520);
  EXPECT_EQ(extended.GetMaxMetaSize(), 0u);
  EXPECT_EQ(NextIo(extended), (Io{4, 0, 8, kIoDirectionRead, 8 * 520, false}));
}

// A pass ends with a shorter I/O when the range is not whole transfers, and starts over for the next loop.
TEST_F(BasicPatternTest, SequentialAndListWalks) {
  BasicAccessPatternInput in = Sequential(10, 20);
  in.loops = 2;
  BasicAccessPatternGenerator sequential(Ns(1), in, out_);
  EXPECT_EQ(DrawUntilFinished(sequential, 20), (std::vector<Io>{
      {1, 10, 8, kIoDirectionRead, 4096, false}, {1, 18, 8, kIoDirectionRead, 4096, false},
      {1, 26, 4, kIoDirectionRead, 2048, false}, {1, 10, 8, kIoDirectionRead, 4096, false},
      {1, 18, 8, kIoDirectionRead, 4096, false}, {1, 26, 4, kIoDirectionRead, 2048, true}}));
  EXPECT_TRUE(NextIo(sequential).finished) << "finished stays reported";

  in.rangeType = kRangeLbaList;
  in.workload = kAccessLbaList;
  in.lbaList = {40, 8, 1000};
  BasicAccessPatternGenerator list(Ns(1), in, out_);
  std::vector<uint64_t> lbas;
  for (const Io& io : DrawUntilFinished(list, 20)) lbas.push_back(io.lba);
  EXPECT_EQ(lbas, (std::vector<uint64_t>{40, 8, 1000, 40, 8, 1000}));
}

// Every random I/O lies inside the range at an aligned offset from its start (the transfer's, or one block when
// unaligned), every such offset is drawn, and the directions follow the mix. A range no larger than a transfer is
// that range, whole, and reported so.
TEST_F(BasicPatternTest, RandomIosStayInsideAndReachEveryAlignedPlace) {
  for (uint64_t alignment : {8u, 1u}) {
    BasicAccessPatternInput in = Sequential(100, 64);
    in.workload = kAccessRandom;
    in.readPercent = 30;
    in.trimPercent = 20;
    in.unaligned = alignment == 1;
    in.loops = 1000;
    BasicAccessPatternGenerator generator(Ns(1), in, out_);
    std::set<uint64_t> offsets;
    int reads = 0;
    for (const Io& io : DrawUntilFinished(generator, 8000)) {
      ASSERT_GE(io.lba, 100u);
      ASSERT_LE(io.lba + io.blocks, 164u);
      ASSERT_EQ((io.lba - 100) % alignment, 0u);
      offsets.insert(io.lba - 100);
      reads += io.direction == kIoDirectionRead;
    }
    EXPECT_EQ(offsets.size(), (64 - 8) / alignment + 1);
    EXPECT_NEAR(reads, 2400, 300) << "30 % of 8000";
  }
  BasicAccessPatternInput in = Sequential(20, 4);
  in.workload = kAccessRandom;
  BasicAccessPatternGenerator tiny(Ns(1), in, out_);
  EXPECT_EQ(NextIo(tiny), (Io{1, 20, 4, kIoDirectionRead, 2048, true}));
  tiny.GetOutput();
  EXPECT_EQ(out_.xferSize, 2048u) << "the transfer sent, not the 4096 bytes asked";
}

// A range given in bytes or percent lies inside the namespace at an aligned start; the whole namespace starts at 0.
TEST_F(BasicPatternTest, SizedRangesArePlacedInsideTheNamespace) {
  BasicAccessPatternInput bytes = Sequential(0, 0), percent = bytes;
  bytes.rangeType = kRangeBytes;
  bytes.rangeBytes = 2u << 20;  // 4096 blocks of namespace 1, at a start aligned to the 8-block transfer
  percent.rangeType = kRangePercent;
  percent.unaligned = true;
  for (uint32_t share : {90u, 100u}) {
    percent.rangePercent = share;  // 57 or 64 blocks of namespace 5's 64
    for (int i = 0; i < 100; ++i) {
      BasicAccessPatternGenerator sized(Ns(1), bytes, out_), part(Ns(5), percent, out_);
      ASSERT_EQ(sized.GetStartLba() % 8, 0u);
      ASSERT_LE(sized.GetStartLba() + 4096, 1u << 20);
      ASSERT_EQ(NextIo(sized).lba, sized.GetStartLba());
      ASSERT_EQ(part.GetEndLba() - part.GetStartLba(), share == 100 ? 64u : 57u);
      ASSERT_LE(part.GetEndLba(), 64u);
    }
  }
}

}  // namespace
}  // namespace wlunits
