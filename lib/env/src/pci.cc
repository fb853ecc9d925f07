/* PCI device access: attach by address, claim, BAR mapping and config space, over software functions and real
 * devices alike. */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include "env_internal.h"
#include "kyt/env.h"
#include "pci_device.h"
#include "spdk/log.h"
#include "spdk/pci_ids.h"

struct spdk_pci_driver {
	const char *name;
	uint32_t class_id;
};

namespace kyt::env {
namespace {

spdk_pci_driver g_nvme_driver = {"nvme", SPDK_PCI_CLASS_NVME};

uint64_t addr_key(const spdk_pci_addr &a)
{
	return ((uint64_t)a.domain << 24) | ((uint64_t)a.bus << 16) | ((uint64_t)a.dev << 8) | a.func;
}

/* Attached handles by address: one attachment per device at a time. */
std::recursive_mutex g_attach_lock; /* recursive: the attach callback may detach on failure */
std::map<uint64_t, spdk_pci_device *> &attached()
{
	static auto *m = new std::map<uint64_t, spdk_pci_device *>();
	return *m;
}

thread_local std::string t_pci_error;

int cfg_access(spdk_pci_device *dev, void *value, uint32_t len, uint32_t offset, bool write)
{
	if (dev == nullptr || value == nullptr || (len != 1 && len != 2 && len != 4) || offset >= 4096 ||
	    offset + len > 4096) {
		return -EINVAL;
	}
	return write ? dev->backend->cfg_write(value, len, offset) : dev->backend->cfg_read(value, len, offset);
}

}  // namespace

void pci_error(const char *file, int line, const char *func, const char *format, ...)
{
	char text[256];
	va_list args;
	va_start(args, format);
	vsnprintf(text, sizeof(text), format, args);
	va_end(args);
	spdk_log(SPDK_LOG_ERROR, file, line, func, "%s", text);
	t_pci_error = text;
	while (!t_pci_error.empty() && t_pci_error.back() == '\n') {
		t_pci_error.pop_back();
	}
}

void clear_pci_error()
{
	t_pci_error.clear();
}

}  // namespace kyt::env

using namespace kyt::env;

