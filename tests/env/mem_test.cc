/* DMA memory, address translation, registered memory and memory zones. */
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <sys/mman.h>

#include <vector>

#include "env_fixture.h"
#include "spdk/env.h"

namespace {

constexpr size_t k2M = 2 * 1024 * 1024;

bool AllZero(const void *p, size_t n)
{
	const uint8_t *b = static_cast<const uint8_t *>(p);
	for (size_t i = 0; i < n; ++i) {
		if (b[i] != 0) {
			return false;
		}
	}
	return true;
}

TEST(DmaMemory, AlignmentZeroFillAndTranslation)
{
	KYT_REQUIRE_ENV();
	for (size_t align : {512ul, 4096ul, k2M}) {
		std::vector<void *> bufs;
		for (int i = 0; i < 4; ++i) {
			uint64_t phys = 0;
			void *p = spdk_zmalloc(3 * 4096 + 17, align, &phys, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
			ASSERT_NE(p, nullptr);
			EXPECT_EQ((uintptr_t)p % align, 0u) << "alignment " << align;
			EXPECT_TRUE(AllZero(p, 3 * 4096 + 17));
			EXPECT_EQ(phys, spdk_vtophys(p, nullptr));
			EXPECT_NE(phys, SPDK_VTOPHYS_ERROR);
			/* Dirty it so that a later allocation of the same memory must be zeroed again. */
			memset(p, 0xA5, 3 * 4096 + 17);
			bufs.push_back(p);
		}
		for (void *p : bufs) {
			spdk_free(p);
		}
	}
	void *d = spdk_dma_zmalloc(8192, 512, nullptr);
	ASSERT_NE(d, nullptr);
	EXPECT_EQ((uintptr_t)d % 512, 0u);
	EXPECT_TRUE(AllZero(d, 8192));
	spdk_dma_free(d);
	EXPECT_EQ(spdk_dma_zmalloc(0, 512, nullptr), nullptr);
	EXPECT_EQ(spdk_dma_zmalloc(64, 3, nullptr), nullptr) << "alignment must be a power of two";
}

TEST(DmaMemory, VtophysAndIovaRoundTrip)
{
	KYT_REQUIRE_ENV();
	const size_t len = 64 * 1024;
	uint8_t *buf = static_cast<uint8_t *>(spdk_dma_zmalloc(len, 4096, nullptr));
	ASSERT_NE(buf, nullptr);
	for (size_t off : {0ul, 1ul, 4095ul, 4096ul, len - 1}) {
		uint64_t iova = spdk_vtophys(buf + off, nullptr);
		ASSERT_NE(iova, SPDK_VTOPHYS_ERROR);
		EXPECT_EQ(kyt_env_iova_to_vaddr(iova, 1), buf + off);
	}
	uint64_t size = len;
	uint64_t iova = spdk_vtophys(buf, &size);
	EXPECT_EQ(size, len) << "one allocation is contiguous in bus addresses here";
	EXPECT_EQ(kyt_env_iova_to_vaddr(iova, len), buf);
	buf[100] = 0x5A;
	EXPECT_EQ(static_cast<uint8_t *>(kyt_env_iova_to_vaddr(iova + 100, 1))[0], 0x5A);

	/* Memory of the process heap or stack is no DMA memory. */
	std::vector<uint8_t> heap(4096);
	EXPECT_EQ(spdk_vtophys(heap.data(), nullptr), SPDK_VTOPHYS_ERROR);
	int on_stack = 0;
	EXPECT_EQ(spdk_vtophys(&on_stack, nullptr), SPDK_VTOPHYS_ERROR);
	EXPECT_EQ(kyt_env_iova_to_vaddr((uint64_t)(uintptr_t)heap.data(), 16), nullptr);
	EXPECT_EQ(kyt_env_iova_to_vaddr(0, 16), nullptr);
	spdk_dma_free(buf);
}

/* Whether DMA addresses are virtual addresses in this process. */
bool IovaIsVa()
{
	void *probe = spdk_dma_zmalloc(64, 64, nullptr);
	const bool va = spdk_vtophys(probe, nullptr) == (uint64_t)(uintptr_t)probe;
	spdk_dma_free(probe);
	return va;
}

TEST(DmaMemory, RegisteredExternalMemory)
{
	KYT_REQUIRE_ENV();
	if (!IovaIsVa()) {
		GTEST_SKIP() << "plain process memory has no contiguous physical addresses; device memory is covered by "
				"SwDev.RegisteredBarMemoryTranslatesToTheBusAddress";
	}
	/* A 2 MiB-aligned window of anonymous memory stands in for a device's memory buffer. */
	const size_t span = 4 * k2M;
	void *raw = mmap(nullptr, span + k2M, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(raw, MAP_FAILED);
	uint8_t *win = reinterpret_cast<uint8_t *>(((uintptr_t)raw + k2M - 1) & ~(uintptr_t)(k2M - 1));

	EXPECT_EQ(spdk_vtophys(win, nullptr), SPDK_VTOPHYS_ERROR);
	EXPECT_EQ(spdk_mem_register(win + 4096, k2M), -EINVAL) << "unaligned start";
	EXPECT_EQ(spdk_mem_register(win, k2M + 4096), -EINVAL) << "unaligned length";
	ASSERT_EQ(spdk_mem_register(win, 2 * k2M), 0);
	EXPECT_EQ(spdk_mem_register(win + k2M, 2 * k2M), -EBUSY) << "overlap";

	uint64_t size = 2 * k2M;
	uint64_t iova = spdk_vtophys(win, &size);
	ASSERT_NE(iova, SPDK_VTOPHYS_ERROR);
	EXPECT_EQ(size, 2 * k2M);
	EXPECT_EQ(spdk_vtophys(win + k2M + 12345, nullptr), iova + k2M + 12345);
	EXPECT_EQ(spdk_vtophys(win + 2 * k2M, nullptr), SPDK_VTOPHYS_ERROR) << "past the registered range";
	size = 3 * k2M;
	spdk_vtophys(win, &size);
	EXPECT_EQ(size, 2 * k2M) << "contiguity stops at the end of the registered range";
	EXPECT_EQ(kyt_env_iova_to_vaddr(iova + 8, 64), win + 8);
	EXPECT_EQ(kyt_env_iova_to_vaddr(iova + 2 * k2M - 8, 64), nullptr) << "a range running past registered memory";

	EXPECT_EQ(spdk_mem_unregister(win, k2M), -EINVAL) << "only a range exactly as registered";
	ASSERT_EQ(spdk_mem_unregister(win, 2 * k2M), 0);
	EXPECT_EQ(spdk_vtophys(win, nullptr), SPDK_VTOPHYS_ERROR);
	EXPECT_EQ(kyt_env_iova_to_vaddr(iova + 8, 64), nullptr);
	EXPECT_EQ(spdk_mem_unregister(win, 2 * k2M), -EINVAL);
	munmap(raw, span + k2M);
}

TEST(MemZone, ReserveLookupFree)
{
	KYT_REQUIRE_ENV();
	void *z = spdk_memzone_reserve("kyt_test_zone", 5000, SPDK_ENV_SOCKET_ID_ANY, SPDK_MEMZONE_NO_IOVA_CONTIG);
	ASSERT_NE(z, nullptr);
	EXPECT_TRUE(AllZero(z, 5000));
	memset(z, 0x11, 5000);
	EXPECT_EQ(spdk_memzone_lookup("kyt_test_zone"), z);
	EXPECT_EQ(spdk_memzone_reserve("kyt_test_zone", 64, SPDK_ENV_SOCKET_ID_ANY, 0), nullptr) << "names are unique";
	EXPECT_EQ(spdk_memzone_lookup("kyt_no_such_zone"), nullptr);
	EXPECT_EQ(spdk_memzone_free("kyt_test_zone"), 0);
	EXPECT_EQ(spdk_memzone_lookup("kyt_test_zone"), nullptr);
	EXPECT_EQ(spdk_memzone_free("kyt_test_zone"), -ENOENT);

	void *again = spdk_memzone_reserve_aligned("kyt_test_zone", 4096, SPDK_ENV_SOCKET_ID_ANY, 0, 4096);
	ASSERT_NE(again, nullptr);
	EXPECT_EQ((uintptr_t)again % 4096, 0u);
	EXPECT_TRUE(AllZero(again, 4096)) << "a new zone starts zeroed even on reused memory";
	EXPECT_NE(spdk_vtophys(again, nullptr), SPDK_VTOPHYS_ERROR) << "zones are DMA memory";
	EXPECT_EQ(spdk_memzone_free("kyt_test_zone"), 0);
	EXPECT_EQ(spdk_memzone_reserve("kyt_empty_zone", 0, SPDK_ENV_SOCKET_ID_ANY, 0), nullptr);
}

}  // namespace
