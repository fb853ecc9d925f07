/*
 * Real-device check, run inside the VM bench: starts the environment the way the device layer does (one allowed
 * address), attaches and claims the NVMe controller there, maps BAR0, reads CAP and VS, and runs one Identify
 * Controller command through an admin queue in DMA memory, which proves that the bus addresses the environment
 * hands out reach the device. Prints one "REALDEV: " line per step and exits 0 only when everything held.
 *
 * Usage: kyt_env_realdev <pci address> [expected VS in hex]
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

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

struct Ctx {
	spdk_pci_device *dev = nullptr;
};

int KeepDevice(void *arg, spdk_pci_device *dev)
{
	static_cast<Ctx *>(arg)->dev = dev;
	return 0;
}

uint32_t Rd32(volatile uint8_t *regs, uint32_t off)
{
	return *reinterpret_cast<volatile uint32_t *>(regs + off);
}

uint64_t Rd64(volatile uint8_t *regs, uint32_t off)
{
	return (uint64_t)Rd32(regs, off) | ((uint64_t)Rd32(regs, off + 4) << 32);
}

void Wr32(volatile uint8_t *regs, uint32_t off, uint32_t v)
{
	*reinterpret_cast<volatile uint32_t *>(regs + off) = v;
}

void Wr64(volatile uint8_t *regs, uint32_t off, uint64_t v)
{
	Wr32(regs, off, (uint32_t)v);
	Wr32(regs, off + 4, (uint32_t)(v >> 32));
}

bool WaitReady(volatile uint8_t *regs, uint32_t want, uint64_t cap)
{
	const uint64_t timeout_ms = ((cap >> 24) & 0xff) * 500 + 1000;
	const uint64_t end = spdk_get_ticks() + timeout_ms * spdk_get_ticks_hz() / 1000;
	while ((Rd32(regs, 0x1c) & 1) != want) {
		if (spdk_get_ticks() > end) {
			return false;
		}
		spdk_delay_us(1000);
	}
	return true;
}

/* One Identify Controller through a fresh admin queue; returns the identify data's vendor id or -1. */
int IdentifyVendor(volatile uint8_t *regs, uint64_t cap, std::string *serial)
{
	Wr32(regs, 0x14, 0); /* CC.EN = 0: the firmware left it enabled */
	if (!WaitReady(regs, 0, cap)) {
		printf("REALDEV: controller did not become disabled\n");
		return -1;
	}
	const uint32_t entries = 16;
	void *sq = spdk_zmalloc(4096, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
	void *cq = spdk_zmalloc(4096, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
	uint8_t *data = static_cast<uint8_t *>(spdk_zmalloc(4096, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
	if (sq == nullptr || cq == nullptr || data == nullptr) {
		printf("REALDEV: DMA allocation failed\n");
		return -1;
	}
	const uint64_t sq_bus = spdk_vtophys(sq, nullptr), cq_bus = spdk_vtophys(cq, nullptr);
	const uint64_t data_bus = spdk_vtophys(data, nullptr);
	printf("REALDEV: admin SQ virt %p bus 0x%llx\n", sq, (unsigned long long)sq_bus);
	Wr32(regs, 0x24, ((entries - 1) << 16) | (entries - 1));
	Wr64(regs, 0x28, sq_bus);
	Wr64(regs, 0x30, cq_bus);
	Wr32(regs, 0x14, (4u << 20) | (6u << 16) | 1u); /* IOCQES 16 B, IOSQES 64 B, EN */
	if (!WaitReady(regs, 1, cap)) {
		printf("REALDEV: controller did not become ready\n");
		return -1;
	}
	uint32_t *cmd = static_cast<uint32_t *>(sq);
	cmd[0] = 0x06 | (1u << 16); /* Identify, command id 1 */
	cmd[6] = (uint32_t)data_bus;
	cmd[7] = (uint32_t)(data_bus >> 32);
	cmd[10] = 1; /* CNS 1: controller */
	__sync_synchronize();
	Wr32(regs, 0x1000, 1); /* SQ 0 tail doorbell */
	volatile uint32_t *cpl = static_cast<volatile uint32_t *>(cq);
	const uint64_t end = spdk_get_ticks() + 5 * spdk_get_ticks_hz();
	while ((cpl[3] & 0x10000) == 0) {
		if (spdk_get_ticks() > end) {
			printf("REALDEV: no completion for Identify\n");
			return -1;
		}
	}
	const uint32_t status = (cpl[3] >> 17) & 0x7fff;
	printf("REALDEV: Identify completion status 0x%x cid %u\n", status, cpl[3] & 0xffff);
	if (status != 0) {
		return -1;
	}
	serial->assign(reinterpret_cast<char *>(data) + 4, 20);
	while (!serial->empty() && serial->back() == ' ') {
		serial->pop_back();
	}
	Wr32(regs, 0x14, 0);
	WaitReady(regs, 0, cap);
	return data[0] | (data[1] << 8);
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
	Ctx unused;
	CHECK(spdk_pci_device_attach(spdk_pci_nvme_get_driver(), KeepDevice, &unused, &other) == -EPERM,
	      "an address off the allow-list was not refused");

	int claim = spdk_pci_device_claim(&addr);
	printf("REALDEV: claim %s\n", claim >= 0 ? "held" : "refused");
	CHECK(claim >= 0, "claim failed (%d)", claim);

	Ctx ctx;
	rc = spdk_pci_device_attach(spdk_pci_nvme_get_driver(), KeepDevice, &ctx, &addr);
	printf("REALDEV: attach %d\n", rc);
	if (rc != 0 || ctx.dev == nullptr) {
		return 1;
	}
	spdk_pci_id id = spdk_pci_device_get_id(ctx.dev);
	printf("REALDEV: id %04x:%04x class %06x\n", id.vendor_id, id.device_id, id.class_id);
	CHECK(id.class_id == 0x010802, "not an NVMe controller");

	uint32_t cfg0 = 0, bar0_cfg = 0;
	CHECK(spdk_pci_device_cfg_read32(ctx.dev, &cfg0, 0) == 0, "config read failed");
	CHECK(cfg0 == ((uint32_t)id.device_id << 16 | id.vendor_id), "config dword 0 is 0x%08x", cfg0);
	spdk_pci_device_cfg_read32(ctx.dev, &bar0_cfg, 0x10);

	void *bar = nullptr;
	uint64_t phys = 0, size = 0;
	rc = spdk_pci_device_map_bar(ctx.dev, 0, &bar, &phys, &size);
	printf("REALDEV: BAR0 map %d phys 0x%llx size 0x%llx (config BAR0 0x%08x)\n", rc, (unsigned long long)phys,
	       (unsigned long long)size, bar0_cfg);
	if (rc != 0) {
		return 1;
	}
	CHECK((bar0_cfg & 0xFFFFC000u) == (uint32_t)phys, "BAR0 in config space differs from the mapped BAR");

	/* Bus master and memory space on, as the driver does. */
	uint16_t cmd = 0;
	spdk_pci_device_cfg_read16(ctx.dev, &cmd, 0x04);
	spdk_pci_device_cfg_write16(ctx.dev, (uint16_t)(cmd | 0x406), 0x04);

	volatile uint8_t *regs = static_cast<volatile uint8_t *>(bar);
	const uint64_t cap = Rd64(regs, 0);
	const uint32_t vs = Rd32(regs, 8);
	printf("REALDEV: CAP 0x%016llx\n", (unsigned long long)cap);
	printf("REALDEV: VS 0x%08x\n", vs);
	CHECK(vs == want_vs, "VS is 0x%08x, expected 0x%08x", vs, want_vs);
	CHECK(((cap >> 37) & 1) == 1, "CAP.CSS does not include the NVM command set");

	std::string serial;
	const int vid = IdentifyVendor(regs, cap, &serial);
	printf("REALDEV: Identify vendor 0x%04x serial '%s'\n", vid < 0 ? 0 : vid, serial.c_str());
	CHECK(vid == id.subvendor_id || vid == id.vendor_id, "Identify data did not arrive by DMA");

	CHECK(spdk_pci_device_unmap_bar(ctx.dev, 0, bar) == 0, "unmap failed");
	spdk_pci_device_detach(ctx.dev);
	close(claim);
	printf("REALDEV: %s\n", g_failures == 0 ? "OK" : "FAILED");
	return g_failures == 0 ? 0 : 1;
}
