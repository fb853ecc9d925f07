/* DMA-safe memory from DPDK, address translation, registration of external memory, memory zones. */
#include <errno.h>
#include <string.h>
#include <sys/mman.h>

#include <rte_malloc.h>
#include <rte_memory.h>
#include <rte_memzone.h>
#include <rte_vfio.h>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>
#include <shared_mutex>
#include <unordered_map>

#include "env_internal.h"
#include "kyt/env_test.h"
#include "spdk/log.h"

namespace kyt::env {
namespace {

constexpr uint64_t kChunk = 2ULL * 1024 * 1024;
constexpr uint64_t kChunkMask = kChunk - 1;

/* External memory registered with spdk_mem_register, kept per 2 MiB chunk: virtual chunk -> bus address of the chunk,
 * and the reverse. Ranges remember their extent so that unregistration must name a registered range exactly. */
struct Registry {
	std::shared_mutex lock;
	std::unordered_map<uint64_t, uint64_t> v2p;  /* vaddr >> 21 -> iova of the chunk */
	std::map<uint64_t, uint64_t> p2v;            /* iova of a chunk (not always 2 MiB aligned) -> its vaddr */
	std::map<uint64_t, uint64_t> ranges;         /* vaddr -> len */
	std::map<uint64_t, bool> vfio_mapped;        /* vaddr -> mapped in the VFIO container */
};

Registry &registry()
{
	static Registry *r = new Registry();
	return *r;
}

struct BarMap {
	uint64_t len;
	uint64_t phys;
};

std::shared_mutex g_bar_lock;
std::map<uint64_t, BarMap> &bar_maps()
{
	static auto *m = new std::map<uint64_t, BarMap>();
	return *m;
}

/* Bus address of one byte of DPDK memory, or SPDK_VTOPHYS_ERROR. On success *contig holds the bytes from vaddr
 * that are contiguous in bus addresses within that memory segment. */
uint64_t dpdk_vtophys(const void *vaddr, uint64_t *contig)
{
	if (!dpdk_started()) {
		return SPDK_VTOPHYS_ERROR;
	}
	const rte_memseg *ms = rte_mem_virt2memseg(vaddr, nullptr);
	/* A slot of a segment list that holds no page reads back zeroed: no address, no length. */
	if (ms == nullptr || ms->addr == nullptr || ms->len == 0 || ms->iova == RTE_BAD_IOVA ||
	    (uintptr_t)vaddr < (uintptr_t)ms->addr || (uintptr_t)vaddr - (uintptr_t)ms->addr >= ms->len) {
		return SPDK_VTOPHYS_ERROR;
	}
	const uint64_t off = (uint64_t)((uintptr_t)vaddr - (uintptr_t)ms->addr);
	*contig = ms->len - off;
	return ms->iova + off;
}

uint64_t registered_vtophys(const void *vaddr, uint64_t *contig)
{
	Registry &r = registry();
	std::shared_lock<std::shared_mutex> guard(r.lock);
	if (r.v2p.empty()) {
		return SPDK_VTOPHYS_ERROR;
	}
	auto it = r.v2p.find((uint64_t)(uintptr_t)vaddr >> 21);
	if (it == r.v2p.end()) {
		return SPDK_VTOPHYS_ERROR;
	}
	const uint64_t off = (uint64_t)(uintptr_t)vaddr & kChunkMask;
	*contig = kChunk - off;
	return it->second + off;
}

uint64_t one_vtophys(const void *vaddr, uint64_t *contig)
{
	uint64_t pa = dpdk_vtophys(vaddr, contig);
	if (pa == SPDK_VTOPHYS_ERROR) {
		pa = registered_vtophys(vaddr, contig);
	}
	return pa;
}

}  // namespace

void note_bar_mapping(void *vaddr, uint64_t len, uint64_t phys)
{
	std::unique_lock<std::shared_mutex> guard(g_bar_lock);
	bar_maps()[(uint64_t)(uintptr_t)vaddr] = BarMap{len, phys};
}

void forget_bar_mapping(void *vaddr)
{
	std::unique_lock<std::shared_mutex> guard(g_bar_lock);
	bar_maps().erase((uint64_t)(uintptr_t)vaddr);
}

uint64_t bar_mapping_phys(const void *vaddr)
{
	const uint64_t v = (uint64_t)(uintptr_t)vaddr;
	std::shared_lock<std::shared_mutex> guard(g_bar_lock);
	auto &m = bar_maps();
	auto it = m.upper_bound(v);
	if (it == m.begin()) {
		return SPDK_VTOPHYS_ERROR;
	}
	--it;
	if (v - it->first >= it->second.len) {
		return SPDK_VTOPHYS_ERROR;
	}
	return it->second.phys + (v - it->first);
}

namespace {

std::atomic<uint64_t> g_dma_releases{0};

void on_memory_event(rte_mem_event event, const void *, size_t, void *)
{
	if (event == RTE_MEM_EVENT_FREE) {
		note_dma_release();
	}
}

}  // namespace

void watch_dma_releases()
{
	/* Refused for static (legacy) memory, which is never given back: nothing to watch then. */
	rte_mem_event_callback_register("kyt-dma-releases", on_memory_event, nullptr);
}

void note_dma_release()
{
	g_dma_releases.fetch_add(1);
}

}  // namespace kyt::env

