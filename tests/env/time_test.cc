/* Ticks, delays and the test clock. */
#include <gtest/gtest.h>

#include <time.h>

#include <thread>

#include "env_fixture.h"
#include "spdk/env.h"

namespace {

uint64_t NowNs()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

/* Ticks pass at `factor` times the rate reported. Each tick reading is bracketed by two clock readings: preemption
 * widens the bounds instead of failing. */
void ExpectRate(double factor)
{
	const double hz = (double)spdk_get_ticks_hz() * factor;
	const uint64_t n0a = NowNs(), t0 = spdk_get_ticks(), n0b = NowNs();
	while (NowNs() - n0b < 5000000) {
	}
	const uint64_t n1a = NowNs(), t1 = spdk_get_ticks(), n1b = NowNs();
	const double tick_ns = (double)(t1 - t0) * 1e9 / hz;
	EXPECT_GE(tick_ns, 0.95 * (double)(n1a - n0b)) << factor;
	EXPECT_LE(tick_ns, 1.05 * (double)(n1b - n0a)) << factor;
}

TEST(Ticks, WorkBeforeTheStartAndMatchRealTime)
{
	KYT_REQUIRE_FRESH_PROCESS();
	ASSERT_GT(spdk_get_ticks_hz(), 1000000u);
	ExpectRate(1);
	const uint64_t n0 = NowNs();
	spdk_delay_us(2000);
	EXPECT_GE(NowNs() - n0, 2000000u) << "a delay never ends early";
	const uint64_t hz = spdk_get_ticks_hz(), t0 = spdk_get_ticks();
	KYT_REQUIRE_ENV();
	EXPECT_EQ(spdk_get_ticks_hz(), hz) << "the same clock before and after the start";
	EXPECT_GE(spdk_get_ticks(), t0);
}

/* A scale speeds time up without a jump, a slowdown slows it; 0 means 1 again; an advance jumps by exactly its ticks
 * and keeps the rate. */
TEST(Ticks, TestClockScaleAndAdvance)
{
	const uint64_t hz = spdk_get_ticks_hz();
	const uint64_t n0 = NowNs(), before = spdk_get_ticks();
	kyt_env_test_set_clock_scale(1000);
	const uint64_t at_change = spdk_get_ticks(), n1 = NowNs();
	EXPECT_LE(at_change - before, 1000.0 * 1.05 * (double)(n1 - n0) * (double)hz / 1e9 + 1000) << "a jump";
	ExpectRate(1000);
	const uint64_t t1 = spdk_get_ticks();
	kyt_env_test_set_clock_scale(0);
	EXPECT_GE(spdk_get_ticks(), t1) << "still monotonic";
	ExpectRate(1);
	kyt_env_test_set_clock_slowdown(20);
	ExpectRate(1.0 / 20);
	kyt_env_test_set_clock_slowdown(0);
	ExpectRate(1);
	const uint64_t a0 = spdk_get_ticks();
	kyt_env_test_advance_clock(1000 * hz);
	const uint64_t a1 = spdk_get_ticks();
	EXPECT_GE(a1 - a0, 1000 * hz);
	EXPECT_LT(a1 - a0, 1001 * hz);
}

/* Lets `ms` of real time pass. */
void RealMs(uint64_t ms)
{
	const uint64_t n0 = NowNs();
	while (NowNs() - n0 < ms * 1000000) {
	}
}

/* A pacer that does not run holds the test clock (here 1000 times real time) back to a slack past the start of its
 * last finished pass (2 ms of real time = 2 s of this clock); each pass it finishes lets the clock run that much
 * further. An advance still jumps at once; a removed pacer holds nothing. */
TEST(Ticks, PacersHoldTheTestClockBack)
{
	const uint64_t hz = spdk_get_ticks_hz();
	kyt_env_test_set_clock_scale(1000);
	const int pacer = kyt_env_test_clock_pacer_add();
	ASSERT_GE(pacer, 0);
	const uint64_t t0 = spdk_get_ticks();
	RealMs(10);  // 10 s of this clock
	const uint64_t held = spdk_get_ticks();
	EXPECT_LE(held - t0, 2 * hz);
	kyt_env_test_clock_pacer_pass(pacer);
	RealMs(10);
	EXPECT_EQ(spdk_get_ticks(), held) << "a pass under way holds it where it was";
	kyt_env_test_clock_pacer_pass(pacer);
	const uint64_t after = spdk_get_ticks();
	EXPECT_EQ(after - held, 2 * hz) << "one slack past the start of the finished pass";
	kyt_env_test_advance_clock(100 * hz);
	EXPECT_EQ(spdk_get_ticks() - after, 100 * hz);
	kyt_env_test_clock_pacer_remove(pacer);
	RealMs(10);
	EXPECT_GE(spdk_get_ticks() - after, 110 * hz) << "no longer held";
}

/* Every clock reading of a thread that paces is a pass: a reading runs no further than the slack past the one before
 * it, however long the thread was away in between. */
TEST(Ticks, APacingThreadMovesTheClockASlackPerReadingAtMost)
{
	const uint64_t hz = spdk_get_ticks_hz();
	kyt_env_test_set_clock_scale(1000);
	const int pacer = kyt_env_test_clock_pace_thread();
	ASSERT_GE(pacer, 0);
	EXPECT_EQ(kyt_env_test_clock_pace_thread(), pacer);
	const uint64_t t0 = spdk_get_ticks();
	RealMs(10);
	const uint64_t t1 = spdk_get_ticks();
	EXPECT_EQ(t1 - t0, 2 * hz);
	kyt_env_test_clock_pacer_remove(pacer);
	RealMs(10);
	EXPECT_GE(spdk_get_ticks() - t1, 10 * hz) << "no longer held";
}

/* A hook runs once, just before the calling thread's next reading (which sees what it did: here an advance), not at
 * another thread's; one taken back does not run. It turns the test clock on in a process that had not set it. */
TEST(Ticks, AHookRunsOnceJustBeforeTheThreadsNextReading)
{
	struct Seen {
		int runs = 0;
		uint64_t hz = spdk_get_ticks_hz();
	} seen;
	auto hook = [](void *arg) {
		Seen *s = static_cast<Seen *>(arg);
		s->runs++;
		kyt_env_test_advance_clock(1000 * s->hz);
	};
	kyt_env_test_before_clock_reading(hook, &seen);
	uint64_t other = 0;
	std::thread([&other] { other = spdk_get_ticks(); }).join();
	EXPECT_EQ(seen.runs, 0) << "not at another thread's reading";
	const uint64_t t = spdk_get_ticks();
	EXPECT_EQ(seen.runs, 1);
	EXPECT_GE(t - other, 1000 * seen.hz) << "the reading sees the advance";
	spdk_get_ticks();
	EXPECT_EQ(seen.runs, 1) << "once";
	kyt_env_test_before_clock_reading(hook, &seen);
	kyt_env_test_before_clock_reading(nullptr, nullptr);
	spdk_get_ticks();
	EXPECT_EQ(seen.runs, 1) << "taken back";
	/* A clock change of the thread reads the clock too: the hook runs first, and may change the clock itself. */
	const uint64_t before = spdk_get_ticks();
	kyt_env_test_before_clock_reading(hook, &seen);
	kyt_env_test_advance_clock(1000 * seen.hz);
	EXPECT_EQ(seen.runs, 2);
	EXPECT_GE(spdk_get_ticks() - before, 2000 * seen.hz) << "both advances count";
}

}  // namespace
