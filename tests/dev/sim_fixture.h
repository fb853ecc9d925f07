// Fixture for device-layer tests on the simulated controller: one simulated drive per test at its own PCI address,
// a controller manager, and helpers that step the polled machines and poll completions the way the worker does
// (single-threaded, in the test thread).
#ifndef KYT_TESTS_DEV_SIM_FIXTURE_H
#define KYT_TESTS_DEV_SIM_FIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kyt/env_test.h"
#include "kyt_sim/sim_controller.h"
#include "kyt_sim/test_clock.h"
#include "nvme/data_validator_manager.h"
#include "nvme/dma_context.h"
#include "nvme/io_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/nvme_io_ctx.h"

namespace kyt_dev_test {

using namespace kyt::nvme;  // NOLINT: the statuses and classes under test

// The environment's clock runs this many times faster in these tests: the driver's start delay and the simulator's
// state-change delays pass quickly while the product keeps its own values.
constexpr uint32_t kClockScale = 50;
// The command time-out of an attached controller, in seconds: at the fast clock still a minute of real time, so that
// no command misses it because the machine is loaded. Tests of time-outs move the clock past it.
constexpr double kTimeout = 3000;

// Whether `lines` holds each of `expected` in this order (other lines may come between).
inline bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  auto at = lines.begin();
  for (const auto& line : expected) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) return false;
  }
  return true;
}

class SimDeviceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(kyt_env_test_init("kyt_dev_sim_tests"), 0);
  }

  // Tests adjust the configuration in their constructor or before calling StartSim().
  void SetUp() override {
    kyt_env_test_set_clock_scale(kClockScale);
    kyt_env_test_clock_pace_thread();  // this thread steps the driver: the clock waits for it as for the drive
    // Addresses are claimed through host-wide lock files: tests running in parallel processes use their own domain.
    static int next_bus = 0x40;
    const unsigned domain = 0x1000u + static_cast<unsigned>(getpid()) % 0xE000u;
    char address[32];
    std::snprintf(address, sizeof(address), "%04x:%02x:00.0", domain, next_bus++);
    address_ = address;
    manager_ = std::make_shared<NvmeControllerManager>();
  }

  void TearDown() override {
    kyt_env_test_set_clock_scale(kClockScale);  // the teardown's short waits for what the drive never answers
    manager_->Teardown();
    sim_.reset();
  }

  void StartSim() { sim_ = std::make_unique<kyt::sim::SimController>(address_, config_); }

  // Starts the simulator if needed and attaches the controller; fails the test when it does not attach.
  std::shared_ptr<NvmeController> Attach(uint32_t timeout_ms = static_cast<uint32_t>(kTimeout * 1000)) {
    if (!sim_) StartSim();
    controller_ = manager_->GetController(address_);
    controller_->ScanAttachement(timeout_ms);
    EXPECT_NE(controller_->GetState(), ControllerState::kDetached) << "the simulated drive did not attach";
    return controller_;
  }

  // The attached controller's context; throws (failing the test, not crashing it) when there is none.
  NvmeControllerCtx& Ctx() {
    if (!controller_ || !controller_->GetControllerCtx()) throw std::runtime_error("controller is not attached");
    return *controller_->GetControllerCtx();
  }

  // The lines that `action` printed.
  static std::vector<std::string> LinesOf(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    std::istringstream in(testing::internal::GetCapturedStdout());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // Tests of time-outs run the clock at its real rate (a test may set the scale to 1 first) and move it past a
  // deadline when they choose: no load can make a deadline pass early or late.
  static void Advance(double seconds) {
    kyt_env_test_advance_clock(static_cast<uint64_t>(seconds * static_cast<double>(spdk_get_ticks_hz())));
  }

  // Calls `step` until `done` holds, at most for `seconds` of the test clock. False on time-out.
  static bool PollUntil(const std::function<void()>& step, const std::function<bool()>& done, double seconds = 10.0) {
    return kyt::sim::PollOnTestClock(step, done, seconds);
  }

  // Creates an I/O queue pair with the creation machine; its QID, or 0 on failure.
  uint16_t CreateQueuePair() {
    auto machine = Ctx().MakeQueuePairCreationController();
    if (!PollUntil([&] { machine->Run(); }, [&] { return machine->IsCompleted(); })) return 0;
    if (machine->HasError()) return 0;
    return static_cast<uint16_t>(machine->GetQid());
  }

  using Send = IoOpsStatus (kyt::nvme::IoManager::*)(NvmeIoCtx*);
  static constexpr Send kRead = &kyt::nvme::IoManager::SendReadAsync;
  static constexpr Send kWrite = &kyt::nvme::IoManager::SendWriteAsync;
  static constexpr Send kDsm = &kyt::nvme::IoManager::SendDsmAsync;

  // An I/O on NSID 1 of `qid` with a zeroed DMA buffer of `bytes` (default: the blocks at 512 bytes each).
  static kyt::nvme::CommandContextPtr<NvmeIoCtx> MakeIo(uint16_t qid, uint64_t lba, uint32_t blocks, uint64_t bytes = 0) {
    auto io = kyt::nvme::MakeCommandContext<NvmeIoCtx>();
    io->nsid = 1;
    io->qid = qid;
    io->start_lba = lba;
    io->num_blocks = blocks;
    io->data = std::make_unique<DmaContext>(bytes != 0 ? bytes : uint64_t{blocks} * 512);
    return io;
  }
  IoOpsStatus Submit(Send send, NvmeIoCtx& io) { return (Ctx().GetIoManager().*send)(&io); }
  // Polls the I/O's queue pair until the I/O completes; false on time-out.
  bool Complete(NvmeIoCtx& io) {
    return PollUntil([&] { Ctx().GetQueueManager().ProcessIoCompletions(io.qid); }, [&] { return io.completed; });
  }
  // Submits and completes `io`; false when it is refused or never completes.
  bool Run(Send send, NvmeIoCtx& io) { return Submit(send, io) == kIoOpsSubmitted && Complete(io); }

  // The admin commands the drive fetched, all or those of one opcode.
  std::vector<kyt::sim::Command> AdminLog(int opcode = -1) {
    std::vector<kyt::sim::Command> out;
    for (const auto& entry : sim_->CommandLogSnapshot()) {
      if (entry.sqid == 0 && (opcode < 0 || entry.command.opcode() == opcode)) out.push_back(entry.command);
    }
    return out;
  }

  std::vector<uint8_t> AdminOpcodes() {
    std::vector<uint8_t> out;
    for (const auto& command : AdminLog()) out.push_back(command.opcode());
    return out;
  }

  // The drive promises to be ready within the longest CAP.TO (127.5 s): at the fast clock its attachment then allows
  // 2.5 s of real time for a drive that is ready in microseconds, so a loaded machine cannot fail it.
  static kyt::sim::SimConfig DriveConfig() {
    kyt::sim::SimConfig config;
    config.timeout = 255;
    return config;
  }

  kyt::sim::SimConfig config_ = DriveConfig();
  std::string address_;
  std::unique_ptr<kyt::sim::SimController> sim_;
  std::shared_ptr<NvmeControllerManager> manager_;
  std::shared_ptr<NvmeController> controller_;
};

}  // namespace kyt_dev_test

#endif  // KYT_TESTS_DEV_SIM_FIXTURE_H
