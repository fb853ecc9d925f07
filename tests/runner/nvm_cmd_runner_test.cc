// NVM command runner on the simulated drive: blocks held by a validated I/O in flight, and the layout of blocks that
// carry their metadata in the data buffer.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <string>
#include <vector>

#include "nvme/data_validator.h"
#include "nvme/data_validator_manager.h"
#include "runner/nvm_cmd_runner.h"
#include "runner_bench.h"

namespace kyt_test {
namespace {

class NvmCmdRunnerTest : public RunnerBench {
 protected:
  std::unique_ptr<NvmCmdRunner> Make(uint32_t code, uint64_t lba, uint32_t blocks, uint32_t nsid = 1) {
    auto runner = std::make_unique<NvmCmdRunner>(address_, "Test");
    runner->SetCommandCode(code);
    runner->SetLbaRange(lba, blocks);
    runner->SetNamespaceId(nsid);
    return runner;
  }
};

// A second I/O on blocks that a validated write in flight holds is refused with a text.
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
  while (first->GetState() != NvmCmdRunner::kWaitForCompletion && !first->IsComplete()) first->Run();
  ASSERT_EQ(first->GetState(), NvmCmdRunner::kWaitForCompletion) << first->GetErrorMessage();

  auto second = Make(kNvmCmdRead, 504, 8);
  ASSERT_TRUE(Step(*second));
  EXPECT_EQ(second->GetErrorMessage(), "LBA range is busy with another I/O under data validation");
  ASSERT_TRUE(Step(*first) && first->IsDone()) << first->GetErrorMessage();
}

// Enabling every namespace when one map cannot be had (the address space is limited): the call fails with what that
// namespace needed and gives back the validators it had enabled.
TEST_F(NvmCmdRunnerTest, FailedEnableOfEveryNamespaceGivesBackWhatItEnabled) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address-space limit does not work with the sanitizer's shadow memory";
#else
  Attach();
  GenericFunctionRunner runner(address_, "Test");
  runner.SetFunctionCode(kFunctionEnableDataValidator);
  runner.SetDeviceCheck(true);
  runner.SetNamespaceId(GenericFunctionRunner::kAllNamespaces);
  runner.SetNvmeControllerManager(manager_);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
  unsigned long long pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  ASSERT_NE(statm, nullptr);
  ASSERT_EQ(std::fscanf(statm, "%llu", &pages), 1);
  std::fclose(statm);
  // Room for namespace 1's map (1.2 MB), not for namespace 3's (5.7 GB).
  rlimit tight = old;
  tight.rlim_cur = pages * 4096 + (256u << 20);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
  while (!runner.Run()) {
  }
  setrlimit(RLIMIT_AS, &old);
  EXPECT_TRUE(runner.IsAborted());
  EXPECT_EQ(runner.GetErrorMessage(),
            "Failed to allocate memory: data validation of NSID 3 (5000000000 blocks) needs " +
                std::to_string(kyt::nvme::DataValidator::MapBytes(5000000000ULL)) + " bytes of address space");
  EXPECT_FALSE(manager_->GetDataValidatorManager()->GetDataValidator(1)->IsEnabled());
#endif
}

// Namespace 1 carries its metadata at the end of every block (extended LBA): blocks lie data plus metadata apart in
// the data buffer. Parameter: the simulated drive's LBA format.
class ExtendedLbaTest : public NvmCmdRunnerTest, public ::testing::WithParamInterface<uint8_t> {
 protected:
  kyt::sim::SimConfig Config() override {
    kyt::sim::SimConfig config = StandardConfig();
    config.namespaces[0].lba_format = GetParam();
    config.namespaces[0].extended_lba = true;
    return config;
  }

  // Runs the command to its end; its error message ("" when done).
  std::string Run(uint32_t code, uint64_t lba, uint32_t blocks, const uint64_t* pattern = nullptr, size_t size = 0) {
    last_ = Make(code, lba, blocks);
    if (pattern != nullptr) last_->SetDataPattern(pattern, size);
    EXPECT_TRUE(Step(*last_));
    return last_->IsDone() ? "" : last_->GetErrorMessage();
  }

  std::vector<uint8_t> Media(uint64_t lba) {
    std::vector<uint8_t> block;
    EXPECT_TRUE(sim_->ReadBlock(1, lba, &block));
    return block;
  }

  static uint64_t Word(const uint8_t* at) {
    uint64_t word;
    std::memcpy(&word, at, sizeof(word));
    return word;
  }

  std::unique_ptr<NvmCmdRunner> last_;
};

// Validated: every block's stamp lands at its start on the drive, reads of one block or of several agree with the
// write, and a corrupted block among eight is the one reported.
TEST_P(ExtendedLbaTest, StampsAndChecksFollowTheBlocksInTheBuffer) {
  Attach();
  CreateQueuePair();
  RunFunction(kFunctionEnableDataValidator, [](GenericFunctionRunner& r) {
    r.SetDeviceCheck(true);
    r.SetNamespaceId(1);
  });
  ASSERT_EQ(Run(kNvmCmdWrite, 0, 8), "");
  for (uint64_t lba = 1; lba < 8; ++lba) EXPECT_EQ(Word(Media(lba).data()), lba << 8) << lba;
  EXPECT_EQ(Run(kNvmCmdRead, 4, 4), "");
  EXPECT_EQ(Run(kNvmCmdRead, 1, 1), "");
  EXPECT_EQ(Run(kNvmCmdRead, 0, 8), "");
  ASSERT_TRUE(sim_->CorruptBlock(1, 1, 0, 0xFF));
  EXPECT_EQ(Run(kNvmCmdRead, 0, 8), "data mismatch");
  EXPECT_EQ(last_->GetMismatch().lba, 1u);
  EXPECT_EQ(last_->GetMismatch().expected, 0u);
  EXPECT_EQ(last_->GetMismatch().found, 0xFFu);
}

// Not validated: the pattern starts afresh at every block's first byte and runs on over its metadata, so the drive
// holds the same bytes in every block and a read hands them back in the same layout.
TEST_P(ExtendedLbaTest, PatternFillsEveryBlockOfTheBuffer) {
  Attach();
  CreateQueuePair();
  const uint64_t pattern[] = {0x0102030405060708ULL, 0x1112131415161718ULL};
  ASSERT_EQ(Run(kNvmCmdWrite, 10, 3, pattern, sizeof(pattern)), "");
  const std::vector<uint8_t> first = Media(10);
  for (size_t at = 0; at + 8 <= first.size(); at += 8) ASSERT_EQ(Word(&first[at]), pattern[at / 8 % 2]) << at;
  EXPECT_EQ(Media(11), first);
  EXPECT_EQ(Media(12), first);
  ASSERT_EQ(Run(kNvmCmdRead, 10, 3), "");
  ASSERT_EQ(last_->GetReadDataSize(), 3 * first.size());
  for (size_t b = 0; b < 3; ++b) {
    EXPECT_EQ(std::memcmp(last_->GetReadData() + b * first.size(), first.data(), first.size()), 0) << b;
  }
}

// 512 + 8, 4096 + 8 and 4096 + 64 bytes a block.
INSTANTIATE_TEST_SUITE_P(Formats, ExtendedLbaTest, ::testing::Values(1, 3, 4));

}  // namespace
}  // namespace kyt_test
