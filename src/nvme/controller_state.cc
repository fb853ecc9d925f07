#include "nvme/controller_state.h"

namespace kyt {
namespace nvme {

const char* const kTextNotAttached = "device not initialized";
const char* const kTextPowerOffNotified = "power off notified";
const char* const kTextTimedOut = "Command Timed Out";
const char* const kTextResetting = "Controller reset in progress: wait for the reset to end, then call again";
const char* const kTextFailed = "Controller has failed: reset the controller, or scan for removal and attachment";
const char* const kTextRemoved = "Device is not responding (removed or powered off): scan for removal and attachment";

const char* ControllerStateName(ControllerState state) {
  switch (state) {
    case ControllerState::kDetached: return "detached";
    case ControllerState::kLive: return "live";
    case ControllerState::kTimedOut: return "timed out";
    case ControllerState::kResetting: return "resetting";
    case ControllerState::kPowerOffNotified: return "power off notified";
    case ControllerState::kFailed: return "failed";
    case ControllerState::kRemoved: return "removed";
  }
  return "unknown";
}

bool IsAllowedTransition(ControllerState from, ControllerState to) {
  using S = ControllerState;
  if (from == to || to == S::kDetached) return true;
  switch (to) {
    case S::kLive:
      return from == S::kDetached || from == S::kResetting;
    case S::kTimedOut:
      return from == S::kLive;
    case S::kResetting:
      return from == S::kLive || from == S::kTimedOut || from == S::kFailed || from == S::kRemoved ||
             from == S::kPowerOffNotified;
    case S::kPowerOffNotified:
      return from == S::kLive || from == S::kTimedOut || from == S::kResetting;
    case S::kFailed:
    case S::kRemoved:
      return from != S::kDetached;
    default:
      return false;
  }
}

Admission AdmissionFor(ControllerState state) {
  switch (state) {
    case ControllerState::kLive: return {};
    case ControllerState::kDetached: return {AdmissionReason::kNotAttached, kTextNotAttached};
    case ControllerState::kPowerOffNotified: return {AdmissionReason::kPowerOffNotified, kTextPowerOffNotified};
    case ControllerState::kTimedOut: return {AdmissionReason::kTimedOut, kTextTimedOut};
    case ControllerState::kResetting: return {AdmissionReason::kResetting, kTextResetting};
    case ControllerState::kFailed: return {AdmissionReason::kFailed, kTextFailed};
    case ControllerState::kRemoved: return {AdmissionReason::kRemoved, kTextRemoved};
  }
  return {AdmissionReason::kNotAttached, kTextNotAttached};
}

}  // namespace nvme
}  // namespace kyt
