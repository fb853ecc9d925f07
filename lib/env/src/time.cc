/* Ticks and delays: the TSC, with its rate measured once; a test may change the rate time passes at, move the clock
 * forward, and have it wait for the threads that play hardware. */
#include <time.h>
#include <unistd.h>

#include <rte_cycles.h>
#include <rte_pause.h>

#include <algorithm>
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

/* The test clock: ticks = base + (tsc - tsc_base) * num / den, the tsc held back by the pacers (below). A sequence
 * count guards the values; it is 0 until a test first sets the clock, and the product never does. */
std::atomic<uint32_t> g_seq{0};
std::atomic<uint32_t> g_num{1};
std::atomic<uint32_t> g_den{1};
std::atomic<uint64_t> g_base{0};
std::atomic<uint64_t> g_tsc_base{0};
std::atomic<uint64_t> g_pace_slack{0};

/* Pacers: threads that play hardware for the driver in a test (a simulated device's service thread). A test clock
 * reads at most the slack past what every pacer has been through: when the machine is loaded and a pacer does not
 * get to run, the clock waits for it instead of running on, so no deadline passes before the simulated hardware has
 * had its turn to meet it. A pass is through once the pacer starts the next one: `done` is the tsc (held back like
 * the clock) at the start of the last pass that ended, 0 for a free slot; `started` the same for the pass under way,
 * written by the pacer's own thread only. The slack is 100 ms of the test clock (far below the deadlines tests let
 * the hardware race) and at least 2 ms of real time (more than a pacer sleeps when idle), so that an unloaded
 * machine runs the clock at its full rate. */
struct Pacer {
	std::atomic<uint64_t> done{0};
	uint64_t started = 0;
};
constexpr int kPacerSlots = 64;
Pacer g_pacers[kPacerSlots];
std::atomic<int> g_pacer_slots_used{0};  /* slots at or above it were never taken */
std::atomic<int> g_pacer_count{0};
/* The calling thread's pacer when each of its clock readings is a pass (kyt_env_test_clock_pace_thread); a thread
 * that ends stops pacing. */
struct ThreadPacer {
	int id = -1;
	~ThreadPacer();
};
thread_local ThreadPacer t_pacer;

/* What runs before the calling thread's next reading of the test clock (kyt_env_test_before_clock_reading). */
struct ReadingHook {
	void (*fn)(void *arg) = nullptr;
	void *arg = nullptr;
};
thread_local ReadingHook t_before_reading;

/* Runs the thread's pending reading hook, once. */
void run_reading_hook()
{
	const ReadingHook hook = t_before_reading;
	t_before_reading = ReadingHook();
	hook.fn(hook.arg);
}

uint64_t paced_tsc(uint64_t now, uint64_t slack)
{
	if (g_pacer_count.load(std::memory_order_acquire) == 0) {
		return now;
	}
	const int used = g_pacer_slots_used.load(std::memory_order_acquire);
	for (int i = 0; i < used; ++i) {
		const uint64_t done = g_pacers[i].done.load(std::memory_order_acquire);
		if (done != 0 && done + slack < now) {
			now = done + slack;
		}
	}
	return now;
}

/* The pacer's pass under way has been through (the clock may run on to a slack past its start), and the next one
 * starts at the tsc returned, held back like the clock. */
uint64_t next_pass(int pacer, uint64_t slack)
{
	Pacer &p = g_pacers[pacer];
	if (p.started != 0) {
		p.done.store(p.started, std::memory_order_release);
	}
	p.started = paced_tsc(rte_rdtsc(), slack);
	return p.started;
}

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
		if (s == 0) {
			return rte_rdtsc(); /* never set: plain TSC */
		}
		if (s & 1) {
			continue;
		}
		if (__builtin_expect(t_before_reading.fn != nullptr, 0)) {
			run_reading_hook();
			continue; /* it may have moved the clock */
		}
		const uint32_t num = g_num.load(std::memory_order_relaxed);
		const uint32_t den = g_den.load(std::memory_order_relaxed);
		const uint64_t base = g_base.load(std::memory_order_relaxed);
		const uint64_t tsc_base = g_tsc_base.load(std::memory_order_relaxed);
		const uint64_t slack = g_pace_slack.load(std::memory_order_relaxed);
		const int own = t_pacer.id;
		const uint64_t now = own >= 0 ? next_pass(own, slack) : paced_tsc(rte_rdtsc(), slack);
		std::atomic_thread_fence(std::memory_order_acquire);
		if (g_seq.load(std::memory_order_relaxed) != s) {
			continue;
		}
		/* rdtsc is not ordered after the loads above, and a pacer may hold the clock back to before the last
		 * change: neither may make it run backwards. */
		const uint64_t elapsed = now > tsc_base ? now - tsc_base : 0;
		return base + (den == 1 ? elapsed * num : (uint64_t)((unsigned __int128)elapsed * num / den));
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

