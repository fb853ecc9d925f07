/* DMA memory, address translation, registered memory and memory zones. */
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "env_fixture.h"
#include "spdk/env.h"

namespace {

constexpr size_t k2M = 2 * 1024 * 1024;

bool AllZero(const void *p, size_t n)
{
	const uint8_t *b = static_cast<const uint8_t *>(p);
	return std::all_of(b, b + n, [](uint8_t x) { return x == 0; });
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
			/* Dirty it so that a later allocation of the same memory must be zeroed again. */
			memset(p, 0xA5, 3 * 4096 + 17);
			bufs.push_back(p);
		}
		for (void *p : bufs) {
			spdk_free(p);
		}
	}
	EXPECT_EQ(spdk_dma_zmalloc(0, 512, nullptr), nullptr);
	EXPECT_EQ(spdk_dma_zmalloc(64, 3, nullptr), nullptr) << "alignment must be a power of two";
}

TEST(DmaMemory, VtophysAndIovaRoundTrip)
{
	KYT_REQUIRE_ENV();
	const size_t len = 64 * 1024;
	uint8_t *buf = static_cast<uint8_t *>(spdk_dma_zmalloc(len, 4096, nullptr));
	ASSERT_NE(buf, nullptr);
	for (size_t off : {0ul, 4095ul, 4096ul, len - 1}) {
		uint64_t iova = spdk_vtophys(buf + off, nullptr);
		ASSERT_NE(iova, SPDK_VTOPHYS_ERROR);
		EXPECT_EQ(kyt_env_iova_to_vaddr(iova, 1), buf + off);
	}
	uint64_t size = len;
	const uint64_t iova = spdk_vtophys(buf, &size);
	EXPECT_EQ(size, len) << "one allocation is contiguous in bus addresses here";
	EXPECT_EQ(kyt_env_iova_to_vaddr(iova, len), buf);
	/* Memory of the process heap or stack is no DMA memory. */
	std::vector<uint8_t> heap(4096);
	EXPECT_EQ(spdk_vtophys(heap.data(), nullptr), SPDK_VTOPHYS_ERROR);
	int on_stack = 0;
	EXPECT_EQ(spdk_vtophys(&on_stack, nullptr), SPDK_VTOPHYS_ERROR);
	EXPECT_EQ(kyt_env_iova_to_vaddr((uint64_t)(uintptr_t)heap.data(), 16), nullptr);
	spdk_dma_free(buf);
}

TEST(MemZone, ReserveLookupFree)
{
	KYT_REQUIRE_ENV();
	void *z = spdk_memzone_reserve("kyt_test_zone", 5000, SPDK_ENV_SOCKET_ID_ANY, SPDK_MEMZONE_NO_IOVA_CONTIG);
	ASSERT_NE(z, nullptr);
	memset(z, 0x11, 5000);
	EXPECT_EQ(spdk_memzone_lookup("kyt_test_zone"), z);
	EXPECT_EQ(spdk_memzone_reserve("kyt_test_zone", 64, SPDK_ENV_SOCKET_ID_ANY, 0), nullptr) << "names are unique";
	EXPECT_EQ(spdk_memzone_free("kyt_test_zone"), 0);
	EXPECT_EQ(spdk_memzone_lookup("kyt_test_zone"), nullptr);
	EXPECT_EQ(spdk_memzone_free("kyt_test_zone"), -ENOENT);
	void *again = spdk_memzone_reserve_aligned("kyt_test_zone", 4096, SPDK_ENV_SOCKET_ID_ANY, 0, 4096);
	ASSERT_NE(again, nullptr);
	EXPECT_EQ((uintptr_t)again % 4096, 0u);
	EXPECT_TRUE(AllZero(again, 4096)) << "a new zone starts zeroed even on reused memory";
	EXPECT_NE(spdk_vtophys(again, nullptr), SPDK_VTOPHYS_ERROR) << "zones are DMA memory";
	EXPECT_EQ(spdk_memzone_free("kyt_test_zone"), 0);
}

}  // namespace
