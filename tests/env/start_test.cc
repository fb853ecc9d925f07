/* Starting the environment: the once-per-process latch, the allow-list, cores and pinned threads, process kind. */
#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>

#include "env_fixture.h"
#include "fake_function.h"
#include "spdk/env.h"

namespace {

/* Before the start nothing works; refused options do not use up the start; a start latches its result, and its
 * allow-list (as the device layer gives it) limits attach. */
TEST(EnvStart, StartsOnceAndLatchesTheResult)
{
	KYT_REQUIRE_FRESH_PROCESS();
	EXPECT_EQ(spdk_dma_zmalloc(4096, 4096, nullptr), nullptr) << "no DMA memory without the environment";
	EXPECT_EQ(spdk_env_thread_launch_pinned(0, [](void *) { return 0; }, nullptr), -EINVAL);
	FakeFunction allowed(TestAddr(11)), other(TestAddr(12));
	ASSERT_EQ(allowed.Register() | other.Register(), 0);
	spdk_pci_addr list[1] = {allowed.addr()};
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.name = "kyt_env_test";
	opts.mem_size = 256;
	opts.num_pci_addr = 1;
	opts.pci_whitelist = opts.pci_blacklist = list;
	testing::internal::CaptureStdout();
	EXPECT_EQ(spdk_env_init(&opts), -EINVAL);
	EXPECT_EQ(spdk_env_init(nullptr), -EINVAL);
	opts.pci_blacklist = nullptr;
	EXPECT_EQ(spdk_env_init(&opts), 0);
	spdk_pci_device *dev = nullptr;
	auto attach = [&dev](spdk_pci_addr a) {
		return spdk_pci_device_attach(
			spdk_pci_nvme_get_driver(),
			[](void *ctx, spdk_pci_device *d) { return *static_cast<spdk_pci_device **>(ctx) = d, 0; }, &dev, &a);
	};
	EXPECT_EQ(attach(other.addr()), -EPERM);
	EXPECT_NE(testing::internal::GetCapturedStdout().find("[ DPDK EAL parameters: kyt_env_test -c "),
		  std::string::npos);
	EXPECT_TRUE(spdk_env_is_initialized() && spdk_process_is_primary());
	ASSERT_EQ(attach(allowed.addr()), 0);
	spdk_pci_device_detach(dev);
	spdk_env_opts_init(&opts);
	opts.core_mask = "ff";
	testing::internal::CaptureStdout();
	EXPECT_EQ(spdk_env_init(&opts), 0) << "a second start returns the first result";
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(EnvStart, FailedStartIsLatchedToo)
{
	KYT_REQUIRE_FRESH_PROCESS();
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.core_mask = "not-a-mask";
	testing::internal::CaptureStdout();
	int rc = spdk_env_init(&opts);
	EXPECT_NE(testing::internal::GetCapturedStdout().find("EAL: "), std::string::npos) << "DPDK's messages go out";
	EXPECT_LT(rc, 0);
	EXPECT_FALSE(spdk_env_is_initialized());
	EXPECT_EQ(kyt_env_test_init("later"), rc) << "DPDK cannot be started a second time in one process";
}

/* A pinned thread runs on its core; a core runs one such thread at a time. */
TEST(EnvStart, LaunchPinnedRunsOnTheWorkerCoreOneThreadAtATime)
{
	KYT_REQUIRE_ENV();
	uint32_t main_core = spdk_env_get_current_core(), worker = UINT32_MAX, core;
	SPDK_ENV_FOREACH_CORE(core) {
		if (core != main_core) {
			worker = core;
		}
	}
	if (worker == UINT32_MAX) {
		GTEST_SKIP() << "only one core is available to this process";
	}
	static std::atomic<int> cpu{-1}, lcore{-1};
	static std::atomic<bool> release{false};
	ASSERT_EQ(spdk_env_thread_launch_pinned(
			  worker,
			  [](void *) {
				  lcore = (int)spdk_env_get_current_core();
				  cpu = sched_getcpu();
				  while (!release.load()) {
				  }
				  return 0;
			  },
			  nullptr),
		  0);
	testing::internal::CaptureStdout();
	EXPECT_EQ(spdk_env_thread_launch_pinned(worker, [](void *) { return 0; }, nullptr), -EBUSY);
	testing::internal::GetCapturedStdout();
	release.store(true);
	spdk_env_thread_wait_all();
	EXPECT_EQ(lcore.load(), (int)worker);
	EXPECT_EQ(cpu.load(), (int)worker) << "the thread must run pinned to its core";
	EXPECT_EQ(spdk_env_thread_launch_pinned(1000, [](void *) { return 0; }, nullptr), -EINVAL);
}

}  // namespace
