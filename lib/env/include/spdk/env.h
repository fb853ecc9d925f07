/*
 * Environment library: start-up, DMA-safe memory, memory zones, rings, time, threads and PCI device access.
 *
 * Every call returns 0 or a negative errno unless its comment says otherwise. Memory, zone and ring calls need a
 * started environment (spdk_env_init); time, address and PCI address helpers work before the start too.
 */
#ifndef SPDK_ENV_H
#define SPDK_ENV_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "spdk/pci_ids.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SPDK_ENV_SOCKET_ID_ANY (-1)
#define SPDK_ENV_LCORE_ID_ANY (UINT32_MAX)

/* spdk_malloc/spdk_zmalloc flags: memory a device may reach by DMA, memory other processes may share. */
#define SPDK_MALLOC_DMA 0x01
#define SPDK_MALLOC_SHARE 0x02

/* spdk_memzone_reserve flags. */
#define SPDK_MEMZONE_NO_IOVA_CONTIG 0x00100000

/* Result of a failed address translation. */
#define SPDK_VTOPHYS_ERROR (0xFFFFFFFFFFFFFFFFULL)

/* Maximum text length of a PCI address "dddd:bb:dd.f" with its terminating zero. */
#define SPDK_PCI_ADDR_FMT_LEN 13

struct spdk_pci_addr {
	uint32_t domain;
	uint8_t bus;
	uint8_t dev;
	uint8_t func;
};

struct spdk_pci_id {
	uint32_t class_id;   /* class code, subclass, programming interface: 0x010802 for NVMe */
	uint16_t vendor_id;
	uint16_t device_id;
	uint16_t subvendor_id;
	uint16_t subdevice_id;
};

/* Options of spdk_env_init; spdk_env_opts_init fills the defaults. */
struct spdk_env_opts {
	const char *name;                   /* process name handed to DPDK */
	const char *core_mask;              /* hexadecimal core mask without prefix, e.g. "3" */
	int shm_id;                         /* shared-memory id (file prefix); -1: private to this process */
	int mem_channel;                    /* -1: DPDK's default */
	int master_core;                    /* main lcore; -1: DPDK's default (lowest core of the mask) */
	int mem_size;                       /* megabytes of memory to reserve up front; -1: on demand */
	bool no_pci;                        /* do not touch any PCI device */
	bool hugepage_single_segments;
	bool unlink_hugepage;               /* unlink the hugepage files once mapped */
	size_t num_pci_addr;                /* number of entries in pci_whitelist / pci_blacklist */
	const char *hugedir;                /* hugetlbfs mount to use; NULL: any mounted one */
	struct spdk_pci_addr *pci_blacklist;
	struct spdk_pci_addr *pci_whitelist; /* allow-list: when set, only these devices may be attached */
	uint64_t base_virtaddr;             /* 0: DPDK's default, which keeps IOVA-as-VA addresses within small IOMMUs */
	void *env_context;                  /* extra EAL arguments as one space-separated text, or NULL */
};

void spdk_env_opts_init(struct spdk_env_opts *opts);

/* Start the environment. DPDK starts once per process: once it has been tried, every later call returns that first
 * result and ignores its options (options refused before DPDK was tried do not count). 0 or a negative errno. */
int spdk_env_init(const struct spdk_env_opts *opts);

/* Release what the start acquired (DPDK's EAL cleanup). The environment cannot be started again afterwards. */
void spdk_env_fini(void);

/* Whether the environment has been started successfully in this process. */
bool spdk_env_is_initialized(void);

/* ---- memory ---- */

void *spdk_malloc(size_t size, size_t align, uint64_t *phys_addr, int socket_id, uint32_t flags);
void *spdk_zmalloc(size_t size, size_t align, uint64_t *phys_addr, int socket_id, uint32_t flags);
void spdk_free(void *buf);

void *spdk_dma_malloc(size_t size, size_t align, uint64_t *phys_addr);
void *spdk_dma_zmalloc(size_t size, size_t align, uint64_t *phys_addr);
void *spdk_dma_malloc_socket(size_t size, size_t align, uint64_t *phys_addr, int socket_id);
void *spdk_dma_zmalloc_socket(size_t size, size_t align, uint64_t *phys_addr, int socket_id);
void spdk_dma_free(void *buf);