extern "C" {

const char *kyt_env_pci_error(void)
{
	return t_pci_error.c_str();
}

struct spdk_pci_driver *spdk_pci_nvme_get_driver(void)
{
	return &g_nvme_driver;
}

int spdk_pci_device_attach(struct spdk_pci_driver *driver, spdk_pci_enum_cb enum_cb, void *enum_ctx,
			   struct spdk_pci_addr *pci_address)
{
	if (driver == nullptr || enum_cb == nullptr || pci_address == nullptr) {
		return -EINVAL;
	}
	clear_pci_error();
	char name[SPDK_PCI_ADDR_FMT_LEN];
	spdk_pci_addr_fmt(name, sizeof(name), pci_address);
	if (!pci_addr_allowed(*pci_address)) {
		KYT_PCI_ERROR("PCI device %s is not on the allow-list of this process\n", name);
		return -EPERM;
	}
	const uint64_t key = addr_key(*pci_address);
	std::lock_guard<std::recursive_mutex> guard(g_attach_lock);
	auto it = attached().find(key);
	if (it != attached().end() && !it->second->backend->removed()) {
		KYT_PCI_ERROR("PCI device %s is already attached\n", name);
		return -EBUSY;
	}

	auto dev = std::make_unique<spdk_pci_device>();
	dev->addr = *pci_address;
	if (std::shared_ptr<SwFunction> fn = swdev_find(*pci_address)) {
		dev->id = fn->desc.id;
		dev->backend = make_sw_backend(std::move(fn));
	} else {
		int err = -ENODEV;
		dev->backend = open_sysfs_device(*pci_address, &dev->id, &err);
		if (dev->backend == nullptr) {
			return err;
		}
	}
	if ((dev->id.class_id & 0xFFFFFF) != driver->class_id) {
		KYT_PCI_ERROR("PCI device %s (class %06x) is not handled by the %s driver\n", name, dev->id.class_id,
			      driver->name);
		return -ENODEV;
	}
	spdk_pci_device *raw = dev.release();
	raw->attaching = true;
	int rc = enum_cb(enum_ctx, raw);
	raw->attaching = false;
	if (rc == 0 && !raw->detached) {
		attached()[key] = raw;
	} else {
		/* Skipped, failed, or released by the callback itself. */
		spdk_pci_device_detach(raw);
	}
	return rc;
}

void spdk_pci_device_detach(struct spdk_pci_device *device)
{
	if (device == nullptr) {
		return;
	}
	std::lock_guard<std::recursive_mutex> guard(g_attach_lock);
	if (device->detached && device->attaching) {
		return;
	}
	device->detached = true;
	auto it = attached().find(addr_key(device->addr));
	if (it != attached().end() && it->second == device) {
		attached().erase(it);
	}
	/* Mappings the driver left behind go with the handle. */
	{
		std::lock_guard<std::mutex> mguard(device->map_lock);
		for (const spdk_pci_device::Mapping &m : device->maps) {
			forget_bar_mapping(m.addr);
			munmap(m.addr, m.len);
		}
		device->maps.clear();
	}
	if (device->attaching) {
		return; /* the attach that offered it frees it when its callback returns */
	}
	delete device;
}

int spdk_pci_device_map_bar(struct spdk_pci_device *dev, uint32_t bar, void **mapped_addr, uint64_t *phys_addr,
			    uint64_t *size)
{
	if (dev == nullptr || mapped_addr == nullptr || bar > 5) {
		return -EINVAL;
	}
	void *addr = nullptr;
	uint64_t phys = 0, len = 0;
	int rc = dev->backend->map_bar(bar, &addr, &phys, &len);
	if (rc != 0) {
		return rc;
	}
	{
		std::lock_guard<std::mutex> guard(dev->map_lock);
		dev->maps.push_back({bar, addr, len});
	}
	note_bar_mapping(addr, len, phys);
	*mapped_addr = addr;
	if (phys_addr != nullptr) {
		*phys_addr = phys;
	}
	if (size != nullptr) {
		*size = len;
	}
	return 0;
}

int spdk_pci_device_unmap_bar(struct spdk_pci_device *dev, uint32_t bar, void *addr)
{
	if (dev == nullptr) {
		return -EINVAL;
	}
	std::lock_guard<std::mutex> guard(dev->map_lock);
	for (auto it = dev->maps.begin(); it != dev->maps.end(); ++it) {
		if (it->bar == bar && it->addr == addr) {
			forget_bar_mapping(it->addr);
			int rc = munmap(it->addr, it->len) == 0 ? 0 : -errno;
			dev->maps.erase(it);
			return rc;
		}
	}
	return -EINVAL;
}

/* The device record's address and identity fields, one accessor each. */
#define KYT_PCI_DEVICE_GETTER(type, name, field)                \
	type spdk_pci_device_get_##name(struct spdk_pci_device *dev) \
	{                                                            \
		return dev->field;                                   \
	}
KYT_PCI_DEVICE_GETTER(uint32_t, domain, addr.domain)
KYT_PCI_DEVICE_GETTER(uint8_t, bus, addr.bus)
KYT_PCI_DEVICE_GETTER(uint8_t, dev, addr.dev)
KYT_PCI_DEVICE_GETTER(uint8_t, func, addr.func)
KYT_PCI_DEVICE_GETTER(struct spdk_pci_addr, addr, addr)
KYT_PCI_DEVICE_GETTER(struct spdk_pci_id, id, id)
KYT_PCI_DEVICE_GETTER(uint16_t, vendor_id, id.vendor_id)
KYT_PCI_DEVICE_GETTER(uint16_t, device_id, id.device_id)
KYT_PCI_DEVICE_GETTER(uint16_t, subvendor_id, id.subvendor_id)
KYT_PCI_DEVICE_GETTER(uint16_t, subdevice_id, id.subdevice_id)
#undef KYT_PCI_DEVICE_GETTER

int spdk_pci_device_get_socket_id(struct spdk_pci_device *dev)
{
	return 0;
}

bool spdk_pci_device_is_removed(struct spdk_pci_device *dev)
{
	return dev == nullptr || dev->backend->removed();
}

int spdk_pci_device_cfg_read(struct spdk_pci_device *dev, void *value, uint32_t len, uint32_t offset)
{
	return cfg_access(dev, value, len, offset, false);
}

int spdk_pci_device_cfg_write(struct spdk_pci_device *dev, void *value, uint32_t len, uint32_t offset)
{
	return cfg_access(dev, value, len, offset, true);
}

#define KYT_PCI_CFG_ACCESSORS(bits)                                                                        \
	int spdk_pci_device_cfg_read##bits(struct spdk_pci_device *dev, uint##bits##_t *value, uint32_t offset) \
	{                                                                                                  \
		return cfg_access(dev, value, sizeof(*value), offset, false);                              \
	}                                                                                                  \
	int spdk_pci_device_cfg_write##bits(struct spdk_pci_device *dev, uint##bits##_t value, uint32_t offset) \
	{                                                                                                  \
		return cfg_access(dev, &value, sizeof(value), offset, true);                               \
	}
KYT_PCI_CFG_ACCESSORS(8)
KYT_PCI_CFG_ACCESSORS(16)
KYT_PCI_CFG_ACCESSORS(32)
#undef KYT_PCI_CFG_ACCESSORS

int spdk_pci_device_claim(const struct spdk_pci_addr *pci_addr)
{
	if (pci_addr == nullptr) {
		return -EINVAL;
	}
	char name[SPDK_PCI_ADDR_FMT_LEN];
	spdk_pci_addr_fmt(name, sizeof(name), pci_addr);
	char path[64];
	snprintf(path, sizeof(path), "/var/tmp/spdk_pci_lock_%s", name);
	int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
	if (fd < 0) {
		int err = errno;
		KYT_PCI_ERROR("could not open %s (%s)\n", path, strerror(err));
		return -err;
	}
	if (ftruncate(fd, sizeof(int)) != 0) {
		int err = errno;
		KYT_PCI_ERROR("could not size %s (%s)\n", path, strerror(err));
		close(fd);
		return -err;
	}
	struct flock lock;
	memset(&lock, 0, sizeof(lock));
	lock.l_type = F_WRLCK;
	lock.l_whence = SEEK_SET;
	lock.l_start = 0;
	lock.l_len = 0;
	if (fcntl(fd, F_SETLK, &lock) != 0) {
		int owner = 0;
		if (pread(fd, &owner, sizeof(owner), 0) != sizeof(owner)) {
			owner = 0;
		}
		KYT_PCI_ERROR("Cannot create lock on device %s, probably process %d has claimed it\n", name, owner);
		close(fd);
		return -EACCES;
	}
	const int pid = (int)getpid();
	if (pwrite(fd, &pid, sizeof(pid), 0) != sizeof(pid)) {
		/* The lock holds the claim; the owner's pid is only informative. */
	}
	return fd;
}

}  // extern "C"
