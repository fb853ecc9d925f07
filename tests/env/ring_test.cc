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

/* A ring of 4 holds 4 in FIFO order across its wraps; a bulk enqueue is all or nothing; a dequeue takes what is
 * there. */
TEST(Ring, HoldsItsCountInFifoOrderAndBulkEnqueueIsAllOrNothing)
{
	KYT_REQUIRE_ENV();
	spdk_ring *r = spdk_ring_create(SPDK_RING_TYPE_MP_SC, 4, SPDK_ENV_SOCKET_ID_ANY);
	ASSERT_NE(r, nullptr);
	void *out[4];
	EXPECT_EQ(spdk_ring_dequeue(r, out, 1), 0u);
	for (uintptr_t round = 0; round < 3; ++round) {
		void *objs[4] = {Tag(4 * round + 1), Tag(4 * round + 2), Tag(4 * round + 3), Tag(4 * round + 4)};
		ASSERT_EQ(spdk_ring_enqueue(r, objs, 3, nullptr), 3u);
		size_t free_space = 0;
		EXPECT_EQ(spdk_ring_enqueue(r, objs, 2, &free_space), 0u);
		EXPECT_EQ(free_space, 1u);
		EXPECT_EQ(spdk_ring_enqueue(r, objs + 3, 1, nullptr), 1u);
		EXPECT_EQ(spdk_ring_count(r), 4u);
		EXPECT_EQ(spdk_ring_enqueue(r, objs, 1, nullptr), 0u) << "a full ring refuses";
		ASSERT_EQ(spdk_ring_dequeue(r, out, 1), 1u);
		EXPECT_EQ(out[0], objs[0]);
		ASSERT_EQ(spdk_ring_dequeue(r, out, 4), 3u);
		EXPECT_EQ(out[2], objs[3]);
	}
	spdk_ring_free(r);
	EXPECT_EQ(spdk_ring_create(SPDK_RING_TYPE_MP_MC, 0, SPDK_ENV_SOCKET_ID_ANY), nullptr);
}

}  // namespace