/* Restarts the test clock from its present reading plus `skip` ticks, running num/den times the real rate from now. */
void rebase_clock(uint32_t num, uint32_t den, uint64_t skip)
{
	/* The change reads the clock: a hook waiting for this thread's next reading runs first, outside the lock, since
	 * it may change the clock itself. */
	while (t_before_reading.fn != nullptr) {
		run_reading_hook();
	}
	static std::mutex writer;
	std::lock_guard<std::mutex> guard(writer);
	const uint64_t hz = spdk_get_ticks_hz();
	const uint64_t slack = std::max(hz / 10 * den / num, hz / 500);
	const uint64_t now_scaled = spdk_get_ticks();
	g_seq.fetch_add(1, std::memory_order_acq_rel); /* odd: being changed */
	g_base.store(now_scaled + skip, std::memory_order_relaxed);
	g_tsc_base.store(rte_rdtsc(), std::memory_order_relaxed);
	g_num.store(num, std::memory_order_relaxed);
	g_den.store(den, std::memory_order_relaxed);
	g_pace_slack.store(slack, std::memory_order_relaxed);
	g_seq.fetch_add(1, std::memory_order_release); /* even again, never 0 */
}

}  // namespace

void kyt_env_test_set_clock_scale(uint32_t factor)
{
	rebase_clock(factor == 0 ? 1 : factor, 1, 0);
}

void kyt_env_test_set_clock_slowdown(uint32_t divisor)
{
	rebase_clock(1, divisor == 0 ? 1 : divisor, 0);
}

void kyt_env_test_advance_clock(uint64_t ticks)
{
	rebase_clock(g_num.load(std::memory_order_relaxed), g_den.load(std::memory_order_relaxed), ticks);
}

int kyt_env_test_clock_pacer_add(void)
{
	if (g_seq.load(std::memory_order_acquire) == 0) {
		kyt_env_test_set_clock_scale(1); /* the clock a pacer holds back is the test clock */
	}
	for (int i = 0; i < kPacerSlots; ++i) {
		uint64_t free_slot = 0;
		/* Nothing to look at yet: as if a pass had just been through. */
		if (g_pacers[i].done.compare_exchange_strong(free_slot, rte_rdtsc(), std::memory_order_acq_rel)) {
			g_pacers[i].started = 0;
			int used = g_pacer_slots_used.load(std::memory_order_relaxed);
			while (used <= i && !g_pacer_slots_used.compare_exchange_weak(used, i + 1)) {
			}
			g_pacer_count.fetch_add(1, std::memory_order_release);
			return i;
		}
	}
	return -1;
}

void kyt_env_test_clock_pacer_pass(int pacer)
{
	if (pacer < 0 || pacer >= kPacerSlots) {
		return;
	}
	next_pass(pacer, g_pace_slack.load(std::memory_order_relaxed));
}

void kyt_env_test_before_clock_reading(void (*fn)(void *arg), void *arg)
{
	if (fn != nullptr && g_seq.load(std::memory_order_acquire) == 0) {
		kyt_env_test_set_clock_scale(1); /* the plain clock runs no hook */
	}
	t_before_reading.fn = fn;
	t_before_reading.arg = arg;
}

int kyt_env_test_clock_pace_thread(void)
{
	if (t_pacer.id < 0) {
		t_pacer.id = kyt_env_test_clock_pacer_add();
	}
	return t_pacer.id;
}

void kyt_env_test_clock_pacer_remove(int pacer)
{
	if (pacer >= 0 && pacer < kPacerSlots && g_pacers[pacer].done.exchange(0, std::memory_order_acq_rel) != 0) {
		g_pacer_count.fetch_sub(1, std::memory_order_release);
	}
	if (t_pacer.id == pacer) {
		t_pacer.id = -1;
	}
}

}  // extern "C"

namespace {

ThreadPacer::~ThreadPacer()
{
	kyt_env_test_clock_pacer_remove(id);
}

}  // namespace
