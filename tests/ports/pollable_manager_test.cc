#include "devices/pollable_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <vector>

#include "test_support.h"

using tyr::threading::Pollable;
using tyr::threading::PollableManager;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Notes when it is polled, and how often the loop had asked for its interval (once a pass) by then; optionally
// throws from every poll. The bounds checked on these notes are ones that load can only make easier to meet.
class CountingPollable : public Pollable {
 public:
  explicit CountingPollable(uint32_t interval, bool throws = false) : interval_(interval), throws_(throws) {}
  void poll() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      times_.push_back(Clock::now());
      queriesAtPoll_.push_back(queries);
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
  std::vector<int> queriesAtPoll() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queriesAtPoll_;
  }
  size_t count() { return times().size(); }
  mutable std::atomic<int> queries{0};

 private:
  uint32_t interval_;
  bool throws_;
  std::mutex mutex_;
  std::vector<Clock::time_point> times_;
  std::vector<int> queriesAtPoll_;
};

}  // namespace

TEST(PollableManager, RegistersEachObjectOnceAndReleasesEveryObjectWhenDestroyed) {
  auto a = std::make_shared<CountingPollable>(1000);
  auto zero = std::make_shared<CountingPollable>(0);
  {
    PollableManager manager;
    manager.addPollable(a);
    manager.addPollable(a);
    manager.addPollable(zero);
    EXPECT_EQ(manager.count(), 2u);
    manager.removePollable(std::make_shared<CountingPollable>(1000));  // unknown: ignored
    EXPECT_EQ(manager.count(), 2u);
    ASSERT_TRUE(portstest::waitFor([&] { return zero->count() >= 50; }));  // an interval of 0: every pass
    EXPECT_GT(zero.use_count(), 1);
  }
  EXPECT_EQ(a.use_count(), 1);
  EXPECT_EQ(zero.use_count(), 1);
}

// Each object is polled no sooner than its interval after registration and after its last poll, and the loop
// sleeps a tenth of the smallest interval between passes instead of spinning.
TEST(PollableManager, PollsEachObjectAtItsOwnIntervalWithPausesBetweenPasses) {
  PollableManager manager;
  auto fast = std::make_shared<CountingPollable>(20);
  auto slow = std::make_shared<CountingPollable>(100);
  const Clock::time_point registered = Clock::now();
  manager.addPollable(slow);
  manager.addPollable(fast);
  ASSERT_TRUE(portstest::waitFor([&] { return slow->count() >= 3; }));
  manager.removePollable(fast);
  manager.removePollable(slow);
  EXPECT_GE(slow->times()[0] - registered, milliseconds(100));
  for (auto& object : {std::make_pair(fast, milliseconds(20)), std::make_pair(slow, milliseconds(100))}) {
    const auto times = object.first->times();
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], object.second) << "poll " << i;
  }
  EXPECT_GT(fast->count(), slow->count());
  // A pass at most every 2 ms between two polls of the slow object: about 50 passes, not thousands.
  const auto queries = slow->queriesAtPoll();
  EXPECT_LE(queries[2] - queries[1], 55);
}

TEST(PollableManager, OneMillisecondObjectsKeepPollingThroughThrowsAndRegistrationsStayPrompt) {
  portstest::LogCapture log;
  PollableManager manager;
  auto bad = std::make_shared<CountingPollable>(1, true);
  auto good = std::make_shared<CountingPollable>(1);
  manager.addPollable(bad);
  manager.addPollable(good);
  std::vector<std::shared_ptr<CountingPollable>> others;
  for (int i = 0; i < 100; ++i) others.push_back(std::make_shared<CountingPollable>(1000));
  for (auto& other : others) manager.addPollable(other);
  for (auto& other : others) manager.removePollable(other);
  const size_t badBefore = bad->count(), goodBefore = good->count();
  EXPECT_TRUE(portstest::waitFor([&] { return bad->count() >= badBefore + 10 && good->count() >= goodBefore + 10; }));
  EXPECT_TRUE(log.has("PollableManager: poll failed: boom"));
}

// A poll that blocks (a device that does not answer) holds up no registration and no other object's removal.
TEST(PollableManager, ABlockedPollHoldsUpNoRegistration) {
  struct Blocking : Pollable {
    void poll() override {
      if (polls++ == 0) {
        entered.set_value();
        releasedInTime = released.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
      }
    }
    uint32_t getPollingIntervalMs() const override { return 0; }
    std::atomic<int> polls{0};
    std::promise<void> entered;
    std::shared_future<void> released;
    bool releasedInTime = false;
  };
  PollableManager manager;
  auto blocking = std::make_shared<Blocking>();
  std::promise<void> release;
  blocking->released = release.get_future().share();
  auto entered = blocking->entered.get_future();
  manager.addPollable(blocking);
  entered.wait();
  auto other = std::make_shared<CountingPollable>(1000);
  manager.addPollable(other);
  manager.removePollable(other);
  release.set_value();
  manager.removePollable(blocking);
  EXPECT_TRUE(blocking->releasedInTime);
}
