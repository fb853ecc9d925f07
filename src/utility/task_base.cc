#include "utility/task_base.h"

#include <cerrno>
#include <ctime>

#include "utility/log_line.h"

TaskBase::TaskBase(unsigned int state, std::string name, std::string device)
    : device_(std::move(device)), state_(state), name_(std::move(name)), error_message_("aborted") {}

TaskBase::~TaskBase() = default;

bool TaskBase::Run() {
  FetchStates();
  return IsComplete();
}

void TaskBase::ChangeState(unsigned int state) {
  std::string line = "NVME: Task: " + name_ + ": State Changed: " + std::to_string(state_.load()) + " --> ";
  if (state == kStateDone) {
    line += "Done";
  } else if (state == kStateAborted) {
    line += "Aborted";
  } else {
    line += std::to_string(state);
  }
  kyt::LogLine(std::move(line));
  if (state == kStateAborted) {
    kyt::LogLine("NVME: Task: " + name_ + ": Error: " + error_message_);
    if (!error_detail_.cause.empty()) kyt::LogLine("NVME: Task: " + name_ + ": Cause: " + error_detail_.cause);
    if (!error_detail_.action.empty()) kyt::LogLine("NVME: Task: " + name_ + ": What to do: " + error_detail_.action);
  }
  state_.store(state, std::memory_order_seq_cst);
}

void TaskBase::MarkReleased() {
  std::function<void()> notice = std::move(release_notice_);  // taken first: the owner may free the task at once
  release_notice_ = nullptr;
  released_.store(true);
  if (notice) notice();
}

void TaskBase::WaitForDone() const {
  for (;;) {
    if (IsComplete() && (!handed_over_.load() || released_.load())) return;
    struct timespec wait = {0, 1000000};
    struct timespec left;
    while (nanosleep(&wait, &left) != 0 && errno == EINTR) wait = left;
  }
}
