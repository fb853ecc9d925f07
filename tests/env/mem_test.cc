/* DMA memory, address translation and memory zones. */
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "env_fixture.h"
#include "spdk/env.h"

namespace {

bool AllZero(const void *p, size_t n)
{
	const uint8_t *b = static_cast<const uint8_t *>(p);
	return std::all_of(b, b + n, [](uint8_t x) { return x == 0; });
}

/* Each allocation is aligned, zeroed even on reused memory, and translates both ways over its whole length. */
TEST(DmaMemory, AlignmentZeroFillAndTranslation)
{
	KYT_REQUIRE_ENV();
	const size_t len = 16 * 4096 + 17;
	for (size_t align : {512ul, 4096ul, 2ul << 20}) {
		std::vector<uint8_t *> bufs;
		for (int i = 0; i < 4; ++i) {
			uint64_t phys = 0;
			auto *p = static_cast<uint8_t *>(spdk_zmalloc(len, align, &phys, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
			ASSERT_NE(p, nullptr);
			EXPECT_EQ((uintptr_t)p % align, 0u) << "alignment " << align;
			EXPECT_TRUE(AllZero(p, len));
			uint64_t size = len;
			EXPECT_EQ(phys, spdk_vtophys(p, &size));
			EXPECT_EQ(size, len) << "one allocation is contiguous in bus addresses here";
			EXPECT_EQ(kyt_env_iova_to_vaddr(phys, len), p);
			EXPECT_EQ(kyt_env_iova_to_vaddr(spdk_vtophys(p + len - 1, nullptr), 1), p + len - 1);
			memset(p, 0xA5, len); /* a later allocation of the same memory must be zeroed again */
			bufs.push_back(p);
		}
		for (void *p : bufs) {
			spdk_free(p);
		}
	}
	EXPECT_EQ(spdk_dma_zmalloc(0, 512, nullptr), nullptr);
	EXPECT_EQ(spdk_dma_zmalloc(64, 3, nullptr), nullptr) << "alignment must be a power of two";
	/* Memory of the process heap or stack is no DMA memory. */
	std::vector<uint8_t> heap(4096);
	EXPECT_EQ(spdk_vtophys(heap.data(), nullptr), SPDK_VTOPHYS_ERROR);
	EXPECT_EQ(kyt_env_iova_to_vaddr((uint64_t)(uintptr_t)heap.data(), 16), nullptr);
}

/* A zone is found by its name until freed, and a new zone starts zeroed even on reused memory. */
TEST(MemZone, ReserveLookupFree)
{
	KYT_REQUIRE_ENV();
	void *z = spdk_memzone_reserve("kyt_test_zone", 5000, SPDK_ENV_SOCKET_ID_ANY, SPDK_MEMZONE_NO_IOVA_CONTIG);
	ASSERT_NE(z, nullptr);
	memset(z, 0x11, 5000);
	EXPECT_EQ(spdk_memzone_lookup("kyt_test_zone"), z);
	EXPECT_EQ(spdk_memzone_free("kyt_test_zone"), 0);
	EXPECT_EQ(spdk_memzone_lookup("kyt_test_zone"), nullptr);
	void *again = spdk_memzone_reserve("kyt_test_zone", 4096, SPDK_ENV_SOCKET_ID_ANY, 0);
	ASSERT_NE(again, nullptr);
	EXPECT_TRUE(AllZero(again, 4096));
	EXPECT_EQ(spdk_memzone_free("kyt_test_zone"), 0);
}

}  // namespace
