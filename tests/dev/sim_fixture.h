// Fixture for device-layer tests on the simulated controller: one simulated drive per test at its own PCI address,
// a controller manager, and helpers that step the polled machines and poll completions the way the worker does
// (single-threaded, in the test thread).
#ifndef KYT_TESTS_DEV_SIM_FIXTURE_H
#define KYT_TESTS_DEV_SIM_FIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kyt/env_test.h"
#include "kyt_sim/sim_controller.h"
#include "nvme/data_validator_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/nvme_io_ctx.h"

namespace kyt_dev_test {

using kyt::nvme::IoOpsStatus;
using kyt::nvme::kIoOpsDriverError;
using kyt::nvme::kIoOpsInvalidNumRanges;
using kyt::nvme::kIoOpsInvalidQueueId;
using kyt::nvme::kIoOpsInvalidRequest;
using kyt::nvme::kIoOpsRangeBusy;
using kyt::nvme::kIoOpsSubmitted;

// The environment's clock runs this many times faster in these tests: the driver's start delay and the simulator's
// state-change delays pass quickly while the product keeps its own values.
constexpr uint32_t kClockScale = 50;

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Lines of `lines` that start with `prefix`, in order.
inline std::vector<std::string> LinesWithPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  }
  return out;
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const auto& l : lines) {
    if (l == line) return true;
  }
  return false;
}

class SimDeviceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(kyt_env_test_init("kyt_dev_sim_tests"), 0);
    kyt_env_test_set_clock_scale(kClockScale);
  }

  // Tests adjust the configuration in their constructor or before calling StartSim().
  void SetUp() override {
    // Addresses are claimed through host-wide lock files: tests running in parallel processes use their own domain.
    static int next_bus = 0x40;
    const unsigned domain = 0x1000u + static_cast<unsigned>(getpid()) % 0xE000u;
    char address[32];
    std::snprintf(address, sizeof(address), "%04x:%02x:00.0", domain, next_bus++);
    address_ = address;
    manager_ = std::make_shared<NvmeControllerManager>();
  }

  void TearDown() override {
    manager_->Teardown();
    sim_.reset();
  }

  void StartSim() { sim_ = std::make_unique<kyt::sim::SimController>(address_, config_); }

  // Starts the simulator if needed and attaches the controller; fails the test when it does not attach.
  std::shared_ptr<NvmeController> Attach(uint32_t timeout_ms = 0) {
    if (!sim_) StartSim();
    controller_ = manager_->GetController(address_);
    controller_->ScanAttachement(timeout_ms);
    EXPECT_TRUE(controller_->IsInitialized()) << "the simulated drive did not attach";
    return controller_;
  }

  // The attached controller's context; throws (failing the test, not crashing it) when there is none.
  NvmeControllerCtx& Ctx() {
    if (!controller_ || !controller_->GetControllerCtx()) throw std::runtime_error("controller is not attached");
    return *controller_->GetControllerCtx();
  }

  // Calls `step` until `done` holds, at most for `seconds` of wall time. False on time-out.
  static bool PollUntil(const std::function<void()>& step, const std::function<bool()>& done, double seconds = 10.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      step();
    }
    return true;
  }

  // Creates an I/O queue pair with the creation machine; its QID, or 0 on failure.
  uint16_t CreateQueuePair() {
    auto machine = Ctx().MakeQueuePairCreationController();
    if (!PollUntil([&] { machine->Run(); }, [&] { return machine->IsCompleted(); })) return 0;
    if (machine->HasError()) return 0;
    return static_cast<uint16_t>(machine->GetQid());
  }

  bool DeleteQueuePair(uint16_t qid) {
    auto machine = Ctx().MakeQueuePairDeletionController(qid);
    if (!PollUntil([&] { machine->Run(); }, [&] { return machine->IsCompleted(); })) return false;
    return !machine->HasError();
  }

  std::vector<kyt::sim::LoggedCommand> AdminLog() {
    std::vector<kyt::sim::LoggedCommand> out;
    for (const auto& entry : sim_->CommandLogSnapshot()) {
      if (entry.sqid == 0) out.push_back(entry);
    }
    return out;
  }

  std::vector<uint8_t> AdminOpcodes() {
    std::vector<uint8_t> out;
    for (const auto& entry : AdminLog()) out.push_back(entry.command.opcode());
    return out;
  }

  kyt::sim::SimConfig config_;
  std::string address_;
  std::unique_ptr<kyt::sim::SimController> sim_;
  std::shared_ptr<NvmeControllerManager> manager_;
  std::shared_ptr<NvmeController> controller_;
};

}  // namespace kyt_dev_test

#endif  // KYT_TESTS_DEV_SIM_FIXTURE_H
