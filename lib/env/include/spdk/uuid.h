/* UUIDs (RFC 4122), over libuuid. */
#ifndef SPDK_UUID_H
#define SPDK_UUID_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spdk_uuid {
	union {
		uint8_t raw[16];
	} u;
};

/* Text length of "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" with its terminating zero. */
#define SPDK_UUID_STRING_LEN 37

/* 0 or -EINVAL. */
int spdk_uuid_parse(struct spdk_uuid *uuid, const char *uuid_str);
/* Lower-case text; 0, or -EINVAL when uuid_str_size < SPDK_UUID_STRING_LEN. */
int spdk_uuid_fmt_lower(char *uuid_str, size_t uuid_str_size, const struct spdk_uuid *uuid);
/* <0, 0, >0 as memcmp. */
int spdk_uuid_compare(const struct spdk_uuid *u1, const struct spdk_uuid *u2);
/* A random (version 4) UUID. */
void spdk_uuid_generate(struct spdk_uuid *uuid);
void spdk_uuid_copy(struct spdk_uuid *dst, const struct spdk_uuid *src);

#ifdef __cplusplus
}
#endif

#endif /* SPDK_UUID_H */
