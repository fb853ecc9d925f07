// NVM command runner on the simulated drive: reads, writes and deallocation, their refusals and texts.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runner/admin_cmd_runner.h"
#include "runner/nvm_cmd_runner.h"
#include "runner_bench.h"

namespace kyt_test {
namespace {

class NvmCmdRunnerTest : public RunnerBench {
 protected:
  uint16_t CreateQueuePair() {
    AdminCmdRunner runner(address_, "CreateQueuePair");
    runner.GetInput().code = kAdminCmdCreateQueuePair;
    EXPECT_TRUE(Step(runner));
    EXPECT_TRUE(runner.IsDone()) << runner.GetErrorMessage();
    return runner.GetOutput().qid;
  }

  std::unique_ptr<NvmCmdRunner> Make(uint32_t code, uint64_t lba, uint32_t blocks, uint32_t nsid = 1,
                                     uint16_t qid = 0) {
    auto runner = std::make_unique<NvmCmdRunner>(address_, code == kNvmCmdRead    ? "Read"
                                                           : code == kNvmCmdWrite ? "Write"
                                                                                  : "Dataset Management");
    runner->SetCommandCode(code);
    runner->SetLbaRange(lba, blocks);
    runner->SetNamespaceId(nsid);
    runner->SetQueueId(qid);
    return runner;
  }
};

TEST_F(NvmCmdRunnerTest, WriteThenReadRoundTripsThePattern) {
  Attach();
  const uint16_t qid = CreateQueuePair();
  ASSERT_NE(qid, 0);
  const uint64_t pattern[2] = {0x0123456789abcdefULL, 0xfedcba9876543210ULL};
  auto write = Make(kNvmCmdWrite, 100, 4);
  EXPECT_EQ(write->GetName(), "NvmeCmd-Write");
  write->SetDataPattern(pattern, sizeof(pattern));
  ASSERT_TRUE(Step(*write));
  ASSERT_TRUE(write->IsDone()) << write->GetErrorMessage();
  EXPECT_EQ(write->GetCompletion().status_raw & 0x1FE, 0);
  EXPECT_EQ(write->GetQueueIdField(), qid);  // queue 0 picks the first I/O queue pair and writes it back

  auto read = Make(kNvmCmdRead, 100, 4);
  ASSERT_TRUE(Step(*read));
  ASSERT_TRUE(read->IsDone()) << read->GetErrorMessage();
  ASSERT_EQ(read->GetReadDataSize(), 4u * 512u);
  const auto* words = reinterpret_cast<const uint64_t*>(read->GetReadData());
  for (size_t i = 0; i < 4 * 512 / 8; ++i) ASSERT_EQ(words[i], pattern[i % 2]) << "word " << i;

  std::vector<uint8_t> block;
  ASSERT_TRUE(sim_->ReadBlock(1, 103, &block));
  uint64_t first = 0;
  std::memcpy(&first, block.data(), sizeof(first));
  EXPECT_EQ(first, pattern[0]);
}

TEST_F(NvmCmdRunnerTest, NamespaceZeroUsesTheFirstActiveNamespace) {
  Attach();
  CreateQueuePair();
  const uint64_t pattern = 0x5555aaaa5555aaaaULL;
  auto write = Make(kNvmCmdWrite, 7, 1, /*nsid=*/0);
  write->SetDataPattern(&pattern, sizeof(pattern));
  ASSERT_TRUE(Step(*write));
  ASSERT_TRUE(write->IsDone()) << write->GetErrorMessage();
  std::vector<uint8_t> block;
  ASSERT_TRUE(sim_->ReadBlock(1, 7, &block));
  uint64_t first = 0;
  std::memcpy(&first, block.data(), sizeof(first));
  EXPECT_EQ(first, pattern);
}

TEST_F(NvmCmdRunnerTest, DeallocatedBlocksReadAsZeros) {
  Attach();
  const uint16_t qid = CreateQueuePair();
  const uint64_t pattern = ~0ULL;
  auto write = Make(kNvmCmdWrite, 0, 8);
  write->SetDataPattern(&pattern, sizeof(pattern));
  ASSERT_TRUE(Step(*write));
  ASSERT_TRUE(write->IsDone()) << write->GetErrorMessage();

  spdk_nvme_dsm_range ranges[2];
  std::memset(ranges, 0, sizeof(ranges));
  ranges[0].length = 4;
  ranges[0].starting_lba = 0;
  ranges[1].length = 4;
  ranges[1].starting_lba = 4;
  auto dsm = Make(kNvmCmdDatasetManagement, 0, 0, 1, qid);
  dsm->SetDsmRanges(ranges, 2);
  dsm->SetDsmAttributes(4);  // deallocate
  ASSERT_TRUE(Step(*dsm));
  ASSERT_TRUE(dsm->IsDone()) << dsm->GetErrorMessage();
  EXPECT_EQ(dsm->GetName(), "NvmeCmd-Dataset Management");

  auto read = Make(kNvmCmdRead, 0, 8);
  ASSERT_TRUE(Step(*read));
  ASSERT_TRUE(read->IsDone()) << read->GetErrorMessage();
  const uint8_t* data = read->GetReadData();
  for (uint32_t i = 0; i < read->GetReadDataSize(); ++i) ASSERT_EQ(data[i], 0) << "byte " << i;
}

TEST_F(NvmCmdRunnerTest, RefusesBadRequestsBeforeSubmitting) {
  Attach();
  const uint16_t qid = CreateQueuePair();
  const uint64_t before = sim_->counters().commands;
  struct Case {
    uint32_t code;
    uint32_t blocks;
    uint32_t nsid;
    const char* message;
  } cases[] = {
      {kNvmCmdRead, 0, 1, "number of blocks must be a value in [1 - 65536]"},
      {kNvmCmdWrite, 65537, 1, "number of blocks must be a value in [1 - 65536]"},
      {kNvmCmdRead, 257, 1, "argument \"numBlocks\" must be at most 256, the largest transfer of namespace 1"},
      {kNvmCmdWrite, 33, 4, "argument \"numBlocks\" must be at most 32, the largest transfer of namespace 4"},
      {kNvmCmdRead, 8, 2, "Namespace 2 is not active"},
      {kNvmCmdRead, 8, 9, "Namespace 9 is not active"},
      {0, 8, 1, "aborted"},  // unknown command code: the initial message
  };
  for (const auto& c : cases) {
    auto runner = Make(c.code, 0, c.blocks, c.nsid, qid);
    ASSERT_TRUE(Step(*runner));
    EXPECT_TRUE(runner->IsAborted());
    EXPECT_EQ(runner->GetErrorMessage(), c.message);
    EXPECT_EQ(runner->IsArgumentRefused(), runner->GetErrorMessage().rfind("argument", 0) == 0);
  }
  auto dsm = Make(kNvmCmdDatasetManagement, 0, 0, 1, qid);
  dsm->SetDsmRanges(nullptr, 0);
  ASSERT_TRUE(Step(*dsm));
  EXPECT_EQ(dsm->GetErrorMessage(), "Invalid Number of Ranges");
  std::vector<uint8_t> ranges(257 * 16, 0);
  auto too_many = Make(kNvmCmdDatasetManagement, 0, 0, 1, qid);
  too_many->SetDsmRanges(ranges.data(), 257);
  ASSERT_TRUE(Step(*too_many));
  EXPECT_EQ(too_many->GetErrorMessage(), "Invalid Number of Ranges");
  EXPECT_EQ(sim_->counters().commands, before) << "nothing reached the drive";
}

TEST_F(NvmCmdRunnerTest, WithoutAnIoQueueTheQueueIdIsInvalid) {
  Attach();
  auto read = Make(kNvmCmdRead, 0, 1);
  ASSERT_TRUE(Step(*read));
  EXPECT_TRUE(read->IsAborted());
  EXPECT_EQ(read->GetErrorMessage(), "Invalid Queue ID");
}

TEST_F(NvmCmdRunnerTest, AnErrorStatusEndsDoneWithTheCompletion) {
  Attach();
  const uint16_t qid = CreateQueuePair();
  kyt::sim::FaultRule rule;
  rule.admin = false;
  rule.qid = qid;
  rule.opcode = 0x02;
  rule.status = kyt::sim::Status::Of(0, 0x81);
  sim_->InjectFault(rule);
  auto read = Make(kNvmCmdRead, 0, 1);
  ASSERT_TRUE(Step(*read));
  ASSERT_TRUE(read->IsDone()) << read->GetErrorMessage();
  EXPECT_EQ(read->GetCompletion().status.sc, 0x81);
  EXPECT_EQ(read->GetCompletion().sqid, qid);
}

TEST_F(NvmCmdRunnerTest, PowerOffNoticeAbortsBeforeSubmission) {
  Attach();
  CreateQueuePair();
  Controller()->NotifyPowerOff();
  auto read = Make(kNvmCmdRead, 0, 1);
  ASSERT_TRUE(Step(*read));
  EXPECT_EQ(read->GetErrorMessage(), "power off notified");
}

TEST_F(NvmCmdRunnerTest, ValidatedRangeBusyIsRefusedWithAText) {
  Attach();
  const uint16_t qid = CreateQueuePair();
  RunFunction(kFunctionEnableDataValidator, [](GenericFunctionRunner& r) {
    r.SetDeviceCheck(true);
    r.SetNamespaceId(1);
  });
  kyt::sim::FaultRule slow;
  slow.qid = qid;
  slow.opcode = 0x01;
  slow.action = kyt::sim::FaultRule::Action::kDelay;
  slow.delay_us = 2000000;
  sim_->InjectFault(slow);
  auto first = Make(kNvmCmdWrite, 500, 8);
  first->SetNvmeControllerManager(manager_);
  while (first->GetState() != 3 && !first->IsComplete()) first->Run();  // submitted, its completion held back
  ASSERT_EQ(first->GetState(), 3u) << first->GetErrorMessage();

  auto second = Make(kNvmCmdRead, 504, 8);  // overlaps blocks 504..507 of the write in flight
  ASSERT_TRUE(Step(*second));
  EXPECT_TRUE(second->IsAborted());
  EXPECT_EQ(second->GetErrorMessage(), "LBA range is busy with another I/O under data validation");

  ASSERT_TRUE(Step(*first));
  EXPECT_TRUE(first->IsDone()) << first->GetErrorMessage();
  auto third = Make(kNvmCmdRead, 504, 8);  // the range is free again and carries the write's tags
  ASSERT_TRUE(Step(*third));
  EXPECT_TRUE(third->IsDone()) << third->GetErrorMessage();
  RunFunction(kFunctionDisableDataValidator, [](GenericFunctionRunner& r) {
    r.SetNamespaceId(GenericFunctionRunner::kAllNamespaces);
  });
}

TEST_F(NvmCmdRunnerTest, ValidatedReadOfACorruptedBlockEndsInDataMismatch) {
  Attach();
  CreateQueuePair();
  RunFunction(kFunctionEnableDataValidator, [](GenericFunctionRunner& r) {
    r.SetDeviceCheck(true);
    r.SetNamespaceId(1);
  });
  auto write = Make(kNvmCmdWrite, 16, 8);
  ASSERT_TRUE(Step(*write));
  ASSERT_TRUE(write->IsDone()) << write->GetErrorMessage();
  auto good = Make(kNvmCmdRead, 16, 8);
  ASSERT_TRUE(Step(*good));
  ASSERT_TRUE(good->IsDone()) << good->GetErrorMessage();

  ASSERT_TRUE(sim_->CorruptBlock(1, 19, 0, 0xFF));
  auto bad = Make(kNvmCmdRead, 16, 8);
  ASSERT_TRUE(Step(*bad));
  EXPECT_TRUE(bad->IsAborted());
  EXPECT_EQ(bad->GetErrorMessage(), "data mismatch");
  RunFunction(kFunctionDisableDataValidator, [](GenericFunctionRunner& r) {
    r.SetNamespaceId(GenericFunctionRunner::kAllNamespaces);
  });
}

// Namespace 1 carries 8 bytes of metadata interleaved with every 512-byte block.
class ExtendedLbaTest : public NvmCmdRunnerTest {
 protected:
  kyt::sim::SimConfig Config() override {
    kyt::sim::SimConfig config = StandardConfig();
    config.namespaces[0].lba_format = 1;
    config.namespaces[0].extended_lba = true;
    return config;
  }
};

TEST_F(ExtendedLbaTest, BuffersHoldTheInterleavedMetadataToo) {
  Attach();
  CreateQueuePair();
  const uint64_t pattern = 0x0102030405060708ULL;
  auto write = Make(kNvmCmdWrite, 10, 2);
  write->SetDataPattern(&pattern, sizeof(pattern));
  ASSERT_TRUE(Step(*write));
  ASSERT_TRUE(write->IsDone()) << write->GetErrorMessage();
  auto read = Make(kNvmCmdRead, 10, 2);
  ASSERT_TRUE(Step(*read));
  ASSERT_TRUE(read->IsDone()) << read->GetErrorMessage();
  EXPECT_EQ(read->GetReadDataSize(), 2u * 520u);
  uint64_t first = 0;
  std::memcpy(&first, read->GetReadData(), sizeof(first));
  EXPECT_EQ(first, pattern);
}

}  // namespace
}  // namespace kyt_test
