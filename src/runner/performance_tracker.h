// Per-direction statistics of a workload: totals and latency extremes of the whole run, an optional latency
// histogram, and optional interval samples (throughput and latency per time slice) after a warm-up. Filled on the
// worker thread, one Track per completed I/O; read by the script side after the workload task ended.
#ifndef KYT_RUNNER_PERFORMANCE_TRACKER_H
#define KYT_RUNNER_PERFORMANCE_TRACKER_H

#include <cstdint>
#include <list>
#include <memory>

#include "nvme/histogram.h"

struct PerformanceIntervalSample {
  double iops = 0.0;
  double throughput = 0.0;  // bytes per second
  double maxLatencyUs = 0.0;
  double minLatencyUs = 0.0;
  double avgLatencyUs = 0.0;
  double totalIo = 0.0;
  double totalXfers = 0.0;  // bytes
  double interval = 0.0;    // seconds the slice really lasted
  double sinceStart = 0.0;  // seconds from the stretch's start tick to the end of the slice
};

class PerformanceTracker {
 public:
  static constexpr size_t kMaxSamples = 1000;
  static constexpr uint64_t kNoLatency = UINT64_MAX;

  // Where the tracker reads the time of its construction (the first slice starts then): the environment's tick
  // counter unless a test hands its own.
  struct Clock {
    uint64_t (*ticks)();
  };
  static Clock EnvironmentClock();

  // `delay` and `interval` in seconds; `histogram` may be empty (feature off). The previous sample counts as taken
  // now, at construction.
  PerformanceTracker(bool interval_enabled, uint64_t delay, uint64_t interval, uint64_t ticks_hz,
                     std::unique_ptr<Histogram> histogram = nullptr);
  PerformanceTracker(bool interval_enabled, uint64_t delay, uint64_t interval, uint64_t ticks_hz,
                     std::unique_ptr<Histogram> histogram, Clock clock);

  PerformanceTracker(const PerformanceTracker&) = delete;
  PerformanceTracker& operator=(const PerformanceTracker&) = delete;

  // Counts one completed I/O: `latency` in ticks (completion minus submission), `bytes` as the generator gave it,
  // `start` the tick at which the current stretch of I/O began (the warm-up counts from it), `now` the caller's
  // tick reading (the worker's pass) that ends slices.
  void Track(uint64_t latency, uint32_t bytes, uint64_t start, uint64_t now);

  uint64_t GetTotalBytes() const { return total_bytes_; }
  uint64_t GetMinLatency() const { return min_latency_; }  // ticks; kNoLatency while nothing was counted
  uint64_t GetMaxLatency() const { return max_latency_; }  // ticks
  uint64_t GetTotalLatency() const { return total_latency_; }  // ticks
  uint64_t GetTotalIos() const { return total_ios_; }
  bool IsIntervalEnabled() const { return interval_enabled_; }
  uint64_t GetDelay() const { return delay_; }
  uint64_t GetInterval() const { return interval_; }
  uint64_t GetLastSampleTicks() const { return last_sample_ticks_; }
  // The slice in progress.
  uint64_t GetIntervalBytes() const { return interval_bytes_; }
  uint64_t GetIntervalIos() const { return interval_ios_; }
  uint64_t GetIntervalMinLatency() const { return interval_min_latency_; }
  uint64_t GetIntervalMaxLatency() const { return interval_max_latency_; }
  uint64_t GetIntervalTotalLatency() const { return interval_total_latency_; }
  double GetIntervalSeconds() const { return interval_seconds_; }
  double GetElapsedSeconds() const { return elapsed_seconds_; }
  // Oldest first, at most kMaxSamples.
  const std::list<PerformanceIntervalSample>& GetSamples() const { return samples_; }
  uint64_t GetTicksHz() const { return ticks_hz_; }
  // What the histogram is fed: latency * 1,000,000 / ticks_hz, rounded down.
  uint64_t Microseconds(uint64_t latency) const;
  // Null when the histogram feature is off.
  const Histogram* GetHistogram() const { return histogram_.get(); }
  Histogram* GetHistogram() { return histogram_.get(); }

 private:
  void ResetSlice();
  void TakeSample(double since, double elapsed, uint64_t now);

  uint64_t total_bytes_ = 0;
  uint64_t min_latency_ = kNoLatency;
  uint64_t max_latency_ = 0;
  uint64_t total_latency_ = 0;
  uint64_t total_ios_ = 0;
  bool interval_enabled_;
  uint64_t delay_;
  uint64_t interval_;
  uint64_t last_sample_ticks_ = 0;
  uint64_t interval_bytes_ = 0;
  uint64_t interval_ios_ = 0;
  uint64_t interval_min_latency_ = kNoLatency;
  uint64_t interval_max_latency_ = 0;
  uint64_t interval_total_latency_ = 0;
  double interval_seconds_ = 0.0;
  double elapsed_seconds_ = 0.0;
  std::list<PerformanceIntervalSample> samples_;
  uint64_t ticks_hz_;
  // Microseconds per tick in 64.64 fixed point, rounded up: exact (no division) for latencies below
  // fast_us_limit_ (2^64 / ticks_hz: seconds at GHz rates); 0 when the tick rate is 1 MHz or less.
  uint64_t us_per_tick_ = 0;
  uint64_t fast_us_limit_ = 0;
  std::unique_ptr<Histogram> histogram_;
};

#endif  // KYT_RUNNER_PERFORMANCE_TRACKER_H
