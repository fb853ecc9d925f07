// The performance tracker on a hand-driven clock: totals, histogram feed, warm-up, slices and the sample cap.
#include <gtest/gtest.h>

#include <memory>

#include "runner/performance_tracker.h"

namespace wlunits {
namespace {

constexpr uint64_t kHz = 1000000;  // one tick per microsecond

uint64_t g_now = 0;
uint64_t FakeTicks() { return g_now; }

class PerformanceTrackerTest : public ::testing::Test {
 protected:
  void SetUp() override { g_now = 0; }

  static std::unique_ptr<PerformanceTracker> Make(bool intervals, uint64_t delay, uint64_t interval,
                                                  std::unique_ptr<Histogram> histogram = nullptr) {
    return std::make_unique<PerformanceTracker>(intervals, delay, interval, kHz, std::move(histogram),
                                                PerformanceTracker::Clock{FakeTicks});
  }

  static void At(double seconds) { g_now = static_cast<uint64_t>(seconds * kHz); }
};

TEST_F(PerformanceTrackerTest, EmptyTrackerKeepsItsStartValues) {
  auto tracker = Make(true, 0, 1);
  EXPECT_EQ(tracker->GetTotalIos(), 0u);
  EXPECT_EQ(tracker->GetTotalBytes(), 0u);
  EXPECT_EQ(tracker->GetMinLatency(), UINT64_MAX);
  EXPECT_EQ(tracker->GetMaxLatency(), 0u);
  EXPECT_EQ(tracker->GetIntervalMinLatency(), UINT64_MAX);
  EXPECT_TRUE(tracker->GetSamples().empty());
  EXPECT_EQ(tracker->GetHistogram(), nullptr);
}

TEST_F(PerformanceTrackerTest, WithoutIntervalsOnlyTotalsExtremesAndHistogramChange) {
  // At a 1 GHz tick rate 2500 ticks are 2.5 us: the histogram counts whole microseconds.
  auto tracker = std::make_unique<PerformanceTracker>(false, 0, 1, 1000000000ULL, std::make_unique<Histogram>(1, 1000, 3),
                                                      PerformanceTracker::Clock{FakeTicks});
  At(100);
  tracker->Track(2500, 4096, 0, g_now);
  tracker->Track(900, 512, 0, g_now);
  tracker->Track(7000, 8192, 0, g_now);
  EXPECT_EQ(tracker->GetTotalIos(), 3u);
  EXPECT_EQ(tracker->GetTotalBytes(), 4096u + 512 + 8192);
  EXPECT_EQ(tracker->GetTotalLatency(), 2500u + 900 + 7000);
  EXPECT_EQ(tracker->GetMinLatency(), 900u);
  EXPECT_EQ(tracker->GetMaxLatency(), 7000u);
  EXPECT_EQ(tracker->GetIntervalIos(), 0u);
  EXPECT_EQ(tracker->GetIntervalBytes(), 0u);
  EXPECT_TRUE(tracker->GetSamples().empty());

  const Histogram* h = tracker->GetHistogram();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetTotal(), 3u);
  EXPECT_EQ(h->GetCount(h->GetBucketIndex(2.0)), 1u) << "2.5 us enters as 2";
  EXPECT_EQ(h->GetCount(h->GetBucketIndex(7.0)), 1u);
  EXPECT_EQ(h->GetCount(h->GetBucketIndex(0.0)), 1u) << "0.9 us enters as 0";
}

TEST_F(PerformanceTrackerTest, MicrosecondsAreTheRoundedDownQuotient) {
  for (uint64_t hz : {1000000ULL, 1000000000ULL, 2994375000ULL, 3999999937ULL}) {
    PerformanceTracker tracker(false, 0, 1, hz, nullptr, PerformanceTracker::Clock{FakeTicks});
    for (uint64_t us : {0ULL, 1ULL, 7ULL, 123456ULL, 999999999ULL, 5000000000ULL, 1ULL << 40}) {
      const unsigned __int128 edge = (static_cast<unsigned __int128>(us) * hz + 999999) / 1000000;  // first tick of us
      for (unsigned __int128 t : {edge - 1, edge, edge + 1}) {
        if (t > UINT64_MAX) continue;
        const uint64_t ticks = static_cast<uint64_t>(t);
        EXPECT_EQ(tracker.Microseconds(ticks), static_cast<uint64_t>(t * 1000000 / hz)) << hz << " Hz, " << ticks;
      }
    }
  }
}

TEST_F(PerformanceTrackerTest, SlicesStartAfterTheWarmUpAndCarryTheirStatistics) {
  auto tracker = Make(true, 5, 1);
  const uint64_t start = 0;
  // Warm-up: up to and including 5 s after the start nothing enters a slice.
  for (double t : {0.5, 2.0, 4.9, 5.0}) {
    At(t);
    tracker->Track(100, 4096, start, g_now);
  }
  EXPECT_EQ(tracker->GetTotalIos(), 4u);
  EXPECT_EQ(tracker->GetIntervalIos(), 0u);
  EXPECT_TRUE(tracker->GetSamples().empty());

  // The previous sample counts from construction (tick 0): the first counted I/O after 1 s closes a slice.
  At(5.5);
  tracker->Track(200, 1000, start, g_now);
  ASSERT_EQ(tracker->GetSamples().size(), 1u);
  const PerformanceIntervalSample first = tracker->GetSamples().front();
  EXPECT_DOUBLE_EQ(first.interval, 5.5);
  EXPECT_DOUBLE_EQ(first.sinceStart, 5.5);
  EXPECT_DOUBLE_EQ(first.totalIo, 1.0);
  EXPECT_DOUBLE_EQ(first.totalXfers, 1000.0);
  EXPECT_DOUBLE_EQ(first.iops, 1.0 / 5.5);
  EXPECT_DOUBLE_EQ(first.throughput, 1000.0 / 5.5);
  EXPECT_DOUBLE_EQ(first.minLatencyUs, 200.0);
  EXPECT_DOUBLE_EQ(first.maxLatencyUs, 200.0);
  EXPECT_DOUBLE_EQ(first.avgLatencyUs, 200.0);
  EXPECT_EQ(tracker->GetLastSampleTicks(), 5500000u);
  // The slice starts over.
  EXPECT_EQ(tracker->GetIntervalIos(), 0u);
  EXPECT_EQ(tracker->GetIntervalMinLatency(), UINT64_MAX);
  EXPECT_EQ(tracker->GetIntervalMaxLatency(), 0u);
  EXPECT_DOUBLE_EQ(tracker->GetElapsedSeconds(), 0.0);

  // A slice of exactly `interval` seconds stays open; the next I/O after it closes it.
  At(6.0);
  tracker->Track(300, 2000, start, g_now);
  At(6.5);
  tracker->Track(100, 3000, start, g_now);
  EXPECT_EQ(tracker->GetIntervalIos(), 2u);
  EXPECT_DOUBLE_EQ(tracker->GetIntervalSeconds(), 1.0);
  EXPECT_DOUBLE_EQ(tracker->GetElapsedSeconds(), 6.5);
  At(6.75);
  tracker->Track(500, 4000, start, g_now);
  ASSERT_EQ(tracker->GetSamples().size(), 2u);
  const PerformanceIntervalSample second = tracker->GetSamples().back();
  EXPECT_DOUBLE_EQ(second.interval, 1.25);
  EXPECT_DOUBLE_EQ(second.sinceStart, 6.75);
  EXPECT_DOUBLE_EQ(second.totalIo, 3.0);
  EXPECT_DOUBLE_EQ(second.totalXfers, 9000.0);
  EXPECT_DOUBLE_EQ(second.iops, 3.0 / 1.25);
  EXPECT_DOUBLE_EQ(second.throughput, 9000.0 / 1.25);
  EXPECT_DOUBLE_EQ(second.minLatencyUs, 100.0);
  EXPECT_DOUBLE_EQ(second.maxLatencyUs, 500.0);
  EXPECT_DOUBLE_EQ(second.avgLatencyUs, 300.0);
  EXPECT_EQ(tracker->GetTotalIos(), 8u);
}

TEST_F(PerformanceTrackerTest, WarmUpCountsFromTheLatestStretch) {
  auto tracker = Make(true, 2, 0);
  At(3);
  tracker->Track(10, 512, 0, g_now);
  EXPECT_EQ(tracker->GetSamples().size(), 1u);
  // The workload resumed at 10 s: a new warm-up of 2 s.
  const uint64_t resumed = 10 * kHz;
  At(11);
  tracker->Track(10, 512, resumed, g_now);
  At(12);
  tracker->Track(10, 512, resumed, g_now);
  EXPECT_EQ(tracker->GetSamples().size(), 1u);
  At(12.5);
  tracker->Track(10, 512, resumed, g_now);
  ASSERT_EQ(tracker->GetSamples().size(), 2u);
  EXPECT_DOUBLE_EQ(tracker->GetSamples().back().sinceStart, 2.5);
  EXPECT_DOUBLE_EQ(tracker->GetSamples().back().interval, 9.5);
}

TEST_F(PerformanceTrackerTest, KeepsTheLatestThousandSamples) {
  auto tracker = Make(true, 0, 0);
  for (int i = 1; i <= 1001; ++i) {
    At(i);
    tracker->Track(static_cast<uint64_t>(i), 512, 0, g_now);
  }
  const auto& samples = tracker->GetSamples();
  ASSERT_EQ(samples.size(), PerformanceTracker::kMaxSamples);
  EXPECT_DOUBLE_EQ(samples.front().sinceStart, 2.0) << "the first sample was dropped";
  EXPECT_DOUBLE_EQ(samples.front().maxLatencyUs, 2.0);
  EXPECT_DOUBLE_EQ(samples.back().sinceStart, 1001.0);
  double previous = 0.0;
  for (const PerformanceIntervalSample& s : samples) {
    EXPECT_GT(s.sinceStart, previous);
    previous = s.sinceStart;
  }
}

}  // namespace
}  // namespace wlunits
