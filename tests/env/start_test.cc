/* Starting the environment: the once-per-process latch, cores and pinned threads, process kind. */
#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>

#include "env_fixture.h"
#include "spdk/env.h"

namespace {

TEST(EnvStart, StartsOnceAndLatchesTheResult)
{
	KYT_REQUIRE_FRESH_PROCESS();
	testing::internal::CaptureStdout();
	int rc = kyt_env_test_init("kyt_env_test");
	std::string out = testing::internal::GetCapturedStdout();
	ASSERT_EQ(rc, 0) << out;
	EXPECT_TRUE(spdk_env_is_initialized());
	EXPECT_NE(out.find("[ DPDK EAL parameters: kyt_env_test -c "), std::string::npos) << out;
	/* A second start, with other options, returns the first result and prints nothing. */
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.core_mask = "ff";
	testing::internal::CaptureStdout();
	EXPECT_EQ(spdk_env_init(&opts), 0);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
	EXPECT_TRUE(spdk_process_is_primary());
	EXPECT_EQ(spdk_env_init(nullptr), -EINVAL);
}

TEST(EnvStart, FailedStartIsLatchedToo)
{
	KYT_REQUIRE_FRESH_PROCESS();
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.core_mask = "not-a-mask";
	testing::internal::CaptureStdout();
	int rc = spdk_env_init(&opts);
	std::string out = testing::internal::GetCapturedStdout();
	EXPECT_LT(rc, 0);
	EXPECT_NE(out.find("EAL: "), std::string::npos) << "DPDK's messages go to standard output: " << out;
	EXPECT_FALSE(spdk_env_is_initialized());
	EXPECT_EQ(kyt_env_test_init("later"), rc) << "DPDK cannot be started a second time in one process";
}

TEST(EnvStart, BeforeTheStartNothingWorksAndRefusedOptionsDoNotUseUpTheStart)
{
	KYT_REQUIRE_FRESH_PROCESS();
	EXPECT_EQ(spdk_dma_zmalloc(4096, 4096, nullptr), nullptr) << "no DMA memory without the environment";
	EXPECT_EQ(spdk_ring_create(SPDK_RING_TYPE_SP_SC, 8, SPDK_ENV_SOCKET_ID_ANY), nullptr);
	EXPECT_EQ(spdk_env_thread_launch_pinned(0, [](void *) { return 0; }, nullptr), -EINVAL);
	spdk_pci_addr list[1] = {{0, 1, 0, 0}};
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.num_pci_addr = 1;
	opts.pci_whitelist = list;
	opts.pci_blacklist = list;
	testing::internal::CaptureStdout();
	EXPECT_EQ(spdk_env_init(&opts), -EINVAL);
	testing::internal::GetCapturedStdout();
	EXPECT_EQ(kyt_env_test_init("kyt_env_test"), 0) << "a correct start still works";
}

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
	struct Arg {
		std::atomic<int> cpu{-1};
		std::atomic<uint32_t> lcore{UINT32_MAX};
	} arg;
	ASSERT_EQ(spdk_env_thread_launch_pinned(
			  worker,
			  [](void *p) {
				  Arg *a = static_cast<Arg *>(p);
				  a->lcore = spdk_env_get_current_core();
				  a->cpu = sched_getcpu();
				  return 0;
			  },
			  &arg),
		  0);
	spdk_env_thread_wait_all();
	EXPECT_EQ(arg.lcore.load(), worker);
	EXPECT_EQ(arg.cpu.load(), (int)worker) << "the thread must run pinned to its core";
	EXPECT_EQ(spdk_env_thread_launch_pinned(1000, [](void *) { return 0; }, nullptr), -EINVAL);

	static std::atomic<bool> release{false};
	ASSERT_EQ(spdk_env_thread_launch_pinned(
			  worker,
			  [](void *) {
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
}

}  // namespace
