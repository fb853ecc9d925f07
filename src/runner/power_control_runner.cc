#include "runner/power_control_runner.h"

#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_manager.h"
#include "spdk/env.h"
#include "utility/log_line.h"

namespace {

void Log(const std::string& text) { kyt::LogLine("NVME: PowerControlRunner: " + text); }

}  // namespace

PowerControlRunner::PowerControlRunner(std::string device_address, std::shared_ptr<tyr::HookManager> hooks)
    : TaskBase(kInitialization, "PowerControl", std::move(device_address)),
      hooks_(std::move(hooks)),
      ticks_hz_(spdk_get_ticks_hz()) {}

PowerControlRunner::~PowerControlRunner() {
  hooks_.reset();
  controller_.reset();
}

void PowerControlRunner::FetchStates() {
  switch (GetState()) {
    case kInitialization: HandleStateInitialization(); break;
    case kIssuePowerOff: HandleStateIssuePowerOff(); break;
    case kWaitForPowerOffDone: HandleStateWaitForPowerOffDone(); break;
    case kWaitForDeviceRemoval: HandleStateWaitForDeviceRemoval(); break;
    case kWaitForOffHoldTime: HandleStateWaitForOffHoldTime(); break;
    case kIssuePowerOn: HandleStateIssuePowerOn(); break;
    case kWaitForPowerOnDone: HandleStateWaitForPowerOnDone(); break;
    case kWaitForDeviceDetection: HandleStateWaitForDeviceDetection(); break;
    case kWaitForOnHoldTime: HandleStateWaitForOnHoldTime(); break;
    case kPrepareOutput: HandleStatePrepareOutput(); break;
    default: break;
  }
}

uint64_t PowerControlRunner::ElapsedMs(uint64_t stamp) const {
  return (spdk_get_ticks() - stamp) * 1000 / ticks_hz_;
}

void PowerControlRunner::Fail(const std::string& log, std::string message) {
  if (!log.empty()) Log(log);
  SetErrorMessage(std::move(message));
  ChangeState(kStateAborted);
}

void PowerControlRunner::HandleStateInitialization() {
  const uint32_t detection_given = detectionTimeoutMs;
  if (detectionTimeoutMs == 0) detectionTimeoutMs = kDefaultTimeoutMs;
  if (removalTimeoutMs == 0) removalTimeoutMs = kDefaultTimeoutMs;
  if (onHoldTimeMs == 0) onHoldTimeMs = kDefaultHoldTimeMs;
  if (offHoldTimeMs == 0) offHoldTimeMs = kDefaultHoldTimeMs;
  const auto& manager = GetNvmeControllerManager();
  if (!manager || !hooks_) {
    Fail("", "NVME: PowerControlRunner: ASSERT: runner started without its controller manager or hook manager");
    return;
  }
  controller_ = manager->GetController(GetDevice());
  hook_bound_ms_ = kyt::nvme::HookAnswerBoundMs(detection_given, controller_->GetCommandTimeoutUs());
  ChangeState(kIssuePowerOff);
}

void PowerControlRunner::HandleStateIssuePowerOff() {
  controller_->NotifyPowerOff();
  Log("Power off issued using HookManager");
  if (hooks_->Start(tyr::kHookPowerOff)) {
    hook_started_ticks_ = spdk_get_ticks();
    ChangeState(kWaitForPowerOffDone);
  } else {
    Fail("Power off failed", "failed to issue power off");
  }
}

bool PowerControlRunner::HookAnswered(tyr::HookHandlerType type, const char* name, uint64_t started) {
  if (hooks_->IsBusy(type)) {
    if (ElapsedMs(started) <= hook_bound_ms_) return false;
    // A hook that never answers would hold the workload past its duration for ever.
    Fail(std::string(name) + " hook gave no answer",
         std::string(name) + " hook did not answer within " + std::to_string(hook_bound_ms_) + " ms");
    return false;
  }
  if (hooks_->HasError(type)) {
    Fail(std::string(name) + " failed", hooks_->GetError(type));
    return false;
  }
  return true;
}

void PowerControlRunner::HandleStateWaitForPowerOffDone() {
  if (!HookAnswered(tyr::kHookPowerOff, "Power off", hook_started_ticks_)) return;
  power_off_done_ticks_ = spdk_get_ticks();
  ChangeState(kWaitForDeviceRemoval);
}

void PowerControlRunner::HandleStateWaitForDeviceRemoval() {
  const uint64_t elapsed_ticks = spdk_get_ticks() - power_off_done_ticks_;
  if (controller_->Admit(kyt::nvme::Action::kOwnPowerCycle).reason == kyt::nvme::AdmissionReason::kNotAttached) {
    removal_ticks_ += elapsed_ticks;
    ChangeState(kWaitForOffHoldTime);
    return;
  }
  if (removalTimeoutMs < elapsed_ticks * 1000 / ticks_hz_) {
    Fail("", "device removal failure after power off");
    return;
  }
  controller_->ScanRemoval(false);
}

void PowerControlRunner::HandleStateWaitForOffHoldTime() {
  if (ElapsedMs(power_off_done_ticks_) >= offHoldTimeMs) ChangeState(kIssuePowerOn);
}

void PowerControlRunner::HandleStateIssuePowerOn() {
  Log("Power on issued using HookManager");
  if (hooks_->Start(tyr::kHookPowerOn)) {
    hook_started_ticks_ = spdk_get_ticks();
    ChangeState(kWaitForPowerOnDone);
  } else {
    Fail("Power on failed", "failed to issue power on");
  }
}

void PowerControlRunner::HandleStateWaitForPowerOnDone() {
  if (!HookAnswered(tyr::kHookPowerOn, "Power on", hook_started_ticks_)) return;
  power_on_done_ticks_ = spdk_get_ticks();
  ChangeState(kWaitForDeviceDetection);
}

void PowerControlRunner::HandleStateWaitForDeviceDetection() {
  const uint64_t elapsed_ticks = spdk_get_ticks() - power_on_done_ticks_;
  if (controller_->Admit(kyt::nvme::Action::kOwnPowerCycle).reason != kyt::nvme::AdmissionReason::kNotAttached) {
    detection_ticks_ += elapsed_ticks;
    ChangeState(kWaitForOnHoldTime);
    return;
  }
  if (detectionTimeoutMs < elapsed_ticks * 1000 / ticks_hz_) {
    controller_->AbandonAttachement();  // the detection time-out bounds an attachment under way too
    Fail("", "device detection failure after power on");
    return;
  }
  // One polled step of an attachment: a drive that takes long to become ready holds nothing else up.
  if (controller_->IsAttaching()) {
    controller_->PollAttachement();
  } else {
    controller_->StartAttachement(0);
  }
}

void PowerControlRunner::HandleStateWaitForOnHoldTime() {
  if (ElapsedMs(power_on_done_ticks_) >= onHoldTimeMs) {
    ++completed_cycles_;
    ChangeState(kPrepareOutput);
  }
}

void PowerControlRunner::HandleStatePrepareOutput() {
  numCycles = completed_cycles_;
  avgDetectionTimeMs = detection_ticks_ * 1000 / numCycles / ticks_hz_;
  avgRemovalTimeMs = removal_ticks_ * 1000 / numCycles / ticks_hz_;
  ChangeState(kStateDone);
}
