#include "nvme/histogram.h"

#include <cmath>
#include <limits>

namespace {

struct PercentileThreshold {
  double percentile;
  double min_samples;
};

// Rows in walking order: from the highest percentile (fewest values above it) down to the median.
const PercentileThreshold percentiles_threshold[9] = {
    {99.999999, 100000000.0}, {99.99999, 10000000.0}, {99.9999, 1000000.0},
    {99.999, 100000.0},       {99.99, 10000.0},       {99.9, 1000.0},
    {99.0, 100.0},            {90.0, 100.0},          {50.0, 100.0},
};

// Truncating conversion that saturates instead of invoking undefined behaviour.
uint32_t ToU32(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(v);
}

}  // namespace

Histogram::Histogram(uint64_t min, uint64_t max, uint32_t precision)
    : min_(min == 0 ? 1 : min),
      max_(max == 0 ? 100000000000ULL : max),
      digits_(precision == 0 ? 2 : static_cast<uint32_t>(precision - 1)) {
  const uint64_t ratio = max_ / min_;
  decades_ = ratio == 0 ? 0 : ToU32(std::log10(static_cast<double>(ratio)));
  per_decade_ = ToU32(std::pow(10.0, static_cast<double>(digits_)) * 9.0);
  bucket_count_ = per_decade_ * decades_;  // 32-bit product
  buckets_.assign(bucket_count_, 0);
}

uint32_t Histogram::GetBucketIndex(double x) const {
  const double min = static_cast<double>(min_);
  if (!(x >= min)) return 0;  // below min, or not a number
  if (x > static_cast<double>(max_)) return bucket_count_ - 1;
  if (per_decade_ == 0) return 0;
  const double lx = std::log10(x);
  const double d = std::floor(std::log10(x / min));
  const double mag = std::pow(10.0, std::floor(lx));
  const double step = (10.0 * mag - mag) / per_decade_;
  const double r = std::pow(10.0, std::floor(lx - static_cast<double>(digits_)));
  const double rx = std::round(x / r) * r;
  const double v = std::floor((rx - mag + step / 100.0) / step);
  const uint32_t base = ToU32(d) * per_decade_;  // 32-bit product
  return ToU32(static_cast<double>(base) + v);
}

void Histogram::InsertValue(double x) {
  if (bucket_count_ == 0) return;
  uint32_t index = GetBucketIndex(x);
  if (index >= bucket_count_) index = bucket_count_ - 1;
  if (buckets_[index] != std::numeric_limits<uint64_t>::max()) {
    ++buckets_[index];
    ++total_;
  }
}

double Histogram::GetBucketValue(uint32_t index) const {
  if ((index & 0x80000000u) != 0 || index > bucket_count_ || per_decade_ == 0) return 0.0;
  const double dec = std::trunc(static_cast<double>(index) / per_decade_);
  const double p = std::pow(10.0, dec);
  double value = (static_cast<double>(index) - per_decade_ * dec) * ((10.0 * p - p) / per_decade_) + p;
  value *= static_cast<double>(min_);
  const double r = std::pow(10.0, dec - static_cast<double>(digits_));
  return std::round(value / r) * r;
}

void Histogram::ProcessRawData(std::vector<HistogramBucketData>& out) const {
  out.resize(bucket_count_);
  for (uint32_t i = 0; i < bucket_count_; ++i) {
    const double dec = static_cast<double>(i / per_decade_);
    const double p = std::pow(10.0, dec);
    const double step = (10.0 * p - p) / per_decade_;
    const double lower = p + (static_cast<double>(i) - per_decade_ * dec) * step;
    out[i].start = lower;
    out[i].end = lower + step - step / 10.0;
    out[i].count = buckets_[i];
  }
}

void Histogram::GenerateRawOutput(std::vector<HistogramBucketData>& out, uint64_t& min, uint64_t& max,
                                  uint64_t& digits) const {
  min = min_;
  max = max_;
  digits = digits_;
  ProcessRawData(out);
}

void Histogram::GenerateOutput(HistogramPercentile& out) const {
  out = HistogramPercentile();
  if (bucket_count_ == 0) return;

  for (uint32_t i = 0; i < bucket_count_; ++i) {
    if (buckets_[i] != 0) {
      out.min_value = GetBucketValue(i);
      break;
    }
  }

  // Walk down from the top bucket, accumulating the number of values above each position. The walk carries over
  // from one row to the next; a bucket is counted once; the walk stops at bucket 0.
  const double n = static_cast<double>(total_);
  double running = 0.0;
  uint32_t pos = bucket_count_ - 1;
  bool pos_counted = false;
  double values[9];
  for (int row = 0; row < 9; ++row) {
    const PercentileThreshold& t = percentiles_threshold[row];
    if (t.min_samples > n) {
      values[row] = 0.0;
      continue;
    }
    const double target = (1.0 - t.percentile / 100.0) * n;
    if (pos_counted && running >= target) {
      values[row] = GetBucketValue(pos);
      continue;
    }
    for (;;) {
      if (pos_counted) {
        if (pos == 0) break;
        --pos;
      }
      running += static_cast<double>(buckets_[pos]);
      pos_counted = true;
      if (running >= target) break;
    }
    values[row] = GetBucketValue(pos);
  }

  out.p50 = values[8];
  out.p90 = values[7];
  out.p99 = values[6];
  out.p99_9 = values[5];
  out.p99_99 = values[4];
  out.p99_999 = values[3];
  out.p99_9999 = values[2];
  out.p99_99999 = values[1];
  out.p99_999999 = values[0];
}
