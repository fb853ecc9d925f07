// A simulated drive and a controller manager for the runner tests. The runners are stepped on the test's own thread,
// exactly as the worker steps them: one Run() per pass until the task is final.
#ifndef KYT_TESTS_RUNNER_RUNNER_BENCH_H
#define KYT_TESTS_RUNNER_RUNNER_BENCH_H

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

#include "kyt/env_test.h"
#include "kyt_sim/sim_controller.h"
#include "kyt_sim/test_clock.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_manager.h"
#include "runner/admin_cmd_runner.h"
#include "runner/generic_function_runner.h"
#include "utility/task_base.h"

namespace kyt_test {

// A fresh PCI address for every drive: no test meets another test's controller, and test processes running side
// by side (a claimed address is locked machine-wide) differ in the domain, taken from the process id.
inline std::string NextAddress() {
  static int next = 0;
  char text[32];
  std::snprintf(text, sizeof(text), "%04x:b%x:%02x.0", static_cast<unsigned>(getpid()) & 0xFFFF, (next / 32) % 16,
                next % 32);
  ++next;
  return text;
}

// Namespaces of the standard drive: 1 active (1 Mi blocks of 512 bytes), 2 inactive, 3 active with more than 2^32
// blocks, 4 active with 4096-byte blocks. NN is 4.
inline kyt::sim::SimConfig StandardConfig() {
  kyt::sim::SimConfig config;
  config.max_namespaces = 4;
  config.namespaces.clear();
  kyt::sim::NamespaceConfig ns1;
  ns1.nsid = 1;
  ns1.blocks = 1u << 20;
  config.namespaces.push_back(ns1);
  kyt::sim::NamespaceConfig ns2;
  ns2.nsid = 2;
  ns2.blocks = 4096;
  ns2.active = false;
  config.namespaces.push_back(ns2);
  kyt::sim::NamespaceConfig ns3;
  ns3.nsid = 3;
  ns3.blocks = 5000000000ULL;
  config.namespaces.push_back(ns3);
  kyt::sim::NamespaceConfig ns4;
  ns4.nsid = 4;
  ns4.blocks = 8192;
  ns4.lba_format = 2;
  config.namespaces.push_back(ns4);
  return config;
}

class RunnerBench : public ::testing::Test {
 protected:
  static constexpr uint32_t kClockScale = 20;

  void SetUp() override {
    if (kyt_env_test_init("kyt_runner_tests") != 0) GTEST_SKIP() << "the environment does not start here";
    // The driver waits 2 s before it enables a controller; the test clock crosses that in 100 ms. Every time-out
    // and delay of the product and of the drive is in that clock, so their proportions stay.
    kyt_env_test_set_clock_scale(kClockScale);
    kyt_env_test_clock_pace_thread();  // this thread steps the tasks: the clock waits for it as for the drive
    address_ = NextAddress();
    sim_ = std::make_unique<kyt::sim::SimController>(address_, Config());
    manager_ = std::make_shared<NvmeControllerManager>();
  }

  void TearDown() override {
    if (manager_) manager_->Teardown();
    manager_.reset();
    sim_.reset();
  }

  virtual kyt::sim::SimConfig Config() { return StandardConfig(); }

  // The drive executes the next admin command of `opcode` (its data written) but never completes it.
  void LoseNextAdmin(int16_t opcode) { sim_->InjectFault(kyt::sim::FaultRule::LostAdmin(opcode)); }

  // Steps the task until it is final (at most `seconds` of the test clock). Returns whether it became final.
  bool Step(TaskBase& task, double seconds = 10.0) {
    if (!task.GetNvmeControllerManager()) task.SetNvmeControllerManager(manager_);
    return kyt::sim::PollOnTestClock([] { std::this_thread::yield(); }, [&] { return task.Run(); }, seconds);
  }

  // Runs a generic function to its end and expects it done.
  void RunFunction(uint32_t code, const std::function<void(GenericFunctionRunner&)>& configure = nullptr,
                   const std::string& address = std::string()) {
    GenericFunctionRunner runner(address.empty() ? address_ : address, "Test");
    runner.SetFunctionCode(code);
    if (configure) configure(runner);
    ASSERT_TRUE(Step(runner));
    ASSERT_TRUE(runner.IsDone()) << runner.GetErrorMessage();
  }

  void Attach(uint32_t timeout_ms = 0) {
    RunFunction(kFunctionScanAttachment, [timeout_ms](GenericFunctionRunner& r) { r.SetScanTimeout(timeout_ms); });
  }

  // Creates an I/O queue pair and returns its id.
  uint16_t CreateQueuePair() {
    AdminCmdRunner runner(address_, "CreateQueuePair");
    runner.GetInput().code = kAdminCmdCreateQueuePair;
    EXPECT_TRUE(Step(runner) && runner.IsDone()) << runner.GetErrorMessage();
    return runner.GetOutput().qid;
  }

  std::shared_ptr<NvmeController> Controller() { return manager_->GetController(address_); }

  std::string address_;
  std::unique_ptr<kyt::sim::SimController> sim_;
  std::shared_ptr<NvmeControllerManager> manager_;
};

}  // namespace kyt_test

#endif  // KYT_TESTS_RUNNER_RUNNER_BENCH_H
