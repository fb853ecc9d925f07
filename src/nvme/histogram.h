// Log-linear latency histogram: one group of buckets per decade above `min`, and within a decade one bucket per
// value of `digits` + 1 significant decimal digits (9 * 10^digits buckets per decade). Answers percentiles counted
// from the top and the raw bucket list. Single-threaded; filled on the worker, read after the workload ended.
#ifndef KYT_NVME_HISTOGRAM_H
#define KYT_NVME_HISTOGRAM_H

#include <cstdint>
#include <vector>

struct HistogramBucketData {
  double start;    // lower bound, on the decade scale counted from 1 (not multiplied by min)
  double end;      // nine tenths of a step above the lower bound
  uint64_t count;
};

// The lowest recorded value, then the values at the 50th ... 99.999999th percentiles.
struct HistogramPercentile {
  double min_value = 0.0;
  double p50 = 0.0;
  double p90 = 0.0;
  double p99 = 0.0;
  double p99_9 = 0.0;
  double p99_99 = 0.0;
  double p99_999 = 0.0;
  double p99_9999 = 0.0;
  double p99_99999 = 0.0;
  double p99_999999 = 0.0;
};

class Histogram {
 public:
  // A histogram holds 8 bytes per bucket: 9 * 10^(precision - 1) buckets per decade of its range (precision 4:
  // 9,000; 5: 90,000; 6: 900,000; 7: 9,000,000). A workload refuses one of more than kMaxBuckets (80 MB per I/O
  // direction), and raw data of more than kMaxRawBuckets (each bucket becomes one script object).
  static constexpr uint64_t kMaxBuckets = 10000000;
  static constexpr uint64_t kMaxRawBuckets = 1000000;
  // The number of buckets a histogram of these arguments would have (before the 32-bit product of the constructor).
  static uint64_t BucketCountFor(uint64_t min, uint64_t max, uint32_t precision);

  // min 0 becomes 1, max 0 becomes 100,000,000,000, precision 0 means 3 significant digits.
  Histogram(uint64_t min, uint64_t max, uint32_t precision);
  Histogram() : Histogram(0, 0, 0) {}

  // The bucket of x: x rounded to digits + 1 significant digits, placed in its decade counted from min. Integer
  // arithmetic for whole numbers (what the workload counts: whole microseconds), no logarithm or power per value.
  uint32_t GetBucketIndex(double x) const;
  // Counts one value: below min in bucket 0, at or above the last bucket's range in the last bucket.
  void InsertValue(double x);
  // The representative value of a bucket; 0.0 for an index with bit 31 set or above the bucket count.
  double GetBucketValue(uint32_t index) const;
  uint64_t GetCount(uint32_t index) const { return index < bucket_count_ ? buckets_[index] : 0; }

  void OverrideBucketValue_(uint32_t index, uint64_t count) {
    if (index < bucket_count_) buckets_[index] = count;
  }
  void OverrideTotalCount_(uint64_t total) { total_ = total; }

  void ProcessRawData(std::vector<HistogramBucketData>& out) const;
  void GenerateRawOutput(std::vector<HistogramBucketData>& out, uint64_t& min, uint64_t& max, uint64_t& digits) const;
  void GenerateOutput(HistogramPercentile& out) const;

  uint64_t GetMin() const { return min_; }
  uint64_t GetMax() const { return max_; }
  uint64_t GetDigits() const { return digits_; }
  uint32_t GetDecades() const { return decades_; }
  uint32_t GetPerDecade() const { return per_decade_; }
  uint32_t GetBucketCount() const { return bucket_count_; }
  uint64_t GetTotal() const { return total_; }

 private:
  static constexpr uint32_t kMaxExponent = 19;  // 10^19 is the largest power of ten below 2^64
  // The index from the decade counted from min, x's own decimal exponent and x rounded to a whole number of that
  // decade's steps (10^(exponent - digits)); the 32-bit product and the saturation are the arithmetic of the text.
  uint32_t Index(uint32_t decade, uint64_t steps) const;

  uint64_t min_;
  uint64_t max_;
  uint64_t digits_;
  uint32_t decades_;
  uint32_t per_decade_;
  uint32_t bucket_count_;
  uint64_t total_ = 0;
  std::vector<uint64_t> buckets_;
  uint32_t min_exponent_ = 0;                 // floor(log10(min))
  uint64_t decade_start_[kMaxExponent + 1];  // min * 10^j, saturated
  double step_[kMaxExponent + 1];            // 10^(e - digits) for a value of exponent e, as pow gives it
  // The last value counted and its bucket: a workload stamps its I/Os per pass, so equal latencies come in runs.
  double last_value_ = -1.0;  // below any min: never a cached value
  uint32_t last_index_ = 0;
};

#endif  // KYT_NVME_HISTOGRAM_H
