// Format NVM and data validation on the simulated drive: a format that was sent, whatever its outcome, leaves the
// validation of its namespace starting afresh, so that the blocks it erased are never reported as a data mismatch.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "nvme/data_validator.h"
#include "nvme/nvme_controller_ctx.h"
#include "runner/nvm_cmd_runner.h"
#include "runner_bench.h"
#include "spdk/env.h"

namespace kyt_test {
namespace {

class FormatValidationTest : public RunnerBench {
 protected:
  void SetUp() override {
    RunnerBench::SetUp();
    Attach(60000);
    CreateQueuePair();
    RunFunction(kFunctionEnableDataValidator, [](GenericFunctionRunner& r) {
      r.SetDeviceCheck(true);
      r.SetNamespaceId(1);
    });
    Io(kNvmCmdWrite, "");  // blocks 0-7 hold validated stamps
  }

  // A validated read or write of blocks 0-7 of namespace 1, expected to end with `error` ("" for done).
  void Io(uint32_t code, const std::string& error) {
    NvmCmdRunner runner(address_, "Io");
    runner.SetCommandCode(code);
    runner.SetLbaRange(0, 8);
    runner.SetNamespaceId(1);
    ASSERT_TRUE(Step(runner));
    EXPECT_EQ(runner.GetErrorMessage(), error.empty() ? runner.GetErrorMessage() : error);
    EXPECT_EQ(runner.IsDone(), error.empty()) << runner.GetErrorMessage();
  }

  std::unique_ptr<AdminCmdRunner> Format() {
    auto runner = std::make_unique<AdminCmdRunner>(address_, "FormatNvm");
    runner->GetInput().code = kAdminCmdFormatNvm;
    runner->GetInput().params.format.nsid = 1;
    return runner;
  }
};

TEST_F(FormatValidationTest, AFormatThatSucceededForgetsWhatWasWritten) {
  ASSERT_NE(kyt::nvme::DataValidator::GetProcessHeldBytes(), 0u);
  auto format = Format();
  ASSERT_TRUE(Step(*format) && format->IsDone()) << format->GetErrorMessage();
  // Forgotten without a walk over the map: the pages the write took go back.
  EXPECT_EQ(kyt::nvme::DataValidator::GetProcessHeldBytes(), 0u);
  Io(kNvmCmdRead, "");
  Io(kNvmCmdWrite, "");
  Io(kNvmCmdRead, "");
}

// A format to blocks that carry their 8 bytes of metadata at their end keeps the LBA size but moves every block after
// the first in the data buffer: the validator's stamps and checks move with them.
TEST_F(FormatValidationTest, AFormatToBlocksCarryingTheirMetadataMovesTheStamps) {
  auto format = Format();
  format->GetInput().params.format.format.lbaf = 1;  // 512 + 8
  format->GetInput().params.format.format.ms = 1;    // at the end of each block
  ASSERT_TRUE(Step(*format) && format->IsDone()) << format->GetErrorMessage();
  EXPECT_EQ(Controller()->GetControllerCtx()->GetNamespaceManager().GetNamespace(1)->GetSectorBufferSize(), 520u);
  Io(kNvmCmdWrite, "");
  for (uint64_t lba = 1; lba < 8; ++lba) {
    std::vector<uint8_t> block;
    ASSERT_TRUE(sim_->ReadBlock(1, lba, &block));
    uint64_t word;
    std::memcpy(&word, block.data(), sizeof(word));
    EXPECT_EQ(word, lba << 8) << lba;
  }
  Io(kNvmCmdRead, "");
  ASSERT_TRUE(sim_->CorruptBlock(1, 5, 0, 0xFF));
  Io(kNvmCmdRead, "data mismatch");
}

// A format the drive executes while the controller fails under it: the call ends with the failure, and after the
// recovery the erased blocks are not a mismatch.
TEST_F(FormatValidationTest, AFormatOfUnknownOutcomeLeavesItsBlocksUntracked) {
  LoseNextAdmin(0x80);  // executed, never answered
  auto format = Format();
  format->SetNvmeControllerManager(manager_);
  while (sim_->counters().injected == 0) format->Run();
  sim_->SetFatal(true);
  ASSERT_TRUE(Step(*format));
  EXPECT_EQ(format->GetErrorMessage(),
            "Controller has failed: reset the controller, or scan for removal and attachment");
  sim_->SetFatal(false);
  RunFunction(kFunctionResetController);
  CreateQueuePair();
  Io(kNvmCmdRead, "");
}

// A format whose completion never comes ends at its deadline with the host's time-out status; its blocks are
// untracked too.
TEST_F(FormatValidationTest, AFormatThatTimedOutLeavesItsBlocksUntracked) {
  kyt_env_test_set_clock_scale(1);
  LoseNextAdmin(0x80);
  auto format = Format();
  format->SetNvmeControllerManager(manager_);
  while (sim_->counters().injected == 0) format->Run();
  kyt_env_test_advance_clock(61 * spdk_get_ticks_hz());
  ASSERT_TRUE(Step(*format));
  EXPECT_TRUE(format->IsDone());
  EXPECT_TRUE(spdk_nvme_cpl_is_host_timeout(&format->GetOutput().cpl));
  RunFunction(kFunctionResetController);
  CreateQueuePair();
  Io(kNvmCmdRead, "");
}

// A format that a reset cuts short ends with the completion the reset gave it (the drive's status "Command Abort
// Requested", do not retry; the script sees "command error" with it); its blocks are untracked too.
TEST_F(FormatValidationTest, AFormatCutShortByAResetEndsWithTheAbortStatus) {
  LoseNextAdmin(0x80);
  auto format = Format();
  format->SetNvmeControllerManager(manager_);
  while (sim_->counters().injected == 0) format->Run();
  RunFunction(kFunctionResetController);
  ASSERT_TRUE(Step(*format));
  ASSERT_TRUE(format->IsDone()) << format->GetErrorMessage();
  const spdk_nvme_cpl& cpl = format->GetOutput().cpl;
  EXPECT_EQ(cpl.status.sct, SPDK_NVME_SCT_GENERIC);
  EXPECT_EQ(cpl.status.sc, SPDK_NVME_SC_ABORTED_BY_REQUEST);
  EXPECT_EQ(cpl.status.dnr, 1);
  CreateQueuePair();
  Io(kNvmCmdRead, "");
}

}  // namespace
}  // namespace kyt_test
