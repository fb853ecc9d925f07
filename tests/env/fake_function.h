/* A software PCI function for the tests of the PCI layer, at an address private to the test process. */
#ifndef KYT_TESTS_ENV_FAKE_FUNCTION_H
#define KYT_TESTS_ENV_FAKE_FUNCTION_H

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "kyt/env_test.h"
#include "spdk/env.h"
#include "spdk/pci_ids.h"

namespace {

constexpr uint64_t kBarSize = 16 * 1024;

/* A function with a plain 4 KiB config space and BAR0 in a memfd; it counts the config accesses. */
struct FakeFunction {
	explicit FakeFunction(spdk_pci_addr addr, uint32_t class_id = SPDK_PCI_CLASS_NVME, uint64_t bar_size = kBarSize)
	{
		memset(cfg, 0, sizeof(cfg));
		const uint32_t words[] = {0x00101b36, 0, class_id << 8};
		memcpy(cfg, words, sizeof(words));
		const uint32_t subsystem = 0x11001af4;
		memcpy(cfg + 0x2c, &subsystem, 4);
		fd = memfd_create("kyt_fake_bar0", MFD_CLOEXEC);
		if (fd >= 0 && ftruncate(fd, (off_t)bar_size) != 0) {
			close(fd);
			fd = -1;
		}
		desc = {addr, {class_id, 0x1b36, 0x0010, 0x1af4, 0x1100}, fd, bar_size,
			bar_size > kBarSize ? 0xfe000000ull : 0xfebf0000ull, {}, this};
		desc.ops.cfg_read = [](void *ctx, void *value, uint32_t len, uint32_t offset) {
			auto *self = static_cast<FakeFunction *>(ctx);
			++self->accesses;
			memcpy(value, self->cfg + offset, len);
			return 0;
		};
		desc.ops.cfg_write = [](void *ctx, const void *value, uint32_t len, uint32_t offset) {
			auto *self = static_cast<FakeFunction *>(ctx);
			++self->accesses;
			memcpy(self->cfg + offset, value, len);
			return 0;
		};
	}
	~FakeFunction()
	{
		kyt_swdev_unregister(&desc.addr);
		if (fd >= 0) {
			close(fd);
		}
	}
	int Register()
	{
		return kyt_swdev_register(&desc);
	}
	const spdk_pci_addr &addr() const
	{
		return desc.addr;
	}

	size_t accesses = 0; /* config reads and writes that reached the function */
	uint8_t cfg[4096];
	int fd = -1;
	kyt_swdev_desc desc;
};

/* Addresses private to this process, so that test processes running side by side never meet. */
spdk_pci_addr TestAddr(uint8_t dev)
{
	return spdk_pci_addr{0x7000u + (uint32_t)(getpid() & 0xfff), 0x42, dev, 0};
}

}  // namespace

#endif
