// Generic function runner on the simulated drive: validators, tracker, scans, reset, shutdown, error injection.
#include <gtest/gtest.h>

#include <string>

#include "nvme/data_validator_manager.h"
#include "runner/admin_cmd_runner.h"
#include "runner/generic_cmd_runner.h"
#include "runner/nvm_cmd_runner.h"
#include "runner_bench.h"
#include "../unit/test_support.h"

namespace kyt_test {
namespace {

class GenericFunctionRunnerTest : public RunnerBench {
 protected:
  // Runs the function and returns its task (final).
  std::unique_ptr<GenericFunctionRunner> Run(uint32_t code,
                                             const std::function<void(GenericFunctionRunner&)>& configure = nullptr,
                                             const std::string& address = std::string(), double seconds = 10.0) {
    auto runner = std::make_unique<GenericFunctionRunner>(address.empty() ? address_ : address, "Test");
    runner->SetFunctionCode(code);
    if (configure) configure(*runner);
    EXPECT_TRUE(Step(*runner, seconds));
    return runner;
  }

  static std::function<void(GenericFunctionRunner&)> Nsid(uint32_t nsid) {
    return [nsid](GenericFunctionRunner& r) {
      r.SetDeviceCheck(true);
      r.SetNamespaceId(nsid);
    };
  }

  bool Enabled(uint32_t nsid) {
    auto validator = manager_->GetDataValidatorManager()->GetDataValidator(nsid);
    return validator && validator->IsEnabled();
  }

  uint16_t CreateQueuePair() {
    AdminCmdRunner runner(address_, "CreateQueuePair");
    runner.GetInput().code = kAdminCmdCreateQueuePair;
    EXPECT_TRUE(Step(runner));
    EXPECT_TRUE(runner.IsDone()) << runner.GetErrorMessage();
    return runner.GetOutput().qid;
  }

