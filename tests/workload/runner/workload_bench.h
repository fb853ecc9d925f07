// A simulated drive, a controller manager and a task scheduler for the workload tests, plus a scripted hook manager
// whose power hooks switch the simulated drive off and on. Tasks run on the test's thread, one StepAll per pass.
#ifndef KYT_TESTS_WORKLOAD_RUNNER_WORKLOAD_BENCH_H
#define KYT_TESTS_WORKLOAD_RUNNER_WORKLOAD_BENCH_H

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <unistd.h>

#include "kyt/env_test.h"
#include "kyt_sim/sim_controller.h"
#include "kyt_sim/test_clock.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/task_scheduler.h"
#include "runner/generic_function_runner.h"
#include "utility/hook_manager.h"
#include "utility/task_base.h"

namespace kyt_test {

// A hook manager whose answers the test scripts: each Start runs the hook's action at once (on the stepping thread)
// and then counts as answered, or the hook refuses to start, or it reports an error.
class ScriptedHooks final : public tyr::HookManager {
 public:
  struct Hook {
    std::function<void()> action;  // run by Start; empty: no script function set
    bool refuse = false;           // Start answers false
    std::string error;             // non-empty: the script reports this error
    int busy_passes = 0;           // IsBusy answers true this many times after Start
    int starts = 0;
    int busy_left = 0;
    bool in_error = false;
  };

  bool Start(tyr::HookHandlerType type) override {
    Hook& h = At(type);
    if (h.refuse || h.in_error) return false;
    ++h.starts;
    if (!h.action) return true;
    h.action();
    h.busy_left = h.busy_passes;
    h.in_error = !h.error.empty();
    return true;
  }
  std::string GetError(tyr::HookHandlerType type) override { return At(type).error; }
  bool HasError(tyr::HookHandlerType type) override { return At(type).in_error; }
  bool IsBusy(tyr::HookHandlerType type) override {
    Hook& h = At(type);
    if (h.busy_left > 0) {
      --h.busy_left;
      return true;
    }
    return false;
  }
  bool Reset(tyr::HookHandlerType type) override {
    At(type) = Hook();
    return true;
  }

  Hook& At(tyr::HookHandlerType type) {
    if (type < 0 || type >= tyr::kHookCount) throw std::runtime_error("Invalid handler type: " + std::to_string(type));
    return hooks_[type];
  }
  Hook& power_on() { return hooks_[tyr::kHookPowerOn]; }
  Hook& power_off() { return hooks_[tyr::kHookPowerOff]; }

 private:
  Hook hooks_[tyr::kHookCount];
};

inline std::string NextWorkloadAddress() {
  static int next = 0;
  char text[32];
  std::snprintf(text, sizeof(text), "%04x:c%x:%02x.0", static_cast<unsigned>(getpid()) & 0xFFFF, (next / 32) % 16,
                next % 32);
  ++next;
  return text;
}

class WorkloadBench : public ::testing::Test {
 protected:
  static constexpr uint32_t kClockScale = 20;

  void SetUp() override {
    if (kyt_env_test_init("kyt_workload_tests") != 0) GTEST_SKIP() << "the environment does not start here";
    // Every time-out, hold time and delay of the product and of the drive runs 20 times faster.
    kyt_env_test_set_clock_scale(kClockScale);
    kyt_env_test_clock_pace_thread();  // this thread steps the tasks: the clock waits for it as for the drive
    address_ = NextWorkloadAddress();
    kyt::sim::SimConfig config;
    config.max_namespaces = 2;
    config.namespaces.clear();
    kyt::sim::NamespaceConfig ns1;
    ns1.nsid = 1;
    ns1.blocks = 1u << 16;
    config.namespaces.push_back(ns1);
    sim_ = std::make_unique<kyt::sim::SimController>(address_, config);
    manager_ = std::make_shared<NvmeControllerManager>();
    scheduler_ = std::make_shared<TaskScheduler>(manager_);
    hooks_ = std::make_shared<ScriptedHooks>();
  }

  void TearDown() override {
    if (manager_) manager_->Teardown();
    scheduler_.reset();
    manager_.reset();
    sim_.reset();
  }

  // Adds the task to the scheduler and steps every task until this one is final (at most `seconds` of the test
  // clock).
  bool Run(TaskBase& task, double seconds = 20.0) {
    Start(task);
    return Finish(task, seconds);
  }
  void Start(TaskBase& task) {
    task.SetTaskScheduler(scheduler_);
    scheduler_->Add(&task);
  }
  // Steps every task until `task`, started already, is final (at most `seconds` of the test clock).
  bool Finish(TaskBase& task, double seconds = 20.0) {
    if (!kyt::sim::PollOnTestClock([&] { scheduler_->StepAll(); },
                                   [&] { return task.IsComplete() && task.IsReleased(); }, seconds)) {
      return false;
    }
    // Let sub-tasks that outlived their owner finish.
    for (int i = 0; i < 100000 && scheduler_->Size() != 0; ++i) scheduler_->StepAll();
    return true;
  }

  void RunFunction(uint32_t code, const std::function<void(GenericFunctionRunner&)>& configure = nullptr) {
    GenericFunctionRunner runner(address_, "Test");
    runner.SetFunctionCode(code);
    if (configure) configure(runner);
    ASSERT_TRUE(Run(runner));
    ASSERT_TRUE(runner.IsDone()) << runner.GetErrorMessage();
  }

  void Attach() {
    RunFunction(kFunctionScanAttachment, [](GenericFunctionRunner& r) { r.SetScanTimeout(5000); });
  }

  void EnableValidation() {
    RunFunction(kFunctionEnableDataValidator, [](GenericFunctionRunner& r) {
      r.SetDeviceCheck(true);
      r.SetNamespaceId(1);
    });
  }

  // Power hooks that take the simulated drive off the bus and back.
  void WirePowerHooks() {
    hooks_->power_off().action = [this] { sim_->PowerOff(); };
    hooks_->power_on().action = [this] { sim_->PowerOn(); };
  }

  std::shared_ptr<NvmeController> Controller() { return manager_->GetController(address_); }

  std::string address_;
  std::unique_ptr<kyt::sim::SimController> sim_;
  std::shared_ptr<NvmeControllerManager> manager_;
  std::shared_ptr<TaskScheduler> scheduler_;
  std::shared_ptr<ScriptedHooks> hooks_;
};

}  // namespace kyt_test

#endif  // KYT_TESTS_WORKLOAD_RUNNER_WORKLOAD_BENCH_H
