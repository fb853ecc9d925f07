#include <memory>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "nvme/nvme_controller_manager.h"
#include "nvme/task_scheduler.h"
#include "test_support.h"

using kyt_test::ScriptedTask;

namespace {

class ThrowingTask : public TaskBase {
 public:
  ThrowingTask() : TaskBase(1, "Thrower", "0000:01:00.0") {}

 protected:
  void FetchStates() override { throw std::runtime_error("queue vanished"); }
};

// Every task is stepped once per pass; a final task is released and unlinked before the next task is stepped, and
// never stepped again. A step that throws aborts its task with the failure's text; the others go on.
TEST(TaskScheduler, StepsEveryTaskOncePerPassAndDropsFinalTasks) {
  auto manager = std::make_shared<NvmeControllerManager>();
  TaskScheduler scheduler(manager);
  ScriptedTask one("One", 1), two("Two", 3), three("Three", 2, TaskBase::kStateAborted);
  ThrowingTask thrower;
  std::vector<size_t> sizes_seen_by_two;
  two.probe = [&](ScriptedTask&) { sizes_seen_by_two.push_back(scheduler.Size()); };
  kyt_test::CapturedStdout out;
  for (TaskBase* task : std::vector<TaskBase*>{&one, &thrower, &two, &three}) scheduler.Add(task);
  EXPECT_EQ(one.GetNvmeControllerManager(), manager) << "an added task gets the manager but not the scheduler";
  EXPECT_EQ(one.GetTaskScheduler(), nullptr);
  for (size_t left : {2u, 1u, 0u, 0u}) {
    scheduler.StepAll();
    EXPECT_EQ(scheduler.Size(), left);
  }
  const std::vector<unsigned> steps{one.step_count, two.step_count, three.step_count};
  EXPECT_EQ(steps, (std::vector<unsigned>{1, 3, 2}));
  EXPECT_TRUE(one.IsDone() && two.IsDone() && three.IsAborted() && one.IsReleased() && thrower.IsReleased());
  EXPECT_EQ(sizes_seen_by_two, (std::vector<size_t>{2, 2, 1}));
  EXPECT_EQ(thrower.GetErrorMessage(), "NVME: Task: ASSERT: step failed: queue vanished");
}

TEST(TaskScheduler, ATaskStartedDuringAStepRunsLaterInTheSamePass) {
  TaskScheduler scheduler(nullptr);
  ScriptedTask parent("Parent", 2), child("Child", 1), tail("Tail", 5);
  std::vector<std::string> order;
  parent.probe = [&](ScriptedTask& self) {
    order.push_back("Parent");
    if (self.step_count == 1) scheduler.Add(&child);
  };
  child.probe = [&](ScriptedTask&) { order.push_back("Child"); };
  tail.probe = [&](ScriptedTask&) { order.push_back("Tail"); };
  kyt_test::CapturedStdout out;
  scheduler.Add(&parent);
  scheduler.Add(&tail);
  scheduler.StepAll();
  EXPECT_EQ(order, (std::vector<std::string>{"Parent", "Tail", "Child"}));
  EXPECT_TRUE(child.IsReleased()) << "the started task finished in the pass that started it";
}

// The owner frees the task as soon as it is released; stepping must never come back to it.
TEST(TaskScheduler, AFinalTaskIsNotTouchedAfterItsRelease) {
  TaskScheduler scheduler(nullptr);
  kyt_test::CapturedStdout out;
  auto* doomed = new ScriptedTask("Doomed", 1);
  ScriptedTask after("After", 2);
  bool freed = false;
  after.probe = [&](ScriptedTask&) {
    if (!freed && doomed->IsReleased()) {
      delete doomed;  // what an owner on another thread may do at this moment
      freed = true;
    }
  };
  scheduler.Add(doomed);
  scheduler.Add(&after);
  scheduler.StepAll();
  scheduler.StepAll();
  EXPECT_TRUE(freed && after.IsDone());
}

}  // namespace
