/* Rings. */
#include <gtest/gtest.h>

#include <stdint.h>


#include "env_fixture.h"
#include "spdk/env.h"

namespace {

void *Tag(uintptr_t v)
{
	return reinterpret_cast<void *>(v);
}

TEST(Ring, HoldsExactlyItsCountInFifoOrder)
{
	KYT_REQUIRE_ENV();
	spdk_ring *r = spdk_ring_create(SPDK_RING_TYPE_SP_SC, 128, SPDK_ENV_SOCKET_ID_ANY);
	ASSERT_NE(r, nullptr);
	EXPECT_EQ(spdk_ring_count(r), 0u);
	void *out[4];
	EXPECT_EQ(spdk_ring_dequeue(r, out, 1), 0u);
	for (uintptr_t i = 1; i <= 128; ++i) {
		void *obj = Tag(i);
		size_t free_space = 999;
		ASSERT_EQ(spdk_ring_enqueue(r, &obj, 1, &free_space), 1u) << i;
		EXPECT_EQ(free_space, 128 - i);
	}
	void *extra = Tag(1000);
	EXPECT_EQ(spdk_ring_enqueue(r, &extra, 1, nullptr), 0u) << "a full ring refuses";
	EXPECT_EQ(spdk_ring_count(r), 128u);
	for (uintptr_t i = 1; i <= 128; ++i) {
		ASSERT_EQ(spdk_ring_dequeue(r, out, 1), 1u);
		EXPECT_EQ(out[0], Tag(i));
	}
	EXPECT_EQ(spdk_ring_count(r), 0u);
	spdk_ring_free(r);
}

TEST(Ring, BulkEnqueueIsAllOrNothingAndDequeueTakesWhatIsThere)
{
	KYT_REQUIRE_ENV();
	spdk_ring *r = spdk_ring_create(SPDK_RING_TYPE_MP_SC, 4, SPDK_ENV_SOCKET_ID_ANY);
	ASSERT_NE(r, nullptr);
	void *three[3] = {Tag(1), Tag(2), Tag(3)};
	ASSERT_EQ(spdk_ring_enqueue(r, three, 3, nullptr), 3u);
	size_t free_space = 0;
	EXPECT_EQ(spdk_ring_enqueue(r, three, 2, &free_space), 0u);
	EXPECT_EQ(free_space, 1u);
	void *out[8];
	EXPECT_EQ(spdk_ring_dequeue(r, out, 8), 3u);
	EXPECT_EQ(out[2], Tag(3));
	spdk_ring_free(r);
	EXPECT_EQ(spdk_ring_create(SPDK_RING_TYPE_MP_MC, 0, SPDK_ENV_SOCKET_ID_ANY), nullptr);
}

TEST(Ring, ManyRingsCoexist)
{
	KYT_REQUIRE_ENV();
	spdk_ring *rings[8];
	for (auto &r : rings) {
		r = spdk_ring_create(SPDK_RING_TYPE_SP_SC, 128, SPDK_ENV_SOCKET_ID_ANY);
		ASSERT_NE(r, nullptr);
	}
	for (auto &r : rings) {
		spdk_ring_free(r);
	}
}

TEST(Ring, SingleProducerSingleConsumerAcrossCores)
{
	KYT_REQUIRE_ENV();
	/* The producer runs on the worker core, as the product's worker does (a thread on the main core would share it
	 * with this busy consumer). */
	const uint32_t main_core = spdk_env_get_current_core();
	uint32_t worker = UINT32_MAX, core;
	SPDK_ENV_FOREACH_CORE(core) {
		if (core != main_core) {
			worker = core;
		}
	}
	if (worker == UINT32_MAX) {
		GTEST_SKIP() << "only one core is available to this process";
	}
	spdk_ring *r = spdk_ring_create(SPDK_RING_TYPE_SP_SC, 16, SPDK_ENV_SOCKET_ID_ANY);
	ASSERT_NE(r, nullptr);
	static constexpr uintptr_t kCount = 50000;
	ASSERT_EQ(spdk_env_thread_launch_pinned(
			  worker,
			  [](void *arg) {
				  spdk_ring *ring = static_cast<spdk_ring *>(arg);
				  for (uintptr_t i = 1; i <= kCount; ++i) {
					  void *obj = Tag(i);
					  while (spdk_ring_enqueue(ring, &obj, 1, nullptr) != 1) {
					  }
				  }
				  return 0;
			  },
			  r),
		  0);
	uintptr_t expect = 1;
	bool in_order = true;
	while (expect <= kCount) {
		void *obj;
		if (spdk_ring_dequeue(r, &obj, 1) == 1) {
			in_order = in_order && obj == Tag(expect);
			++expect;
		}
	}
	spdk_env_thread_wait_all();
	EXPECT_TRUE(in_order);
	EXPECT_EQ(spdk_ring_count(r), 0u);
	spdk_ring_free(r);
}

}  // namespace
