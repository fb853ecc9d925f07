// Validated reads, writes and deallocations through IoManager on the simulated drive.
#include <gtest/gtest.h>

#include <cstring>

#include "nvme/data_validator.h"
#include "nvme_internal.h"
#include "sim_fixture.h"

namespace kyt_dev_test {
namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kNsBlocks = 4096;
constexpr uint64_t kFill = 0xABABABABABABABABull;

class IoTest : public SimDeviceTest {
 protected:
  IoTest() {
    config_.namespaces[0].blocks = kNsBlocks;
    config_.namespaces[0].lba_format = 0;
  }

  void SetUp() override {
    SimDeviceTest::SetUp();
    ASSERT_NE(Attach()->GetState(), kyt::nvme::ControllerState::kDetached);
    qid_ = CreateQueuePair();
    ASSERT_NE(qid_, 0);
  }

  void EnableValidator(uint64_t lbas = kNsBlocks) {
    ASSERT_EQ(manager_->GetDataValidatorManager()->Enable(1, lbas, kBlock), 0u);
    validator_ = manager_->GetDataValidatorManager()->GetDataValidator(1);
  }

  kyt::nvme::CommandContextPtr<NvmeIoCtx> Io(uint64_t lba, uint32_t blocks, uint64_t bytes = 0) {
    return MakeIo(qid_, lba, blocks, bytes);
  }
  // An I/O submitted and completed; fails the test when it is refused or never completes.
  kyt::nvme::CommandContextPtr<NvmeIoCtx> Done(Send send, uint64_t lba, uint32_t blocks) {
    auto io = Io(lba, blocks);
    EXPECT_TRUE(Run(send, *io)) << io->error;
    return io;
  }

  kyt::nvme::CommandContextPtr<NvmeIoCtx> MakeDsm(const std::vector<std::pair<uint64_t, uint32_t>>& ranges) {
    auto io = Io(0, 0, 4096);
    io->dsm_attributes = 0x4;  // deallocate
    io->num_ranges = static_cast<uint32_t>(ranges.size());
    auto* entries = static_cast<spdk_nvme_dsm_range*>(io->data->GetBuffer());
    for (size_t i = 0; i < ranges.size(); ++i) {
      entries[i].starting_lba = ranges[i].first;
      entries[i].length = ranges[i].second;
    }
    return io;
  }

  static uint64_t Word(const NvmeIoCtx& io, uint32_t block) {
    uint64_t word;
    std::memcpy(&word, static_cast<const uint8_t*>(io.data->GetBuffer()) + block * kBlock, sizeof(word));
    return word;
  }
  static void Fill(NvmeIoCtx& io) { std::memset(io.data->GetBuffer(), 0xAB, io.data->GetSize()); }
  static bool Ok(const NvmeIoCtx& io) { return (io.cpl.status_raw & 0x1FE) == 0; }

  std::vector<uint8_t> Tags(uint64_t lba, uint32_t count) {
    std::vector<uint8_t> tags;
    EXPECT_EQ(validator_->CopyTags(lba, count, tags), kyt::nvme::kDataValidatorOk);
    return tags;
  }

