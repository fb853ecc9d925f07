#include "nvme/controller_state.h"

namespace kyt {
namespace nvme {

const char* const kTextNotAttached = "device not initialized";
const char* const kTextPowerOffNotified = "power off notified";
const char* const kTextTimedOut = "Command Timed Out";
const char* const kTextResetting = "Controller reset in progress: wait for the reset to end, then call again";
const char* const kTextFailed = "Controller has failed: reset the controller, or scan for removal and attachment";
const char* const kTextRemoved = "Device is not responding (removed or powered off): scan for removal and attachment";
const char* const kTextCreateQueueTimedOut = "Create IO Queue Command Timeout";
const char* const kTextDeleteQueueTimedOut = "Delete IO Queue Command Timeout";
const char* const kTextWorkloadNotAttached = "device not initialzied";  // sic: scripts match this spelling

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
      return from != S::kDetached && from != S::kRemoved;  // a device that is gone stays gone
    case S::kRemoved:
      return from != S::kDetached;
    default:
      return false;
  }
}

Admission AdmissionFor(ControllerState state, Action action) {
  using S = ControllerState;
  using R = AdmissionReason;
  Admission a;
  switch (state) {
    case S::kLive: a = {R::kLive, true, ""}; break;
    case S::kDetached: a = {R::kNotAttached, false, kTextNotAttached}; break;
    case S::kPowerOffNotified: a = {R::kPowerOffNotified, false, kTextPowerOffNotified}; break;
    case S::kTimedOut: a = {R::kTimedOut, false, kTextTimedOut}; break;
    case S::kResetting: a = {R::kResetting, false, kTextResetting}; break;
    case S::kFailed: a = {R::kFailed, false, kTextFailed}; break;
    case S::kRemoved: a = {R::kRemoved, false, kTextRemoved}; break;
  }
  switch (action) {
    case Action::kUseAttachment:
      a.admitted = state != S::kDetached;
      break;
    case Action::kCommand:
      break;
    case Action::kInFlight:
      a.admitted = state == S::kLive || state == S::kTimedOut || state == S::kResetting ||
                   state == S::kPowerOffNotified;
      break;
    case Action::kQueuePairCreation:
      if (state == S::kDetached) a.text = kTextWorkloadNotAttached;
      if (state == S::kTimedOut) a.text = kTextCreateQueueTimedOut;
      break;
    case Action::kOwnQueuePairDeletion:
      if (state == S::kTimedOut) a.text = kTextDeleteQueueTimedOut;
      break;
    case Action::kOwnPowerCycle:
      a.admitted = state == S::kPowerOffNotified;
      break;
  }
  if (a.admitted) a.text = "";
  return a;
}

}  // namespace nvme
}  // namespace kyt
