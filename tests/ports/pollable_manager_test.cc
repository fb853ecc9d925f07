#include "devices/pollable_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "test_support.h"

using tyr::threading::Pollable;
using tyr::threading::PollableManager;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Notes when it is polled and how often the loop asks for its interval (once a pass);
// optionally throws from every poll.
class CountingPollable : public Pollable {
 public:
  explicit CountingPollable(uint32_t interval, bool throws = false) : interval_(interval), throws_(throws) {}
  void poll() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      times_.push_back(Clock::now());
    }
    if (throws_) throw std::runtime_error("boom");
  }
  uint32_t getPollingIntervalMs() const override {
    ++queries;
    return interval_;
  }
  std::vector<Clock::time_point> times() {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
  }
  size_t count() { return times().size(); }
  mutable std::atomic<int> queries{0};

 private:
  uint32_t interval_;
  bool throws_;
  std::mutex mutex_;
  std::vector<Clock::time_point> times_;
};

// Polls come no sooner than the interval apart. The times are taken inside poll, a little after
// the loop's own clock reading, so a poll's own jitter (well under 0.3 ms) is allowed for.
void expectSpacing(const std::vector<Clock::time_point>& times, milliseconds interval) {
  for (size_t i = 1; i < times.size(); ++i)
    EXPECT_GE(times[i] - times[i - 1], interval - std::chrono::microseconds(300)) << "poll " << i;
}

}  // namespace

TEST(PollableManager, LogsStartStopAndRegistrationCounts) {
  portstest::LogCapture log;
  {
    PollableManager manager;
    auto a = std::make_shared<CountingPollable>(1000);
    auto b = std::make_shared<CountingPollable>(1000);
    manager.addPollable(a);
    manager.addPollable(b);
    manager.addPollable(a);  // again: still two entries
    EXPECT_EQ(manager.count(), 2u);
    manager.removePollable(std::make_shared<CountingPollable>(1000));  // unknown: line printed, count unchanged
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

TEST(PollableManager, PollsEachObjectAtItsOwnIntervalTheFirstTimeOneIntervalAfterRegistration) {
  PollableManager manager;
  auto fast = std::make_shared<CountingPollable>(5);
  auto slow = std::make_shared<CountingPollable>(100);
  manager.addPollable(fast);
  Clock::time_point registered = Clock::now();
  manager.addPollable(slow);
  std::this_thread::sleep_for(milliseconds(450));
  manager.removePollable(fast);
  manager.removePollable(slow);
  ASSERT_GE(slow->count(), 2u);
  EXPECT_LE(slow->count(), 4u);
  EXPECT_GE(fast->count(), 20u);
  EXPECT_GE(slow->times()[0] - registered, milliseconds(100));
  expectSpacing(slow->times(), milliseconds(100));
  expectSpacing(fast->times(), milliseconds(5));
}

TEST(PollableManager, SleepsATenthOfTheSmallestIntervalBetweenPasses) {
  PollableManager manager;
  auto slow = std::make_shared<CountingPollable>(1000);
  manager.addPollable(slow);
  int start = slow->queries;
  std::this_thread::sleep_for(milliseconds(450));
  int passes = slow->queries - start;
  // 100 ms between passes: about five passes, not thousands.
  EXPECT_GE(passes, 2);
  EXPECT_LE(passes, 6);
}

TEST(PollableManager, OneMillisecondObjectsKeepTheirRateThroughThrowsAndRegistrationsStayPrompt) {
  portstest::LogCapture log;
  PollableManager manager;
  auto bad = std::make_shared<CountingPollable>(1, true);
  auto good = std::make_shared<CountingPollable>(1);
  manager.addPollable(bad);
  manager.addPollable(good);
  std::vector<std::shared_ptr<CountingPollable>> others;
  for (int i = 0; i < 200; ++i) others.push_back(std::make_shared<CountingPollable>(1000));
  auto start = Clock::now();
  for (auto& other : others) manager.addPollable(other);
  for (auto& other : others) manager.removePollable(other);
  // 400 lock round trips against a thread that never sleeps a full millisecond: they must
  // all get through, far below the time a starving loop would need.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  size_t badBefore = bad->count(), goodBefore = good->count();
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_GE(bad->count() - badBefore, 10u);
  EXPECT_GE(good->count() - goodBefore, 10u);
  EXPECT_TRUE(log.has("PollableManager: poll failed: boom"));
}

TEST(PollableManager, ZeroIntervalPollsEveryPassAndDestructionReleasesObjects) {
  auto object = std::make_shared<CountingPollable>(0);
  {
    PollableManager manager;
    manager.addPollable(object);
    EXPECT_GT(object.use_count(), 1);
    ASSERT_TRUE(portstest::waitFor([&] { return object->count() >= 50; }));
  }
  EXPECT_EQ(object.use_count(), 1);
  size_t after = object->count();
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(object->count(), after);
}

// A poll that blocks (a device that does not answer) holds up no registration and no other object's removal.
TEST(PollableManager, ABlockedPollHoldsUpNoRegistration) {
  struct Blocking : Pollable {
    void poll() override {
      std::unique_lock<std::mutex> lock(mutex);
      if (std::exchange(entered, true)) return;
      changed.notify_all();
      releasedInTime = changed.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
    }
    uint32_t getPollingIntervalMs() const override { return 0; }
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false, releasedInTime = false;
  };
  PollableManager manager;
  auto blocking = std::make_shared<Blocking>();
  manager.addPollable(blocking);
  {
    std::unique_lock<std::mutex> lock(blocking->mutex);
    blocking->changed.wait(lock, [&] { return blocking->entered; });
  }
  auto other = std::make_shared<CountingPollable>(1000);
  manager.addPollable(other);
  manager.removePollable(other);
  {
    std::lock_guard<std::mutex> lock(blocking->mutex);
    blocking->released = true;
  }
  blocking->changed.notify_all();
  manager.removePollable(blocking);
  EXPECT_TRUE(blocking->releasedInTime);
}
