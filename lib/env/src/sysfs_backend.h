/* Common part of the real-device backends: a device directory in sysfs. */
#ifndef KYT_ENV_SYSFS_BACKEND_H
#define KYT_ENV_SYSFS_BACKEND_H

#include <cstdint>
#include <string>

#include "pci_device.h"

namespace kyt::env {

extern const char kSysfsBase[];          /* "/sys/bus/pci/devices" */
constexpr uint64_t kIoResourceMem = 0x200; /* resource flag of a memory BAR */

/* A hexadecimal number from a sysfs file. */
bool read_hex_file(const std::string &path, uint64_t *value);
/* Start, length and flags of a BAR from the device's "resource" file. */
bool read_resource(const std::string &dir, uint32_t bar, uint64_t *start, uint64_t *len, uint64_t *flags);

class SysfsBackend : public PciBackend {
public:
	explicit SysfsBackend(std::string dir) : dir_(std::move(dir)) {}

	/* The device's directory is gone (hot removal). */
	bool removed() const override;

protected:
	/* 0 for an access of 1, 2 or 4 bytes inside the 4 KiB config space, else -EINVAL. */
	static int check_range(uint32_t len, uint32_t offset);
	/* The error of a failed access: -ENODEV when the device has gone, else -EIO. */
	int io_error() const;
	/* A checked config-space access through a file in which the config space starts at `base`. */
	int cfg_pread(int fd, uint64_t base, void *value, uint32_t len, uint32_t offset) const;
	int cfg_pwrite(int fd, uint64_t base, const void *value, uint32_t len, uint32_t offset) const;

	std::string dir_;
};

}  // namespace kyt::env

#endif
