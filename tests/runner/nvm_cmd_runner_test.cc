// NVM command runner on the simulated drive: blocks held by a validated I/O in flight, and buffers of interleaved
// metadata.
#include <gtest/gtest.h>
#include <sys/resource.h>

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
  while (first->GetState() != 3 && !first->IsComplete()) first->Run();
  ASSERT_EQ(first->GetState(), 3u) << first->GetErrorMessage();

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

// Namespace 1 carries 8 bytes of metadata interleaved with every 512-byte block: the buffers hold them too.
class ExtendedLbaTest : public NvmCmdRunnerTest {
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
  ASSERT_TRUE(Step(*write) && write->IsDone()) << write->GetErrorMessage();
  auto read = Make(kNvmCmdRead, 10, 2);
  ASSERT_TRUE(Step(*read) && read->IsDone()) << read->GetErrorMessage();
  EXPECT_EQ(read->GetReadDataSize(), 2u * 520u);
  EXPECT_EQ(reinterpret_cast<const uint64_t*>(read->GetReadData())[0], pattern);
}

}  // namespace
}  // namespace kyt_test
