// The worker's list of running tasks and the controller manager that every task receives. Touched only on the
// worker thread (the worker loop and tasks that start further tasks).
#ifndef KYT_NVME_TASK_SCHEDULER_H
#define KYT_NVME_TASK_SCHEDULER_H

#include <list>
#include <memory>
#include <string>

class TaskBase;
class NvmeControllerManager;

class TaskScheduler {
 public:
  explicit TaskScheduler(std::shared_ptr<NvmeControllerManager> manager);

  TaskScheduler(const TaskScheduler&) = delete;
  TaskScheduler& operator=(const TaskScheduler&) = delete;

  // Starts a task on the worker: logs "NVME: Task: <name>: Added", gives it the controller manager (not the
  // scheduler) and appends it to the list; a task added while the list is being stepped runs later in that pass.
  void Add(TaskBase* task);

  // Steps every listed task once, front to back. A task that reaches a final state is released to its owner and
  // unlinked ("NVME: Task: <name>: Removed"); it is not touched again. A step that throws aborts its task with the
  // error "NVME: Task: ASSERT: step failed: <what>" instead of ending the worker.
  void StepAll();

  // Releases every listed task to its owner, aborted with `reason` unless final, and empties the list. For the end of
  // the process, once the worker has stopped.
  void ReleaseAll(const std::string& reason);
  // One task handed over but no longer stepped: aborted with `reason` unless final, then released.
  static void Release(TaskBase* task, const std::string& reason);

  size_t Size() const { return tasks_.size(); }
  const std::shared_ptr<NvmeControllerManager>& GetNvmeControllerManager() const { return manager_; }

 private:
  static bool Abort(TaskBase* task, const std::string& reason);

  std::list<TaskBase*> tasks_;
  std::shared_ptr<NvmeControllerManager> manager_;
};

#endif  // KYT_NVME_TASK_SCHEDULER_H
