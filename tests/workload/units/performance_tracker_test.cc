// The performance tracker on a hand-driven clock: totals, histogram feed, warm-up, slices and the sample cap.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "runner/performance_tracker.h"

namespace wlunits {
namespace {

constexpr uint64_t kHz = 1000000;  // one tick per microsecond

uint64_t g_now = 0;
uint64_t FakeTicks() { return g_now; }

class PerformanceTrackerTest : public ::testing::Test {
 protected:
  void SetUp() override { g_now = 0; }

  static std::unique_ptr<PerformanceTracker> Make(uint64_t delay, uint64_t interval) {
    return std::make_unique<PerformanceTracker>(true, delay, interval, kHz, nullptr,
                                                PerformanceTracker::Clock{FakeTicks});
  }

  // The sample's interval, time since the start, I/Os, bytes, IOPS, throughput, min, max and average latency.
  static void ExpectSample(const PerformanceIntervalSample& s, std::vector<double> want) {
    const double got[] = {s.interval, s.sinceStart, s.totalIo, s.totalXfers, s.iops, s.throughput,
                          s.minLatencyUs, s.maxLatencyUs, s.avgLatencyUs};
    for (size_t i = 0; i < want.size(); ++i) EXPECT_DOUBLE_EQ(got[i], want[i]) << "field " << i;
  }

  // Tracks one I/O at `seconds` of a stretch that started at `start` ticks.
  static void At(PerformanceTracker& tracker, double seconds, uint64_t latency, uint32_t bytes, uint64_t start = 0) {
    g_now = static_cast<uint64_t>(seconds * kHz);
    tracker.Track(latency, bytes, start, g_now);
  }
};

// At 1 GHz, 2500 ticks are 2.5 us: the histogram counts whole microseconds. Without intervals nothing is sampled.
TEST_F(PerformanceTrackerTest, TotalsExtremesAndHistogramInMicroseconds) {
  PerformanceTracker tracker(false, 0, 1, 1000000000ULL, std::make_unique<Histogram>(1, 1000, 3),
                             PerformanceTracker::Clock{FakeTicks});
  for (uint64_t latency : {2500u, 900u, 7000u}) At(tracker, 100, latency, 512);
  EXPECT_EQ(tracker.GetTotalIos(), 3u);
  EXPECT_EQ(tracker.GetTotalBytes(), 3u * 512);
  EXPECT_EQ(tracker.GetTotalLatency(), 10400u);
  EXPECT_EQ(tracker.GetMinLatency(), 900u);
  EXPECT_EQ(tracker.GetMaxLatency(), 7000u);
  EXPECT_TRUE(tracker.GetSamples().empty());
  const Histogram* h = tracker.GetHistogram();
  for (double us : {2.0, 0.0, 7.0}) EXPECT_EQ(h->GetCount(h->GetBucketIndex(us)), 1u) << us;
}

TEST_F(PerformanceTrackerTest, MicrosecondsAreTheRoundedDownQuotient) {
  for (uint64_t hz : {1000000ULL, 1000000000ULL, 2994375000ULL, 3999999937ULL}) {
    PerformanceTracker tracker(false, 0, 1, hz, nullptr, PerformanceTracker::Clock{FakeTicks});
    for (uint64_t us : {0ULL, 1ULL, 7ULL, 123456ULL, 999999999ULL, 5000000000ULL, 1ULL << 40}) {
      const unsigned __int128 edge = (static_cast<unsigned __int128>(us) * hz + 999999) / 1000000;  // first tick of us
      for (unsigned __int128 t : {edge - 1, edge, edge + 1}) {
        if (t > UINT64_MAX) continue;
        EXPECT_EQ(tracker.Microseconds(static_cast<uint64_t>(t)), static_cast<uint64_t>(t * 1000000 / hz)) << hz;
      }
    }
  }
}

// Nothing enters a slice up to and including the warm-up (5 s after the stretch's start); the first counted I/O more
// than `interval` after the previous sample (at first: the tracker's construction) closes a slice.
TEST_F(PerformanceTrackerTest, SlicesStartAfterTheWarmUpAndCarryTheirStatistics) {
  auto tracker = Make(5, 1);
  for (double t : {0.5, 4.9, 5.0}) At(*tracker, t, 100, 4096);
  EXPECT_EQ(tracker->GetIntervalIos(), 0u);
  At(*tracker, 5.5, 200, 1000);
  ASSERT_EQ(tracker->GetSamples().size(), 1u);
  ExpectSample(tracker->GetSamples().back(), {5.5, 5.5, 1, 1000, 1 / 5.5, 1000 / 5.5, 200, 200, 200});

  At(*tracker, 6.0, 300, 2000);
  At(*tracker, 6.5, 100, 3000);  // exactly 1 s after the sample: the slice stays open
  At(*tracker, 6.75, 500, 4000);
  ASSERT_EQ(tracker->GetSamples().size(), 2u);
  ExpectSample(tracker->GetSamples().back(), {1.25, 6.75, 3, 9000, 3 / 1.25, 9000 / 1.25, 100, 500, 300});
  EXPECT_EQ(tracker->GetTotalIos(), 7u);
}

TEST_F(PerformanceTrackerTest, WarmUpCountsFromTheLatestStretch) {
  auto tracker = Make(2, 0);
  const uint64_t resumed = 10 * kHz;  // the workload resumed at 10 s: a new warm-up of 2 s
  At(*tracker, 12, 10, 512, resumed);
  EXPECT_TRUE(tracker->GetSamples().empty());
  At(*tracker, 12.5, 10, 512, resumed);
  ASSERT_EQ(tracker->GetSamples().size(), 1u);
  ExpectSample(tracker->GetSamples().back(), {12.5, 2.5});
}

TEST_F(PerformanceTrackerTest, KeepsTheLatestThousandSamples) {
  auto tracker = Make(0, 0);
  for (int i = 1; i <= 1001; ++i) At(*tracker, i, static_cast<uint64_t>(i), 512);
  const auto& samples = tracker->GetSamples();
  ASSERT_EQ(samples.size(), 1000u);
  EXPECT_DOUBLE_EQ(samples.front().maxLatencyUs, 2.0) << "the first sample was dropped";
  EXPECT_DOUBLE_EQ(samples.back().maxLatencyUs, 1001.0);
}

}  // namespace
}  // namespace wlunits
