// Common base of the polled queue-pair machines: state 0 not started, 1 finished, 2 error, 3 and up the machine's
// own steps. The owner calls Run() once per worker pass until IsCompleted().
#ifndef KYT_NVME_BASE_STATEFUL_CONTROLLER_H
#define KYT_NVME_BASE_STATEFUL_CONTROLLER_H

#include <cstdint>
#include <string>

namespace kyt {
namespace nvme {

class BaseStatefulController {
 public:
  static constexpr uint32_t kStateNotStarted = 0;
  static constexpr uint32_t kStateFinished = 1;
  static constexpr uint32_t kStateError = 2;

  // One step. A std::runtime_error of the step ends the machine in kStateError with its text.
  void Run();
  bool IsCompleted() const { return state_ == kStateFinished || state_ == kStateError; }
  bool HasError() const { return state_ == kStateError; }
  std::string GetErrorMessage() const { return error_; }
  uint32_t GetState() const { return state_; }

 protected:
  BaseStatefulController() = default;
  ~BaseStatefulController() = default;

  virtual void RunInternal() = 0;

  uint32_t state_ = kStateNotStarted;
  std::string error_;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_BASE_STATEFUL_CONTROLLER_H
