/* Environment start over DPDK, cores and threads. */
#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <rte_eal.h>
#include <rte_errno.h>
#include <rte_launch.h>
#include <rte_log.h>
#include <rte_lcore.h>
#include <rte_memory.h>
#include <rte_version.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "eal_args.h"
#include "env_internal.h"
#include "kyt/env_test.h"
#include "spdk/log.h"

namespace kyt::env {
namespace {

std::mutex g_start_lock;
bool g_start_attempted = false;
int g_start_result = -ENODEV;
std::atomic<bool> g_started{false};
bool g_iova_va = true;

std::mutex g_allow_lock;
std::vector<spdk_pci_addr> g_allow;

/* Threads launched on a core that DPDK does not run a worker on (the main core). */
std::mutex g_threads_lock;
/* Never destroyed: a thread still running at exit must not end the process through std::thread's destructor. */
std::vector<std::thread> &g_threads = *new std::vector<std::thread>();

bool hugepages_available(const char *hugedir)
{
	FILE *f = fopen("/proc/mounts", "r");
	if (f == nullptr) {
		return false;
	}
	bool mounted = false;
	char dev[256], dir[512], type[64];
	while (fscanf(f, "%255s %511s %63s %*[^\n]", dev, dir, type) == 3) {
		if (strcmp(type, "hugetlbfs") == 0 && (hugedir == nullptr || hugedir[0] == '\0' || strcmp(dir, hugedir) == 0)) {
			mounted = true;
			break;
		}
	}
	fclose(f);
	if (!mounted) {
		return false;
	}
	/* A mount without any reserved page cannot back DPDK's memory. */
	DIR *d = opendir("/sys/kernel/mm/hugepages");
	if (d == nullptr) {
		return false;
	}
	unsigned long total = 0;
	while (struct dirent *e = readdir(d)) {
		if (strncmp(e->d_name, "hugepages-", 10) != 0) {
			continue;
		}
		std::string path = std::string("/sys/kernel/mm/hugepages/") + e->d_name + "/nr_hugepages";
		if (FILE *n = fopen(path.c_str(), "r")) {
			unsigned long v = 0;
			if (fscanf(n, "%lu", &v) == 1) {
				total += v;
			}
			fclose(n);
		}
	}
	closedir(d);
	return total > 0;
}

/* A stream whose every line becomes one log message, at the level DPDK gave it; never closed (DPDK keeps it). The
 * stream's own lock serialises the writers, so the pending partial line needs no lock of its own. */
std::string *const g_dpdk_pending = new std::string();  // never destroyed: DPDK may log until the very end

ssize_t dpdk_log_write(void * /*cookie*/, const char *data, size_t size)
{
	std::string &pending = *g_dpdk_pending;
	pending.append(data, size);
	size_t start = 0;
	for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
		const int dpdk_level = rte_log_cur_msg_loglevel();
		const spdk_log_level level = dpdk_level <= (int)RTE_LOG_ERR       ? SPDK_LOG_ERROR
					     : dpdk_level == (int)RTE_LOG_WARNING ? SPDK_LOG_WARN
										 : SPDK_LOG_NOTICE;
		spdk_log(level, "dpdk", 0, "", "%.*s", (int)(end - start), pending.c_str() + start);
	}
	pending.erase(0, start);
	/* A line that never ends is passed on in pieces rather than kept without a bound. */
	if (pending.size() >= 4096) {
		spdk_log(SPDK_LOG_NOTICE, "dpdk", 0, "", "%s", pending.c_str());
		pending.clear();
	}
	return (ssize_t)size;
}

FILE *dpdk_log_stream()
{
	static FILE *stream = []() {
		cookie_io_functions_t io = {};
		io.write = dpdk_log_write;
		FILE *f = fopencookie(nullptr, "w", io);
		if (f != nullptr) {
			setvbuf(f, nullptr, _IOLBF, 0);
		}
		return f;
	}();
	return stream;
}

/* *dpdk_called tells whether rte_eal_init ran (after which DPDK cannot be started again in this process). */
int start(const spdk_env_opts *opts, bool *dpdk_called)
{
	EalHost host;
	host.hugepages_mounted = hugepages_available(opts->hugedir);
	host.pid = (int)getpid();
	std::vector<std::string> args;
	try {
		args = BuildEalArgs(*opts, host);
	} catch (const std::exception &e) {
		SPDK_ERRLOG("invalid environment options: %s\n", e.what());
		return -EINVAL;
	}

	/* DPDK fails its start for good on a core the machine does not have (and prints its usage text): refuse such a
	 * core here, where a start with other cores may still follow. */
	if (opts->core_mask != nullptr) {
		const char *text = strncasecmp(opts->core_mask, "0x", 2) == 0 ? opts->core_mask + 2 : opts->core_mask;
		char *end = nullptr;
		errno = 0;
		const unsigned long long mask = strtoull(text, &end, 16);
		for (unsigned core = 0; errno == 0 && end != text && *end == '\0' && core < 64; ++core) {
			const std::string present = "/sys/devices/system/cpu/cpu" + std::to_string(core) + "/topology/core_id";
			if ((mask >> core & 1) != 0 && access(present.c_str(), F_OK) != 0) {
				SPDK_ERRLOG("core %u is not present on this machine\n", core);
				return -EINVAL;
			}
		}
	}

	SPDK_NOTICELOG("Starting kyt environment / %s initialization...\n", rte_version());
	std::string list;
	for (const std::string &a : args) {
		list += a + " ";
	}
	SPDK_NOTICELOG("[ DPDK EAL parameters: %s]\n", list.c_str());

	/* DPDK reorders argv and may keep pointers into it: the texts and the array live as long as the process. */
	static std::vector<std::string> &keep = *new std::vector<std::string>();
	static std::vector<char *> &argv = *new std::vector<char *>();
	keep = args;
	argv.clear();
	for (std::string &a : keep) {
		argv.push_back(&a[0]);
	}
	argv.push_back(nullptr);

	/* DPDK's own messages go where the lines above go: through the log (its default is standard error). What its
	 * start prints directly to standard output or standard error (a usage text, a fatal alert) goes the same way. */
	FILE *const log_stream = dpdk_log_stream();
	FILE *const saved_stdout = stdout;
	FILE *const saved_stderr = stderr;
	if (log_stream != nullptr) {
		rte_openlog_stream(log_stream);
		stdout = log_stream;
		stderr = log_stream;
	}
	const int saved_optind = optind;
	optind = 1;
	*dpdk_called = true;
	int rc = rte_eal_init((int)keep.size(), argv.data());
	optind = saved_optind;
	if (log_stream != nullptr) {
		fflush(log_stream);
		stdout = saved_stdout;
		stderr = saved_stderr;
	}
	if (rc < 0) {
		int err = rte_errno != 0 ? rte_errno : EIO;
		SPDK_ERRLOG("Failed to initialize DPDK\n");
		return -err;
	}
	g_iova_va = rte_eal_iova_mode() == RTE_IOVA_VA;
	watch_dma_releases();
	if (!host.hugepages_mounted) {
		/* Nothing is shared without hugepages: do not leave an empty runtime directory behind per process. */
		atexit([]() { rmdir(rte_eal_get_runtime_dir()); });
	}
	set_pci_allow_list(opts->no_pci ? nullptr : opts->pci_whitelist, opts->no_pci ? 0 : opts->num_pci_addr);
	return 0;
}

}  // namespace

