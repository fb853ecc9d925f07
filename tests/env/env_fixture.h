/* Shared helpers of the environment tests. */
#ifndef KYT_TESTS_ENV_FIXTURE_H
#define KYT_TESTS_ENV_FIXTURE_H

#include <gtest/gtest.h>

#include "kyt/env_test.h"
#include "spdk/env.h"

/* Start the environment for this test process (once); fail the test when it cannot start. */
#define KYT_REQUIRE_ENV()                                                                        \
	do {                                                                                     \
		int kyt_env_rc_ = kyt_env_test_init("kyt_env_test");                             \
		ASSERT_EQ(kyt_env_rc_, 0) << "the environment did not start";                   \
	} while (0)

/* For tests about the start itself: they need a process in which the environment has not been started (ctest runs
 * each test in its own process; a whole-binary run skips them after the first start). */
#define KYT_REQUIRE_FRESH_PROCESS()                                                             \
	do {                                                                                    \
		if (spdk_env_is_initialized()) {                                                \
			GTEST_SKIP() << "the environment was already started in this process";  \
		}                                                                               \
	} while (0)

#endif
