/* Common part of the real-device backends. */
#include "sysfs_backend.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

namespace kyt::env {

const char kSysfsBase[] = "/sys/bus/pci/devices";

bool read_hex_file(const std::string &path, uint64_t *value)
{
	FILE *f = fopen(path.c_str(), "r");
	if (f == nullptr) {
		return false;
	}
	unsigned long long v = 0;
	bool ok = fscanf(f, "%llx", &v) == 1;
	fclose(f);
	*value = v;
	return ok;
}

bool read_resource(const std::string &dir, uint32_t bar, uint64_t *start, uint64_t *len, uint64_t *flags)
{
	FILE *f = fopen((dir + "/resource").c_str(), "r");
	if (f == nullptr) {
		return false;
	}
	unsigned long long s = 0, e = 0, fl = 0;
	bool ok = false;
	for (uint32_t i = 0; i <= bar; ++i) {
		ok = fscanf(f, "%llx %llx %llx", &s, &e, &fl) == 3;
		if (!ok) {
			break;
		}
	}
	fclose(f);
	if (!ok || e < s || s == 0) {
		return false;
	}
	*start = s;
	*len = e - s + 1;
	*flags = fl;
	return true;
}

bool SysfsBackend::removed() const
{
	return access(dir_.c_str(), F_OK) != 0;
}

int SysfsBackend::check_range(uint32_t len, uint32_t offset)
{
	if ((len != 1 && len != 2 && len != 4) || offset + len > 4096) {
		return -EINVAL;
	}
	return 0;
}

int SysfsBackend::io_error() const
{
	return removed() ? -ENODEV : -EIO;
}

int SysfsBackend::cfg_pread(int fd, uint64_t base, void *value, uint32_t len, uint32_t offset) const
{
	int rc = check_range(len, offset);
	if (rc == 0 && pread(fd, value, len, (off_t)(base + offset)) != (ssize_t)len) {
		rc = io_error();
	}
	return rc;
}

int SysfsBackend::cfg_pwrite(int fd, uint64_t base, const void *value, uint32_t len, uint32_t offset) const
{
	int rc = check_range(len, offset);
	if (rc == 0 && pwrite(fd, value, len, (off_t)(base + offset)) != (ssize_t)len) {
		rc = io_error();
	}
	return rc;
}

}  // namespace kyt::env
