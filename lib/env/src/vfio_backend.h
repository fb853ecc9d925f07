/* A device bound to vfio-pci, set up in DPDK's VFIO container (so that DPDK's memory is mapped for it): config
 * space and BARs through the VFIO device regions. */
#ifndef KYT_ENV_VFIO_BACKEND_H
#define KYT_ENV_VFIO_BACKEND_H

#include "sysfs_backend.h"

namespace kyt::env {

class VfioBackend final : public SysfsBackend {
public:
	/* Takes ownership of the VFIO device descriptor; cfg_offset is the config region's offset in it. */
	VfioBackend(std::string dir, std::string name, int fd, uint64_t cfg_offset);
	~VfioBackend() override;

	int cfg_read(void *value, uint32_t len, uint32_t offset) override;
	int cfg_write(const void *value, uint32_t len, uint32_t offset) override;
	int map_bar(uint32_t bar, void **addr, uint64_t *phys, uint64_t *size) override;

private:
	std::string name_;
	int fd_;
	uint64_t cfg_offset_;
};

}  // namespace kyt::env

#endif
