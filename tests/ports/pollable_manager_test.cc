#include "devices/pollable_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "test_support.h"

using tyr::threading::Pollable;
using tyr::threading::PollableManager;
using Clock = std::chrono::steady_clock;

namespace {

class CountingPollable : public Pollable {
 public:
  explicit CountingPollable(uint32_t interval) : interval_(interval) {}
  void poll() override {
    std::lock_guard<std::mutex> lock(mutex_);
    times_.push_back(Clock::now());
  }
  uint32_t getPollingIntervalMs() const override { return interval_; }
  std::vector<Clock::time_point> times() {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
  }
  size_t count() { return times().size(); }

 private:
  uint32_t interval_;
  std::mutex mutex_;
  std::vector<Clock::time_point> times_;
};

class ThrowingPollable : public Pollable {
 public:
  void poll() override {
    ++calls;
    throw std::runtime_error("boom");
  }
  uint32_t getPollingIntervalMs() const override { return 1; }
  std::atomic<int> calls{0};
};

}  // namespace

TEST(PollableManager, LogsStartStopAndRegistrationCounts) {
  portstest::LogCapture log;
  {
    PollableManager manager;
    auto a = std::make_shared<CountingPollable>(1000);
    auto b = std::make_shared<CountingPollable>(1000);
    auto stranger = std::make_shared<CountingPollable>(1000);
    manager.addPollable(a);
    manager.addPollable(b);
    manager.addPollable(a);  // again: still two entries
    EXPECT_EQ(manager.count(), 2u);
    manager.removePollable(stranger);  // unknown: line printed, count unchanged
    manager.removePollable(a);
    manager.removePollable(b);
    EXPECT_EQ(manager.count(), 0u);
  }
  std::vector<std::string> expected = {
      "PollableManager: Starting",
      "PollableManager: Added a Pollable. Total Pollables: 1",
      "PollableManager: Added a Pollable. Total Pollables: 2",
      "PollableManager: Added a Pollable. Total Pollables: 2",
      "PollableManager: Removed a Pollable. Total Pollables: 2",
      "PollableManager: Removed a Pollable. Total Pollables: 1",
      "PollableManager: Removed a Pollable. Total Pollables: 0",
      "PollableManager: Stopping",
      "PollableManager: Stopped",
  };
  EXPECT_EQ(log.lines(), expected);
}

TEST(PollableManager, FirstPollComesOneIntervalAfterRegistration) {
  PollableManager manager;
  auto slow = std::make_shared<CountingPollable>(60);
  Clock::time_point registered = Clock::now();
  manager.addPollable(slow);
  ASSERT_TRUE(portstest::waitFor([&] { return slow->count() >= 1; }));
  EXPECT_GE(slow->times()[0] - registered, std::chrono::milliseconds(60));
}

TEST(PollableManager, PollsEachObjectAtItsOwnInterval) {
  PollableManager manager;
  auto fast = std::make_shared<CountingPollable>(5);
  auto slow = std::make_shared<CountingPollable>(100);
  manager.addPollable(fast);
  manager.addPollable(slow);
  std::this_thread::sleep_for(std::chrono::milliseconds(450));
  manager.removePollable(fast);
  manager.removePollable(slow);
  auto slowTimes = slow->times();
  ASSERT_GE(slowTimes.size(), 2u);
  EXPECT_LE(slowTimes.size(), 4u);
  for (size_t i = 1; i < slowTimes.size(); ++i)
    EXPECT_GE(slowTimes[i] - slowTimes[i - 1], std::chrono::milliseconds(100));
  // The fast one is polled far more often, and never sooner than its interval.
  auto fastTimes = fast->times();
  EXPECT_GE(fastTimes.size(), 20u);
  for (size_t i = 1; i < fastTimes.size(); ++i)
    EXPECT_GE(fastTimes[i] - fastTimes[i - 1], std::chrono::milliseconds(5));
}

namespace {
// Counts the passes: every pass asks each object for its interval once.
class PassCounter : public Pollable {
 public:
  explicit PassCounter(uint32_t interval) : interval_(interval) {}
  void poll() override {}
  uint32_t getPollingIntervalMs() const override {
    ++queries;
    return interval_;
  }
  mutable std::atomic<int> queries{0};

 private:
  uint32_t interval_;
};
}  // namespace

TEST(PollableManager, SleepsATenthOfTheSmallestIntervalBetweenPasses) {
  PollableManager manager;
  auto slow = std::make_shared<PassCounter>(1000);
  manager.addPollable(slow);
  int start = slow->queries;
  std::this_thread::sleep_for(std::chrono::milliseconds(450));
  int passes = slow->queries - start;
  // 100 ms between passes: about five passes, not thousands.
  EXPECT_GE(passes, 2);
  EXPECT_LE(passes, 6);
  manager.removePollable(slow);
}

TEST(PollableManager, ZeroIntervalIsPolledOnEveryPass) {
  PollableManager manager;
  auto eager = std::make_shared<CountingPollable>(0);
  manager.addPollable(eager);
  EXPECT_TRUE(portstest::waitFor([&] { return eager->count() >= 50; }));
}

TEST(PollableManager, RegistrationStaysPromptWhileAOneMillisecondObjectIsPolled) {
  PollableManager manager;
  auto busy = std::make_shared<CountingPollable>(1);
  manager.addPollable(busy);
  std::vector<std::shared_ptr<CountingPollable>> others;
  for (int i = 0; i < 200; ++i) others.push_back(std::make_shared<CountingPollable>(1000));
  auto start = Clock::now();
  for (auto& other : others) manager.addPollable(other);
  for (auto& other : others) manager.removePollable(other);
  // 400 lock round trips against a thread that never sleeps a full millisecond: they must
  // all get through, far below the second that a starving loop would need.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  size_t before = busy->count();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GE(busy->count() - before, 10u);  // and the 1 ms object keeps its rate
}

TEST(PollableManager, ThrowingPollIsReportedAndOthersGoOn) {
  portstest::LogCapture log;
  PollableManager manager;
  auto bad = std::make_shared<ThrowingPollable>();
  auto good = std::make_shared<CountingPollable>(1);
  manager.addPollable(bad);
  manager.addPollable(good);
  ASSERT_TRUE(portstest::waitFor([&] { return bad->calls >= 3 && good->count() >= 3; }));
  manager.removePollable(bad);
  EXPECT_TRUE(log.has("PollableManager: poll failed: boom"));
}

TEST(PollableManager, DestructionReleasesRegisteredObjects) {
  auto object = std::make_shared<CountingPollable>(1);
  {
    PollableManager manager;
    manager.addPollable(object);
    EXPECT_GT(object.use_count(), 1);
    ASSERT_TRUE(portstest::waitFor([&] { return object->count() > 0; }));
  }
  EXPECT_EQ(object.use_count(), 1);
  size_t after = object->count();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(object->count(), after);
}