  uint16_t qid_ = 0;
  std::shared_ptr<kyt::nvme::DataValidator> validator_;
  std::vector<kyt::nvme::CommandContextPtr<NvmeIoCtx>> in_flight_;  // outlives the fixture's teardown (detach)
};

TEST_F(IoTest, WriteStampsTagsReadExpectsThemAndFindsCorruption) {
  EnableValidator();
  auto write = Io(10, 4);
  ASSERT_EQ(Submit(kWrite, *write), kIoOpsSubmitted);
  for (uint32_t b = 0; b < 4; ++b) EXPECT_EQ(Word(*write, b), 0x0A00u + 0x100u * b);
  EXPECT_TRUE(validator_->IsPending(10, 4));
  EXPECT_EQ(validator_->GetTag(10), 255);  // advanced only at completion
  ASSERT_TRUE(Complete(*write));
  EXPECT_EQ(Ctx().GetIoManager().GetOutstanding(), 0);
  EXPECT_FALSE(validator_->IsPending(10, 4));
  EXPECT_EQ(Tags(10, 4), (std::vector<uint8_t>{0, 0, 0, 0}));

  EXPECT_FALSE(Done(kRead, 10, 4)->data_mismatch);

  // A second write stamps the next generation.
  auto again = Done(kWrite, 11, 1);
  EXPECT_EQ(Word(*again, 0), 0x0B01u);
  EXPECT_EQ(validator_->GetTag(11), 1);

  // A block corrupted in the drive is a mismatch; untracked blocks are never reported.
  ASSERT_TRUE(sim_->CorruptBlock(1, 12, 1, 0x01));
  EXPECT_TRUE(Done(kRead, 10, 4)->data_mismatch);
  EXPECT_FALSE(Done(kRead, 200, 2)->data_mismatch);
}

// Blocks lie the validator's block size apart in the data buffer, whatever that size: metadata of a size that is not
// a multiple of 8 bytes puts the later blocks' stamps off 8-byte boundaries, not back at them.
TEST_F(IoTest, StampsLieOneBlockSizeApart) {
  constexpr uint32_t kOdd = kBlock + 4;
  ASSERT_EQ(manager_->GetDataValidatorManager()->Enable(1, kNsBlocks, kOdd), 0u);
  auto write = Io(0, 3, 3 * kOdd);
  ASSERT_EQ(Submit(kWrite, *write), kIoOpsSubmitted);
  for (uint32_t b = 0; b < 3; ++b) {
    uint64_t word;
    std::memcpy(&word, static_cast<const uint8_t*>(write->data->GetBuffer()) + b * kOdd, sizeof(word));
    EXPECT_EQ(word, uint64_t{b} << 8) << b;
  }
  ASSERT_TRUE(Complete(*write));
}

// The owner's pass tick stamps the I/O at submission and starts its deadline in the driver, which then reads no
// clock for it. The completion is stamped when the host sees it, never before the device posted it, however old
// the pass tick is by then.
TEST_F(IoTest, OwnersPassTickStampsTheSubmissionAndTheCompletionIsTimedWhenSeen) {
  uint64_t pass = spdk_get_ticks();
  const uint64_t submitted = pass;
  auto read = Io(70, 1);
  read->pass_ticks = &pass;
  const uint64_t posted_before = sim_->counters().completions;
  ASSERT_EQ(Submit(kRead, *read), kIoOpsSubmitted);
  spdk_nvme_qpair* qpair = Ctx().GetQueueManager().GetQpair(qid_);
  EXPECT_EQ(read->submit_ticks, submitted);
  EXPECT_EQ(nvme_pcie_qpair(qpair)->last_submit_tick, submitted);
  EXPECT_EQ(qpair->caller_tick, 0u) << "only for that submission";
  Ctx().GetQueueManager().ProcessIoCompletions(qid_);  // rings the doorbell
  ASSERT_TRUE(PollUntil([] {}, [&] { return sim_->counters().completions > posted_before; }));
  const uint64_t posted = spdk_get_ticks();
  ASSERT_TRUE(Complete(*read));
  EXPECT_GE(read->complete_ticks, posted);
}

TEST_F(IoTest, DeallocatedBlocksExpectZero) {
  EnableValidator();
  Done(kWrite, 40, 4);
  auto dsm = MakeDsm({{40, 2}, {43, 1}});
  ASSERT_EQ(Submit(kDsm, *dsm), kIoOpsSubmitted);
  EXPECT_TRUE(validator_->IsPending(40, 2));
  EXPECT_FALSE(validator_->IsPending(42, 1));
  ASSERT_TRUE(Complete(*dsm));
  EXPECT_EQ(Tags(40, 4), (std::vector<uint8_t>{254, 254, 0, 254}));
  EXPECT_FALSE(validator_->IsPending(40, 4));

  EXPECT_FALSE(Done(kRead, 40, 4)->data_mismatch);
  // A block that should read zero but does not is a mismatch.
  ASSERT_TRUE(sim_->CorruptBlock(1, 41, 0, 0x10));
  EXPECT_TRUE(Done(kRead, 41, 1)->data_mismatch);
}

TEST_F(IoTest, OverlappingValidatedIoIsRefusedAndChangesNothing) {
  EnableValidator();
  auto first = Io(0, 16);
  ASSERT_EQ(Submit(kWrite, *first), kIoOpsSubmitted);

  auto second = Io(15, 2);
  Fill(*second);
  EXPECT_EQ(Submit(kWrite, *second), kIoOpsRangeBusy);
  EXPECT_EQ(Word(*second, 0), kFill);
  EXPECT_FALSE(validator_->IsPending(16, 1));
  EXPECT_EQ(Submit(kRead, *Io(3, 1)), kIoOpsRangeBusy);

  // A busy later range leaves no pending bits of the earlier ranges; ranges of one command that overlap are busy.
  auto dsm = MakeDsm({{100, 4}, {8, 1}});
  EXPECT_EQ(Submit(kDsm, *dsm), kIoOpsRangeBusy);
  EXPECT_FALSE(validator_->IsPending(100, 4));
  auto self_overlap = MakeDsm({{200, 4}, {203, 2}});
  EXPECT_EQ(Submit(kDsm, *self_overlap), kIoOpsRangeBusy);
  EXPECT_FALSE(validator_->IsPending(200, 5));
  EXPECT_EQ(Ctx().GetIoManager().GetOutstanding(), 1);

  ASSERT_TRUE(Complete(*first));
  ASSERT_TRUE(Run(kWrite, *second)) << "retried once the range is free";
  EXPECT_EQ(Tags(15, 2), (std::vector<uint8_t>{1, 0}));
}

// A read of blocks on a page of map no I/O took holds nothing: a write that overlaps it while it is in flight is sent,
// and the read's completion neither compares nor gives back what the write holds.
TEST_F(IoTest, ReadOfUntouchedBlocksHoldsNothing) {
  EnableValidator();
  const uint64_t fresh = kyt::nvme::DataValidator::kLbasPerLine * kyt::nvme::DataValidator::kLinesPerPage;
  auto read = Io(fresh, 4);
  ASSERT_EQ(Submit(kRead, *read), kIoOpsSubmitted);
  EXPECT_EQ(validator_->GetHeldBytes(), 0u);
  kyt::sim::FaultRule lost;
  lost.opcode = 0x01;
  lost.action = kyt::sim::FaultRule::Action::kDrop;  // the write stays in flight
  sim_->InjectFault(lost);
  in_flight_.push_back(Io(fresh, 4));
  ASSERT_EQ(Submit(kWrite, *in_flight_.back()), kIoOpsSubmitted);
  ASSERT_TRUE(Complete(*read));
  EXPECT_FALSE(read->data_mismatch);
  EXPECT_TRUE(validator_->IsPending(fresh, 1));
}

TEST_F(IoTest, RefusedRequestsSendNothingAndStampNothing) {
  EnableValidator();
  sim_->ClearCommandLog();
  struct Case {
    Send send;
    std::function<void(NvmeIoCtx&)> spoil;
    IoOpsStatus status;
    const char* error;
  };
  const std::vector<Case> cases = {
      // The range count is tested before the queue.
      {kDsm, [](NvmeIoCtx& io) { io.num_ranges = 257; io.qid = 77; }, kIoOpsInvalidNumRanges, "Invalid Number of Ranges"},
      {kDsm, [](NvmeIoCtx& io) { io.num_ranges = 0; }, kIoOpsInvalidNumRanges, "Invalid Number of Ranges"},
      {kWrite, [](NvmeIoCtx& io) { io.qid = 9; }, kIoOpsInvalidQueueId, "Invalid Queue ID"},
      {kRead, [](NvmeIoCtx& io) { io.qid = 0; }, kIoOpsInvalidQueueId, "Invalid Queue ID"},
      {kWrite, [](NvmeIoCtx& io) { io.num_blocks = 0; }, kIoOpsInvalidRequest, "Invalid Number of Blocks"},
      {kRead, [](NvmeIoCtx& io) { io.num_blocks = 65537; }, kIoOpsInvalidRequest, "Invalid Number of Blocks"},
      {kRead, [](NvmeIoCtx& io) { io.xfer_size = 4 * kBlock + 1; }, kIoOpsInvalidRequest,
       "Transfer size exceeds the data buffer"},
      {kWrite, [](NvmeIoCtx& io) { io.num_blocks = 5; }, kIoOpsInvalidRequest,
       "Data buffer is too small for the number of blocks"},
      {kWrite, [](NvmeIoCtx& io) { io.data.reset(); }, kIoOpsInvalidRequest, "Data buffer is missing"},
      {kDsm, [](NvmeIoCtx& io) { io.data = std::make_unique<DmaContext>(32); io.num_ranges = 3; },
       kIoOpsInvalidRequest, "Data buffer is too small for the number of ranges"},
  };
  for (const auto& c : cases) {
    auto io = c.send == kDsm ? MakeDsm({{0, 1}}) : Io(0, 4);
    if (c.send != kDsm) Fill(*io);
    c.spoil(*io);
    EXPECT_EQ(Submit(c.send, *io), c.status) << c.error;
    EXPECT_EQ(io->error, c.error);
    EXPECT_TRUE(io->completed && io->failed) << c.error;
    if (io->data && c.send != kDsm) {
      EXPECT_EQ(Word(*io, 0), kFill) << "stamped: " << c.error;
    }
  }
  EXPECT_FALSE(validator_->IsPending(0, 5));
  EXPECT_EQ(sim_->CommandLogTotal(), 0u);
  EXPECT_EQ(Ctx().GetIoManager().GetOutstanding(), 0);

  // 256 ranges are accepted.
  std::vector<std::pair<uint64_t, uint32_t>> many;
  for (uint64_t i = 0; i < 256; ++i) many.push_back({1000 + i * 2, 1});
  ASSERT_TRUE(Run(kDsm, *MakeDsm(many)));
  EXPECT_EQ(Tags(1000, 2), (std::vector<uint8_t>{254, 255}));
  EXPECT_EQ(validator_->GetTag(1510), 254);
}

TEST_F(IoTest, FailedWriteAndDeallocationStopTracking) {
  EnableValidator();
  Done(kWrite, 20, 2);
  ASSERT_EQ(validator_->GetTag(20), 0);

  kyt::sim::FaultRule rule;
  rule.status = kyt::sim::Status::Of(2, 0x81);
  for (uint8_t opcode : {0x01, 0x09}) {  // write, dataset management
    rule.opcode = opcode;
    sim_->InjectFault(rule);
    auto failed = opcode == 0x01 ? Io(20, 2) : MakeDsm({{20, 2}});
    ASSERT_TRUE(Run(opcode == 0x01 ? kWrite : kDsm, *failed));
    EXPECT_FALSE(Ok(*failed));
    EXPECT_EQ(Tags(20, 2), (std::vector<uint8_t>{255, 255})) << int{opcode};
    EXPECT_FALSE(validator_->IsPending(20, 2));
    // The stored data still carries the old generation; no false mismatch.
    EXPECT_FALSE(Done(kRead, 20, 2)->data_mismatch);
  }
}

TEST_F(IoTest, ValidatorDisabledInFlightSkipsTheCompletionWork) {
  EnableValidator();
  auto write = Io(30, 2);
  ASSERT_EQ(Submit(kWrite, *write), kIoOpsSubmitted);
  manager_->GetDataValidatorManager()->Disable(1);
  EnableValidator();
  ASSERT_TRUE(Complete(*write));  // must neither throw nor advance the fresh validator
  EXPECT_EQ(validator_->GetTag(30), 255);
  EXPECT_FALSE(validator_->IsPending(30, 2));

  auto read = Io(30, 2);
  ASSERT_EQ(Submit(kRead, *read), kIoOpsSubmitted);
  ASSERT_EQ(manager_->GetDataValidatorManager()->Reset(1, 10, kBlock), 0u);  // shrunk below the read
  ASSERT_TRUE(sim_->CorruptBlock(1, 30, 0, 0xFF));
  ASSERT_TRUE(Complete(*read));
  EXPECT_FALSE(read->data_mismatch);
}

TEST_F(IoTest, DriverRefusalLeavesNoPendingBits) {
  EnableValidator();
  kyt::sim::FaultRule rule;
  rule.opcode = 0x01;
  rule.count = -1;
  rule.action = kyt::sim::FaultRule::Action::kDrop;  // writes never complete: the driver runs out of requests
  sim_->InjectFault(rule);
  IoOpsStatus status = kIoOpsSubmitted;
  for (uint64_t lba = 0; lba < kNsBlocks && status == kIoOpsSubmitted; ++lba) {
    in_flight_.push_back(Io(lba, 1));
    status = Submit(kWrite, *in_flight_.back());
  }
  ASSERT_EQ(status, kIoOpsDriverError);
  const NvmeIoCtx& refused = *in_flight_.back();
  EXPECT_EQ(refused.error.rfind("The queue pair has no free slot: ", 0), 0u) << refused.error;
  EXPECT_FALSE(validator_->IsPending(refused.start_lba, 1));
  EXPECT_TRUE(validator_->IsPending(refused.start_lba - 1, 1));
  EXPECT_EQ(Ctx().GetIoManager().GetOutstanding(), in_flight_.size() - 1);
}

// A page of map the validators may not take: the write or deallocation that needs it is refused with what it needed,
// nothing is sent and nothing stays pending.
TEST_F(IoTest, ValidatorWithoutMemoryRefusesTheIo) {
  EnableValidator();
  struct Uncap {
    ~Uncap() { kyt::nvme::DataValidator::SetMemoryCap(0); }
  } uncap;
  kyt::nvme::DataValidator::SetMemoryCap(kyt::nvme::DataValidator::kPageBytes);
  Done(kWrite, 0, 8);  // the first page
  const uint64_t second_page = kyt::nvme::DataValidator::kLbasPerLine * kyt::nvme::DataValidator::kLinesPerPage;
  const uint64_t commands = sim_->counters().commands;
  auto write = Io(second_page, 8);
  EXPECT_EQ(Submit(kWrite, *write), kIoOpsNoMemory);
  EXPECT_EQ(write->error.rfind("Failed to allocate memory: data validation of NSID 1 needs 4096 bytes", 0), 0u)
      << write->error;
  auto dsm = MakeDsm({{0, 8}, {second_page, 8}});
  EXPECT_EQ(Submit(kDsm, *dsm), kIoOpsNoMemory);
  EXPECT_EQ(sim_->counters().commands, commands);
  EXPECT_FALSE(validator_->IsPending(0, 8));
  EXPECT_EQ(Ctx().GetIoManager().GetOutstanding(), 0);
}

// Namespace 1 keeps 8 bytes of metadata per block apart from the data.
class SeparateMetadataIoTest : public IoTest {
 protected:
  SeparateMetadataIoTest() { config_.namespaces[0].lba_format = 1; }
};

TEST_F(SeparateMetadataIoTest, MetadataTravelsThroughItsOwnBuffer) {
  auto bare = Io(0, 2);
  EXPECT_EQ(Submit(kWrite, *bare), kIoOpsInvalidRequest);
  EXPECT_EQ(bare->error, "Metadata buffer is too small for the number of blocks");
  auto io = Io(0, 2);
  io->meta = std::make_unique<DmaContext>(16);
  std::memset(io->meta->GetBuffer(), 0x5A, 16);
  ASSERT_TRUE(Run(kWrite, *io));
  EXPECT_TRUE(Ok(*io));
  std::vector<uint8_t> block;
  ASSERT_TRUE(sim_->ReadBlock(1, 1, &block));
  ASSERT_EQ(block.size(), kBlock + 8u);
  EXPECT_EQ(block[kBlock + 7], 0x5A);
}

}  // namespace
}  // namespace kyt_dev_test
