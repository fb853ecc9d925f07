#include "nvme/histogram.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(HistogramTest, GeometryFromArguments) {
  Histogram defaults;
  EXPECT_EQ(defaults.GetMin(), 1u);
  EXPECT_EQ(defaults.GetMax(), 100000000000ULL);
  EXPECT_EQ(defaults.GetDigits(), 2u);
  EXPECT_EQ(defaults.GetDecades(), 11u);
  EXPECT_EQ(defaults.GetPerDecade(), 900u);
  EXPECT_EQ(defaults.GetBucketCount(), 9900u);

  Histogram workload(1, 100000000, 4);
  EXPECT_EQ(workload.GetDigits(), 3u);
  EXPECT_EQ(workload.GetDecades(), 8u);
  EXPECT_EQ(workload.GetBucketCount(), 72000u);

  Histogram coarse(1, 999, 1);
  EXPECT_EQ(coarse.GetDigits(), 0u);
  EXPECT_EQ(coarse.GetDecades(), 2u);
  EXPECT_EQ(coarse.GetBucketCount(), 18u);

  // A range narrower than one decade has no bucket at all; counting and output must stay harmless.
  Histogram empty(10, 20, 3);
  EXPECT_EQ(empty.GetBucketCount(), 0u);
  empty.InsertValue(15);
  EXPECT_EQ(empty.GetTotal(), 0u);
  HistogramPercentile out;
  out.p50 = 7;
  empty.GenerateOutput(out);
  EXPECT_EQ(out.min_value, 0.0);
  EXPECT_EQ(out.p50, 0.0);
}

TEST(HistogramTest, BucketIndices) {
  Histogram h(1, 1000000, 3);
  ASSERT_EQ(h.GetBucketCount(), 5400u);
  EXPECT_EQ(h.GetBucketIndex(1.0), 0u);
  EXPECT_EQ(h.GetBucketIndex(1.234), 23u);
  EXPECT_EQ(h.GetBucketIndex(9.99), 899u);
  EXPECT_EQ(h.GetBucketIndex(10.0), 900u);
  EXPECT_EQ(h.GetBucketIndex(123.4), 1823u);
  EXPECT_EQ(h.GetBucketIndex(0.5), 0u);
  EXPECT_EQ(h.GetBucketIndex(99.95), 1800u);  // rounds up to 100
  EXPECT_EQ(h.GetBucketIndex(5000000.0), 5399u);

  // Values from min * 10^decades up to max land in the last bucket when counted.
  h.InsertValue(1000000.0);
  h.InsertValue(999999.5);
  h.InsertValue(1e12);
  EXPECT_EQ(h.GetCount(5399), 3u);
  h.InsertValue(0.5);
  EXPECT_EQ(h.GetCount(0), 1u);
  EXPECT_EQ(h.GetTotal(), 4u);
}

TEST(HistogramTest, BucketValues) {
  Histogram h(1, 1000000, 3);
  EXPECT_DOUBLE_EQ(h.GetBucketValue(1823), 123.0);
  EXPECT_DOUBLE_EQ(h.GetBucketValue(899), 9.99);
  EXPECT_DOUBLE_EQ(h.GetBucketValue(0), 1.0);
  EXPECT_EQ(h.GetBucketValue(0x80000000u), 0.0);
  EXPECT_EQ(h.GetBucketValue(5401), 0.0);
}

TEST(HistogramTest, FullBucketStopsCounting) {
  Histogram h(1, 1000, 3);
  h.OverrideBucketValue_(5, UINT64_MAX);
  h.OverrideTotalCount_(UINT64_MAX);
  h.InsertValue(h.GetBucketValue(5));
  EXPECT_EQ(h.GetCount(5), UINT64_MAX);
  EXPECT_EQ(h.GetTotal(), UINT64_MAX);
  h.OverrideBucketValue_(100000, 1);  // beyond the buckets: ignored
  EXPECT_EQ(h.GetCount(100000), 0u);
}