bool dpdk_started()
{
	return g_started.load(std::memory_order_acquire);
}

bool iova_is_va()
{
	return !dpdk_started() || g_iova_va;
}

void set_pci_allow_list(const spdk_pci_addr *addrs, size_t n)
{
	std::lock_guard<std::mutex> guard(g_allow_lock);
	g_allow.assign(addrs, addrs + (addrs != nullptr ? n : 0));
}

bool pci_addr_allowed(const spdk_pci_addr &addr)
{
	std::lock_guard<std::mutex> guard(g_allow_lock);
	if (g_allow.empty()) {
		return true;
	}
	for (const spdk_pci_addr &a : g_allow) {
		if (spdk_pci_addr_compare(&a, &addr) == 0) {
			return true;
		}
	}
	return false;
}

}  // namespace kyt::env

using namespace kyt::env;

extern "C" {

void spdk_env_opts_init(struct spdk_env_opts *opts)
{
	if (opts == nullptr) {
		return;
	}
	memset(opts, 0, sizeof(*opts));
	opts->name = "kyt";
	opts->core_mask = "0x1";
	opts->shm_id = -1;
	opts->mem_channel = -1;
	opts->master_core = -1;
	opts->mem_size = -1;
	/* 0: DPDK's own base (4 GiB up), which keeps DMA addresses within the reach of small IOMMUs (39 bits). */
	opts->base_virtaddr = 0;
}

int spdk_env_init(const struct spdk_env_opts *opts)
{
	if (opts == nullptr) {
		return -EINVAL;
	}
	std::lock_guard<std::mutex> guard(g_start_lock);
	/* DPDK starts once per process: every later call gets the first call's result. */
	if (g_start_attempted) {
		return g_start_result;
	}
	bool dpdk_called = false;
	const int rc = start(opts, &dpdk_called);
	if (dpdk_called) {
		g_start_attempted = true;
		g_start_result = rc;
	}
	if (rc == 0) {
		g_started.store(true, std::memory_order_release);
	}
	return rc;
}

void spdk_env_fini(void)
{
	std::lock_guard<std::mutex> guard(g_start_lock);
	if (!g_started.load()) {
		return;
	}
	spdk_env_thread_wait_all();
	note_dma_release();
	rte_eal_cleanup();
	g_started.store(false);
}

bool spdk_env_is_initialized(void)
{
	return dpdk_started();
}

bool spdk_process_is_primary(void)
{
	if (!dpdk_started()) {
		return true;
	}
	return rte_eal_process_type() == RTE_PROC_PRIMARY;
}

uint32_t spdk_env_get_core_count(void)
{
	return dpdk_started() ? rte_lcore_count() : 1;
}

uint32_t spdk_env_get_current_core(void)
{
	return dpdk_started() ? rte_lcore_id() : 0;
}

uint32_t spdk_env_get_first_core(void)
{
	if (!dpdk_started()) {
		return UINT32_MAX;
	}
	unsigned c = rte_get_next_lcore(-1, 0, 0);
	return c >= RTE_MAX_LCORE ? UINT32_MAX : c;
}

uint32_t spdk_env_get_last_core(void)
{
	uint32_t last = UINT32_MAX;
	uint32_t i;
	SPDK_ENV_FOREACH_CORE(i) {
		last = i;
	}
	return last;
}

uint32_t spdk_env_get_next_core(uint32_t prev_core)
{
	if (!dpdk_started()) {
		return UINT32_MAX;
	}
	unsigned c = rte_get_next_lcore(prev_core, 0, 0);
	return c >= RTE_MAX_LCORE ? UINT32_MAX : c;
}

uint32_t spdk_env_get_socket_id(uint32_t core)
{
	if (!dpdk_started() || core >= RTE_MAX_LCORE) {
		return UINT32_MAX;
	}
	return rte_lcore_to_socket_id(core);
}

int spdk_env_thread_launch_pinned(uint32_t core, thread_start_fn fn, void *arg)
{
	if (fn == nullptr) {
		return -EINVAL;
	}
	if (!dpdk_started()) {
		SPDK_ERRLOG("the environment is not started\n");
		return -EINVAL;
	}
	if (core >= RTE_MAX_LCORE || !rte_lcore_is_enabled(core)) {
		SPDK_ERRLOG("core %u is not in the core mask\n", core);
		return -EINVAL;
	}
	if (core != rte_get_main_lcore()) {
		int rc = rte_eal_remote_launch(fn, arg, core);
		if (rc != 0) {
			SPDK_ERRLOG("could not launch a thread on core %u (%d)\n", core, rc);
		}
		return rc;
	}
	/* The main core runs the caller; a thread for it is pinned there alongside. */
	try {
		std::thread t([fn, arg]() { fn(arg); });
		cpu_set_t set;
		CPU_ZERO(&set);
		CPU_SET(core, &set);
		pthread_setaffinity_np(t.native_handle(), sizeof(set), &set);
		std::lock_guard<std::mutex> guard(g_threads_lock);
		g_threads.push_back(std::move(t));
	} catch (const std::exception &e) {
		SPDK_ERRLOG("could not launch a thread on core %u: %s\n", core, e.what());
		return -EAGAIN;
	}
	return 0;
}

void spdk_env_thread_wait_all(void)
{
	if (dpdk_started()) {
		rte_eal_mp_wait_lcore();
	}
	std::vector<std::thread> threads;
	{
		std::lock_guard<std::mutex> guard(g_threads_lock);
		threads.swap(g_threads);
	}
	for (std::thread &t : threads) {
		if (t.joinable()) {
			t.join();
		}
	}
}

int kyt_env_test_init(const char *name)
{
	static std::once_flag once;
	static int result = 0;
	std::call_once(once, [name]() {
		struct spdk_env_opts opts;
		spdk_env_opts_init(&opts);
		opts.name = name != nullptr ? name : "kyt_test";
		opts.no_pci = true;
		/* Hugepages are taken as needed; anonymous memory is reserved up front, 512 MiB of address space. */
		opts.mem_size = hugepages_available(nullptr) ? -1 : 512;
		opts.shm_id = -1;
		/* The two lowest cores this process may run on: the main core and one for a worker. */
		cpu_set_t set;
		CPU_ZERO(&set);
		std::vector<int> cores;
		if (sched_getaffinity(0, sizeof(set), &set) == 0) {
			for (int c = 0; c < CPU_SETSIZE && c < 64 && cores.size() < 2; ++c) {
				if (CPU_ISSET(c, &set)) {
					cores.push_back(c);
				}
			}
		}
		if (cores.empty()) {
			cores.push_back(0);
		}
		uint64_t mask = 0;
		for (int c : cores) {
			mask |= 1ULL << c;
		}
		static char mask_text[24];
		snprintf(mask_text, sizeof(mask_text), "%llx", (unsigned long long)mask);
		opts.core_mask = mask_text;
		opts.master_core = cores[0];
		result = spdk_env_init(&opts);
	});
	return result;
}

}  // extern "C"
