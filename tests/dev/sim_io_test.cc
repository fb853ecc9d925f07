// Validated reads, writes and deallocations through IoManager on the simulated drive.
#include <gtest/gtest.h>

#include <cstring>

#include "nvme/data_validator.h"
#include "nvme/data_validator_manager.h"
#include "nvme/dma_context.h"
#include "nvme/io_manager.h"
#include "nvme/nvme_io_ctx.h"
#include "sim_fixture.h"

namespace kyt_dev_test {
namespace {

using kyt::nvme::DataValidator;

constexpr uint32_t kBlock = 512;
constexpr uint32_t kNsBlocks = 4096;

class IoTest : public SimDeviceTest {
 protected:
  IoTest() {
    config_.namespaces[0].blocks = kNsBlocks;
    config_.namespaces[0].lba_format = 0;
  }

  void SetUp() override {
    SimDeviceTest::SetUp();
    ASSERT_TRUE(Attach()->IsInitialized());
    qid_ = CreateQueuePair();
    ASSERT_NE(qid_, 0);
  }

  void EnableValidator() {
    ASSERT_EQ(manager_->GetDataValidatorManager()->Enable(1, kNsBlocks, kBlock), 0u);
    validator_ = manager_->GetDataValidatorManager()->GetDataValidator(1);
  }

  std::unique_ptr<NvmeIoCtx> MakeIo(uint64_t lba, uint32_t blocks, uint64_t buffer_bytes = 0) {
    auto io = std::make_unique<NvmeIoCtx>();
    io->nsid = 1;
    io->qid = qid_;
    io->start_lba = lba;
    io->num_blocks = blocks;
    io->data = std::make_unique<DmaContext>(buffer_bytes != 0 ? buffer_bytes : uint64_t{blocks} * kBlock);
    return io;
  }

  std::unique_ptr<NvmeIoCtx> MakeDsm(const std::vector<std::pair<uint64_t, uint32_t>>& ranges) {
    auto io = std::make_unique<NvmeIoCtx>();
    io->nsid = 1;
    io->qid = qid_;
    io->dsm_attributes = 0x4;  // deallocate
    io->num_ranges = static_cast<uint32_t>(ranges.size());
    io->data = std::make_unique<DmaContext>(4096);
    auto* entries = static_cast<spdk_nvme_dsm_range*>(io->data->GetBuffer());
    for (size_t i = 0; i < ranges.size(); ++i) {
      entries[i].attributes.raw = 0;
      entries[i].starting_lba = ranges[i].first;
      entries[i].length = ranges[i].second;
    }
    return io;
  }

  kyt::nvme::IoManager& Io() { return Ctx().GetIoManager(); }

  void Complete(NvmeIoCtx& io) {
    ASSERT_TRUE(PollUntil([&] { Ctx().GetQueueManager().ProcessIoCompletions(qid_); }, [&] { return io.completed; }));
  }

  static uint64_t Word(const NvmeIoCtx& io, uint32_t block) {
    uint64_t word;
    std::memcpy(&word, static_cast<const uint8_t*>(io.data->GetBuffer()) + block * kBlock, sizeof(word));
    return word;
  }

  static uint16_t StatusCode(const NvmeIoCtx& io) { return (io.cpl.status_raw >> 1) & 0xFF; }

  uint64_t StoredWord(uint64_t lba) {
    std::vector<uint8_t> block;
    EXPECT_TRUE(sim_->ReadBlock(1, lba, &block));
    uint64_t word = 0;
    if (block.size() >= 8) std::memcpy(&word, block.data(), sizeof(word));
    return word;
  }

