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

constexpr uint64_t kPow10[20] = {1ULL,
                                 10ULL,
                                 100ULL,
                                 1000ULL,
                                 10000ULL,
                                 100000ULL,
                                 1000000ULL,
                                 10000000ULL,
                                 100000000ULL,
                                 1000000000ULL,
                                 10000000000ULL,
                                 100000000000ULL,
                                 1000000000000ULL,
                                 10000000000000ULL,
                                 100000000000000ULL,
                                 1000000000000000ULL,
                                 10000000000000000ULL,
                                 100000000000000000ULL,
                                 1000000000000000000ULL,
                                 10000000000000000000ULL};

// floor(log10(v)) for v >= 1.
uint32_t Exponent(uint64_t v) {
  uint32_t e = static_cast<uint32_t>((63 - __builtin_clzll(v)) * 1233) >> 12;  // log10(2) ~ 1233 / 4096, never above
  return e < 19 && v >= kPow10[e + 1] ? e + 1 : e;
}

// floor(log10(x)) for 1 <= x < 10^20, by comparison with the exact powers of ten.
uint32_t Exponent(double x) {
  uint32_t e = 0;
  while (e < 19 && x >= static_cast<double>(kPow10[e + 1])) ++e;
  return e;
}

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
  min_exponent_ = Exponent(min_);
  for (uint32_t j = 0; j <= kMaxExponent; ++j) {
    const unsigned __int128 start = static_cast<unsigned __int128>(min_) * kPow10[j];
    decade_start_[j] = start > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(start);
    step_[j] = std::pow(10.0, static_cast<double>(j) - static_cast<double>(digits_));
  }
}

uint64_t Histogram::BucketCountFor(uint64_t min, uint64_t max, uint32_t precision) {
  min = min == 0 ? 1 : min;
  max = max == 0 ? 100000000000ULL : max;
  const uint64_t digits = precision == 0 ? 2 : static_cast<uint32_t>(precision - 1);
  const uint64_t ratio = max / min;
  const uint64_t decades = ratio == 0 ? 0 : ToU32(std::log10(static_cast<double>(ratio)));
  const uint64_t per_decade = ToU32(std::pow(10.0, static_cast<double>(digits)) * 9.0);
  return decades * per_decade;
}

uint32_t Histogram::Index(uint32_t decade, uint64_t steps) const {
  // Within the decade: the rounded value's steps above its power of ten (steps may reach the next decade's first).
  const uint64_t index = static_cast<uint64_t>(decade * per_decade_) + (steps - kPow10[digits_]);
  return index > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(index);
}

uint32_t Histogram::GetBucketIndex(double x) const {
  if (!(x >= static_cast<double>(min_))) return 0;  // below min, or not a number
  if (x > static_cast<double>(max_)) return bucket_count_ - 1;
  if (per_decade_ == 0 || digits_ > kMaxExponent) return 0;
  constexpr double kExact = 9007199254740992.0;  // 2^53: every whole number below is exact
  if (x < kExact && x == static_cast<double>(static_cast<uint64_t>(x))) {
    const uint64_t v = static_cast<uint64_t>(x);
    const uint32_t e = Exponent(v);
    uint32_t decade = e - min_exponent_;
    if (decade > 0 && decade_start_[decade] > v) --decade;
    uint64_t steps;
    if (e <= digits_) {
      steps = v * kPow10[digits_ - e];
    } else {
      const uint64_t step = kPow10[e - digits_];
      steps = (v + step / 2) / step;  // halves away from zero
    }
    return Index(decade, steps);
  }
  // Fractions (and whole numbers beyond 2^53): the same rounding in double precision.
  const uint32_t e = Exponent(x);
  uint32_t decade = e - min_exponent_;
  if (decade > 0 && static_cast<double>(decade_start_[decade]) > x) --decade;
  return Index(decade, static_cast<uint64_t>(std::round(x / step_[e])));
}

void Histogram::InsertValue(double x) {
  if (bucket_count_ == 0) return;
  uint32_t index = last_index_;
  if (!(x == last_value_)) {
    index = GetBucketIndex(x);
    if (index >= bucket_count_) index = bucket_count_ - 1;
    last_value_ = x;
    last_index_ = index;
  }
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
