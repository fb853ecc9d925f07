#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "kyt/env_test.h"
#include "nvme/nvme_driver.h"
#include "nvme/task_scheduler.h"
#include "spdk/log.h"
#include "test_support.h"

using kyt_test::CapturedStdout;
using kyt_test::ScriptedTask;

namespace {

// A PCI address where no device lives: the environment may start with it on its allow-list.
constexpr const char* kNoDevice = "0000:7f:1f.7";

uint32_t UniqueShmId() { return static_cast<uint32_t>(getpid()); }

}  // namespace

TEST(NvmeDriverCoreMask, HoldsExactlyTheTwoCoresInHexadecimalAndRefusesOthers) {
  const std::tuple<uint32_t, uint32_t, const char*> masks[] = {
      {0, 1, "3"}, {2, 5, "24"}, {10, 11, "c00"}, {63, 0, "8000000000000001"}, {4, 4, "10"}};
  for (const auto& [main, worker, mask] : masks) EXPECT_EQ(NvmeDriver::BuildCoreMask(main, worker), mask);
  EXPECT_THROW(NvmeDriver::BuildCoreMask(0, 255), std::overflow_error);
  EXPECT_THROW(NvmeDriver::BuildCoreMask(0, 300), std::out_of_range);
  EXPECT_THROW(NvmeDriver::BuildCoreMask(256, 64), std::out_of_range) << "the range test comes first";
  try {
    NvmeDriver::BuildCoreMask(64, 1);
    ADD_FAILURE() << "core 64 accepted";
  } catch (const std::overflow_error& e) {
    EXPECT_STREQ(e.what(), "core 64 does not fit the 64-bit core mask (cores 0 to 63)");
  }
}

TEST(NvmeDriverLog, PrintsErrorsWarningsAndNoticesOnOneLine) {
  CapturedStdout out;
  NvmeDriver::PrintSpdkLog(SPDK_LOG_WARN, "nvme_ctrlr.c", 42, "fn", "first\nsecond\n");
  NvmeDriver::PrintSpdkLog(SPDK_LOG_INFO, "nvme_ctrlr.c", 43, "fn", "dropped\n");
  NvmeDriver::PrintSpdkLog(SPDK_LOG_DEBUG, "nvme_ctrlr.c", 44, "fn", "dropped\n");
  NvmeDriver::PrintSpdkLog(SPDK_LOG_ERROR, "env.c", 7, "fn", "bad");
  NvmeDriver::PrintSpdkLog(SPDK_LOG_NOTICE, "env.c", 8, "fn", "note");
  EXPECT_EQ(out.Text(),
            "SPDK: firstsecond (nvme_ctrlr.c:42)\n"
            "SPDK: bad (env.c:7)\n"
            "SPDK: note (env.c:8)\n");
}

TEST(NvmeDriver, BeforeAStartTasksAreDroppedAndBadAddressesOrCoresAreRefused) {
  NvmeDriver driver;
  ScriptedTask task("Early", 1);
  {
    CapturedStdout out;
    driver.AddTask(&task);
    EXPECT_EQ(out.Text(), "NVME: ASSERT - Scheduler is not initialized\n");
  }
  EXPECT_EQ(task.GetTaskScheduler(), nullptr);
  EXPECT_EQ(task.step_count, 0u);
  EXPECT_EQ(driver.GetTaskScheduler(), nullptr);
  for (const char* address : {"", "not-an-address", "0000:zz:00.0"}) {
    CapturedStdout out;
    EXPECT_FALSE(driver.StartScheduler(0, 1, UniqueShmId(), address)) << address;
    const auto lines = out.Lines();
    ASSERT_EQ(lines.size(), 2u) << out.Text();
    EXPECT_EQ(lines[0], "NVME: Initializing SPDK");
    const std::string expected = *address == '\0'
                                     ? std::string("NVME: No PCI address to start with: set the default BDF first")
                                     : std::string("NVME: Invalid PCI address \"") + address + "\"";
    EXPECT_EQ(lines[1], expected);
    EXPECT_FALSE(driver.IsStarted());
  }
  CapturedStdout out;
  EXPECT_THROW(driver.StartScheduler(64, 1, UniqueShmId(), kNoDevice), std::overflow_error);
  EXPECT_THROW(driver.StartScheduler(0, 300, UniqueShmId(), kNoDevice), std::out_of_range);
  EXPECT_FALSE(driver.IsStarted());
  EXPECT_EQ(out.Text().find("Creating a Task Scheduler"), std::string::npos);
}

// One pass of the worker, driven by hand on a real ring.
class WorkerPass : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kyt_env_test_init("kyt_unit") != 0) GTEST_SKIP() << "the environment does not start here";
    ring_ = std::make_unique<NvmeDriver::TaskRing>(NvmeDriver::kRingSize);
    ASSERT_TRUE(ring_->IsValid());
  }
  std::unique_ptr<NvmeDriver::TaskRing> ring_;
  TaskScheduler scheduler_{nullptr};
};