  uint16_t qid_ = 0;
  std::shared_ptr<DataValidator> validator_;
  std::vector<std::unique_ptr<NvmeIoCtx>> in_flight_;  // outlives the fixture's teardown (detach)
};

TEST_F(IoTest, WriteStampsTagsAndReadExpectsThem) {
  EnableValidator();
  auto write = MakeIo(10, 4);
  ASSERT_EQ(Io().SendWriteAsync(write.get()), kIoOpsSubmitted);
  EXPECT_EQ(write->data_validator, validator_);
  EXPECT_EQ(Word(*write, 0), 0x0A00u);
  EXPECT_EQ(Word(*write, 1), 0x0B00u);
  EXPECT_EQ(Word(*write, 2), 0x0C00u);
  EXPECT_EQ(Word(*write, 3), 0x0D00u);
  EXPECT_TRUE(validator_->IsPending(10, 4));
  EXPECT_EQ(validator_->GetTag(10), 255);  // advanced only at completion
  EXPECT_EQ(Io().GetOutstanding(), 1);
  Complete(*write);
  EXPECT_EQ(Io().GetOutstanding(), 0);
  EXPECT_EQ(StatusCode(*write), 0);
  EXPECT_FALSE(validator_->IsPending(10, 4));
  for (uint64_t lba = 10; lba < 14; ++lba) EXPECT_EQ(validator_->GetTag(lba), 0);
  EXPECT_EQ(StoredWord(12), 0x0C00u);
  EXPECT_GE(write->complete_ticks, write->submit_ticks);

  auto read = MakeIo(10, 4);
  ASSERT_EQ(Io().SendReadAsync(read.get()), kIoOpsSubmitted);
  EXPECT_EQ(read->expected_tags, (std::vector<uint8_t>{0, 0, 0, 0}));
  Complete(*read);
  EXPECT_FALSE(read->data_mismatch);
  EXPECT_EQ(Word(*read, 3), 0x0D00u);
  EXPECT_FALSE(validator_->IsPending(10, 4));

  // A second write stamps the next generation.
  auto again = MakeIo(11, 1);
  ASSERT_EQ(Io().SendWriteAsync(again.get()), kIoOpsSubmitted);
  EXPECT_EQ(Word(*again, 0), 0x0B01u);
  Complete(*again);
  EXPECT_EQ(validator_->GetTag(11), 1);
}

TEST_F(IoTest, CorruptedBlockIsAMismatch) {
  EnableValidator();
  auto write = MakeIo(100, 8);
  ASSERT_EQ(Io().SendWriteAsync(write.get()), kIoOpsSubmitted);
  Complete(*write);
  ASSERT_TRUE(sim_->CorruptBlock(1, 105, 1, 0x01));
  auto read = MakeIo(100, 8);
  ASSERT_EQ(Io().SendReadAsync(read.get()), kIoOpsSubmitted);
  Complete(*read);
  EXPECT_TRUE(read->data_mismatch);
  // Untracked blocks are never reported.
  auto untracked = MakeIo(200, 2);
  ASSERT_EQ(Io().SendReadAsync(untracked.get()), kIoOpsSubmitted);
  Complete(*untracked);
  EXPECT_FALSE(untracked->data_mismatch);
}

TEST_F(IoTest, DeallocatedBlocksExpectZero) {
  EnableValidator();
  auto write = MakeIo(40, 4);
  ASSERT_EQ(Io().SendWriteAsync(write.get()), kIoOpsSubmitted);
  Complete(*write);
  auto dsm = MakeDsm({{40, 2}, {43, 1}});
  ASSERT_EQ(Io().SendDsmAsync(dsm.get()), kIoOpsSubmitted);
  EXPECT_TRUE(validator_->IsPending(40, 2));
  EXPECT_FALSE(validator_->IsPending(42, 1));
  Complete(*dsm);
  EXPECT_EQ(validator_->GetTag(40), 254);
  EXPECT_EQ(validator_->GetTag(41), 254);
  EXPECT_EQ(validator_->GetTag(42), 0);
  EXPECT_EQ(validator_->GetTag(43), 254);
  EXPECT_FALSE(validator_->IsPending(40, 4));

  auto read = MakeIo(40, 4);
  ASSERT_EQ(Io().SendReadAsync(read.get()), kIoOpsSubmitted);
  EXPECT_EQ(read->expected_tags, (std::vector<uint8_t>{254, 254, 0, 254}));
  Complete(*read);
  EXPECT_FALSE(read->data_mismatch);
  EXPECT_EQ(Word(*read, 0), 0u);
  EXPECT_EQ(Word(*read, 2), 0x2A00u);

  // A block that should read zero but does not is a mismatch.
  ASSERT_TRUE(sim_->CorruptBlock(1, 41, 0, 0x10));
  auto bad = MakeIo(41, 1);
  ASSERT_EQ(Io().SendReadAsync(bad.get()), kIoOpsSubmitted);
  Complete(*bad);
  EXPECT_TRUE(bad->data_mismatch);
}

TEST_F(IoTest, SingleRangeDeallocation) {
  EnableValidator();
  auto trim = MakeIo(60, 3, 4096);
  std::memset(trim->data->GetBuffer(), 0xEE, 4096);
  ASSERT_TRUE(trim->SetSingleRange());
  EXPECT_EQ(trim->num_ranges, 1u);
  const auto* range = static_cast<const spdk_nvme_dsm_range*>(trim->data->GetBuffer());
  EXPECT_EQ(range->attributes.raw, 4u);
  EXPECT_EQ(range->length, 3u);
  EXPECT_EQ(range->starting_lba, 60u);
  EXPECT_EQ(static_cast<const uint8_t*>(trim->data->GetBuffer())[4095], 0);
  trim->dsm_attributes = 0x4;
  ASSERT_EQ(Io().SendDsmAsync(trim.get()), kIoOpsSubmitted);
  Complete(*trim);
  EXPECT_EQ(validator_->GetTag(60), 254);
  EXPECT_EQ(validator_->GetTag(62), 254);
  EXPECT_EQ(validator_->GetTag(63), 255);

  auto small = MakeIo(0, 1, 512);  // smaller than the 4096-byte payload: nothing written
  std::memset(small->data->GetBuffer(), 0xEE, 512);
  EXPECT_FALSE(small->SetSingleRange());
  EXPECT_EQ(Word(*small, 0), 0xEEEEEEEEEEEEEEEEull);
}

TEST_F(IoTest, OverlappingValidatedIoIsRefusedAndChangesNothing) {
  EnableValidator();
  auto first = MakeIo(0, 16);
  ASSERT_EQ(Io().SendWriteAsync(first.get()), kIoOpsSubmitted);

  auto second = MakeIo(15, 2);
  std::memset(second->data->GetBuffer(), 0xAB, second->data->GetSize());
  EXPECT_EQ(Io().SendWriteAsync(second.get()), kIoOpsRangeBusy);
  EXPECT_FALSE(second->completed);
  EXPECT_EQ(Word(*second, 0), 0xABABABABABABABABull);
  EXPECT_EQ(Word(*second, 1), 0xABABABABABABABABull);
  EXPECT_FALSE(validator_->IsPending(16, 1));
  auto read = MakeIo(3, 1);
  EXPECT_EQ(Io().SendReadAsync(read.get()), kIoOpsRangeBusy);
  EXPECT_TRUE(read->expected_tags.empty());

  // A busy later range of a DSM leaves no pending bits of its earlier ranges behind.
  auto dsm = MakeDsm({{100, 4}, {8, 1}});
  EXPECT_EQ(Io().SendDsmAsync(dsm.get()), kIoOpsRangeBusy);
  EXPECT_FALSE(validator_->IsPending(100, 4));
  // Two ranges of one command that overlap make it busy as well.
  auto self_overlap = MakeDsm({{200, 4}, {203, 2}});
  EXPECT_EQ(Io().SendDsmAsync(self_overlap.get()), kIoOpsRangeBusy);
  EXPECT_FALSE(validator_->IsPending(200, 5));
  EXPECT_EQ(Io().GetOutstanding(), 1);

  Complete(*first);
  // Retried once the range is free.
  EXPECT_EQ(Io().SendWriteAsync(second.get()), kIoOpsSubmitted);
  Complete(*second);
  EXPECT_EQ(validator_->GetTag(15), 1);
  EXPECT_EQ(validator_->GetTag(16), 0);
}

TEST_F(IoTest, RangeAndQueueRefusals) {
  EnableValidator();
  sim_->ClearCommandLog();
  auto ranges257 = MakeDsm({{0, 1}});
  ranges257->num_ranges = 257;
  ranges257->qid = 77;  // the range count is tested first
  EXPECT_EQ(Io().SendDsmAsync(ranges257.get()), kIoOpsInvalidNumRanges);
  EXPECT_TRUE(ranges257->completed);
  EXPECT_TRUE(ranges257->failed);
  EXPECT_EQ(ranges257->error, "Invalid Number of Ranges");
  auto none = MakeDsm({{0, 1}});
  none->num_ranges = 0;
  EXPECT_EQ(Io().SendDsmAsync(none.get()), kIoOpsInvalidNumRanges);

  auto bad_qid = MakeIo(0, 1);
  bad_qid->qid = 9;
  EXPECT_EQ(Io().SendWriteAsync(bad_qid.get()), kIoOpsInvalidQueueId);
  EXPECT_EQ(bad_qid->error, "Invalid Queue ID");
  EXPECT_TRUE(bad_qid->completed && bad_qid->failed);
  auto read_qid0 = MakeIo(0, 1);
  read_qid0->qid = 0;
  EXPECT_EQ(Io().SendReadAsync(read_qid0.get()), kIoOpsInvalidQueueId);
  auto dsm_qid = MakeDsm({{0, 1}});
  dsm_qid->qid = 9;
  EXPECT_EQ(Io().SendDsmAsync(dsm_qid.get()), kIoOpsInvalidQueueId);
  EXPECT_EQ(sim_->CommandLogTotal(), 0u);

  // 256 ranges are accepted.
  std::vector<std::pair<uint64_t, uint32_t>> many;
  for (uint64_t i = 0; i < 256; ++i) many.push_back({1000 + i * 2, 1});
  auto full = MakeDsm(many);
  ASSERT_EQ(Io().SendDsmAsync(full.get()), kIoOpsSubmitted);
  Complete(*full);
  EXPECT_EQ(StatusCode(*full), 0);
  EXPECT_EQ(validator_->GetTag(1000), 254);
  EXPECT_EQ(validator_->GetTag(1001), 255);
  EXPECT_EQ(validator_->GetTag(1510), 254);
}

TEST_F(IoTest, UnsoundRequestsAreRefusedBeforeAnythingIsSent) {
  EnableValidator();
  sim_->ClearCommandLog();
  auto zero = MakeIo(0, 1);
  zero->num_blocks = 0;
  EXPECT_EQ(Io().SendWriteAsync(zero.get()), kIoOpsInvalidRequest);
  EXPECT_EQ(zero->error, "Invalid Number of Blocks");
  EXPECT_TRUE(zero->completed && zero->failed);
  auto huge = MakeIo(0, 1);
  huge->num_blocks = 65537;
  EXPECT_EQ(Io().SendReadAsync(huge.get()), kIoOpsInvalidRequest);
  EXPECT_EQ(huge->error, "Invalid Number of Blocks");

  auto too_long = MakeIo(0, 2);
  too_long->xfer_size = 2 * kBlock + 1;
  EXPECT_EQ(Io().SendReadAsync(too_long.get()), kIoOpsInvalidRequest);
  EXPECT_EQ(too_long->error, "Transfer size exceeds the data buffer");

  auto small = MakeIo(0, 4, 3 * kBlock);  // four blocks do not fit three blocks of buffer
  std::memset(small->data->GetBuffer(), 0x5A, small->data->GetSize());
  EXPECT_EQ(Io().SendWriteAsync(small.get()), kIoOpsInvalidRequest);
  EXPECT_EQ(small->error, "Data buffer is too small for the number of blocks");
  EXPECT_EQ(Word(*small, 0), 0x5A5A5A5A5A5A5A5Aull);  // nothing stamped
  EXPECT_FALSE(validator_->IsPending(0, 4));

  auto missing = MakeIo(0, 1);
  missing->data.reset();
  EXPECT_EQ(Io().SendWriteAsync(missing.get()), kIoOpsInvalidRequest);
  EXPECT_EQ(missing->error, "Data buffer is missing");

  auto short_dsm = MakeDsm({{0, 1}});
  short_dsm->data = std::make_unique<DmaContext>(32);
  short_dsm->num_ranges = 3;
  EXPECT_EQ(Io().SendDsmAsync(short_dsm.get()), kIoOpsInvalidRequest);
  EXPECT_EQ(short_dsm->error, "Data buffer is too small for the number of ranges");

  EXPECT_EQ(sim_->CommandLogTotal(), 0u);
  EXPECT_EQ(Io().GetOutstanding(), 0);
}

TEST_F(IoTest, FailedWriteAndDeallocationStopTracking) {
  EnableValidator();
  auto good = MakeIo(20, 2);
  ASSERT_EQ(Io().SendWriteAsync(good.get()), kIoOpsSubmitted);
  Complete(*good);
  ASSERT_EQ(validator_->GetTag(20), 0);

  kyt::sim::FaultRule rule;
  rule.opcode = 0x01;  // write
  rule.status = kyt::sim::Status::Of(2, 0x81);  // media error: unrecovered read... any failure
  sim_->InjectFault(rule);
  auto failed = MakeIo(20, 2);
  ASSERT_EQ(Io().SendWriteAsync(failed.get()), kIoOpsSubmitted);
  Complete(*failed);
  EXPECT_NE(failed->cpl.status_raw & 0x1FE, 0);
  EXPECT_EQ(validator_->GetTag(20), 255);
  EXPECT_EQ(validator_->GetTag(21), 255);
  EXPECT_FALSE(validator_->IsPending(20, 2));
  // The stored data still carries the old generation; no false mismatch.
  auto read = MakeIo(20, 2);
  ASSERT_EQ(Io().SendReadAsync(read.get()), kIoOpsSubmitted);
  Complete(*read);
  EXPECT_FALSE(read->data_mismatch);

  rule.opcode = 0x09;
  sim_->InjectFault(rule);
  auto dsm = MakeDsm({{20, 2}});
  ASSERT_EQ(Io().SendDsmAsync(dsm.get()), kIoOpsSubmitted);
  Complete(*dsm);
  EXPECT_EQ(validator_->GetTag(20), 255);
  EXPECT_FALSE(validator_->IsPending(20, 2));
}

TEST_F(IoTest, ValidatorDisabledInFlightSkipsTheCompletionWork) {
  EnableValidator();
  auto write = MakeIo(30, 2);
  ASSERT_EQ(Io().SendWriteAsync(write.get()), kIoOpsSubmitted);
  manager_->GetDataValidatorManager()->Disable(1);
  ASSERT_EQ(manager_->GetDataValidatorManager()->Enable(1, kNsBlocks, kBlock), 0u);
  Complete(*write);  // must neither throw nor advance the fresh validator
  EXPECT_EQ(validator_->GetTag(30), 255);
  EXPECT_FALSE(validator_->IsPending(30, 2));

  auto read = MakeIo(30, 2);
  ASSERT_EQ(Io().SendReadAsync(read.get()), kIoOpsSubmitted);
  ASSERT_EQ(manager_->GetDataValidatorManager()->Reset(1, 10, kBlock), 0u);  // shrunk below the read
  ASSERT_TRUE(sim_->CorruptBlock(1, 30, 0, 0xFF));
  Complete(*read);
  EXPECT_FALSE(read->data_mismatch);
}

TEST_F(IoTest, UnvalidatedIoUsesThePatternAndNeverWaits) {
  // NSID 1 is not enabled: nothing is stamped, nothing is refused for overlap.
  const uint64_t pattern[2] = {0x1111111111111111ull, 0x2222222222222222ull};
  auto write = MakeIo(50, 2);
  write->pattern = pattern;
  write->pattern_size = sizeof(pattern);
  ASSERT_EQ(Io().SendWriteAsync(write.get()), kIoOpsSubmitted);
  EXPECT_EQ(write->data_validator, nullptr);
  auto overlapping = MakeIo(51, 1);
  EXPECT_EQ(Io().SendWriteAsync(overlapping.get()), kIoOpsSubmitted);
  const auto* words = static_cast<const uint64_t*>(write->data->GetBuffer());
  EXPECT_EQ(words[0], pattern[0]);
  EXPECT_EQ(words[1], pattern[1]);
  EXPECT_EQ(words[2], pattern[0]);
  EXPECT_EQ(words[kBlock / 8], pattern[0]);  // restarts at every block
  EXPECT_EQ(words[kBlock / 8 + 1], pattern[1]);
  EXPECT_EQ(Io().GetOutstanding(), 2);
  Complete(*write);
  Complete(*overlapping);
  EXPECT_EQ(Io().GetOutstanding(), 0);
  EXPECT_EQ(StoredWord(50), pattern[0]);

  // A validated namespace with an I/O beyond the validator's LBAs also runs unvalidated.
  ASSERT_EQ(manager_->GetDataValidatorManager()->Enable(1, 60, kBlock), 0u);
  auto beyond = MakeIo(59, 2);
  ASSERT_EQ(Io().SendReadAsync(beyond.get()), kIoOpsSubmitted);
  EXPECT_EQ(beyond->data_validator, nullptr);
  Complete(*beyond);

  // NSID 0 never gets a validator.
  auto nsid0 = MakeIo(0, 1);
  nsid0->nsid = 0;
  ASSERT_EQ(Io().SendReadAsync(nsid0.get()), kIoOpsSubmitted);
  EXPECT_EQ(nsid0->data_validator, nullptr);
  Complete(*nsid0);
  EXPECT_NE(nsid0->cpl.status_raw & 0x1FE, 0);  // invalid namespace on the device
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
    in_flight_.push_back(MakeIo(lba, 1));
    status = Io().SendWriteAsync(in_flight_.back().get());
  }
  ASSERT_EQ(status, kIoOpsDriverError);
  const NvmeIoCtx& refused = *in_flight_.back();
  EXPECT_EQ(refused.error.rfind("Unexpected Internal Error, Error Code: ", 0), 0u) << refused.error;
  EXPECT_FALSE(validator_->IsPending(refused.start_lba, 1));
  EXPECT_TRUE(validator_->IsPending(refused.start_lba - 1, 1));
  EXPECT_EQ(Io().GetOutstanding(), in_flight_.size() - 1);
  // The contexts in flight stay alive (fixture member) until the detach has aborted them.
}

TEST_F(IoTest, CallbackReceivesTheCompletion) {
  auto read = MakeIo(0, 1);
  static int calls = 0;
  calls = 0;
  read->user_ctx = &calls;
  read->callback = [](NvmeIoCtx* ctx, const spdk_nvme_cpl* cpl) {
    ++*static_cast<int*>(ctx->user_ctx);
    EXPECT_TRUE(ctx->completed);
    EXPECT_EQ(cpl->status_raw & 0x1FE, 0);
  };
  ASSERT_EQ(Io().SendReadAsync(read.get()), kIoOpsSubmitted);
  Complete(*read);
  EXPECT_EQ(calls, 1);
}

TEST_F(IoTest, DmaBytesAreCounted) {
  const uint64_t before = DmaContext::GetTotalAllocated();
  {
    DmaContext a(4096);
    DmaContext none(0);
    EXPECT_NE(a.GetBuffer(), nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a.GetBuffer()) % 512, 0u);
    EXPECT_EQ(static_cast<const uint8_t*>(a.GetBuffer())[100], 0);
    EXPECT_EQ(none.GetBuffer(), nullptr);
    EXPECT_EQ(DmaContext::GetTotalAllocated(), before + 4096);
  }
  EXPECT_EQ(DmaContext::GetTotalAllocated(), before);
}

}  // namespace
}  // namespace kyt_dev_test
