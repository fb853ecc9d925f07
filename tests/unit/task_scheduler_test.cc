#include <memory>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "nvme/nvme_controller_manager.h"
#include "nvme/task_scheduler.h"
#include "test_support.h"

using kyt_test::CapturedStdout;
using kyt_test::ScriptedTask;

TEST(TaskScheduler, StepsEveryTaskOncePerPassAndDropsFinalTasks) {
  auto manager = std::make_shared<NvmeControllerManager>();
  TaskScheduler scheduler(manager);
  ScriptedTask one("One", 1), two("Two", 3), three("Three", 2, TaskBase::kStateAborted);
  CapturedStdout out;
  for (auto* task : {&one, &two, &three}) scheduler.Add(task);
  EXPECT_EQ(scheduler.Size(), 3u);
  EXPECT_EQ(one.GetNvmeControllerManager(), manager) << "an added task gets the manager but not the scheduler";
  EXPECT_EQ(one.GetTaskScheduler(), nullptr);

  scheduler.StepAll();
  EXPECT_EQ(one.step_count, 1u);
  EXPECT_EQ(two.step_count, 1u);
  EXPECT_EQ(three.step_count, 1u);
  EXPECT_TRUE(one.IsDone());
  EXPECT_TRUE(one.IsReleased());
  EXPECT_EQ(scheduler.Size(), 2u);

  scheduler.StepAll();
  EXPECT_EQ(one.step_count, 1u) << "a final task is never stepped again";
  EXPECT_EQ(two.step_count, 2u);
  EXPECT_EQ(three.step_count, 2u);
  EXPECT_TRUE(three.IsAborted());
  EXPECT_EQ(scheduler.Size(), 1u);

  scheduler.StepAll();
  EXPECT_TRUE(two.IsDone());
  EXPECT_EQ(scheduler.Size(), 0u);
  scheduler.StepAll();  // an empty list is fine
  EXPECT_EQ(two.step_count, 3u);

  // A task that finishes is unlinked before the next task is stepped.
  const std::string t = "NVME: Task: ";
  EXPECT_EQ(out.Lines(), (std::vector<std::string>{
                             t + "One: Added", t + "Two: Added", t + "Three: Added",
                             t + "One: State Changed: 1 --> Done", t + "One: Removed", t + "Two: State Changed: 1 --> 2",
                             t + "Three: State Changed: 1 --> 2", t + "Two: State Changed: 2 --> 3",
                             t + "Three: State Changed: 2 --> Aborted", t + "Three: Error: Three failed",
                             t + "Three: Removed", t + "Two: State Changed: 3 --> Done", t + "Two: Removed"}));
}

TEST(TaskScheduler, ATaskStartedDuringAStepRunsLaterInTheSamePass) {
  TaskScheduler scheduler(nullptr);
  ScriptedTask parent("Parent", 2);
  ScriptedTask child("Child", 1);
  ScriptedTask tail("Tail", 5);
  std::vector<std::string> order;
  parent.probe = [&](ScriptedTask& self) {
    order.push_back("Parent");
    if (self.step_count == 1) scheduler.Add(&child);
  };
  child.probe = [&](ScriptedTask&) { order.push_back("Child"); };
  tail.probe = [&](ScriptedTask&) { order.push_back("Tail"); };
  CapturedStdout out;
  scheduler.Add(&parent);
  scheduler.Add(&tail);
  scheduler.StepAll();
  EXPECT_EQ(order, (std::vector<std::string>{"Parent", "Tail", "Child"}));
  EXPECT_TRUE(child.IsDone()) << "the started task finished in the pass that started it";
  EXPECT_TRUE(child.IsReleased());
  EXPECT_EQ(scheduler.Size(), 2u);
}

TEST(TaskScheduler, AFinalTaskIsNotTouchedAfterItsRelease) {
  // The owner frees the task as soon as it is released; stepping must never come back to it.
  TaskScheduler scheduler(nullptr);
  CapturedStdout out;
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
  EXPECT_TRUE(freed);
  EXPECT_TRUE(after.IsDone());
}

namespace {

class ThrowingTask : public TaskBase {
 public:
  ThrowingTask() : TaskBase(1, "Thrower", "0000:01:00.0") {}

 protected:
  void FetchStates() override { throw std::runtime_error("queue vanished"); }
};

}  // namespace

TEST(TaskScheduler, AStepThatThrowsAbortsItsTaskAndTheOthersGoOn) {
  TaskScheduler scheduler(nullptr);
  ThrowingTask thrower;
  ScriptedTask other("Other", 2);
  CapturedStdout out;
  scheduler.Add(&thrower);
  scheduler.Add(&other);
  scheduler.StepAll();
  EXPECT_TRUE(thrower.IsAborted());
  EXPECT_TRUE(thrower.IsReleased());
  EXPECT_EQ(thrower.GetErrorMessage(), "NVME: Task: ASSERT: step failed: queue vanished");
  EXPECT_EQ(other.step_count, 1u);
  scheduler.StepAll();
  EXPECT_TRUE(other.IsDone());
  EXPECT_EQ(scheduler.Size(), 0u);
  EXPECT_NE(out.Text().find("NVME: Task: Thrower: Removed\n"), std::string::npos);
}
