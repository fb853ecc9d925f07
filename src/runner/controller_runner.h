// ControllerRunner: the common part of the runners that act on one NVMe controller for a script (admin and NVM
// commands, raw commands, controller functions, device and namespace information). Each of them starts in state 1,
// looks its controller up, checks it and goes on; this base holds the controller, runs the derived state handler
// under the rule that no exception reaches the worker loop, and gives the shared checks with their texts.
#ifndef KYT_RUNNER_CONTROLLER_RUNNER_H
#define KYT_RUNNER_CONTROLLER_RUNNER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "nvme/controller_state.h"
#include "utility/task_base.h"

class NvmeController;

class ControllerRunner : public TaskBase {
 public:
  // The states all controller runners share: the first looks the controller up and checks it; from the second on
  // they are the runner's own, each named by the runner.
  static constexpr uint32_t kStateLookUp = 1;
  static constexpr uint32_t kStateFirstStep = 2;

  ControllerRunner(std::string name, std::string device);
  ~ControllerRunner() override;

 protected:
  // Runs HandleState for the current state. An unexpected failure of the device layer ends a task that is not
  // final yet with "ASSERT: <what>". A step that leaves the task final lets go of its command (LetGoOfCommand).
  void FetchStates() final;
  // The handler of one state of the derived task; runs once per step and never blocks.
  virtual void HandleState(uint32_t state) = 0;
  // Lets go of the context of the task's command where the device may still write into it: the owner frees a final
  // task on its own thread, and only the worker may hand a context to the queue manager (CommandContext).
  virtual void LetGoOfCommand() {}

  // Runs the handler of the state: the first handler for state 1 (kStateLookUp), the second for state 2 and so on
  // up to `kLastState`, one handler for each state in order; a state without a handler (a final one) does nothing.
  template <uint32_t kLastState, typename Runner, typename... Handlers>
  static void Dispatch(Runner* runner, uint32_t state, Handlers... handlers) {
    static_assert(sizeof...(Handlers) == kLastState, "one handler for each state from kStateLookUp to the last");
    uint32_t n = 0;
    ((++n == state ? (runner->*handlers)() : void()), ...);
  }

  // Ends the task with the message (kStateAborted).
  void Abort(const std::string& message);
  // Ends the task done (kStateDone) when ok, else aborted with the failure text.
  void Finish(bool ok, const std::string& failure);

  // Looks the task's controller up in the controller manager (kStateLookUp).
  void LookUpController();
  // kStateLookUp of a runner that works on the attachment without a command of its own: look the controller up,
  // then on to kStateFirstStep (or aborted with "device not initialized").
  void HandleLookUpAttached();
  // kStateLookUp of a runner that submits a command: look the controller up and pass its admission, then on to
  // kStateFirstStep.
  void HandleLookUpAdmitted();
  // The one admission question (NvmeController::Admit) for `action`: true when the controller lets it go on; else
  // the task is aborted with the admission's text (not attached, power off notified, a command timed out, a reset in
  // progress, failed, device gone) and false is answered.
  bool Require(kyt::nvme::Action action);
  // The text a task waiting for a command submitted on queue `qid` gives up with, or empty while it may wait on:
  // the attachment it submitted on is gone (`attached` false: "device not initialized"), the controller no longer
  // carries calls in flight (failed, device gone: Action::kInFlight), or processing the queue's completions failed
  // (CompletionFailure). The completions are processed only when the first checks pass. Another command's time-out
  // does not end the wait: the command ends on its own completion or its own deadline.
  std::string PollFailure(bool attached, uint16_t qid);
  // Processes the completions of the queue: the admin queue for id 0, else that I/O queue. Its result.
  int ProcessCompletions(uint16_t qid);
  // Why processing the completions of queue `qid` failed: "Command aborted by a controller reset" when a controller
  // reset dropped that I/O queue with the command on it, else "Unexpected Internal Error".
  const char* CompletionFailure(uint16_t qid) const;

  std::shared_ptr<NvmeController> controller_;
};

#endif  // KYT_RUNNER_CONTROLLER_RUNNER_H
