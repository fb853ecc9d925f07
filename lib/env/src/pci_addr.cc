/* PCI address texts. */
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "spdk/env.h"

namespace {

/* One hexadecimal field of 1 to 8 digits; advances *p past it. */
bool read_hex(const char **p, uint32_t *out)
{
	const char *s = *p;
	uint64_t v = 0;
	int digits = 0;
	while (isxdigit((unsigned char)*s)) {
		int c = tolower((unsigned char)*s);
		v = v * 16 + (uint64_t)(isdigit(c) ? c - '0' : c - 'a' + 10);
		++s;
		if (++digits > 8) {
			return false;
		}
	}
	if (digits == 0) {
		return false;
	}
	*out = (uint32_t)v;
	*p = s;
	return true;
}

}  // namespace

extern "C" {

int spdk_pci_addr_parse(struct spdk_pci_addr *addr, const char *bdf)
{
	if (addr == nullptr || bdf == nullptr) {
		return -EINVAL;
	}
	uint32_t f[4];
	char sep[3] = {0, 0, 0};
	int n = 0;
	const char *p = bdf;
	for (;;) {
		if (n == 4 || !read_hex(&p, &f[n])) {
			return -EINVAL;
		}
		++n;
		if (*p == '\0') {
			break;
		}
		if ((*p != ':' && *p != '.') || n == 4) {
			return -EINVAL;
		}
		sep[n - 1] = *p++;
	}
	uint32_t domain = 0, bus, dev, func = 0;
	switch (n) {
	case 4: /* dddd:bb:dd.f or dddd.bb.dd.f */
		if (sep[2] != '.' || sep[0] != sep[1]) {
			return -EINVAL;
		}
		domain = f[0], bus = f[1], dev = f[2], func = f[3];
		break;
	case 3:
		if (sep[0] == sep[1]) { /* dddd:bb:dd or dddd.bb.dd */
			domain = f[0], bus = f[1], dev = f[2];
		} else if (sep[0] == ':' && sep[1] == '.') { /* bb:dd.f */
			bus = f[0], dev = f[1], func = f[2];
		} else {
			return -EINVAL;
		}
		break;
	case 2: /* bb:dd or bb.dd */
		bus = f[0], dev = f[1];
		break;
	default:
		return -EINVAL;
	}
	if (bus > 0xFF || dev > 0x1F || func > 7) {
		return -EINVAL;
	}
	addr->domain = domain;
	addr->bus = (uint8_t)bus;
	addr->dev = (uint8_t)dev;
	addr->func = (uint8_t)func;
	return 0;
}

int spdk_pci_addr_fmt(char *bdf, size_t sz, const struct spdk_pci_addr *addr)
{
	if (bdf == nullptr || addr == nullptr) {
		return -EINVAL;
	}
	int rc = snprintf(bdf, sz, "%04x:%02x:%02x.%x", addr->domain, addr->bus, addr->dev, addr->func);
	if (rc < 0 || (size_t)rc >= sz) {
		return -EINVAL;
	}
	return 0;
}

int spdk_pci_addr_compare(const struct spdk_pci_addr *a1, const struct spdk_pci_addr *a2)
{
	const uint64_t k1 = ((uint64_t)a1->domain << 24) | ((uint64_t)a1->bus << 16) | ((uint64_t)a1->dev << 8) | a1->func;
	const uint64_t k2 = ((uint64_t)a2->domain << 24) | ((uint64_t)a2->bus << 16) | ((uint64_t)a2->dev << 8) | a2->func;
	return k1 < k2 ? -1 : (k1 > k2 ? 1 : 0);
}

}  // extern "C"
