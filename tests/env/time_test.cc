/* Ticks, delays and the test clock. */
#include <gtest/gtest.h>

#include <time.h>

#include "env_fixture.h"
#include "spdk/env.h"

namespace {

uint64_t NowNs()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

TEST(Ticks, WorkBeforeTheStartAndMatchRealTime)
{
	KYT_REQUIRE_FRESH_PROCESS();
	const uint64_t hz = spdk_get_ticks_hz();
	ASSERT_GT(hz, 1000000u);
	/* Each tick reading is bracketed by two clock readings: preemption widens the bounds instead of failing. */
	const uint64_t n0a = NowNs(), t0 = spdk_get_ticks(), n0b = NowNs();
	spdk_delay_us(20000);
	const uint64_t n1a = NowNs(), t1 = spdk_get_ticks(), n1b = NowNs();
	EXPECT_GE(n1a - n0b, 20000000u) << "a delay never ends early";
	const double tick_ns = (double)(t1 - t0) * 1e9 / (double)hz;
	EXPECT_GE(tick_ns, 0.95 * (double)(n1a - n0b)) << "ticks per second must match the rate reported";
	EXPECT_LE(tick_ns, 1.05 * (double)(n1b - n0a)) << "ticks per second must match the rate reported";
}

TEST(Ticks, RateStaysTheSameAcrossTheStart)
{
	const uint64_t before = spdk_get_ticks_hz();
	const uint64_t t0 = spdk_get_ticks();
	KYT_REQUIRE_ENV();
	EXPECT_EQ(spdk_get_ticks_hz(), before);
	EXPECT_GE(spdk_get_ticks(), t0) << "the same clock before and after the start";
}

TEST(Ticks, TestClockScaleSpeedsTimeUpWithoutJumps)
{
	const uint64_t hz = spdk_get_ticks_hz();
	const uint64_t before = spdk_get_ticks();
	kyt_env_test_set_clock_scale(1000);
	const uint64_t at_change = spdk_get_ticks();
	EXPECT_GE(at_change, before);
	EXPECT_LT(at_change - before, hz / 10) << "changing the scale must not jump the clock";
	/* Two simulated seconds pass in about two real milliseconds. */
	const uint64_t n0 = NowNs();
	const uint64_t t0 = spdk_get_ticks();
	spdk_delay_us(2000000);
	const uint64_t t1 = spdk_get_ticks();
	EXPECT_GE(t1 - t0, 2 * hz);
	EXPECT_LT(NowNs() - n0, 500000000u) << "the scaled delay took real seconds";
	kyt_env_test_set_clock_scale(0); /* treated as 1: real time again, and still monotonic */
	EXPECT_GE(spdk_get_ticks(), t1);
	const uint64_t n2 = NowNs();
	spdk_delay_us(10000);
	EXPECT_GE(NowNs() - n2, 10000000u);
	/* An advance jumps by exactly its ticks and keeps the scale. */
	const uint64_t a0 = spdk_get_ticks();
	kyt_env_test_advance_clock(1000 * hz);
	const uint64_t a1 = spdk_get_ticks();
	EXPECT_GE(a1 - a0, 1000 * hz);
	EXPECT_LT(a1 - a0, 1001 * hz);
}

}  // namespace
