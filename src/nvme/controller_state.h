// The condition of one controller as the device layer keeps it: one state with a transition function that allows
// only the listed transitions, and the admission every runner asks for before it submits a command.
//
//   Detached --attach--> Live
//   Live --command time-out--> TimedOut       (later commands are refused until a reset or a new attachment)
//   Live, TimedOut, Failed, Removed, PowerOffNotified --reset starts--> Resetting
//   Resetting --reset done--> Live            Resetting --reset failed--> Failed (or Removed)
//   Live, TimedOut, Resetting --power-off notice--> PowerOffNotified
//   any attached state --controller failed (fatal status, an Abort past its deadline)--> Failed
//   any attached state --device not answering--> Removed
//   any state --detach (removal scan, teardown)--> Detached
#ifndef KYT_NVME_CONTROLLER_STATE_H
#define KYT_NVME_CONTROLLER_STATE_H

#include <cstdint>
#include <string>

namespace kyt {
namespace nvme {

enum class ControllerState : uint8_t {
  kDetached,          // not attached
  kLive,              // attached, takes commands
  kTimedOut,          // a command passed its deadline: later commands are refused until a reset
  kResetting,         // a reset is re-initialising the controller: commands are refused until it ends
  kPowerOffNotified,  // its power is about to go: commands are refused until it is attached again
  kFailed,            // stopped working (fatal status, an Abort past its deadline, a reset that failed)
  kRemoved,           // the device does not answer (removed or powered off)
};

const char* ControllerStateName(ControllerState state);

// Whether `from` may become `to`. Staying in a state is always allowed.
bool IsAllowedTransition(ControllerState from, ControllerState to);

// Why a command may not be submitted now.
enum class AdmissionReason : uint8_t {
  kAdmitted,
  kNotAttached,
  kPowerOffNotified,
  kTimedOut,
  kResetting,
  kFailed,
  kRemoved,
};

// The answer of the admission check: the reason and the text the script sees (empty when admitted).
struct Admission {
  AdmissionReason reason = AdmissionReason::kAdmitted;
  std::string text;
  bool Admitted() const { return reason == AdmissionReason::kAdmitted; }
};

// The admission for a controller in `state`: what a command submitted now would meet.
Admission AdmissionFor(ControllerState state);

// The texts the script sees for a controller that takes no commands.
extern const char* const kTextNotAttached;
extern const char* const kTextPowerOffNotified;
extern const char* const kTextTimedOut;
extern const char* const kTextResetting;
extern const char* const kTextFailed;
extern const char* const kTextRemoved;

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_CONTROLLER_STATE_H
