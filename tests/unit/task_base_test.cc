#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

class NoStepTask : public TaskBase {
 public:
  NoStepTask(unsigned int state) : TaskBase(state, "Idle", "0000:02:00.0") {}
  using TaskBase::ChangeState;

 protected:
  void FetchStates() override {}
};

TEST(TaskBase, FinalStatesAreDoneAndAbortedOnly) {
  for (unsigned int state : {0u, 1u, 2u, 99u, 100u, 101u}) {
    NoStepTask task(state);
    EXPECT_EQ(task.IsComplete(), state == 0 || state == 100) << state;
    EXPECT_EQ(task.Run(), task.IsComplete()) << "a step reports whether the task is final; " << state;
  }
}

// The task's state machine, in order, as the console shows it: old and new state, and an abort's error text.
TEST(TaskBase, StateChangesLogOldAndNewStateAndAnAbortItsErrorText) {
  NoStepTask task(3), plain(0), with_text(2);
  with_text.SetErrorMessage("device not initialized");
  kyt_test::CapturedStdout out;
  task.ChangeState(7);
  task.ChangeState(0);
  plain.ChangeState(100);
  with_text.ChangeState(100);
  EXPECT_EQ(out.Text(),
            "NVME: Task: Idle: State Changed: 3 --> 7\n"
            "NVME: Task: Idle: State Changed: 7 --> Done\n"
            "NVME: Task: Idle: State Changed: 0 --> Aborted\n"
            "NVME: Task: Idle: Error: aborted\n"
            "NVME: Task: Idle: State Changed: 2 --> Aborted\n"
            "NVME: Task: Idle: Error: device not initialized\n");
}

// The owner of a final task that was handed to the worker does not see it before the worker lets go of it. The
// worker here releases it only once the owner sleeps in its wait (the owner's only sleep; 'S' in the thread's
// state) or has returned.
TEST(TaskBase, WaitForDoneOfAHandedOverTaskWaitsUntilTheWorkerReleasesIt) {
  NoStepTask task(0);
  task.MarkHandedOver();
  std::atomic<bool> returned{false}, releasing{false};
  const std::string owner_stat = "/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/stat";
  auto owner_sleeps = [&] {
    std::ifstream in(owner_stat);
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return stat.size() > stat.rfind(')') + 2 && stat[stat.rfind(')') + 2] == 'S';
  };
  std::thread worker([&] {
    while (!returned && !owner_sleeps()) {
    }
    releasing = true;
    task.MarkReleased();
  });
  task.WaitForDone();
  returned = true;
  EXPECT_TRUE(releasing) << "the owner must not see the task while the worker may still touch it";
  worker.join();
}

// An owner told by the release notice may free the task at once, from inside the notice: the releasing thread does not
// touch the task (nor the notice it held) any more.
TEST(TaskBase, ReleaseNoticeRunsAfterTheReleaseAndMayFreeTheTask) {
  auto* task = new NoStepTask(0);
  task->MarkHandedOver();
  int notices = 0;
  task->SetReleaseNotice([&notices, task] {
    EXPECT_TRUE(task->IsReleased());
    delete task;
    ++notices;
  });
  task->MarkReleased();
  EXPECT_EQ(notices, 1);
}

}  // namespace