using namespace kyt::env;

extern "C" {

void *spdk_malloc(size_t size, size_t align, uint64_t *phys_addr, int socket_id, uint32_t flags)
{
	if (!dpdk_started()) {
		SPDK_ERRLOG("the environment is not started\n");
		return nullptr;
	}
	if (size == 0 || (align & (align - 1)) != 0) {
		return nullptr;
	}
	void *buf = rte_malloc_socket(nullptr, size, (unsigned)align, socket_id);
	if (buf != nullptr && phys_addr != nullptr) {
		*phys_addr = spdk_vtophys(buf, nullptr);
	}
	return buf;
}

void *spdk_zmalloc(size_t size, size_t align, uint64_t *phys_addr, int socket_id, uint32_t flags)
{
	void *buf = spdk_malloc(size, align, phys_addr, socket_id, flags);
	if (buf != nullptr) {
		memset(buf, 0, size);
	}
	return buf;
}

void spdk_free(void *buf)
{
	if (buf != nullptr && dpdk_started()) {
		rte_free(buf);
	}
}

void *spdk_dma_malloc_socket(size_t size, size_t align, uint64_t *phys_addr, int socket_id)
{
	return spdk_malloc(size, align, phys_addr, socket_id, SPDK_MALLOC_DMA);
}

void *spdk_dma_zmalloc_socket(size_t size, size_t align, uint64_t *phys_addr, int socket_id)
{
	return spdk_zmalloc(size, align, phys_addr, socket_id, SPDK_MALLOC_DMA);
}

void *spdk_dma_malloc(size_t size, size_t align, uint64_t *phys_addr)
{
	return spdk_dma_malloc_socket(size, align, phys_addr, SPDK_ENV_SOCKET_ID_ANY);
}

void *spdk_dma_zmalloc(size_t size, size_t align, uint64_t *phys_addr)
{
	return spdk_dma_zmalloc_socket(size, align, phys_addr, SPDK_ENV_SOCKET_ID_ANY);
}

void spdk_dma_free(void *buf)
{
	spdk_free(buf);
}

uint64_t spdk_vtophys(void *buf, uint64_t *size)
{
	uint64_t contig = 0;
	const uint64_t pa = one_vtophys(buf, &contig);
	if (pa == SPDK_VTOPHYS_ERROR) {
		return SPDK_VTOPHYS_ERROR;
	}
	if (size != nullptr) {
		/* Extend over following pieces while they continue in bus address space. */
		const uint64_t want = *size;
		uint64_t have = contig;
		while (have < want) {
			uint64_t next_contig = 0;
			const uint64_t next = one_vtophys((char *)buf + have, &next_contig);
			if (next != pa + have) {
				break;
			}
			have += next_contig;
		}
		*size = have < want ? have : want;
	}
	return pa;
}

int spdk_mem_register(void *vaddr, size_t len)
{
	const uint64_t v = (uint64_t)(uintptr_t)vaddr;
	if (vaddr == nullptr || len == 0 || (v & kChunkMask) != 0 || (len & kChunkMask) != 0) {
		return -EINVAL;
	}
	/* Bus addresses of the chunks, decided before anything is recorded. */
	const uint64_t chunks = len / kChunk;
	std::vector<uint64_t> iova(chunks);
	for (uint64_t i = 0; i < chunks; ++i) {
		const void *cv = (const char *)vaddr + i * kChunk;
		if (iova_is_va()) {
			iova[i] = v + i * kChunk;
		} else {
			/* Device memory (a BAR) is contiguous; other memory must be physically contiguous over the chunk
			 * (hugepage-backed), which is checked page by page. */
			uint64_t pa = bar_mapping_phys(cv);
			if (pa == SPDK_VTOPHYS_ERROR) {
				pa = rte_mem_virt2phy(cv);
				for (uint64_t off = 4096; pa != RTE_BAD_IOVA && off < kChunk; off += 4096) {
					if (rte_mem_virt2phy((const char *)cv + off) != pa + off) {
						pa = RTE_BAD_IOVA;
					}
				}
			}
			if (pa == SPDK_VTOPHYS_ERROR || pa == RTE_BAD_IOVA) {
				SPDK_ERRLOG("no contiguous bus address for %p\n", cv);
				return -EFAULT;
			}
			iova[i] = pa;
		}
	}
	Registry &r = registry();
	std::unique_lock<std::shared_mutex> guard(r.lock);
	for (uint64_t i = 0; i < chunks; ++i) {
		if (r.v2p.count((v >> 21) + i) != 0) {
			return -EBUSY;
		}
	}
	bool vfio = false;
	if (vfio_in_use() && iova_is_va()) {
		/* Devices in the VFIO container reach memory only through the IOMMU. */
		if (rte_vfio_container_dma_map(RTE_VFIO_DEFAULT_CONTAINER_FD, v, v, len) != 0) {
			SPDK_ERRLOG("VFIO DMA mapping of %p (%zu bytes) failed\n", vaddr, len);
			return -EFAULT;
		}
		vfio = true;
	}
	for (uint64_t i = 0; i < chunks; ++i) {
		r.v2p[(v >> 21) + i] = iova[i];
		r.p2v[iova[i]] = v + i * kChunk;
	}
	r.ranges[v] = len;
	r.vfio_mapped[v] = vfio;
	return 0;
}

int spdk_mem_unregister(void *vaddr, size_t len)
{
	const uint64_t v = (uint64_t)(uintptr_t)vaddr;
	Registry &r = registry();
	std::unique_lock<std::shared_mutex> guard(r.lock);
	auto it = r.ranges.find(v);
	if (it == r.ranges.end() || it->second != len) {
		return -EINVAL;
	}
	for (uint64_t i = 0; i < len / kChunk; ++i) {
		auto c = r.v2p.find((v >> 21) + i);
		if (c != r.v2p.end()) {
			r.p2v.erase(c->second);
			r.v2p.erase(c);
		}
	}
	if (r.vfio_mapped[v]) {
		rte_vfio_container_dma_unmap(RTE_VFIO_DEFAULT_CONTAINER_FD, v, v, len);
	}
	r.vfio_mapped.erase(v);
	r.ranges.erase(it);
	note_dma_release();
	return 0;
}

void *spdk_memzone_reserve_aligned(const char *name, size_t len, int socket_id, unsigned flags, unsigned align)
{
	if (!dpdk_started() || name == nullptr || len == 0) {
		return nullptr;
	}
	unsigned dpdk_flags = (flags & SPDK_MEMZONE_NO_IOVA_CONTIG) ? 0 : RTE_MEMZONE_IOVA_CONTIG;
	const rte_memzone *mz = rte_memzone_reserve_aligned(name, len, socket_id, dpdk_flags, align ? align : 64);
	if (mz == nullptr) {
		return nullptr;
	}
	memset(mz->addr, 0, len);
	return mz->addr;
}

void *spdk_memzone_reserve(const char *name, size_t len, int socket_id, unsigned flags)
{
	return spdk_memzone_reserve_aligned(name, len, socket_id, flags, 64);
}

void *spdk_memzone_lookup(const char *name)
{
	if (!dpdk_started() || name == nullptr) {
		return nullptr;
	}
	const rte_memzone *mz = rte_memzone_lookup(name);
	return mz != nullptr ? mz->addr : nullptr;
}

int spdk_memzone_free(const char *name)
{
	if (!dpdk_started() || name == nullptr) {
		return -EINVAL;
	}
	const rte_memzone *mz = rte_memzone_lookup(name);
	if (mz == nullptr) {
		return -ENOENT;
	}
	return rte_memzone_free(mz) == 0 ? 0 : -EINVAL;
}

uint64_t kyt_env_dma_release_count(void)
{
	return g_dma_releases.load();
}

void *kyt_env_iova_to_vaddr(uint64_t iova, uint64_t len)
{
	if (len == 0) {
		len = 1;
	}
	void *vaddr = nullptr;
	if (iova_is_va()) {
		vaddr = (void *)(uintptr_t)iova;
	} else {
		if (dpdk_started()) {
			vaddr = rte_mem_iova2virt(iova);
		}
		if (vaddr == nullptr) {
			Registry &r = registry();
			std::shared_lock<std::shared_mutex> guard(r.lock);
			auto it = r.p2v.upper_bound(iova);
			if (it != r.p2v.begin()) {
				--it;
				if (iova - it->first < kChunk) {
					vaddr = (void *)(uintptr_t)(it->second + (iova - it->first));
				}
			}
		}
		if (vaddr == nullptr) {
			return nullptr;
		}
	}
	/* The whole range must be DMA memory of this process, contiguous in bus addresses from iova. */
	uint64_t size = len;
	if (spdk_vtophys(vaddr, &size) != iova || size != len) {
		return nullptr;
	}
	return vaddr;
}

}  // extern "C"
