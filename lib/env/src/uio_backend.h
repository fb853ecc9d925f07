/* A device bound to uio_pci_generic (or igb_uio): config space through sysfs "config", BARs through "resourceN". */
#ifndef KYT_ENV_UIO_BACKEND_H
#define KYT_ENV_UIO_BACKEND_H

#include "sysfs_backend.h"

namespace kyt::env {

class UioBackend final : public SysfsBackend {
public:
	/* Takes ownership of cfg_fd, the open "config" file. */
	UioBackend(std::string dir, int cfg_fd);
	~UioBackend() override;

	int cfg_read(void *value, uint32_t len, uint32_t offset) override;
	int cfg_write(const void *value, uint32_t len, uint32_t offset) override;
	int map_bar(uint32_t bar, void **addr, uint64_t *phys, uint64_t *size) override;

private:
	int cfg_fd_;
};

}  // namespace kyt::env

#endif
