#include "nvme/task_scheduler.h"

#include <exception>
#include <iterator>
#include <string>

#include "utility/log_line.h"
#include "utility/task_base.h"

TaskScheduler::TaskScheduler(std::shared_ptr<NvmeControllerManager> manager) : manager_(std::move(manager)) {}

void TaskScheduler::Add(TaskBase* task) {
  kyt::LogLine("NVME: Task: " + task->GetName() + ": Added");
  task->SetNvmeControllerManager(manager_);
  task->MarkHandedOver();
  tasks_.push_back(task);
}

bool TaskScheduler::Abort(TaskBase* task, const std::string& reason) {
  task->SetErrorMessage("NVME: Task: ASSERT: step failed: " + reason);
  task->ChangeState(TaskBase::kStateAborted);
  return true;
}

void TaskScheduler::StepAll() {
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    TaskBase* task = *it;
    bool final;
    try {
      final = task->Run();
    } catch (const std::exception& e) {
      // A step must not end the worker: the task is aborted with the failure's text.
      final = Abort(task, e.what());
    } catch (...) {
      final = Abort(task, "unknown error");
    }
    auto next = std::next(it);  // read only now: the step may have appended tasks
    if (final) {
      std::string name = task->GetName();
      tasks_.erase(it);
      task->MarkReleased();  // the last access: the owner may free the task from here on
      kyt::LogLine("NVME: Task: " + name + ": Removed");
    }
    it = next;
  }
}

void TaskScheduler::Release(TaskBase* task, const std::string& reason) {
  if (!task->IsComplete()) {
    task->SetErrorMessage(reason);
    task->ChangeState(TaskBase::kStateAborted);
  }
  task->MarkReleased();
}

void TaskScheduler::ReleaseAll(const std::string& reason) {
  for (TaskBase* task : tasks_) Release(task, reason);
  tasks_.clear();
}