TEST_F(WorkerPass, TakesAtMostOneTaskPerPassInHandOverOrder) {
  ScriptedTask a("A", 10), b("B", 10), c("C", 1);
  for (auto* task : {&a, &b, &c}) ASSERT_TRUE(ring_->Enqueue(task));
  CapturedStdout out;
  NvmeDriver::RunPass(scheduler_, *ring_);
  EXPECT_EQ(scheduler_.Size(), 1u);
  EXPECT_EQ(ring_->Count(), 2u);
  EXPECT_EQ(a.step_count, 1u) << "a task taken in a pass is stepped in that pass";
  EXPECT_EQ(b.step_count, 0u);
  NvmeDriver::RunPass(scheduler_, *ring_);
  EXPECT_EQ(scheduler_.Size(), 2u);
  EXPECT_EQ(a.step_count, 2u);
  EXPECT_EQ(b.step_count, 1u);
  EXPECT_EQ(c.step_count, 0u);
  const size_t before_third = out.Lines().size();
  NvmeDriver::RunPass(scheduler_, *ring_);
  EXPECT_EQ(ring_->Count(), 0u);
  EXPECT_EQ(scheduler_.Size(), 2u) << "a task final on its first step is added and removed in one pass";
  const auto lines = out.Lines();
  const std::vector<std::string> c_lines(lines.begin() + before_third, lines.end());
  EXPECT_EQ(c_lines, (std::vector<std::string>{"NVME: Task: C: Added", "NVME: Task: A: State Changed: 3 --> 4",
                                               "NVME: Task: B: State Changed: 2 --> 3",
                                               "NVME: Task: C: State Changed: 1 --> Done", "NVME: Task: C: Removed"}));
  EXPECT_EQ(lines[0], "NVME: Task: A: Added");
  NvmeDriver::RunPass(scheduler_, *ring_);
  EXPECT_EQ(c.step_count, 1u);
}

// The whole driver: environment start, worker thread, hand-over, clean stop. The captured output outlives the
// driver, because the worker writes its lines until it is stopped.
TEST(NvmeDriverWorker, RunsHandedTasksToTheirFinalStateAndStopsCleanly) {
  CapturedStdout out;
  auto driver = std::make_unique<NvmeDriver>();
  if (!driver->StartScheduler(0, 1, UniqueShmId(), kNoDevice)) {
    GTEST_SKIP() << "the environment does not start here:\n" << out.Text();
  }
  {
    const auto lines = out.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "NVME: Initializing SPDK");
    EXPECT_EQ(lines.back(), "NVME: Initialized NvmeDriver instance");
  }
  ASSERT_TRUE(driver->IsStarted());
  const size_t before_second = out.Text().size();
  EXPECT_TRUE(driver->StartScheduler(5, 6, 7, "garbage")) << "a second start changes nothing";
  EXPECT_EQ(out.Text().substr(before_second), "NVME: Already Started Scheduler\n");

  // Every task records the worker's pass count at each step: one step per pass means consecutive counts.
  NvmeDriver* raw = driver.get();
  std::vector<std::unique_ptr<ScriptedTask>> tasks;
  std::vector<std::vector<uint64_t>> seen(4);
  for (int i = 0; i < 4; ++i) {
    tasks.push_back(std::make_unique<ScriptedTask>("T" + std::to_string(i), 5 + i,
                                                   i == 3 ? TaskBase::kStateAborted : TaskBase::kStateDone));
    tasks.back()->probe = [raw, &seen, i](ScriptedTask&) { seen[i].push_back(raw->GetPassCount()); };
  }
  for (auto& task : tasks) driver->AddTask(task.get());
  for (auto& task : tasks) task->WaitForDone();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(tasks[i]->GetTaskScheduler(), driver->GetTaskScheduler());
    EXPECT_EQ(tasks[i]->GetNvmeControllerManager(), driver->GetControllerManager());
    EXPECT_TRUE(tasks[i]->IsReleased());
    ASSERT_EQ(seen[i].size(), 5u + i);
    for (size_t s = 1; s < seen[i].size(); ++s) EXPECT_EQ(seen[i][s], seen[i][s - 1] + 1) << "task " << i;
  }
  EXPECT_TRUE(tasks[0]->IsDone());
  EXPECT_TRUE(tasks[3]->IsAborted());
  EXPECT_EQ(tasks[3]->GetErrorMessage(), "T3 failed");
  // Handed over back to back, taken in successive passes: each later task starts at least one pass later.
  for (int i = 1; i < 4; ++i) EXPECT_GT(seen[i].front(), seen[i - 1].front());
  tasks.clear();  // owners free their tasks at once: the worker must not touch them again

  // The worker keeps polling with nothing to do (its core may be shared with other processes: wait for it).
  const uint64_t passes_before = driver->GetPassCount();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (driver->GetPassCount() == passes_before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GT(driver->GetPassCount(), passes_before) << "the worker keeps polling";
  driver.reset();
  const std::string text = out.Text();
  EXPECT_NE(text.find("NVME: Task: T3: Removed\n"), std::string::npos);
  EXPECT_NE(text.find("NVME: Terminated NVMe Driver\n"), std::string::npos);
  EXPECT_LT(text.find("NVME: CommandTracker: Deleted\n"), text.find("NVME: Terminated NVMe Driver\n"));
}

TEST(NvmeDriverWorker, AFullRingStallsTheProducerOnlyUntilTheWorkerTakesTasks) {
  CapturedStdout out;
  NvmeDriver driver;
  if (!driver.StartScheduler(0, 1, UniqueShmId(), kNoDevice)) GTEST_SKIP() << "the environment does not start";
  constexpr int kTasks = 3 * NvmeDriver::kRingSize;
  std::vector<std::unique_ptr<ScriptedTask>> tasks;
  for (int i = 0; i < kTasks; ++i) {
    tasks.push_back(std::make_unique<ScriptedTask>("N" + std::to_string(i), 1));
    driver.AddTask(tasks.back().get());
  }
  for (auto& task : tasks) task->WaitForDone();
  for (auto& task : tasks) EXPECT_EQ(task->step_count, 1u);
}
