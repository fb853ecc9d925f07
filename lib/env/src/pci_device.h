/* The PCI device handle behind spdk_pci_device: one interface over software functions and real devices. */
#ifndef KYT_ENV_PCI_DEVICE_H
#define KYT_ENV_PCI_DEVICE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kyt/env_test.h"
#include "spdk/env.h"

namespace kyt::env {

/* What stands behind a handle: config space and BAR mapping. Every call returns 0 or a negative errno. */
class PciBackend {
public:
	virtual ~PciBackend() = default;
	virtual int cfg_read(void *value, uint32_t len, uint32_t offset) = 0;
	virtual int cfg_write(const void *value, uint32_t len, uint32_t offset) = 0;
	/* Map a BAR: the mapping, its bus address and its length. */
	virtual int map_bar(uint32_t bar, void **addr, uint64_t *phys, uint64_t *size) = 0;
	virtual bool removed() const = 0;
};

/* A software function on the bus, shared between the registry and the handles that attached it. */
struct SwFunction {
	kyt_swdev_desc desc;  /* bar0_fd is our own duplicate */
	std::recursive_mutex cfg_lock; /* config callbacks are serialised per function */
	bool present = true;  /* cleared by unregister, under cfg_lock */
	~SwFunction();
};

/* The software registry (swdev.cc). */
std::shared_ptr<SwFunction> swdev_find(const spdk_pci_addr &addr);
std::unique_ptr<PciBackend> make_sw_backend(std::shared_ptr<SwFunction> fn);

/* Real devices over sysfs and UIO or VFIO (pci_sysfs.cc). nullptr with *err set when it cannot be opened. */
std::unique_ptr<PciBackend> open_sysfs_device(const spdk_pci_addr &addr, spdk_pci_id *id, int *err);

}  // namespace kyt::env

struct spdk_pci_device {
	spdk_pci_addr addr;
	spdk_pci_id id;
	std::unique_ptr<kyt::env::PciBackend> backend;
	struct Mapping {
		uint32_t bar;
		void *addr;
		uint64_t len;
	};
	bool attaching = false; /* inside the attach callback */
	bool detached = false;  /* released (possibly by the attach callback itself) */
	std::mutex map_lock;
	std::vector<Mapping> maps;
};

#endif
