// Shared frame of the polled reset and shutdown machines, holding the driver controller and its register and queue
// managers: state 0 idle (kStateIdle), 1..4 the derived machine's named steps, 5 finished (kStateFinished), 6 error
// (kStateError).
// The derived machine supplies OnStart() (what Start() does before the first step), Step() (one step of states 0..4),
// OnFinishedRun() (what Run() does when finished) and OnError() (what a failed step leaves behind). A step that throws
// ends the machine in kStateError with the exception's text; Run() then throws std::runtime_error "Unexpected error
// encountered while resetting NVM controller." (the same text for both machines) so that the caller aborts its task;
// GetErrorMessage() gives the step's own text, GetErrorCause() and GetErrorAction() what happened and what to do
// when the step said more (MachineFailure). Worker thread only.
#ifndef KYT_NVME_CONTROLLER_MACHINE_H
#define KYT_NVME_CONTROLLER_MACHINE_H

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

struct spdk_nvme_ctrlr;

namespace kyt {
namespace nvme {

class NvmeRegisterManager;
class NvmeQueueManager;

// A failed step that says more than its text: what happened, and what to do about it.
class MachineFailure : public std::runtime_error {
 public:
  MachineFailure(const std::string& text, std::string cause, std::string action)
      : std::runtime_error(text), cause_(std::move(cause)), action_(std::move(action)) {}
  const std::string& cause() const { return cause_; }
  const std::string& action() const { return action_; }

 private:
  std::string cause_;
  std::string action_;
};

template <class Derived>
class ControllerMachine {
 public:
  static constexpr uint32_t kStateIdle = 0;
  static constexpr uint32_t kStateFinished = 5;
  static constexpr uint32_t kStateError = 6;

  // From 5 the machine starts again; from 0 it takes its first step; otherwise (running, error) nothing happens.
  void Start() {
    if (state_ == kStateFinished) state_ = kStateIdle;
    if (state_ == kStateIdle) {
      self().OnStart();
      Run();
    }
  }

  // One step, then whether the machine has finished.
  bool IsDone() {
    Run();
    return state_ == kStateFinished;
  }

  void Run() {
    if (state_ == kStateFinished) {
      self().OnFinishedRun();
      return;
    }
    if (state_ > kStateFinished) return;
    try {
      self().Step();
    } catch (const std::exception& e) {
      state_ = kStateError;
      error_ = e.what();
      const auto* failure = dynamic_cast<const MachineFailure*>(&e);
      cause_ = failure != nullptr ? failure->cause() : std::string();
      action_ = failure != nullptr ? failure->action() : std::string();
      self().OnError();
      throw std::runtime_error("Unexpected error encountered while resetting NVM controller.");
    }
  }

  bool HasError() const { return state_ == kStateError; }
  std::string GetErrorMessage() const { return error_; }
  const std::string& GetErrorCause() const { return cause_; }
  const std::string& GetErrorAction() const { return action_; }
  uint32_t GetState() const { return state_; }

 protected:
  ControllerMachine(spdk_nvme_ctrlr* ctrlr, NvmeRegisterManager& register_manager, NvmeQueueManager& queue_manager)
      : register_manager_(register_manager), queue_manager_(queue_manager), ctrlr_(ctrlr) {}
  ~ControllerMachine() = default;

  uint32_t state_ = kStateIdle;
  std::string error_;
  std::string cause_;
  std::string action_;
  NvmeRegisterManager& register_manager_;
  NvmeQueueManager& queue_manager_;
  spdk_nvme_ctrlr* ctrlr_;

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_CONTROLLER_MACHINE_H