/* Bus (IO virtual) address of a byte of DMA memory or registered memory; SPDK_VTOPHYS_ERROR when unknown. When size
 * is not NULL it holds the wanted length on entry and, on return, how many bytes from buf are contiguous in bus
 * address space (at most the wanted length). */
uint64_t spdk_vtophys(void *buf, uint64_t *size);

/* Make external memory (e.g. a device's memory buffer mapped from a BAR) usable by spdk_vtophys. vaddr and len are
 * multiples of 2 MiB. 0, -EINVAL, -EBUSY (overlaps a registered range), -ENOMEM. */
int spdk_mem_register(void *vaddr, size_t len);
/* Remove a range given exactly as registered. 0 or -EINVAL. */
int spdk_mem_unregister(void *vaddr, size_t len);

/* ---- memory zones: named, process-shared memory ---- */

void *spdk_memzone_reserve(const char *name, size_t len, int socket_id, unsigned flags);
void *spdk_memzone_reserve_aligned(const char *name, size_t len, int socket_id, unsigned flags, unsigned align);
void *spdk_memzone_lookup(const char *name);
int spdk_memzone_free(const char *name);

/* ---- rings: lock-free FIFO of pointers ---- */

struct spdk_ring;

enum spdk_ring_type {
	SPDK_RING_TYPE_SP_SC, /* single producer, single consumer */
	SPDK_RING_TYPE_MP_SC, /* multi producer, single consumer */
	SPDK_RING_TYPE_MP_MC, /* multi producer, multi consumer */
};

/* Exactly `count` entries fit. NULL before the start or when out of memory. */
struct spdk_ring *spdk_ring_create(enum spdk_ring_type type, size_t count, int socket_id);
void spdk_ring_free(struct spdk_ring *ring);
size_t spdk_ring_count(struct spdk_ring *ring);
/* Enqueue up to count pointers, all or nothing; returns the number enqueued (0 or count). */
size_t spdk_ring_enqueue(struct spdk_ring *ring, void **objs, size_t count, size_t *free_space);
/* Dequeue up to count pointers; returns the number dequeued. */
size_t spdk_ring_dequeue(struct spdk_ring *ring, void **objs, size_t count);

/* ---- time ---- */

uint64_t spdk_get_ticks(void);
uint64_t spdk_get_ticks_hz(void);
void spdk_delay_us(unsigned int us);

/* ---- cores and threads ---- */

typedef int (*thread_start_fn)(void *);

uint32_t spdk_env_get_core_count(void);
uint32_t spdk_env_get_current_core(void);
uint32_t spdk_env_get_first_core(void);
uint32_t spdk_env_get_last_core(void);
uint32_t spdk_env_get_next_core(uint32_t prev_core);
#define SPDK_ENV_FOREACH_CORE(i) \
	for (i = spdk_env_get_first_core(); i < UINT32_MAX; i = spdk_env_get_next_core(i))
uint32_t spdk_env_get_socket_id(uint32_t core);

/* Run fn(arg) on a thread pinned to `core`, which must be in the core mask: DPDK's thread of that core, or, for the
 * main core (which runs the caller), a new thread pinned beside it. 0, -EINVAL (not started, core not in the mask),
 * -EBUSY (that core's thread is already running something), -EAGAIN. */
int spdk_env_thread_launch_pinned(uint32_t core, thread_start_fn fn, void *arg);
/* Wait for every launched thread to return. */
void spdk_env_thread_wait_all(void);

bool spdk_process_is_primary(void);

/* ---- PCI ---- */

struct spdk_pci_device;
struct spdk_pci_driver;

/* Called per device offered by an attach: 0 keeps the device attached, 1 skips it (the device is released), a
 * negative value skips it and fails the attach. */
typedef int (*spdk_pci_enum_cb)(void *enum_ctx, struct spdk_pci_device *pci_dev);

/* The driver handle for NVMe controllers (class 01:08:02). */
struct spdk_pci_driver *spdk_pci_nvme_get_driver(void);

