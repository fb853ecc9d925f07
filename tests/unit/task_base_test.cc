#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

using kyt_test::CapturedStdout;
using kyt_test::ScriptedTask;

namespace {

class NoStepTask : public TaskBase {
 public:
  NoStepTask(unsigned int state) : TaskBase(state, "Idle", "0000:02:00.0") {}
  using TaskBase::ChangeState;

 protected:
  void FetchStates() override {}
};

}  // namespace

TEST(TaskBase, FinalStatesAreDoneAndAbortedOnly) {
  for (unsigned int state : {0u, 100u}) {
    NoStepTask task(state);
    EXPECT_TRUE(task.IsComplete()) << state;
    EXPECT_EQ(task.IsDone(), state == 0) << state;
    EXPECT_EQ(task.IsAborted(), state == 100) << state;
    EXPECT_TRUE(task.Run()) << "a final task reports final on its first step";
    task.WaitForDone();  // returns at once
  }
  for (unsigned int state : {1u, 2u, 99u, 101u}) {
    NoStepTask task(state);
    EXPECT_FALSE(task.IsComplete()) << state;
    EXPECT_FALSE(task.Run()) << state;
  }
}

TEST(TaskBase, StateChangesLogOldAndNewStateAndAnAbortItsErrorText) {
  NoStepTask task(3), plain(0), with_text(2);
  EXPECT_EQ(plain.GetErrorMessage(), "aborted");
  with_text.SetErrorMessage("device not initialized");
  CapturedStdout out;
  task.ChangeState(7);
  task.ChangeState(0);
  plain.ChangeState(100);  // from 0: the old state prints as a number
  with_text.ChangeState(100);
  EXPECT_EQ(out.Text(),
            "NVME: Task: Idle: State Changed: 3 --> 7\n"
            "NVME: Task: Idle: State Changed: 7 --> Done\n"
            "NVME: Task: Idle: State Changed: 0 --> Aborted\n"
            "NVME: Task: Idle: Error: aborted\n"
            "NVME: Task: Idle: State Changed: 2 --> Aborted\n"
            "NVME: Task: Idle: Error: device not initialized\n");
  EXPECT_TRUE(task.IsDone());
  EXPECT_TRUE(plain.IsAborted());
}

TEST(TaskBase, WaitForDoneOfAHandedOverTaskWaitsUntilTheWorkerReleasesIt) {
  NoStepTask task(1);
  task.MarkHandedOver();
  {
    CapturedStdout out;
    task.ChangeState(0);
  }
  std::atomic<bool> returned{false};
  std::thread owner([&] {
    task.WaitForDone();
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(returned.load()) << "the owner must not see the task while the worker may still touch it";
  task.MarkReleased();
  owner.join();
  EXPECT_TRUE(returned.load());
}
