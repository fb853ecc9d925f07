#include "nvme/histogram.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <random>
#include <utility>
#include <vector>

namespace {

// The bucket index as the text defines it, with logarithms and powers: the oracle for the integer arithmetic.
uint32_t FormulaIndex(const Histogram& h, double x) {
  auto u32 = [](double v) -> uint32_t { return !(v > 0.0) ? 0 : v >= 4294967295.0 ? UINT32_MAX : uint32_t(v); };
  const double min = double(h.GetMin());
  if (!(x >= min)) return 0;
  if (x > double(h.GetMax())) return h.GetBucketCount() - 1;
  const double lx = std::log10(x);
  const double d = std::floor(std::log10(x / min));
  const double mag = std::pow(10.0, std::floor(lx));
  const double step = (10.0 * mag - mag) / h.GetPerDecade();
  const double r = std::pow(10.0, std::floor(lx - double(h.GetDigits())));
  const double rx = std::round(x / r) * r;
  const double v = std::floor((rx - mag + step / 100.0) / step);
  return u32(double(u32(d) * h.GetPerDecade()) + v);
}

// Every whole value up to 200000, both sides of every bucket's lower bound and of the rounding point between two
// buckets (whole and fractional), and random values spread over all decades.
TEST(HistogramTest, BucketIndexIsTheFormulaOverTheWholeRange) {
  const Histogram histograms[] = {Histogram(1, 100000000, 4), Histogram(), Histogram(1, 1000000, 3),
                                  Histogram(10, 1000000000, 1), Histogram(1, 100000000000ULL, 4),
                                  Histogram(3, 50000000, 2), Histogram(1000, 10000000000000000000ULL, 2)};
  std::mt19937_64 random(7);
  for (const Histogram& h : histograms) {
    std::vector<double> xs;
    for (uint64_t v = 0; v <= 200000; ++v) xs.push_back(double(v));
    for (uint32_t i = 0; i < h.GetBucketCount(); ++i) {
      const double lower = h.GetBucketValue(i);
      const double step = std::pow(10.0, std::floor(std::log10(lower)) - double(h.GetDigits()));
      for (double at : {lower, lower + step / 2}) {
        for (double delta : {-1.0, -0.5, -0.001, 0.0, 0.001, 0.5, 1.0}) xs.push_back(at + delta);
      }
    }
    std::uniform_real_distribution<double> exponent(0.0, std::log10(double(h.GetMax())) + 0.5);
    for (int i = 0; i < 100000; ++i) {
      const double x = std::pow(10.0, exponent(random));
      xs.push_back(x);
      xs.push_back(std::floor(x));
    }
    for (double x : {0.5, double(h.GetMax()), double(h.GetMax()) + 1, 1e300, std::nan("")}) xs.push_back(x);
    int mismatches = 0;
    for (double x : xs) {
      if (h.GetBucketIndex(x) != FormulaIndex(h, x) && ++mismatches <= 5) {
        ADD_FAILURE() << "min " << h.GetMin() << " digits " << h.GetDigits() << ": " << std::setprecision(17) << x
                      << " -> " << h.GetBucketIndex(x) << ", formula " << FormulaIndex(h, x);
      }
    }
  }
}

TEST(HistogramTest, GeometryCountingAndRawOutput) {
  Histogram defaults;  // (0, 0, 0): 1 to 1e11, three significant digits
  EXPECT_EQ(defaults.GetMin(), 1u);
  EXPECT_EQ(defaults.GetMax(), 100000000000ULL);
  EXPECT_EQ(defaults.GetBucketCount(), 9900u);

  Histogram h(1, 1000000, 3);
  ASSERT_EQ(h.GetBucketCount(), 5400u);
  for (uint32_t index : {0x80000000u, 5401u}) EXPECT_DOUBLE_EQ(h.GetBucketValue(index), 0.0) << index;
  // Values from min * 10^decades up to max and beyond land in the last bucket, those below min in the first. The raw
  // output gives each bucket's bounds and count, and the geometry.
  for (double v : {1000000.0, 999999.5, 1e12, 0.5, 15.0}) h.InsertValue(v);
  std::vector<HistogramBucketData> raw;
  uint64_t min = 0, max = 0, digits = 0;
  h.GenerateRawOutput(raw, min, max, digits);
  EXPECT_EQ(std::vector<uint64_t>({min, max, digits}), std::vector<uint64_t>({1, 1000000, 2}));
  ASSERT_EQ(raw.size(), 5400u);
  EXPECT_EQ(raw[5399].count, 3u);
  EXPECT_EQ(raw[0].count, 1u);
  EXPECT_DOUBLE_EQ(raw[0].start, 1.0);
  EXPECT_DOUBLE_EQ(raw[950].start, 15.0);
  EXPECT_DOUBLE_EQ(raw[950].end, 15.09);
  EXPECT_EQ(raw[950].count, 1u);
  EXPECT_DOUBLE_EQ(raw[1823].start, 123.0);

  // A full bucket stops counting instead of wrapping.
  h.OverrideBucketValue_(5, UINT64_MAX);
  h.InsertValue(h.GetBucketValue(5));
  EXPECT_EQ(h.GetCount(5), UINT64_MAX);
  EXPECT_EQ(h.GetTotal(), 5u);

  // A range narrower than one decade has no bucket at all; counting and output stay harmless.
  Histogram empty(10, 20, 3);
  EXPECT_EQ(empty.GetBucketCount(), 0u);
  empty.InsertValue(15);
  HistogramPercentile out;
  out.p50 = 7;
  empty.GenerateOutput(out);
  EXPECT_EQ(out.p50, 0.0);
}

// Percentiles walk down from the top bucket until the values above the target are met; unmet rows stay 0.
TEST(HistogramTest, Percentiles) {
  struct Case {
    const char* what;
    std::vector<std::pair<double, int>> inserts;  // value, times
    uint64_t total_override;                      // 0: none
    HistogramPercentile want;                     // min, p50, p90, p99, p99.9, p99.99, ...
  };
  const Case cases[] = {
      {"one bucket", {{123.4, 100}}, 0, {123, 123, 123, 123, 0, 0, 0, 0, 0}},
      // 99.9th: 1 value above, the top bucket; 99th: 10 above, resumed below 5000 (not counted twice), met at 200.
      {"walk down", {{10, 980}, {200, 19}, {5000, 1}}, 0, {10, 10, 10, 200, 5000, 0, 0, 0, 0}},
      // The 50th percentile target is exactly 50 values above, met by a row carried over from the 90th ...
      {"met by the carried row", {{10, 50}, {20, 50}}, 0, {10, 20, 20, 20, 0, 0, 0, 0, 0}},
      // ... and met while walking, on the bucket that reaches it.
      {"met on a bucket boundary", {{10, 50}, {20, 40}, {30, 10}}, 0, {10, 20, 30, 30, 0, 0, 0, 0, 0}},
      // A total larger than what the buckets hold: no row is ever met; the walk stops at bucket 0.
      {"floors at bucket 0", {{1.0, 1}}, 1000, {1, 1, 1, 1, 1, 0, 0, 0, 0, 0}},
      {"empty", {}, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Histogram h(1, 1000000, 3);
    for (const auto& [value, times] : c.inserts) {
      for (int i = 0; i < times; ++i) h.InsertValue(value);
    }
    if (c.total_override != 0) h.OverrideTotalCount_(c.total_override);
    HistogramPercentile out;
    out.min_value = out.p99_999999 = 3;
    h.GenerateOutput(out);
    const double got[] = {out.min_value, out.p50, out.p90, out.p99, out.p99_9, out.p99_99, out.p99_999999};
    const double want[] = {c.want.min_value, c.want.p50, c.want.p90, c.want.p99, c.want.p99_9, c.want.p99_99,
                           c.want.p99_999999};
    for (int i = 0; i < 7; ++i) EXPECT_DOUBLE_EQ(got[i], want[i]) << c.what << ", row " << i;
  }
}

}  // namespace
