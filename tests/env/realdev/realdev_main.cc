/*
 * Real-device check, run inside the VM bench: starts the environment the way the device layer does (one allowed
 * address), attaches and claims the NVMe controller there, maps BAR0 and reads CAP and VS. (DMA to the device is
 * shown by the driver's own I/O tests in the bench.) Prints one "REALDEV: " line per step and exits 0 only when
 * everything held.
 *
 * Usage: kyt_env_realdev <pci address> [expected VS in hex]
 * A refused attach prints "REALDEV: cause " and the reason the PCI layer gave.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kyt/env.h"
#include "spdk/env.h"

namespace {

int g_failures = 0;

#define CHECK(cond, ...)                                 \
	do {                                             \
		if (!(cond)) {                           \
			printf("REALDEV: FAIL: " __VA_ARGS__); \
			printf("\n");                    \
			++g_failures;                    \
		}                                        \
	} while (0)

int KeepDevice(void *arg, spdk_pci_device *dev)
{
	*static_cast<spdk_pci_device **>(arg) = dev;
	return 0;
}

}  // namespace

int main(int argc, char **argv)
{
	setvbuf(stdout, nullptr, _IOLBF, 0);
	if (argc < 2) {
		fprintf(stderr, "usage: %s <pci address> [expected VS]\n", argv[0]);
		return 2;
	}
	const uint32_t want_vs = argc > 2 ? (uint32_t)strtoul(argv[2], nullptr, 16) : 0x00010400;
	spdk_pci_addr addr;
	if (spdk_pci_addr_parse(&addr, argv[1]) != 0) {
		fprintf(stderr, "bad PCI address %s\n", argv[1]);
		return 2;
	}

	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.name = "kyt_realdev";
	opts.shm_id = 0;
	opts.mem_size = 64;
	opts.unlink_hugepage = true;
	opts.num_pci_addr = 1;
	opts.pci_whitelist = &addr;
	opts.core_mask = "1";
	opts.master_core = 0;
	int rc = spdk_env_init(&opts);
	printf("REALDEV: environment start %d\n", rc);
	if (rc != 0) {
		return 1;
	}

	/* Hugepage memory is physically addressed under UIO and IOMMU-addressed under VFIO; never anonymous memory. */
	void *probe = spdk_dma_zmalloc(4096, 4096, nullptr);
	const uint64_t probe_bus = spdk_vtophys(probe, nullptr);
	printf("REALDEV: DMA buffer virt %p bus 0x%llx (%s)\n", probe, (unsigned long long)probe_bus,
	       probe_bus == (uint64_t)(uintptr_t)probe ? "IOVA as VA" : "IOVA as PA");
	CHECK(probe != nullptr && probe_bus != SPDK_VTOPHYS_ERROR, "no DMA memory");
	spdk_dma_free(probe);

	spdk_pci_addr other = addr;
	other.dev = (uint8_t)((addr.dev + 1) & 0x1f);
	spdk_pci_device *dev = nullptr;
	CHECK(spdk_pci_device_attach(spdk_pci_nvme_get_driver(), KeepDevice, &dev, &other) == -EPERM,
	      "an address off the allow-list was not refused");

	int claim = spdk_pci_device_claim(&addr);
	printf("REALDEV: claim %s\n", claim >= 0 ? "held" : "refused");
	CHECK(claim >= 0, "claim failed (%d)", claim);

	rc = spdk_pci_device_attach(spdk_pci_nvme_get_driver(), KeepDevice, &dev, &addr);
	printf("REALDEV: attach %d\n", rc);
	if (rc != 0 || dev == nullptr) {
		printf("REALDEV: cause %s\n", kyt_env_pci_error());
		return 1;
	}
	spdk_pci_id id = spdk_pci_device_get_id(dev);
	printf("REALDEV: id %04x:%04x class %06x\n", id.vendor_id, id.device_id, id.class_id);
	CHECK(id.class_id == 0x010802, "not an NVMe controller");

	uint32_t cfg0 = 0, bar0_cfg = 0;
	CHECK(spdk_pci_device_cfg_read32(dev, &cfg0, 0) == 0, "config read failed");
	CHECK(cfg0 == ((uint32_t)id.device_id << 16 | id.vendor_id), "config dword 0 is 0x%08x", cfg0);
	spdk_pci_device_cfg_read32(dev, &bar0_cfg, 0x10);

	void *bar = nullptr;
	uint64_t phys = 0, size = 0;
	rc = spdk_pci_device_map_bar(dev, 0, &bar, &phys, &size);
	printf("REALDEV: BAR0 map %d phys 0x%llx size 0x%llx (config BAR0 0x%08x)\n", rc, (unsigned long long)phys,
	       (unsigned long long)size, bar0_cfg);
	if (rc != 0) {
		return 1;
	}
	CHECK((bar0_cfg & 0xFFFFC000u) == (uint32_t)phys, "BAR0 in config space differs from the mapped BAR");

	volatile uint32_t *regs = static_cast<volatile uint32_t *>(bar);
	const uint64_t cap = regs[0] | (uint64_t)regs[1] << 32;
	const uint32_t vs = regs[2];
	printf("REALDEV: CAP 0x%016llx\nREALDEV: VS 0x%08x\n", (unsigned long long)cap, vs);
	CHECK(vs == want_vs, "VS is 0x%08x, expected 0x%08x", vs, want_vs);
	CHECK(((cap >> 37) & 1) == 1, "CAP.CSS does not include the NVM command set");

	CHECK(spdk_pci_device_unmap_bar(dev, 0, bar) == 0, "unmap failed");
	spdk_pci_device_detach(dev);
	close(claim);
	printf("REALDEV: %s\n", g_failures == 0 ? "OK" : "FAILED");
	return g_failures == 0 ? 0 : 1;
}
