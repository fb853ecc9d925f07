/* Ticks and delays: the TSC, with its rate measured once; the test clock scale multiplies the rate time passes at. */
#include <time.h>
#include <unistd.h>

#include <rte_cycles.h>
#include <rte_pause.h>

#include <atomic>
#include <mutex>

#include "env_internal.h"
#include "kyt/env_test.h"

namespace {

std::once_flag g_hz_once;
uint64_t g_hz = 0;

uint64_t mono_ns()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
	return (uint64_t)ts.tv_sec * 1000000000ULL + (uint64_t)ts.tv_nsec;
}

void measure_hz()
{
	if (kyt::env::dpdk_started()) {
		g_hz = rte_get_tsc_hz();
		if (g_hz != 0) {
			return;
		}
	}
	/* Count TSC ticks over 20 ms of the monotonic clock. */
	const uint64_t ns0 = mono_ns();
	const uint64_t t0 = rte_rdtsc();
	uint64_t ns1;
	do {
		ns1 = mono_ns();
	} while (ns1 - ns0 < 20000000ULL);
	const uint64_t t1 = rte_rdtsc();
	const uint64_t hz = (uint64_t)((long double)(t1 - t0) * 1e9L / (long double)(ns1 - ns0));
	/* Round to 100 kHz: the measurement is not more precise than that. */
	g_hz = hz < 100000 ? 1000000000ULL : (hz + 50000) / 100000 * 100000;
}

/* Scaled clock: ticks = base + (tsc - tsc_base) * factor. A sequence count guards the three values. */
std::atomic<uint32_t> g_seq{0};
std::atomic<uint32_t> g_factor{1};
std::atomic<uint64_t> g_base{0};
std::atomic<uint64_t> g_tsc_base{0};

}  // namespace

extern "C" {

uint64_t spdk_get_ticks_hz(void)
{
	std::call_once(g_hz_once, measure_hz);
	return g_hz;
}

uint64_t spdk_get_ticks(void)
{
	for (;;) {
		const uint32_t s = g_seq.load(std::memory_order_acquire);
		const uint32_t factor = g_factor.load(std::memory_order_relaxed);
		if (factor == 1 && s == 0) {
			return rte_rdtsc(); /* never scaled: plain TSC */
		}
		if (s & 1) {
			continue;
		}
		const uint64_t base = g_base.load(std::memory_order_relaxed);
		const uint64_t tsc_base = g_tsc_base.load(std::memory_order_relaxed);
		const uint64_t now = rte_rdtsc();
		std::atomic_thread_fence(std::memory_order_acquire);
		if (g_seq.load(std::memory_order_relaxed) != s) {
			continue;
		}
		/* rdtsc is not ordered after the loads above: a read from just before the change must not wrap. */
		return base + (now > tsc_base ? now - tsc_base : 0) * factor;
	}
}

void spdk_delay_us(unsigned int us)
{
	const uint64_t hz = spdk_get_ticks_hz();
	const uint64_t wait = (uint64_t)us * hz / 1000000ULL;
	const uint64_t start = spdk_get_ticks();
	while (spdk_get_ticks() - start < wait) {
		rte_pause();
	}
}

namespace {

/* Restarts the scaled clock from its present reading plus `skip` ticks, running `factor` times faster from now. */
void rebase_clock(uint32_t factor, uint64_t skip)
{
	static std::mutex writer;
	std::lock_guard<std::mutex> guard(writer);
	const uint64_t now_scaled = spdk_get_ticks();
	g_seq.fetch_add(1, std::memory_order_acq_rel); /* odd: being changed */
	g_base.store(now_scaled + skip, std::memory_order_relaxed);
	g_tsc_base.store(rte_rdtsc(), std::memory_order_relaxed);
	g_factor.store(factor, std::memory_order_relaxed);
	g_seq.fetch_add(1, std::memory_order_release); /* even again, never 0 */
}

}  // namespace

void kyt_env_test_set_clock_scale(uint32_t factor)
{
	rebase_clock(factor == 0 ? 1 : factor, 0);
}

void kyt_env_test_advance_clock(uint64_t ticks)
{
	rebase_clock(g_factor.load(std::memory_order_relaxed), ticks);
}

}  // extern "C"
