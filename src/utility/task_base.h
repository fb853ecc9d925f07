// A task: one unit of work that the NVMe worker thread steps once per pass of its loop until it reaches a final
// state: 0 (done, results valid) or 100 (aborted, error message valid). Every other state value belongs to the
// derived task; the runners of this system start in state 1.
//
// Ownership: the creator owns the task (a script-side event or method object, or the task that started it on the
// worker). The worker's list only borrows it. An owner on another thread waits with WaitForDone and may free the
// task as soon as it returns: WaitForDone also waits until the worker has let go of the task (the worker's last
// access is marking it released), so a finished task is never touched after its owner has seen it final. An owner
// that must not block is told instead: the release notice runs right after the release, on the releasing thread.
#ifndef KYT_UTILITY_TASK_BASE_H
#define KYT_UTILITY_TASK_BASE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TaskScheduler;
class NvmeControllerManager;

class TaskBase {
 public:
  static constexpr uint32_t kStateDone = 0;
  static constexpr uint32_t kStateAborted = 100;

  TaskBase(unsigned int state, std::string name, std::string device);
  virtual ~TaskBase();

  TaskBase(const TaskBase&) = delete;
  TaskBase& operator=(const TaskBase&) = delete;

  // One step (FetchStates once); true when the task is final afterwards. Worker thread.
  bool Run();

  bool IsComplete() const { return IsFinalState(state_.load()); }
  bool IsDone() const { return state_.load() == kStateDone; }
  bool IsAborted() const { return state_.load() == kStateAborted; }
  uint32_t GetState() const { return state_.load(); }

  std::string GetName() const { return name_; }
  std::string GetErrorMessage() const { return error_message_; }
  const std::string& GetDevice() const { return device_; }
  void SetErrorMessage(std::string message) { error_message_ = std::move(message); }
  // What the script gets as err.data beside an error message that only names the case: what happened, and what to
  // do about it (either may be empty). Set before moving to 100.
  struct ErrorDetail {
    std::string cause;
    std::string action;
    bool Empty() const { return cause.empty() && action.empty(); }
  };
  void SetErrorDetail(std::string cause, std::string action) { error_detail_ = {std::move(cause), std::move(action)}; }
  const ErrorDetail& GetErrorDetail() const { return error_detail_; }
  // Marks the error as a refused argument: a value of the script's call that cannot be carried out on this device,
  // found before anything was sent (the script gets a TypeError). Set before moving to 100.
  void MarkArgumentRefused() { argument_refused_ = true; }
  bool IsArgumentRefused() const { return argument_refused_; }

  void SetTaskScheduler(std::shared_ptr<TaskScheduler> scheduler) { scheduler_ = std::move(scheduler); }
  void SetNvmeControllerManager(std::shared_ptr<NvmeControllerManager> manager) { manager_ = std::move(manager); }
  const std::shared_ptr<TaskScheduler>& GetTaskScheduler() const { return scheduler_; }
  const std::shared_ptr<NvmeControllerManager>& GetNvmeControllerManager() const { return manager_; }

  // Logs "NVME: Task: <name>: State Changed: <old> --> <new|Done|Aborted>" (and, for 100, the error line), then
  // publishes the new state. Set the error message before moving to 100.
  void ChangeState(unsigned int state);

  // Blocks until the task is final and, when it was handed to the worker, released by it. 1 ms sleeps between looks.
  void WaitForDone() const;

  // Runs once, on the thread that releases the task (the worker, or the driver's shutdown), right after the release:
  // the task may already be freed by then, so the notice must not touch it. Set before the task is handed over.
  void SetReleaseNotice(std::function<void()> notice) { release_notice_ = std::move(notice); }

  // Hand-over bookkeeping, used by the driver and the scheduler only.
  void MarkHandedOver() { handed_over_.store(true); released_.store(false); }
  // The releasing thread's last access to the task; then the release notice, if any, runs.
  void MarkReleased();
  bool IsReleased() const { return released_.load(); }

  static bool IsFinalState(uint32_t state) { return state == kStateDone || state == kStateAborted; }

 protected:
  // One step of the task: runs the handler of the current state once and returns; never blocks.
  virtual void FetchStates() = 0;

 private:
  std::string device_;
  std::atomic<uint32_t> state_;
  std::shared_ptr<TaskScheduler> scheduler_;
  std::shared_ptr<NvmeControllerManager> manager_;
  std::string name_;
  std::string error_message_;
  ErrorDetail error_detail_;
  bool argument_refused_ = false;
  std::atomic<bool> handed_over_{false};
  std::atomic<bool> released_{false};
  std::function<void()> release_notice_;
};

#endif  // KYT_UTILITY_TASK_BASE_H
