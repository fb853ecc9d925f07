// Helpers of the worker and task tests: a captured standard output and a task with a scripted life.
#ifndef KYT_TESTS_UNIT_TEST_SUPPORT_H
#define KYT_TESTS_UNIT_TEST_SUPPORT_H

#include <atomic>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "utility/task_base.h"

namespace kyt_test {

// Captures std::cout for its lifetime.
class CapturedStdout {
 public:
  CapturedStdout() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
  ~CapturedStdout() { std::cout.rdbuf(old_); }
  std::string Text() const { return buffer_.str(); }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(buffer_.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::ostringstream buffer_;
  std::streambuf* old_;
};

// A task that runs `steps` steps (state 1, 2, ...) and then moves to its final state; every step calls the probe.
class ScriptedTask : public TaskBase {
 public:
  ScriptedTask(std::string name, unsigned int steps, unsigned int final_state = kStateDone,
               unsigned int initial_state = 1)
      : TaskBase(initial_state, std::move(name), "0000:01:00.0"), steps_(steps), final_state_(final_state) {}

  std::function<void(ScriptedTask&)> probe;
  std::atomic<unsigned int> step_count{0};

  using TaskBase::ChangeState;

 protected:
  void FetchStates() override {
    const unsigned int step = ++step_count;
    if (probe) probe(*this);
    if (step >= steps_) {
      if (final_state_ == kStateAborted) SetErrorMessage(GetName() + " failed");
      ChangeState(final_state_);
    } else {
      ChangeState(GetState() + 1);
    }
  }

 private:
  unsigned int steps_;
  unsigned int final_state_;
};

}  // namespace kyt_test

#endif  // KYT_TESTS_UNIT_TEST_SUPPORT_H
