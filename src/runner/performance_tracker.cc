#include "runner/performance_tracker.h"

#include <utility>

#include "spdk/env.h"

PerformanceTracker::Clock PerformanceTracker::EnvironmentClock() { return Clock{spdk_get_ticks}; }

PerformanceTracker::PerformanceTracker(bool interval_enabled, uint64_t delay, uint64_t interval, uint64_t ticks_hz,
                                       std::unique_ptr<Histogram> histogram)
    : PerformanceTracker(interval_enabled, delay, interval, ticks_hz, std::move(histogram), EnvironmentClock()) {}

PerformanceTracker::PerformanceTracker(bool interval_enabled, uint64_t delay, uint64_t interval, uint64_t ticks_hz,
                                       std::unique_ptr<Histogram> histogram, Clock clock)
    : interval_enabled_(interval_enabled),
      delay_(delay),
      interval_(interval),
      ticks_hz_(ticks_hz),
      histogram_(std::move(histogram)) {
  // The previous sample counts as taken when the tracker was made.
  last_sample_ticks_ = clock.ticks();
  if (ticks_hz_ > 1000000) {
    us_per_tick_ = static_cast<uint64_t>((static_cast<unsigned __int128>(1000000) << 64) / ticks_hz_) + 1;
    fast_us_limit_ = UINT64_MAX / ticks_hz_;
  }
  ResetSlice();
}

void PerformanceTracker::ResetSlice() {
  interval_bytes_ = 0;
  interval_ios_ = 0;
  interval_max_latency_ = 0;
  interval_total_latency_ = 0;
  interval_seconds_ = 0.0;
  elapsed_seconds_ = 0.0;
  interval_min_latency_ = kNoLatency;
}

void PerformanceTracker::Track(uint64_t latency, uint32_t bytes, uint64_t start, uint64_t now) {
  total_bytes_ += bytes;
  total_latency_ += latency;
  ++total_ios_;
  if (latency < min_latency_) min_latency_ = latency;
  if (latency > max_latency_) max_latency_ = latency;

  if (histogram_ && ticks_hz_ != 0) histogram_->InsertValue(static_cast<double>(Microseconds(latency)));

  if (!interval_enabled_ || ticks_hz_ == 0) return;
  const double hz = static_cast<double>(ticks_hz_);
  const double elapsed = static_cast<double>(now - start) / hz;
  if (!(elapsed > static_cast<double>(delay_))) return;

  interval_bytes_ += bytes;
  ++interval_ios_;
  interval_total_latency_ += latency;
  if (latency < interval_min_latency_) interval_min_latency_ = latency;
  if (latency > interval_max_latency_) interval_max_latency_ = latency;

  const double since = static_cast<double>(now - last_sample_ticks_) / hz;
  elapsed_seconds_ = elapsed;
  interval_seconds_ = since;
  if (since > static_cast<double>(interval_)) TakeSample(since, elapsed, now);
}

uint64_t PerformanceTracker::Microseconds(uint64_t latency) const {
  // With the factor m = 2^64 * 10^6 / hz + e (0 < e <= 1), latency * m / 2^64 exceeds the exact quotient by less than
  // latency / 2^64, which stays below the 1 / hz that separates it from the next whole microsecond.
  if (latency < fast_us_limit_) {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(latency) * us_per_tick_) >> 64);
  }
  // Widened so that hours-long latencies do not wrap.
  return static_cast<uint64_t>(static_cast<unsigned __int128>(latency) * 1000000u / ticks_hz_);
}

void PerformanceTracker::TakeSample(double since, double elapsed, uint64_t now) {
  last_sample_ticks_ = now;
  if (samples_.size() >= kMaxSamples) samples_.pop_front();
  const double hz = static_cast<double>(ticks_hz_);
  const double ios = static_cast<double>(interval_ios_);
  PerformanceIntervalSample sample;
  sample.iops = ios / since;
  sample.throughput = static_cast<double>(interval_bytes_) / since;
  sample.maxLatencyUs = static_cast<double>(interval_max_latency_) / hz * 1000 * 1000;
  sample.minLatencyUs = static_cast<double>(interval_min_latency_) / hz * 1000 * 1000;
  sample.avgLatencyUs = static_cast<double>(interval_total_latency_) / ios / hz * 1000 * 1000;
  sample.totalIo = ios;
  sample.totalXfers = static_cast<double>(interval_bytes_);
  sample.interval = since;
  sample.sinceStart = elapsed;
  samples_.push_back(sample);
  ResetSlice();
}
