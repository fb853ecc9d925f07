/* Bit arrays. */
#include <gtest/gtest.h>

#include <stdint.h>

#include "spdk/bit_array.h"

namespace {

TEST(BitArray, SetClearFindAcrossWords)
{
	spdk_bit_array *ba = spdk_bit_array_create(130);
	ASSERT_NE(ba, nullptr);
	EXPECT_EQ(spdk_bit_array_find_first_set(ba, 0), UINT32_MAX);
	for (uint32_t i : {1u, 63u, 64u, 129u}) {
		EXPECT_EQ(spdk_bit_array_set(ba, i), 0);
	}
	EXPECT_EQ(spdk_bit_array_set(ba, 130), -EINVAL);
	for (auto c : {std::make_pair(2u, 63u), {64u, 64u}, {65u, 129u}, {130u, UINT32_MAX}}) {
		EXPECT_EQ(spdk_bit_array_find_first_set(ba, c.first), c.second) << c.first;
	}
	spdk_bit_array_clear(ba, 63);
	spdk_bit_array_clear(ba, 500); /* ignored */
	EXPECT_EQ(spdk_bit_array_find_first_set(ba, 2), 64u);
	EXPECT_EQ(spdk_bit_array_find_first_clear(ba, 1), 2u);
	/* A full array has no clear bit, even in the unused tail of its last word. */
	for (uint32_t i = 0; i < 130; ++i) {
		ASSERT_EQ(spdk_bit_array_set(ba, i), 0);
	}
	EXPECT_EQ(spdk_bit_array_find_first_clear(ba, 0), UINT32_MAX);
	spdk_bit_array_free(&ba);
	EXPECT_EQ(ba, nullptr);
}

}  // namespace
