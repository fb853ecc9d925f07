// The condition of one controller as the device layer keeps it: one state with a transition function that allows
// only the listed transitions, and the one admission question every runner asks before it acts.
//
//   Detached --attach--> Live
//   Live --command time-out--> TimedOut       (later commands are refused until a reset or a new attachment)
//   Live, TimedOut, Failed, Removed, PowerOffNotified --reset starts--> Resetting
//   Resetting --reset done--> Live            Resetting --reset failed--> Failed (or Removed)
//   Live, TimedOut, Resetting --power-off notice--> PowerOffNotified
//   any attached state but Removed --the driver reports the controller failed--> Failed
//   any attached state --the driver reports the device gone--> Removed
//   any state --detach (removal scan, teardown)--> Detached
#ifndef KYT_NVME_CONTROLLER_STATE_H
#define KYT_NVME_CONTROLLER_STATE_H

#include <cstdint>

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

// What a runner is about to do: the one question it asks the controller for each kind of action.
enum class Action : uint8_t {
  // Read or change what the attachment holds without sending a command of its own (information, validation,
  // reset, shutdown, error injection): any attached state.
  kUseAttachment,
  // Send a command for a script's call: only a live controller takes it.
  kCommand,
  // Go on with a call already under way: wait for the commands it sent, take its queue-pair machine's next step,
  // keep a workload's I/O going. Another command's time-out, a reset (which ends the commands itself) and a
  // power-off notice (the device answers until it goes) do not end it; a failed controller, a device gone and a
  // detach do.
  kInFlight,
  // A workload starts and makes (or adopts) its queue pair: as a command, with the workload's own texts.
  kQueuePairCreation,
  // A workload deletes the queue pair it made: as a command, with the workload's own texts.
  kOwnQueuePairDeletion,
  // A runner that drives the device's power cycle waits for it: admitted while the power-off notice still holds an
  // attached device (it has not gone yet); the reason says where the cycle stands otherwise (detached: gone).
  kOwnPowerCycle,
};

// The controller's condition that decided an admission (the state it was in).
enum class AdmissionReason : uint8_t {
  kLive,
  kNotAttached,
  kPowerOffNotified,
  kTimedOut,
  kResetting,
  kFailed,
  kRemoved,
};

// The answer to one admission question: whether the action may go on, the condition that decided it, and the text
// the script sees when it may not (a literal; empty when admitted).
struct Admission {
  AdmissionReason reason = AdmissionReason::kLive;
  bool admitted = true;
  const char* text = "";
  bool Admitted() const { return admitted; }
};

// The answer for `action` on a controller in `state`.
Admission AdmissionFor(ControllerState state, Action action);

// The texts the script sees for a controller that takes no commands.
extern const char* const kTextNotAttached;
extern const char* const kTextPowerOffNotified;
extern const char* const kTextTimedOut;
extern const char* const kTextResetting;
extern const char* const kTextFailed;
extern const char* const kTextRemoved;
// A workload's own texts for its queue pair on a controller that has timed out, and for a run on one not attached.
extern const char* const kTextCreateQueueTimedOut;
extern const char* const kTextDeleteQueueTimedOut;
extern const char* const kTextWorkloadNotAttached;

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_CONTROLLER_STATE_H
