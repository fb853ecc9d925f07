/* Lock-free rings of pointers over DPDK's rte_ring. */
#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include <rte_errno.h>
#include <rte_ring.h>

#include <atomic>

#include "env_internal.h"
#include "spdk/log.h"

extern "C" {

struct spdk_ring *spdk_ring_create(enum spdk_ring_type type, size_t count, int socket_id)
{
	if (!kyt::env::dpdk_started()) {
		SPDK_ERRLOG("the environment is not started\n");
		return nullptr;
	}
	unsigned flags;
	switch (type) {
	case SPDK_RING_TYPE_SP_SC:
		flags = RING_F_SP_ENQ | RING_F_SC_DEQ;
		break;
	case SPDK_RING_TYPE_MP_SC:
		flags = RING_F_SC_DEQ;
		break;
	case SPDK_RING_TYPE_MP_MC:
		flags = 0;
		break;
	default:
		return nullptr;
	}
	if (count == 0 || count >= RTE_RING_SZ_MASK) {
		return nullptr;
	}
	/* Exactly `count` usable slots; names must be unique within the process (and its secondaries). */
	static std::atomic<uint64_t> seq{0};
	char name[RTE_RING_NAMESIZE];
	snprintf(name, sizeof(name), "kyt_ring_%d_%llu", (int)getpid(), (unsigned long long)seq.fetch_add(1));
	rte_ring *r = rte_ring_create(name, (unsigned)count, socket_id, flags | RING_F_EXACT_SZ);
	if (r == nullptr) {
		SPDK_ERRLOG("could not create a ring of %zu entries (%d)\n", count, rte_errno);
	}
	return reinterpret_cast<spdk_ring *>(r);
}

void spdk_ring_free(struct spdk_ring *ring)
{
	rte_ring_free(reinterpret_cast<rte_ring *>(ring));
}

size_t spdk_ring_count(struct spdk_ring *ring)
{
	return rte_ring_count(reinterpret_cast<rte_ring *>(ring));
}

size_t spdk_ring_enqueue(struct spdk_ring *ring, void **objs, size_t count, size_t *free_space)
{
	unsigned int space = 0;
	size_t n = rte_ring_enqueue_bulk(reinterpret_cast<rte_ring *>(ring), objs, (unsigned)count, &space);
	if (free_space != nullptr) {
		*free_space = space;
	}
	return n;
}

size_t spdk_ring_dequeue(struct spdk_ring *ring, void **objs, size_t count)
{
	return rte_ring_dequeue_burst(reinterpret_cast<rte_ring *>(ring), objs, (unsigned)count, nullptr);
}

}  // extern "C"
