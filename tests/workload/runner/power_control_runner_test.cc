// One power cycle of the simulated drive through scripted hooks: the full cycle and each way it can fail.
#include <gtest/gtest.h>

#include "runner/power_control_runner.h"
#include "spdk/env.h"
#include "workload_bench.h"

namespace kyt_test {
namespace {

class PowerControlRunnerTest : public WorkloadBench {
 protected:
  // A wait that must end well is given a minute of the test clock, so that no load can make it time out.
  std::unique_ptr<PowerControlRunner> Cycle(uint32_t hold_ms, uint32_t removal_ms = 60000,
                                            uint32_t detection_ms = 60000) {
    auto runner = std::make_unique<PowerControlRunner>(address_, hooks_);
    runner->device = address_;
    runner->onHoldTimeMs = runner->offHoldTimeMs = hold_ms;
    runner->removalTimeoutMs = removal_ms;
    runner->detectionTimeoutMs = detection_ms;
    EXPECT_TRUE(Run(*runner));
    return runner;
  }
};

TEST_F(PowerControlRunnerTest, CompletedCycleTakesTheDriveAwayAndBack) {
  Attach();
  WirePowerHooks();
  hooks_->power_off().busy_passes = 3;  // the script answers a few passes later
  auto runner = Cycle(100);
  ASSERT_TRUE(runner->IsDone()) << runner->GetErrorMessage();
  EXPECT_EQ(runner->numCycles, 1u);
  EXPECT_EQ(sim_->counters().power_cycles, 1u);
  EXPECT_GE(runner->avgDetectionTimeMs, 2000u) << "an attachment waits 2 s before it enables the controller";
  EXPECT_NE(Controller()->GetState(), kyt::nvme::ControllerState::kDetached);
  EXPECT_NE(Controller()->GetState(), kyt::nvme::ControllerState::kPowerOffNotified)
      << "a new attachment clears the power-off notice";
}

TEST_F(PowerControlRunnerTest, ZeroSettingsMeanFiveSeconds) {
  Attach();
  hooks_->power_off().refuse = true;  // ends right after the settings were completed
  auto runner = Cycle(0, 0, 0);
  EXPECT_EQ(runner->onHoldTimeMs + runner->offHoldTimeMs + runner->detectionTimeoutMs + runner->removalTimeoutMs,
            4 * 5000u);
}

TEST_F(PowerControlRunnerTest, EachFailureEndsTheCycleWithItsText) {
  const auto off = [this] { sim_->PowerOff(); };
  const auto nothing = [] {};
  struct Case {
    std::function<void(ScriptedHooks&)> hooks;
    const char* message;
    uint32_t removal_ms = 60000, detection_ms = 60000;
  } cases[] = {
      {[](ScriptedHooks& h) { h.power_off().refuse = true; }, "failed to issue power off"},
      {[&](ScriptedHooks& h) { h.power_off().action = nothing, h.power_off().error = "relay stuck"; }, "relay stuck"},
      {[&](ScriptedHooks& h) { h.power_off().action = nothing; }, "device removal failure after power off", 300},
      {[&](ScriptedHooks& h) { h.power_off().action = off, h.power_on().refuse = true; }, "failed to issue power on"},
      {[&](ScriptedHooks& h) { h.power_off().action = off, h.power_on().action = nothing, h.power_on().error = "x"; },
       "x"},
      {[&](ScriptedHooks& h) { h.power_off().action = off, h.power_on().action = nothing; },
       "device detection failure after power on", 60000, 300},
      {[&](ScriptedHooks& h) {
         h.power_off().action = off, h.power_on().action = nothing, h.power_on().busy_passes = 1 << 30;
       },
       "Power on hook did not answer within 300 ms", 60000, 300},  // a hook that never answers
  };
  for (const Case& c : cases) {
    sim_->PowerOn();
    Attach();
    hooks_->Reset(tyr::kHookPowerOff);
    hooks_->Reset(tyr::kHookPowerOn);
    c.hooks(*hooks_);
    auto runner = Cycle(50, c.removal_ms, c.detection_ms);
    EXPECT_TRUE(runner->IsAborted()) << c.message;
    EXPECT_EQ(runner->GetErrorMessage(), c.message);
    if (hooks_->power_off().in_error || hooks_->power_off().refuse) {
      EXPECT_EQ(hooks_->power_on().starts, 0) << "no power-on after a failed power-off";
    }
  }
  // A hook left in error refuses the next cycle.
  hooks_->power_off().action = nothing;
  hooks_->power_off().error = "relay stuck";
  Cycle(50);
  EXPECT_EQ(Cycle(50)->GetErrorMessage(), "failed to issue power off");
}

// A drive that powers on but never becomes ready: the attachment is a polled step bounded by the cycle's detection
// time-out, not a blocking wait for the drive's CAP.TO (10 s here).
TEST_F(PowerControlRunnerTest, DetectionTimeOutBoundsAnAttachmentUnderWay) {
  Attach();
  hooks_->power_off().action = [this] { sim_->PowerOff(); };
  hooks_->power_on().action = [this] {
    sim_->PowerOn();
    sim_->SetReadyStuck(true);  // CSTS.RDY stays 0 whatever CC.EN does
  };
  const uint64_t start = spdk_get_ticks();
  auto runner = Cycle(50, 60000, 3000);
  const double seconds = static_cast<double>(spdk_get_ticks() - start) / static_cast<double>(spdk_get_ticks_hz());
  EXPECT_EQ(runner->GetErrorMessage(), "device detection failure after power on");
  EXPECT_LT(seconds, 8.0) << "the attachment held the cycle past its detection time-out";
  EXPECT_FALSE(Controller()->IsAttaching());
  sim_->SetReadyStuck(false);
}

}  // namespace
}  // namespace kyt_test
