// NVM command runner on the simulated drive: blocks held by a validated I/O in flight, and buffers of interleaved
// metadata.
#include <gtest/gtest.h>

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
