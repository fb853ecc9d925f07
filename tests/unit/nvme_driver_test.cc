#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nvme/nvme_driver.h"
#include "nvme/task_scheduler.h"
#include "spdk/log.h"
#include "test_support.h"

using kyt_test::CapturedStdout;
using kyt_test::ScriptedTask;

namespace {

// A PCI address where no device lives: the environment may start with it on its allow-list.
constexpr const char* kNoDevice = "0000:7f:1f.7";

TEST(NvmeDriverCoreMask, HoldsExactlyTheTwoCoresInHexadecimalAndRefusesOthers) {
  EXPECT_EQ(NvmeDriver::BuildCoreMask(10, 11), "c00");
  EXPECT_EQ(NvmeDriver::BuildCoreMask(63, 0), "8000000000000001");
  EXPECT_EQ(NvmeDriver::BuildCoreMask(4, 4), "10");
  EXPECT_THROW(NvmeDriver::BuildCoreMask(0, 300), std::out_of_range);
  EXPECT_THROW(NvmeDriver::BuildCoreMask(256, 64), std::out_of_range) << "the range test comes first";
  try {
    NvmeDriver::BuildCoreMask(64, 1);
    ADD_FAILURE() << "core 64 accepted";
  } catch (const std::overflow_error& e) {
    EXPECT_STREQ(e.what(), "core 64 does not fit the 64-bit core mask (cores 0 to 63)");
  }
}

// The driver's messages reach the console as one line each, errors to notices only.
TEST(NvmeDriverLog, PrintsErrorsWarningsAndNoticesOnOneLine) {
  CapturedStdout out;
  NvmeDriver::PrintSpdkLog(SPDK_LOG_WARN, "nvme_ctrlr.c", 42, "fn", "first\nsecond\n");
  NvmeDriver::PrintSpdkLog(SPDK_LOG_INFO, "nvme_ctrlr.c", 43, "fn", "dropped\n");
  NvmeDriver::PrintSpdkLog(SPDK_LOG_NOTICE, "env.c", 8, "fn", "note");
  EXPECT_EQ(out.Text(), "SPDK: firstsecond (nvme_ctrlr.c:42)\nSPDK: note (env.c:8)\n");
}

TEST(NvmeDriver, BeforeAStartTasksAreDroppedAndBadAddressesOrCoresAreRefused) {
  CapturedStdout out;
  NvmeDriver driver;
  ScriptedTask task("Early", 1);
  driver.AddTask(&task);
  EXPECT_EQ(task.step_count, 0u);
  for (const char* address : {"", "not-an-address", "0000:zz:00.0"}) {
    EXPECT_FALSE(driver.StartScheduler(0, 1, getpid(), address)) << address;
  }
  // Only the full domain:bus:device.function form: the short forms the parser also reads name other devices than
  // they seem to ("0000:01" would be bus 0, device 1).
  for (const std::string& address : std::vector<std::string>{"0000:01", "01:00.0", "0000:01:00", "0000.01.00.0",
                                                              "0000:1:0.0", std::string("0000:01:00.0\0x", 14)}) {
    EXPECT_FALSE(driver.StartScheduler(0, 1, getpid(), address)) << address;
    EXPECT_EQ(driver.GetStartError(), "Invalid PCI address \"" + address + "\"");
  }
  EXPECT_THROW(driver.StartScheduler(64, 1, getpid(), kNoDevice), std::overflow_error);
  EXPECT_FALSE(driver.IsStarted());
}

// The whole driver: environment start, worker thread, hand-over, clean stop. The worker takes at most one task per
// pass and steps every task it holds once per pass. The captured output outlives the driver, because the worker
// writes its lines until it is stopped.
TEST(NvmeDriverWorker, RunsHandedTasksToTheirFinalStateOneStepPerPass) {
  CapturedStdout out;
  auto driver = std::make_unique<NvmeDriver>();
  if (!driver->StartScheduler(0, 1, getpid(), kNoDevice)) GTEST_SKIP() << "the environment does not start here";
  EXPECT_TRUE(driver->StartScheduler(5, 6, 7, "garbage")) << "a second start changes nothing";
  // Every task records the worker's pass count at each step: one step per pass means consecutive counts. Handed over
  // back to back, the tasks are taken in successive passes. More tasks than the ring holds only stall the producer.
  NvmeDriver* raw = driver.get();
  std::vector<std::unique_ptr<ScriptedTask>> tasks;
  std::vector<std::vector<uint64_t>> seen(3 * NvmeDriver::kRingSize);
  for (size_t i = 0; i < seen.size(); ++i) {
    tasks.push_back(std::make_unique<ScriptedTask>("T", 5, i == 3 ? TaskBase::kStateAborted : TaskBase::kStateDone));
    tasks.back()->probe = [raw, &seen, i](ScriptedTask&) { seen[i].push_back(raw->GetPassCount()); };
    driver->AddTask(tasks.back().get());
  }
  for (size_t i = 0; i < tasks.size(); ++i) {
    tasks[i]->WaitForDone();
    EXPECT_TRUE(tasks[i]->IsReleased());
    ASSERT_EQ(seen[i].size(), 5u);
    for (size_t s = 1; s < 5; ++s) EXPECT_EQ(seen[i][s], seen[i][s - 1] + 1) << "task " << i;
    if (i > 0) {
      EXPECT_GT(seen[i].front(), seen[i - 1].front());
    }
  }
  EXPECT_EQ(tasks[0]->GetTaskScheduler(), driver->GetTaskScheduler());
  EXPECT_EQ(tasks[0]->GetNvmeControllerManager(), driver->GetControllerManager());
  EXPECT_TRUE(tasks[3]->IsAborted());
  tasks.clear();  // owners free their tasks at once: the worker must not touch them again
  driver.reset();
}

}  // namespace