TEST(HistogramTest, PercentilesOfOneBucket) {
  Histogram h(1, 1000000, 3);
  for (int i = 0; i < 100; ++i) h.InsertValue(123.4);
  HistogramPercentile out;
  h.GenerateOutput(out);
  EXPECT_DOUBLE_EQ(out.min_value, 123.0);
  EXPECT_DOUBLE_EQ(out.p50, 123.0);
  EXPECT_DOUBLE_EQ(out.p90, 123.0);
  EXPECT_DOUBLE_EQ(out.p99, 123.0);
  EXPECT_EQ(out.p99_9, 0.0);
  EXPECT_EQ(out.p99_99, 0.0);
  EXPECT_EQ(out.p99_999999, 0.0);
}

TEST(HistogramTest, PercentilesWalkDownFromTheTop) {
  Histogram h(1, 1000000, 3);
  // 1000 values: 980 at 10, 19 at 200, 1 at 5000.
  for (int i = 0; i < 980; ++i) h.InsertValue(10);
  for (int i = 0; i < 19; ++i) h.InsertValue(200);
  h.InsertValue(5000);
  HistogramPercentile out;
  h.GenerateOutput(out);
  EXPECT_DOUBLE_EQ(out.min_value, 10.0);
  // 99.9th: about 1 value above: the top bucket covers it.
  EXPECT_DOUBLE_EQ(out.p99_9, 5000.0);
  // 99th: about 10 values above: the walk resumes below 5000 (not counting it twice) and meets it at 200.
  EXPECT_DOUBLE_EQ(out.p99, 200.0);
  EXPECT_DOUBLE_EQ(out.p90, 10.0);
  EXPECT_DOUBLE_EQ(out.p50, 10.0);
  EXPECT_EQ(out.p99_99, 0.0);
}

TEST(HistogramTest, PercentileMetExactly) {
  Histogram h(1, 1000, 3);
  for (int i = 0; i < 50; ++i) h.InsertValue(10);
  for (int i = 0; i < 50; ++i) h.InsertValue(20);
  HistogramPercentile out;
  h.GenerateOutput(out);
  // The 50th percentile target is exactly 50 values above: met by the bucket of 20.
  EXPECT_DOUBLE_EQ(out.p50, 20.0);
  EXPECT_DOUBLE_EQ(out.p90, 20.0);
  EXPECT_DOUBLE_EQ(out.min_value, 10.0);
}

TEST(HistogramTest, PercentileWalkFloorsAtBucketZero) {
  Histogram h(1, 1000, 3);
  // A total larger than what the buckets hold: no row is ever met; the walk must stop at bucket 0.
  h.InsertValue(1.0);
  h.OverrideTotalCount_(1000);
  HistogramPercentile out;
  h.GenerateOutput(out);
  EXPECT_DOUBLE_EQ(out.p50, 1.0);
  EXPECT_DOUBLE_EQ(out.p99_9, 1.0);
}

TEST(HistogramTest, EmptyHistogramGivesZeros) {
  Histogram h;
  HistogramPercentile out;
  out.min_value = 3;
  h.GenerateOutput(out);
  EXPECT_EQ(out.min_value, 0.0);
  EXPECT_EQ(out.p50, 0.0);
  EXPECT_EQ(out.p99_999999, 0.0);
}

TEST(HistogramTest, RawOutput) {
  Histogram h(1, 1000, 3);
  h.InsertValue(1.0);
  h.InsertValue(1.0);
  h.InsertValue(15.0);
  std::vector<HistogramBucketData> raw;
  uint64_t min = 0, max = 0, digits = 0;
  h.GenerateRawOutput(raw, min, max, digits);
  EXPECT_EQ(min, 1u);
  EXPECT_EQ(max, 1000u);
  EXPECT_EQ(digits, 2u);
  ASSERT_EQ(raw.size(), 2700u);
  EXPECT_DOUBLE_EQ(raw[0].start, 1.0);
  EXPECT_DOUBLE_EQ(raw[0].end, 1.009);
  EXPECT_EQ(raw[0].count, 2u);
  EXPECT_DOUBLE_EQ(raw[950].start, 15.0);
  EXPECT_DOUBLE_EQ(raw[950].end, 15.09);
  EXPECT_EQ(raw[950].count, 1u);
  EXPECT_DOUBLE_EQ(raw[1800].start, 100.0);
}

}  // namespace