/* Attach the one device at pci_address (which must be on the allow-list of the start, when it has one) and offer it
 * to enum_cb; the callback's result is the result (0: kept and attached; otherwise the device is released again).
 * Without a callback: -ENODEV when there is no such device (or it is not bound to a user-space driver, or not of the
 * driver's class), -EPERM when the allow-list excludes it, -EBUSY when it is attached already, -EINVAL. The callback
 * may itself detach the device it was offered (a failed construction) before returning its failure. */
int spdk_pci_device_attach(struct spdk_pci_driver *driver, spdk_pci_enum_cb enum_cb, void *enum_ctx,
			   struct spdk_pci_addr *pci_address);
/* Release an attached device: its handle becomes invalid. Mappings of its BARs stay until unmapped. */
void spdk_pci_device_detach(struct spdk_pci_device *device);

int spdk_pci_device_map_bar(struct spdk_pci_device *dev, uint32_t bar, void **mapped_addr, uint64_t *phys_addr,
			    uint64_t *size);
int spdk_pci_device_unmap_bar(struct spdk_pci_device *dev, uint32_t bar, void *addr);

uint32_t spdk_pci_device_get_domain(struct spdk_pci_device *dev);
uint8_t spdk_pci_device_get_bus(struct spdk_pci_device *dev);
uint8_t spdk_pci_device_get_dev(struct spdk_pci_device *dev);
uint8_t spdk_pci_device_get_func(struct spdk_pci_device *dev);
struct spdk_pci_addr spdk_pci_device_get_addr(struct spdk_pci_device *dev);
struct spdk_pci_id spdk_pci_device_get_id(struct spdk_pci_device *dev);
uint16_t spdk_pci_device_get_vendor_id(struct spdk_pci_device *dev);
uint16_t spdk_pci_device_get_device_id(struct spdk_pci_device *dev);
uint16_t spdk_pci_device_get_subvendor_id(struct spdk_pci_device *dev);
uint16_t spdk_pci_device_get_subdevice_id(struct spdk_pci_device *dev);
int spdk_pci_device_get_socket_id(struct spdk_pci_device *dev);
/* Whether the device has left the bus since it was attached. */
bool spdk_pci_device_is_removed(struct spdk_pci_device *dev);

/* Config space access: 0, -EINVAL (offset out of range), -ENODEV (device gone), -EIO. */
int spdk_pci_device_cfg_read8(struct spdk_pci_device *dev, uint8_t *value, uint32_t offset);
int spdk_pci_device_cfg_write8(struct spdk_pci_device *dev, uint8_t value, uint32_t offset);
int spdk_pci_device_cfg_read16(struct spdk_pci_device *dev, uint16_t *value, uint32_t offset);
int spdk_pci_device_cfg_write16(struct spdk_pci_device *dev, uint16_t value, uint32_t offset);
int spdk_pci_device_cfg_read32(struct spdk_pci_device *dev, uint32_t *value, uint32_t offset);
int spdk_pci_device_cfg_write32(struct spdk_pci_device *dev, uint32_t value, uint32_t offset);
int spdk_pci_device_cfg_read(struct spdk_pci_device *dev, void *value, uint32_t len, uint32_t offset);
int spdk_pci_device_cfg_write(struct spdk_pci_device *dev, void *value, uint32_t len, uint32_t offset);

/* Take the machine-wide claim on a device (a locked file per address): the descriptor (>= 0) that holds it, to be
 * closed to release it; -EACCES/-EAGAIN when another process holds it; other negative errno. */
int spdk_pci_device_claim(const struct spdk_pci_addr *pci_addr);

/* Address texts: "dddd:bb:dd.f", "bb:dd.f", "dddd.bb.dd.f", "bb.dd.f" (hexadecimal), with or without the function
 * (".f" defaults to 0). 0 or -EINVAL. */
int spdk_pci_addr_parse(struct spdk_pci_addr *addr, const char *bdf);
/* "dddd:bb:dd.f" in lower-case hexadecimal. 0, or -EINVAL when sz is too small. */
int spdk_pci_addr_fmt(char *bdf, size_t sz, const struct spdk_pci_addr *addr);
/* <0, 0, >0 ordering by domain, bus, device, function. */
int spdk_pci_addr_compare(const struct spdk_pci_addr *a1, const struct spdk_pci_addr *a2);

#ifdef __cplusplus
}
#endif

#endif /* SPDK_ENV_H */
