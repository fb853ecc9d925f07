/* UUIDs. */
#include <gtest/gtest.h>

#include <string.h>

#include "spdk/uuid.h"

namespace {

TEST(Uuid, ParseFormatRoundTripLowerCaseAndRejectMalformedText)
{
	spdk_uuid u;
	ASSERT_EQ(spdk_uuid_parse(&u, "0123ABCD-4567-89ab-CDEF-0123456789AB"), 0);
	EXPECT_EQ(u.u.raw[0], 0x01);
	EXPECT_EQ(u.u.raw[15], 0xAB);
	char text[SPDK_UUID_STRING_LEN];
	ASSERT_EQ(spdk_uuid_fmt_lower(text, sizeof(text), &u), 0);
	EXPECT_STREQ(text, "0123abcd-4567-89ab-cdef-0123456789ab");
	EXPECT_EQ(spdk_uuid_fmt_lower(text, SPDK_UUID_STRING_LEN - 1, &u), -EINVAL);
	EXPECT_EQ(spdk_uuid_parse(&u, ""), -EINVAL);
	EXPECT_EQ(spdk_uuid_parse(&u, "0123abcd-4567-89ab-cdef-0123456789a"), -EINVAL);
	EXPECT_EQ(spdk_uuid_parse(&u, "0123abcd-4567-89ab-cdef-0123456789abc"), -EINVAL);
	EXPECT_EQ(spdk_uuid_parse(&u, "0123abcd_4567-89ab-cdef-0123456789ab"), -EINVAL);
	EXPECT_EQ(spdk_uuid_parse(&u, "0123abcg-4567-89ab-cdef-0123456789ab"), -EINVAL);
}

TEST(Uuid, GenerateIsRandomVersion4AndCompareOrders)
{
	spdk_uuid a, b, c;
	spdk_uuid_generate(&a);
	spdk_uuid_generate(&b);
	EXPECT_NE(spdk_uuid_compare(&a, &b), 0);
	EXPECT_EQ(a.u.raw[6] >> 4, 4) << "version 4";
	EXPECT_EQ(a.u.raw[8] & 0xC0, 0x80) << "RFC 4122 variant";
	spdk_uuid_copy(&c, &a);
	EXPECT_EQ(spdk_uuid_compare(&a, &c), 0);
	EXPECT_EQ(memcmp(&a, &c, sizeof(a)), 0);
	ASSERT_EQ(spdk_uuid_parse(&a, "00000000-0000-0000-0000-000000000001"), 0);
	ASSERT_EQ(spdk_uuid_parse(&b, "00000000-0000-0000-0000-000000000002"), 0);
	EXPECT_LT(spdk_uuid_compare(&a, &b), 0);
	EXPECT_GT(spdk_uuid_compare(&b, &a), 0);
}

}  // namespace
