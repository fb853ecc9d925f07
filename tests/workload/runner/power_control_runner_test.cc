// One power cycle of the simulated drive through scripted hooks: the full cycle and each way it can fail.
#include <gtest/gtest.h>

#include "runner/power_control_runner.h"
#include "workload_bench.h"

namespace kyt_test {
namespace {

class PowerControlRunnerTest : public WorkloadBench {
 protected:
  std::unique_ptr<PowerControlRunner> MakeRunner(uint32_t hold_ms, uint32_t timeout_ms) {
    auto runner = std::make_unique<PowerControlRunner>(address_, hooks_);
    runner->device = address_;
    runner->onHoldTimeMs = hold_ms;
    runner->offHoldTimeMs = hold_ms;
    runner->detectionTimeoutMs = timeout_ms;
    runner->removalTimeoutMs = timeout_ms;
    return runner;
  }
};

TEST_F(PowerControlRunnerTest, CompletedCycleTakesTheDriveAwayAndBack) {
  Attach();
  WirePowerHooks();
  hooks_->power_off().busy_passes = 3;  // the script answers a few passes later
  auto runner = MakeRunner(100, 4000);
  ASSERT_TRUE(Run(*runner));
  ASSERT_TRUE(runner->IsDone()) << runner->GetErrorMessage();
  EXPECT_EQ(runner->numCycles, 1u);
  EXPECT_EQ(hooks_->power_off().starts, 1);
  EXPECT_EQ(hooks_->power_on().starts, 1);
  EXPECT_EQ(sim_->counters().power_cycles, 1u);
  // The hold times are measured from the end of each hook, so each detection/removal average is within its bound.
  EXPECT_LE(runner->avgRemovalTimeMs, 4000u);
  EXPECT_LE(runner->avgDetectionTimeMs, 4000u);
  auto controller = Controller();
  EXPECT_TRUE(controller->IsInitialized());
  EXPECT_FALSE(controller->IsPowerOffNotified()) << "a new attachment clears the power-off notice";
}

TEST_F(PowerControlRunnerTest, ZeroSettingsMeanFiveSeconds) {
  Attach();
  hooks_->power_off().refuse = true;  // end right after the settings were completed
  auto runner = MakeRunner(0, 0);
  ASSERT_TRUE(Run(*runner));
  EXPECT_EQ(runner->onHoldTimeMs, PowerControlRunner::kDefaultHoldTimeMs);
  EXPECT_EQ(runner->offHoldTimeMs, PowerControlRunner::kDefaultHoldTimeMs);
  EXPECT_EQ(runner->detectionTimeoutMs, PowerControlRunner::kDefaultTimeoutMs);
  EXPECT_EQ(runner->removalTimeoutMs, PowerControlRunner::kDefaultTimeoutMs);
  EXPECT_EQ(PowerControlRunner::kDefaultTimeoutMs, 5000u);
}

TEST_F(PowerControlRunnerTest, HookFailuresEndTheCycleWithTheirTexts) {
  Attach();
  {
    hooks_->power_off().refuse = true;
    auto runner = MakeRunner(50, 1000);
    ASSERT_TRUE(Run(*runner));
    EXPECT_TRUE(runner->IsAborted());
    EXPECT_EQ(runner->GetErrorMessage(), "failed to issue power off");
    EXPECT_TRUE(Controller()->IsPowerOffNotified());
    hooks_->Reset(tyr::kHookPowerOff);
  }
  {
    hooks_->power_off().action = [] {};
    hooks_->power_off().error = "relay stuck";
    auto runner = MakeRunner(50, 1000);
    ASSERT_TRUE(Run(*runner));
    EXPECT_TRUE(runner->IsAborted());
    EXPECT_EQ(runner->GetErrorMessage(), "relay stuck");
    EXPECT_EQ(hooks_->power_on().starts, 0) << "the power-on hook is never started after a power-off error";
    // A hook left in error refuses the next cycle.
    auto next = MakeRunner(50, 1000);
    ASSERT_TRUE(Run(*next));
    EXPECT_EQ(next->GetErrorMessage(), "failed to issue power off");
  }
}

TEST_F(PowerControlRunnerTest, DriveThatStaysOrNeverReturnsTimesOut) {
  Attach();
  {
    // No script function for the power-off hook: nothing happens and the drive stays attached.
    auto runner = MakeRunner(50, 200);
    ASSERT_TRUE(Run(*runner));
    EXPECT_TRUE(runner->IsAborted());
    EXPECT_EQ(runner->GetErrorMessage(), "device removal failure after power off");
    EXPECT_EQ(hooks_->power_off().starts, 1);
    EXPECT_EQ(hooks_->power_on().starts, 0);
  }
  {
    hooks_->power_off().action = [this] { sim_->PowerOff(); };
    hooks_->power_on().action = [] {};  // the supply never comes back
    auto runner = MakeRunner(50, 300);
    ASSERT_TRUE(Run(*runner));
    EXPECT_TRUE(runner->IsAborted());
    EXPECT_EQ(runner->GetErrorMessage(), "device detection failure after power on");
    EXPECT_FALSE(Controller()->IsInitialized());
  }
}

TEST_F(PowerControlRunnerTest, PowerOnRefusalAndError) {
  Attach();
  hooks_->power_off().action = [this] { sim_->PowerOff(); };
  hooks_->power_on().refuse = true;
  auto runner = MakeRunner(50, 1000);
  ASSERT_TRUE(Run(*runner));
  EXPECT_EQ(runner->GetErrorMessage(), "failed to issue power on");

  sim_->PowerOn();
  Attach();
  hooks_->Reset(tyr::kHookPowerOn);
  hooks_->power_on().action = [] {};
  hooks_->power_on().error = "supply fault";
  auto second = MakeRunner(50, 1000);
  ASSERT_TRUE(Run(*second));
  EXPECT_TRUE(second->IsAborted());
  EXPECT_EQ(second->GetErrorMessage(), "supply fault");
}

}  // namespace
}  // namespace kyt_test