  std::unique_ptr<NvmCmdRunner> Read(uint64_t lba) {
    auto read = std::make_unique<NvmCmdRunner>(address_, "Read");
    read->SetCommandCode(kNvmCmdRead);
    read->SetLbaRange(lba, 1);
    read->SetNamespaceId(1);
    EXPECT_TRUE(Step(*read));
    return read;
  }
};

TEST_F(GenericFunctionRunnerTest, ScanAttachmentOfAnAbsentDeviceFails) {
  auto runner = Run(kFunctionScanAttachment, nullptr, "0000:ee:1f.0");
  EXPECT_EQ(runner->GetName(), "GenericFunction-Test");
  EXPECT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage(), "failed to initialize the controller. no PCI device at 0000:ee:1f.0");
}

TEST_F(GenericFunctionRunnerTest, ScanAttachmentThenForcedRemoval) {
  Attach(5000);
  EXPECT_TRUE(Controller()->IsInitialized());
  EXPECT_EQ(Controller()->GetCommandTimeoutUs(), 5000000u);
  Attach();  // already attached: nothing to do
  auto removal = Run(kFunctionScanRemoval);
  EXPECT_TRUE(removal->IsDone()) << removal->GetErrorMessage();
  EXPECT_FALSE(Controller()->IsInitialized());
  Attach();  // and back
  EXPECT_TRUE(Controller()->IsInitialized());
}

TEST_F(GenericFunctionRunnerTest, DataValidatorTexts) {
  Attach();
  auto zero = Run(kFunctionEnableDataValidator, Nsid(0));
  EXPECT_EQ(zero->GetErrorMessage(), "Invalid namespace ID 0");
  auto above = Run(kFunctionEnableDataValidator, Nsid(5));
  EXPECT_EQ(above->GetErrorMessage(), "Invalid namespace ID 5");
  auto inactive = Run(kFunctionEnableDataValidator, Nsid(2));
  EXPECT_EQ(inactive->GetErrorMessage(), "Namespace 2 is not active");

  auto one = Run(kFunctionEnableDataValidator, Nsid(1));
  EXPECT_TRUE(one->IsDone()) << one->GetErrorMessage();
  EXPECT_TRUE(Enabled(1));
  EXPECT_FALSE(Enabled(4));
  auto off = Run(kFunctionDisableDataValidator, Nsid(1));
  EXPECT_TRUE(off->IsDone()) << off->GetErrorMessage();
  EXPECT_FALSE(Enabled(1));
}

// Without the namespace of 5 * 10^9 blocks, whose validator would need 5 GB of tags.
class AllNamespacesTest : public GenericFunctionRunnerTest {
 protected:
  kyt::sim::SimConfig Config() override {
    kyt::sim::SimConfig config = StandardConfig();
    config.namespaces[2].blocks = 4096;
    return config;
  }
};

TEST_F(AllNamespacesTest, EnablesEveryActiveOneAndLogs) {
  Attach();
  std::string log;
  {
    CapturedStdout out;
    auto all = Run(kFunctionEnableDataValidator, Nsid(GenericFunctionRunner::kAllNamespaces));
    EXPECT_TRUE(all->IsDone()) << all->GetErrorMessage();
    log = out.Text();
  }
  EXPECT_NE(log.find("NVME: Task: GenericFunction-Test: Enabling data validators for all active namespaces\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(Enabled(1));
  EXPECT_FALSE(Enabled(2));
  EXPECT_TRUE(Enabled(3));
  EXPECT_TRUE(Enabled(4));
  auto off = Run(kFunctionDisableDataValidator, Nsid(GenericFunctionRunner::kAllNamespaces));
  EXPECT_TRUE(off->IsDone()) << off->GetErrorMessage();
  EXPECT_FALSE(Enabled(1));
  EXPECT_FALSE(Enabled(3));
}

TEST_F(GenericFunctionRunnerTest, ValidatorFunctionsCheckTheDevice) {
  auto runner = Run(kFunctionEnableDataValidator, Nsid(1));
  EXPECT_EQ(runner->GetErrorMessage(), "device not initialized");
}

TEST_F(GenericFunctionRunnerTest, ControllerFunctionsNeedAnAttachedController) {
  for (uint32_t code : {kFunctionResetController, kFunctionShutdown, kFunctionSetErrorInjection}) {
    auto runner = Run(code);
    EXPECT_TRUE(runner->IsAborted()) << code;
    EXPECT_EQ(runner->GetErrorMessage(), "device not initialized") << code;
  }
}

TEST_F(GenericFunctionRunnerTest, NoFunctionCodeIsAnInternalError) {
  auto runner = Run(kFunctionNone);
  EXPECT_EQ(runner->GetErrorMessage(), "ASSERT: invalid input.type");
}

TEST_F(GenericFunctionRunnerTest, ResetDropsTheQueuesAndIoWorksAgainOnANewQueuePair) {
  Attach();
  CreateQueuePair();
  ASSERT_TRUE(Read(0)->IsDone());
  kyt::sim::FaultRule drop;  // the drive never completes the next read: it is outstanding when the reset comes
  drop.opcode = 0x02;
  drop.action = kyt::sim::FaultRule::Action::kDrop;
  sim_->InjectFault(drop);
  NvmCmdRunner pending(address_, "Read");
  pending.SetCommandCode(kNvmCmdRead);
  pending.SetLbaRange(0, 1);
  pending.SetNvmeControllerManager(manager_);
  for (int pass = 0; pass < 3; ++pass) pending.Run();
  ASSERT_EQ(pending.GetState(), 3u) << pending.GetErrorMessage();
  const uint64_t resets = sim_->counters().resets;
  auto reset = Run(kFunctionResetController);
  ASSERT_TRUE(reset->IsDone()) << reset->GetErrorMessage();
  EXPECT_EQ(sim_->counters().resets, resets + 1);
  ASSERT_TRUE(Step(pending));
  EXPECT_EQ(pending.GetErrorMessage(), "Command aborted by a controller reset");
  sim_->ClearFaults();  // in case the drive had not fetched the read before the reset
  EXPECT_EQ(Read(0)->GetErrorMessage(), "Invalid Queue ID");  // the old queue pair is gone
  CreateQueuePair();
  auto read = Read(0);
  EXPECT_TRUE(read->IsDone()) << read->GetErrorMessage();
  auto again = Run(kFunctionResetController);  // a finished reset can run again
  EXPECT_TRUE(again->IsDone()) << again->GetErrorMessage();
}

// An initialisation that cannot finish gives up after the driver's 300 s wait for Identify: a faster test clock
// crosses it in under a second.
class FailingResetTest : public GenericFunctionRunnerTest {
 protected:
  void SetUp() override {
    GenericFunctionRunnerTest::SetUp();
    kyt_env_test_set_clock_scale(400);
  }

  kyt::sim::SimConfig Config() override {
    kyt::sim::SimConfig config = StandardConfig();
    config.timeout = 1;
    return config;
  }
};

TEST_F(FailingResetTest, EndsTheTaskWithTheMachinesTextInsteadOfWaitingForEver) {
  Attach();
  sim_->SetFatal(true, /*clear_on_reset=*/false);  // the controller stays in fatal status through the reset
  auto failed = Run(kFunctionResetController, nullptr, std::string(), 30.0);
  ASSERT_TRUE(failed->IsComplete()) << "a reset that fails does not wait for ever";
  EXPECT_TRUE(failed->IsAborted());
  EXPECT_EQ(failed->GetErrorMessage(), "Controller init failed");

  // The driver gave the controller up; a removal scan and a new attachment bring it back.
  sim_->SetFatal(false);
  EXPECT_TRUE(Run(kFunctionScanRemoval)->IsDone());
  Attach();
  auto reset = Run(kFunctionResetController);
  EXPECT_TRUE(reset->IsDone()) << reset->GetErrorMessage();
}

TEST_F(GenericFunctionRunnerTest, ShutdownCompletesTheNotification) {
  Attach();
  CreateQueuePair();
  auto shutdown = Run(kFunctionShutdown);
  ASSERT_TRUE(shutdown->IsDone()) << shutdown->GetErrorMessage();
  const uint32_t csts = sim_->ReadRegister32(0x1C);
  EXPECT_EQ((csts >> 2) & 0x3, 0x2u) << "shutdown processing complete";
}

TEST_F(GenericFunctionRunnerTest, ErrorInjectionShowsInTheNextCommand) {
  Attach();
  auto inject = Run(kFunctionSetErrorInjection, [](GenericFunctionRunner& r) {
    r.SetErrorInjection(0, 0x06, true, 0, 1, 0, 0x81);  // admin queue, Identify, once, not submitted
  });
  ASSERT_TRUE(inject->IsDone()) << inject->GetErrorMessage();
  const uint64_t commands = sim_->counters().commands;
  std::vector<uint8_t> data(4096);
  GenericCmdRunner identify(address_);
  identify.GetCommand().opc = 0x06;
  identify.GetCommand().cdw10 = 1;
  identify.SetBuffer(data.data(), 4096, false);
  ASSERT_TRUE(Step(identify));
  ASSERT_TRUE(identify.IsDone()) << identify.GetErrorMessage();
  EXPECT_EQ(identify.GetCompletion().status.sc, 0x81);
  EXPECT_EQ(sim_->counters().commands, commands) << "the command was not submitted";
  GenericCmdRunner next(address_);
  next.GetCommand().opc = 0x06;
  next.GetCommand().cdw10 = 1;
  next.SetBuffer(data.data(), 4096, false);
  ASSERT_TRUE(Step(next));
  EXPECT_EQ(next.GetCompletion().status_raw & 0x1FE, 0) << "the injection was used up";
  auto no_queue = Run(kFunctionSetErrorInjection, [](GenericFunctionRunner& r) { r.SetErrorInjection(9, 2, 0, 0, 1, 0, 1); });
  EXPECT_EQ(no_queue->GetErrorMessage(), "Invalid Queue ID");
}

TEST_F(GenericFunctionRunnerTest, CommandTrackerFunctions) {
  // No component produces command records, so the tracker never switches on: enabling reports the missing file.
  auto enable = Run(kFunctionEnableCommandTracker);
  EXPECT_TRUE(enable->IsAborted());
  EXPECT_EQ(enable->GetErrorMessage(), "file must be set before enabling command tracker.");
  auto log = Run(kFunctionSetCommandTrackerLog, [](GenericFunctionRunner& r) { r.SetLogPath("/tmp/kyt-tracker.log"); });
  EXPECT_TRUE(log->IsDone()) << log->GetErrorMessage();
  auto disable = Run(kFunctionDisableCommandTracker);
  EXPECT_TRUE(disable->IsDone()) << disable->GetErrorMessage();
}

}  // namespace
}  // namespace kyt_test
