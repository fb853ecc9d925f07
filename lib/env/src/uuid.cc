/* UUIDs over libuuid. */
#include "spdk/uuid.h"

#include <errno.h>
#include <string.h>
#include <uuid/uuid.h>

static_assert(sizeof(spdk_uuid) == sizeof(uuid_t), "spdk_uuid must be 16 bytes");

extern "C" {

int spdk_uuid_parse(struct spdk_uuid *uuid, const char *uuid_str)
{
	if (uuid == nullptr || uuid_str == nullptr || strlen(uuid_str) != SPDK_UUID_STRING_LEN - 1) {
		return -EINVAL;
	}
	return uuid_parse(uuid_str, uuid->u.raw) == 0 ? 0 : -EINVAL;
}

int spdk_uuid_fmt_lower(char *uuid_str, size_t uuid_str_size, const struct spdk_uuid *uuid)
{
	if (uuid_str == nullptr || uuid == nullptr || uuid_str_size < SPDK_UUID_STRING_LEN) {
		return -EINVAL;
	}
	uuid_unparse_lower(uuid->u.raw, uuid_str);
	return 0;
}

int spdk_uuid_compare(const struct spdk_uuid *u1, const struct spdk_uuid *u2)
{
	return uuid_compare(u1->u.raw, u2->u.raw);
}

void spdk_uuid_generate(struct spdk_uuid *uuid)
{
	uuid_generate_random(uuid->u.raw);
}

void spdk_uuid_copy(struct spdk_uuid *dst, const struct spdk_uuid *src)
{
	memcpy(dst, src, sizeof(*dst));
}

}  // extern "C"
