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

TEST(Ring, HoldsItsCountInFifoOrderAndBulkEnqueueIsAllOrNothing)
{
	KYT_REQUIRE_ENV();
	spdk_ring *r = spdk_ring_create(SPDK_RING_TYPE_SP_SC, 128, SPDK_ENV_SOCKET_ID_ANY);
	ASSERT_NE(r, nullptr);
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
	spdk_ring_free(r);

	r = spdk_ring_create(SPDK_RING_TYPE_MP_SC, 4, SPDK_ENV_SOCKET_ID_ANY);
	ASSERT_NE(r, nullptr);
	void *three[3] = {Tag(1), Tag(2), Tag(3)};
	ASSERT_EQ(spdk_ring_enqueue(r, three, 3, nullptr), 3u);
	size_t free_space = 0;
	EXPECT_EQ(spdk_ring_enqueue(r, three, 2, &free_space), 0u);
	EXPECT_EQ(free_space, 1u);
	EXPECT_EQ(spdk_ring_dequeue(r, out, 4), 3u) << "a dequeue takes what is there";
	EXPECT_EQ(out[2], Tag(3));
	spdk_ring_free(r);
	EXPECT_EQ(spdk_ring_create(SPDK_RING_TYPE_MP_MC, 0, SPDK_ENV_SOCKET_ID_ANY), nullptr);
}

}  // namespace
