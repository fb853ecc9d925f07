/* UUIDs. */
#include <gtest/gtest.h>

#include "spdk/uuid.h"

namespace {

TEST(Uuid, ParseFormatGenerateAndCompare)
{
	spdk_uuid a, b;
	ASSERT_EQ(spdk_uuid_parse(&a, "0123ABCD-4567-89ab-CDEF-0123456789AB"), 0);
	EXPECT_EQ(a.u.raw[15], 0xAB);
	char text[SPDK_UUID_STRING_LEN];
	ASSERT_EQ(spdk_uuid_fmt_lower(text, sizeof(text), &a), 0);
	EXPECT_STREQ(text, "0123abcd-4567-89ab-cdef-0123456789ab");
	EXPECT_EQ(spdk_uuid_fmt_lower(text, SPDK_UUID_STRING_LEN - 1, &a), -EINVAL);
	for (const char *bad : {"0123abcd-4567-89ab-cdef-0123456789a", "0123abcd-4567-89ab-cdef-0123456789abc",
				"0123abcd_4567-89ab-cdef-0123456789ab", "0123abcg-4567-89ab-cdef-0123456789ab"}) {
		EXPECT_EQ(spdk_uuid_parse(&b, bad), -EINVAL) << bad;
	}
	spdk_uuid_generate(&a);
	spdk_uuid_generate(&b);
	EXPECT_NE(spdk_uuid_compare(&a, &b), 0);
	EXPECT_EQ(a.u.raw[6] >> 4, 4) << "version 4";
	EXPECT_EQ(a.u.raw[8] & 0xC0, 0x80) << "RFC 4122 variant";
	spdk_uuid_copy(&b, &a);
	EXPECT_EQ(spdk_uuid_compare(&a, &b), 0);
	b.u.raw[15] ^= 1;
	EXPECT_EQ(spdk_uuid_compare(&a, &b) < 0, a.u.raw[15] < b.u.raw[15]);
}

}  // namespace
