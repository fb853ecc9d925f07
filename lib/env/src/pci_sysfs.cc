/* Opening a real PCI device bound to a user-space driver. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/vfio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <rte_vfio.h>

#include <atomic>
#include <string>

#include "env_internal.h"
#include "spdk/log.h"
#include "uio_backend.h"
#include "vfio_backend.h"

namespace kyt::env {
namespace {

std::atomic<bool> g_vfio_in_use{false};

}  // namespace

bool vfio_in_use()
{
	return g_vfio_in_use.load();
}

std::unique_ptr<PciBackend> open_sysfs_device(const spdk_pci_addr &addr, spdk_pci_id *id, int *err)
{
	char name[SPDK_PCI_ADDR_FMT_LEN];
	spdk_pci_addr_fmt(name, sizeof(name), &addr);
	const std::string dir = std::string(kSysfsBase) + "/" + name;
	uint64_t vendor = 0, device = 0, subvendor = 0, subdevice = 0, cls = 0;
	if (access(dir.c_str(), F_OK) != 0 || !read_hex_file(dir + "/vendor", &vendor) ||
	    !read_hex_file(dir + "/device", &device) || !read_hex_file(dir + "/class", &cls)) {
		KYT_PCI_ERROR("no PCI device at %s\n", name);
		*err = -ENODEV;
		return nullptr;
	}
	read_hex_file(dir + "/subsystem_vendor", &subvendor);
	read_hex_file(dir + "/subsystem_device", &subdevice);
	id->class_id = (uint32_t)cls;
	id->vendor_id = (uint16_t)vendor;
	id->device_id = (uint16_t)device;
	id->subvendor_id = (uint16_t)subvendor;
	id->subdevice_id = (uint16_t)subdevice;

	char link[PATH_MAX];
	ssize_t n = readlink((dir + "/driver").c_str(), link, sizeof(link) - 1);
	if (n <= 0) {
		KYT_PCI_ERROR("PCI device %s is not bound to uio_pci_generic or vfio-pci\n", name);
		*err = -ENODEV;
		return nullptr;
	}
	link[n] = '\0';
	const char *slash = strrchr(link, '/');
	const std::string driver = slash != nullptr ? slash + 1 : link;

	if (driver == "uio_pci_generic" || driver == "igb_uio") {
		/* Without an IOMMU the device reaches memory by physical address; with IOVA as VA it would be handed
		 * virtual addresses and write wherever they point. */
		if (iova_is_va()) {
			KYT_PCI_ERROR("PCI device %s is bound to %s, which needs physical addresses: mount hugepages "
				      "or bind the device to vfio-pci\n", name, driver.c_str());
			*err = -ENOTSUP;
			return nullptr;
		}
		int fd = open((dir + "/config").c_str(), O_RDWR | O_CLOEXEC);
		if (fd < 0) {
			*err = -errno;
			KYT_PCI_ERROR("cannot open the config space of %s (%d)\n", name, *err);
			return nullptr;
		}
		return std::make_unique<UioBackend>(dir, fd);
	}
	if (driver == "vfio-pci") {
		if (!dpdk_started()) {
			KYT_PCI_ERROR("the environment must be started before %s can be opened through VFIO\n", name);
			*err = -ENODEV;
			return nullptr;
		}
		int fd = -1;
		vfio_device_info info;
		memset(&info, 0, sizeof(info));
		info.argsz = sizeof(info);
		if (rte_vfio_setup_device(kSysfsBase, name, &fd, &info) != 0) {
			KYT_PCI_ERROR("VFIO setup of %s failed\n", name);
			*err = -EIO;
			return nullptr;
		}
		vfio_region_info cfg;
		memset(&cfg, 0, sizeof(cfg));
		cfg.argsz = sizeof(cfg);
		cfg.index = VFIO_PCI_CONFIG_REGION_INDEX;
		if (ioctl(fd, VFIO_DEVICE_GET_REGION_INFO, &cfg) != 0) {
			*err = -errno;
			rte_vfio_release_device(kSysfsBase, name, fd);
			return nullptr;
		}
		g_vfio_in_use.store(true);
		return std::make_unique<VfioBackend>(dir, name, fd, cfg.offset);
	}
	KYT_PCI_ERROR("PCI device %s is bound to %s, not to uio_pci_generic or vfio-pci\n", name, driver.c_str());
	*err = -ENODEV;
	return nullptr;
}

}  // namespace kyt::env
