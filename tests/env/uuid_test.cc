/* UUIDs. */
#include <gtest/gtest.h>

#include "spdk/uuid.h"

namespace {

TEST(Uuid, GenerateAndFormat)
{
	spdk_uuid a, b;
	spdk_uuid_generate(&a);
	spdk_uuid_generate(&b);
	EXPECT_NE(spdk_uuid_compare(&a, &b), 0);
	EXPECT_EQ(a.u.raw[6] >> 4, 4) << "version 4";
	EXPECT_EQ(a.u.raw[8] & 0xC0, 0x80) << "RFC 4122 variant";
	ASSERT_EQ(spdk_uuid_parse(&a, "0123ABCD-4567-89ab-CDEF-0123456789AB"), 0);
	char text[SPDK_UUID_STRING_LEN];
	ASSERT_EQ(spdk_uuid_fmt_lower(text, sizeof(text), &a), 0);
	EXPECT_STREQ(text, "0123abcd-4567-89ab-cdef-0123456789ab");
	EXPECT_EQ(spdk_uuid_fmt_lower(text, SPDK_UUID_STRING_LEN - 1, &a), -EINVAL);
}

}  // namespace
