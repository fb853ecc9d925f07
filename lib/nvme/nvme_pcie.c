/*
 * NVMe over PCIe: the controller's BAR0 (mapping, repair after a power cycle, the bus-error guard), the controller
 * memory buffer, register access, and the queue pairs: rings, trackers, PRP lists and SGLs, doorbells, completion
 * harvesting and forced completion.
 */
#include "nvme_internal.h"

#include <emmintrin.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#define NVME_PCI_CFG_BAR0 0x10
#define NVME_PCI_CFG_BAR0_UPPER 0x14
#define NVME_PCI_CFG_COMMAND 0x04
#define NVME_PCI_CMD_MEMORY_SPACE 0x2
#define NVME_PCI_CMD_BUS_MASTER 0x4
#define NVME_PCI_CMD_BUS_MASTER_INTX_DISABLE 0x404
#define NVME_SGL_SEGMENT_BOUNDARY 0x200000ULL

static void nvme_pcie_qpair_complete_tracker(struct spdk_nvme_qpair *qpair, struct nvme_tracker *tr,
					     const struct spdk_nvme_cpl *cpl, bool print_on_error);
static void nvme_pcie_qpair_manual_complete_tracker(struct spdk_nvme_qpair *qpair, struct nvme_tracker *tr,
						    uint32_t sc, bool dnr, bool print_on_error);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Bus-error guard                                                                                                  */
/* ---------------------------------------------------------------------------------------------------------------- */

static bool g_sigset = false;
static pthread_mutex_t g_sigset_lock = PTHREAD_MUTEX_INITIALIZER;
static uint16_t g_signal_lock;
/* The controller whose registers this thread is touching right now. */
static __thread struct nvme_pcie_ctrlr *volatile g_thread_mmio_ctrlr;

static void nvme_sigbus_reraise(int signum)
{
	struct sigaction dfl;

	memset(&dfl, 0, sizeof(dfl));
	dfl.sa_handler = SIG_DFL;
	sigemptyset(&dfl.sa_mask);
	sigaction(signum, &dfl, NULL);
	raise(signum);
}

static void nvme_sigbus_fault_sighandler(int signum, siginfo_t *info, void *ctx)
{
	struct nvme_pcie_ctrlr *pctrlr = g_thread_mmio_ctrlr;
	uint16_t expected = 0;
	void *map_address;

	if (!__atomic_compare_exchange_n(&g_signal_lock, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
		/* Another thread is repairing; the faulting access repeats. */
		return;
	}

	if (pctrlr == NULL || (info != NULL && ((uintptr_t)info->si_addr < (uintptr_t)pctrlr->regs ||
						  (uintptr_t)info->si_addr >= (uintptr_t)pctrlr->regs + pctrlr->regs_size))) {
		/* Not a guarded register access (or outside the registers): behave as if we were not installed. */
		__atomic_store_n(&g_signal_lock, 0, __ATOMIC_RELEASE);
		nvme_sigbus_reraise(signum);
		return;
	}

	if (!pctrlr->is_remapped) {
		size_t fill = sizeof(struct spdk_nvme_registers);

		map_address = mmap((void *)pctrlr->regs, pctrlr->regs_size, PROT_READ | PROT_WRITE,
				   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
		if (map_address == MAP_FAILED) {
			SPDK_ERRLOG("mmap failed\n");
			__atomic_store_n(&g_signal_lock, 0, __ATOMIC_RELEASE);
			nvme_sigbus_reraise(signum);
			return;
		}
		if (fill > pctrlr->regs_size) {
			fill = pctrlr->regs_size;
		}
		memset(map_address, 0xFF, fill);
		pctrlr->regs = (volatile struct spdk_nvme_registers *)map_address;
		pctrlr->is_remapped = true;
	}
	__atomic_store_n(&g_signal_lock, 0, __ATOMIC_RELEASE);
}

static void nvme_pcie_install_sigbus_handler(void)
{
	struct sigaction sa;

	pthread_mutex_lock(&g_sigset_lock);
	if (!g_sigset) {
		memset(&sa, 0, sizeof(sa));
		sa.sa_sigaction = nvme_sigbus_fault_sighandler;
		sigemptyset(&sa.sa_mask);
		sa.sa_flags = SA_SIGINFO;
		if (sigaction(SIGBUS, &sa, NULL) == 0) {
			g_sigset = true;
		}
	}
	pthread_mutex_unlock(&g_sigset_lock);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Register access                                                                                                  */
/* ---------------------------------------------------------------------------------------------------------------- */

static inline volatile void *nvme_pcie_reg_addr(struct nvme_pcie_ctrlr *pctrlr, uint32_t offset)
{
	return (volatile void *)((uintptr_t)pctrlr->regs + offset);
}

int nvme_pcie_ctrlr_set_reg_4(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint32_t value)
{
	struct nvme_pcie_ctrlr *pctrlr = nvme_pcie_ctrlr(ctrlr);

	g_thread_mmio_ctrlr = pctrlr;
	*(volatile uint32_t *)nvme_pcie_reg_addr(pctrlr, offset) = value;
	g_thread_mmio_ctrlr = NULL;
	return 0;
}

int nvme_pcie_ctrlr_set_reg_8(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint64_t value)
{
	struct nvme_pcie_ctrlr *pctrlr = nvme_pcie_ctrlr(ctrlr);

	g_thread_mmio_ctrlr = pctrlr;
	*(volatile uint64_t *)nvme_pcie_reg_addr(pctrlr, offset) = value;
	g_thread_mmio_ctrlr = NULL;
	return 0;
}

int nvme_pcie_ctrlr_get_reg_4(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint32_t *value)
{
	struct nvme_pcie_ctrlr *pctrlr = nvme_pcie_ctrlr(ctrlr);

	g_thread_mmio_ctrlr = pctrlr;
	*value = *(volatile uint32_t *)nvme_pcie_reg_addr(pctrlr, offset);
	g_thread_mmio_ctrlr = NULL;
	return *value == 0xFFFFFFFFu ? -1 : 0;
}

int nvme_pcie_ctrlr_get_reg_8(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint64_t *value)
{
	struct nvme_pcie_ctrlr *pctrlr = nvme_pcie_ctrlr(ctrlr);

	g_thread_mmio_ctrlr = pctrlr;
	*value = *(volatile uint64_t *)nvme_pcie_reg_addr(pctrlr, offset);
	g_thread_mmio_ctrlr = NULL;
	return *value == 0xFFFFFFFFFFFFFFFFull ? -1 : 0;
}

volatile struct spdk_nvme_registers *nvme_pcie_ctrlr_get_registers(struct spdk_nvme_ctrlr *ctrlr)
{
	return nvme_pcie_ctrlr(ctrlr)->regs;
}

int nvme_ctrlr_get_cap(struct spdk_nvme_ctrlr *ctrlr, union spdk_nvme_cap_register *cap)
{
	return nvme_transport_ctrlr_get_reg_8(ctrlr, SPDK_NVME_REG_CAP, &cap->raw);
}

int nvme_ctrlr_get_vs(struct spdk_nvme_ctrlr *ctrlr, union spdk_nvme_vs_register *vs)
{
	return nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_VS, &vs->raw);
}

int nvme_ctrlr_get_cmbsz(struct spdk_nvme_ctrlr *ctrlr, union spdk_nvme_cmbsz_register *cmbsz)
{
	return nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_CMBSZ, &cmbsz->raw);
}

static int nvme_pcie_ctrlr_get_cmbloc(struct nvme_pcie_ctrlr *pctrlr, union spdk_nvme_cmbloc_register *cmbloc)
{
	return nvme_pcie_ctrlr_get_reg_4(&pctrlr->ctrlr, SPDK_NVME_REG_CMBLOC, &cmbloc->raw);
}

uint32_t spdk_nvme_ctrlr_get_regs_csts(struct spdk_nvme_ctrlr *ctrlr)
{
	uint32_t csts;

	if (nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_CSTS, &csts) != 0) {
		return 0xFFFFFFFFu;
	}
	return csts;
}

uint64_t spdk_nvme_ctrlr_get_regs_cap(struct spdk_nvme_ctrlr *ctrlr)
{
	return ctrlr->cap.raw;
}

uint32_t spdk_nvme_ctrlr_get_regs_vs(struct spdk_nvme_ctrlr *ctrlr)
{
	return ctrlr->vs.raw;
}

uint32_t spdk_nvme_ctrlr_get_regs_cmbsz(struct spdk_nvme_ctrlr *ctrlr)
{
	union spdk_nvme_cmbsz_register cmbsz;

	if (nvme_ctrlr_get_cmbsz(ctrlr, &cmbsz) != 0) {
		return 0;
	}
	return cmbsz.raw;
}

volatile struct spdk_nvme_registers *spdk_nvme_ctrlr_get_registers(struct spdk_nvme_ctrlr *ctrlr)
{
	return nvme_transport_ctrlr_get_registers(ctrlr);
}

void nvme_ctrlr_init_cap(struct spdk_nvme_ctrlr *ctrlr, const union spdk_nvme_cap_register *cap,
			 const union spdk_nvme_vs_register *vs)
{
	uint32_t size;

	ctrlr->cap = *cap;
	ctrlr->vs = *vs;
	ctrlr->min_page_size = 1u << (12 + cap->bits.mpsmin);
	ctrlr->page_size = ctrlr->min_page_size;

	size = ctrlr->opts.io_queue_size;
	if (size < SPDK_NVME_IO_QUEUE_MIN_ENTRIES) {
		size = SPDK_NVME_IO_QUEUE_MIN_ENTRIES;
	}
	if (size > 32768) {
		size = 32768;
	}
	if (size > (uint32_t)cap->bits.mqes + 1) {
		size = (uint32_t)cap->bits.mqes + 1;
	}
	ctrlr->opts.io_queue_size = size;
	if (ctrlr->opts.io_queue_requests < ctrlr->opts.io_queue_size) {
		ctrlr->opts.io_queue_requests = ctrlr->opts.io_queue_size;
	}
}

uint32_t nvme_pcie_ctrlr_get_max_xfer_size(struct spdk_nvme_ctrlr *ctrlr)
{
	return ctrlr->page_size * NVME_MAX_PRP_LIST_ENTRIES;
}

uint16_t nvme_pcie_ctrlr_get_max_sges(struct spdk_nvme_ctrlr *ctrlr)
{
	return NVME_MAX_SGL_DESCRIPTORS;
}

struct spdk_pci_device *spdk_nvme_ctrlr_get_pci_device(struct spdk_nvme_ctrlr *ctrlr)
{
	if (ctrlr == NULL || ctrlr->trid.trtype != SPDK_NVME_TRANSPORT_PCIE) {
		return NULL;
	}
	return nvme_ctrlr_proc_get_devhandle(ctrlr);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Controller memory buffer                                                                                         */
/* ---------------------------------------------------------------------------------------------------------------- */

static void nvme_pcie_ctrlr_map_cmb(struct nvme_pcie_ctrlr *pctrlr)
{
	union spdk_nvme_cmbsz_register cmbsz;
	union spdk_nvme_cmbloc_register cmbloc;
	void *addr = NULL;
	uint64_t bar_phys = 0, bar_size = 0, unit_size, offset, size;
	uint32_t bir;
	uintptr_t reg_start, reg_end;
	int rc;

	if (nvme_ctrlr_get_cmbsz(&pctrlr->ctrlr, &cmbsz) != 0 || nvme_pcie_ctrlr_get_cmbloc(pctrlr, &cmbloc) != 0) {
		SPDK_ERRLOG("get registers failed\n");
		goto exit;
	}
	if (cmbsz.bits.sz == 0) {
		goto exit;
	}
	bir = cmbloc.bits.bir;
	/* BIR 1 is the upper half of the 64-bit BAR0; 6 and 7 are reserved. */
	if (bir == 1 || bir > 5) {
		goto exit;
	}
	/* The size unit is 4 KiB x 16^SZU; units the 64-bit arithmetic cannot hold are not real. */
	if (12 + 4 * (uint32_t)cmbsz.bits.szu >= 64) {
		goto exit;
	}

	rc = spdk_pci_device_map_bar(pctrlr->devhandle, bir, &addr, &bar_phys, &bar_size);
	if (rc != 0 || addr == NULL) {
		addr = NULL;
		goto exit;
	}

	unit_size = 1ULL << (12 + 4 * cmbsz.bits.szu);
	if (__builtin_mul_overflow(unit_size, (uint64_t)cmbloc.bits.ofst, &offset) || offset > bar_size) {
		goto unmap;
	}
	if (__builtin_mul_overflow(unit_size, (uint64_t)cmbsz.bits.sz, &size) || size > bar_size - offset) {
		goto unmap;
	}

	pctrlr->cmb_bar_virt_addr = addr;
	pctrlr->cmb_bar_phys_addr = bar_phys;
	pctrlr->cmb_size = size;
	pctrlr->cmb_current_offset = offset;
	pctrlr->cmb_max_offset = offset + size;

	if (!cmbsz.bits.sqs) {
		pctrlr->ctrlr.opts.use_cmb_sqs = false;
	}

	/* Submission queues only: nothing to register for data. */
	if ((cmbsz.raw & 0x19) == 0x01) {
		return;
	}

	if (size < NVME_CMB_MIN_IO_DATA_SIZE) {
		goto unmap;
	}

	reg_start = ((uintptr_t)addr + offset + NVME_CMB_ALIGN_2MB - 1) & ~(uintptr_t)(NVME_CMB_ALIGN_2MB - 1);
	reg_end = ((uintptr_t)addr + offset + size) & ~(uintptr_t)(NVME_CMB_ALIGN_2MB - 1);
	if (reg_end <= reg_start || spdk_mem_register((void *)reg_start, reg_end - reg_start) != 0) {
		SPDK_ERRLOG("spdk_mem_register() failed\n");
		goto unmap;
	}
	pctrlr->cmb_mem_register_addr = (void *)reg_start;
	pctrlr->cmb_mem_register_size = reg_end - reg_start;
	pctrlr->cmb_current_offset = reg_start - (uintptr_t)addr;
	pctrlr->cmb_max_offset = reg_end - (uintptr_t)addr;
	pctrlr->cmb_io_data_supported = true;
	return;

unmap:
	/* A CMB inside BAR0 shares the register mapping, which stays. */
	if (bir != 0) {
		spdk_pci_device_unmap_bar(pctrlr->devhandle, bir, addr);
	}
exit:
	pctrlr->cmb_bar_virt_addr = NULL;
	pctrlr->cmb_bar_phys_addr = 0;
	pctrlr->cmb_size = 0;
	pctrlr->cmb_current_offset = 0;
	pctrlr->cmb_max_offset = 0;
	pctrlr->cmb_io_data_supported = false;
	pctrlr->ctrlr.opts.use_cmb_sqs = false;
}

static int nvme_pcie_ctrlr_unmap_cmb(struct nvme_pcie_ctrlr *pctrlr)
{
	union spdk_nvme_cmbloc_register cmbloc;
	int rc = 0;

	if (pctrlr->cmb_bar_virt_addr == NULL) {
		return 0;
	}
	if (pctrlr->cmb_mem_register_addr) {
		spdk_mem_unregister(pctrlr->cmb_mem_register_addr, pctrlr->cmb_mem_register_size);
		pctrlr->cmb_mem_register_addr = NULL;
		pctrlr->cmb_mem_register_size = 0;
	}
	if (nvme_pcie_ctrlr_get_cmbloc(pctrlr, &cmbloc) != 0) {
		SPDK_ERRLOG("get_cmbloc() failed\n");
		return -EIO;
	}
	if (cmbloc.bits.bir != 0) {
		rc = spdk_pci_device_unmap_bar(pctrlr->devhandle, cmbloc.bits.bir, pctrlr->cmb_bar_virt_addr);
	}
	pctrlr->cmb_bar_virt_addr = NULL;
	return rc;
}

/* Carve a page-aligned submission ring out of the CMB; 0 and its offset, or -1. */
static int nvme_pcie_ctrlr_cmb_alloc_sq(struct nvme_pcie_ctrlr *pctrlr, uint64_t length, uint64_t *offset)
{
	uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
	uint64_t round_offset = (pctrlr->cmb_current_offset + page - 1) & ~(page - 1);

	if (round_offset + length > pctrlr->cmb_max_offset) {
		SPDK_ERRLOG("Tried to allocate past valid CMB range!\n");
		return -1;
	}
	*offset = round_offset;
	pctrlr->cmb_current_offset = round_offset + length;
	return 0;
}

void *nvme_pcie_ctrlr_alloc_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, size_t size)
{
	struct nvme_pcie_ctrlr *pctrlr = nvme_pcie_ctrlr(ctrlr);
	uint64_t offset;

	if (pctrlr->cmb_bar_virt_addr == NULL || !pctrlr->cmb_io_data_supported) {
		return NULL;
	}
	offset = (pctrlr->cmb_current_offset + 3) & ~3ULL;
	if (offset + size > pctrlr->cmb_max_offset || offset + size < offset) {
		SPDK_ERRLOG("Tried to allocate past valid CMB range!\n");
		return NULL;
	}
	pctrlr->cmb_current_offset = offset + size;
	return (uint8_t *)pctrlr->cmb_bar_virt_addr + offset;
}

int nvme_pcie_ctrlr_free_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, void *buf, size_t size)
{
	/* CMB space is handed out once. */
	SPDK_ERRLOG("%s: no deallocation for CMB buffers yet!\n", __func__);
	return 0;
}

void *spdk_nvme_ctrlr_alloc_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, size_t size)
{
	void *buf;

	if (size == 0) {
		return NULL;
	}
	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	buf = nvme_transport_ctrlr_alloc_cmb_io_buffer(ctrlr, size);
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	return buf;
}

void spdk_nvme_ctrlr_free_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, void *buf, size_t size)
{
	if (buf == NULL || size == 0) {
		return;
	}
	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	nvme_transport_ctrlr_free_cmb_io_buffer(ctrlr, buf, size);
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Controller construction and destruction                                                                          */
/* ---------------------------------------------------------------------------------------------------------------- */

static int nvme_pcie_ctrlr_allocate_bars(struct nvme_pcie_ctrlr *pctrlr, uint64_t *phys_out)
{
	void *addr = NULL;
	uint64_t phys_addr = 0, size = 0;
	int rc;

	SPDK_NOTICELOG("Allocating PCI BAR0\n");
	rc = spdk_pci_device_map_bar(pctrlr->devhandle, 0, &addr, &phys_addr, &size);
	if (rc != 0 || addr == NULL) {
		SPDK_ERRLOG("nvme_pcicfg_map_bar failed with rc %d or bar %p\n", rc, addr);
		return -1;
	}
	pctrlr->regs = (volatile struct spdk_nvme_registers *)addr;
	pctrlr->regs_size = size;
	SPDK_NOTICELOG("BAR0 Physical Address = 0x%016lx\n", (unsigned long)phys_addr);
	SPDK_NOTICELOG("BAR0 Virtual Address = 0x%016lx\n", (unsigned long)(uintptr_t)addr);
	SPDK_NOTICELOG("BAR0 Size = 0x%x\n", (unsigned int)size);
	*phys_out = phys_addr;
	return 0;
}

/* After a power cycle under the running system the device forgets its BAR programming: restore it. */
static void nvme_pcie_ctrlr_reinit_bar0(struct nvme_pcie_ctrlr *pctrlr, uint64_t bar0_phys)
{
	uint32_t bar0 = 0;
	uint16_t cmd = 0;

	if (spdk_pci_device_cfg_read32(pctrlr->devhandle, &bar0, NVME_PCI_CFG_BAR0) != 0) {
		return;
	}
	SPDK_NOTICELOG("BAR0 Address From Device = 0x%x\n", bar0);
	if ((bar0 & 0xFFFFC000u) == (uint32_t)bar0_phys) {
		return;
	}
	SPDK_NOTICELOG("PCI device's BAR0 is not initialized. Reinitializing\n");
	spdk_pci_device_cfg_write32(pctrlr->devhandle, (uint32_t)bar0_phys, NVME_PCI_CFG_BAR0);
	spdk_pci_device_cfg_write32(pctrlr->devhandle, (uint32_t)(bar0_phys >> 32), NVME_PCI_CFG_BAR0_UPPER);
	if (spdk_pci_device_cfg_read16(pctrlr->devhandle, &cmd, NVME_PCI_CFG_COMMAND) == 0) {
		cmd |= NVME_PCI_CMD_MEMORY_SPACE;
		spdk_pci_device_cfg_write16(pctrlr->devhandle, cmd, NVME_PCI_CFG_COMMAND);
	}
}

void nvme_pcie_ctrlr_stop_dma(struct spdk_nvme_ctrlr *ctrlr)
{
	struct nvme_pcie_ctrlr *pctrlr = nvme_pcie_ctrlr(ctrlr);
	uint16_t cmd = 0;

	/* A device that is gone does not answer: nothing to do then. */
	if (spdk_pci_device_cfg_read16(pctrlr->devhandle, &cmd, NVME_PCI_CFG_COMMAND) == 0 && cmd != 0xFFFF) {
		spdk_pci_device_cfg_write16(pctrlr->devhandle, cmd & ~NVME_PCI_CMD_BUS_MASTER, NVME_PCI_CFG_COMMAND);
	}
}

int nvme_pcie_ctrlr_restore_pci_config(struct spdk_nvme_ctrlr *ctrlr)
{
	struct nvme_pcie_ctrlr *pctrlr = nvme_pcie_ctrlr(ctrlr);
	uint16_t cmd = 0;

	if (spdk_pci_device_cfg_read16(pctrlr->devhandle, &cmd, NVME_PCI_CFG_COMMAND) != 0 || cmd == 0xFFFF) {
		return -ENODEV;
	}
	nvme_pcie_ctrlr_reinit_bar0(pctrlr, pctrlr->bar0_phys);
	if (spdk_pci_device_cfg_read16(pctrlr->devhandle, &cmd, NVME_PCI_CFG_COMMAND) != 0) {
		return -ENODEV;
	}
	return spdk_pci_device_cfg_write16(pctrlr->devhandle, cmd | NVME_PCI_CMD_MEMORY_SPACE, NVME_PCI_CFG_COMMAND) == 0 ?
	       0 : -ENODEV;
}

void nvme_pcie_ctrlr_start_dma(struct spdk_nvme_ctrlr *ctrlr)
{
	struct nvme_pcie_ctrlr *pctrlr = nvme_pcie_ctrlr(ctrlr);
	uint16_t cmd = 0;

	if (spdk_pci_device_cfg_read16(pctrlr->devhandle, &cmd, NVME_PCI_CFG_COMMAND) == 0 && cmd != 0xFFFF) {
		spdk_pci_device_cfg_write16(pctrlr->devhandle, cmd | NVME_PCI_CMD_BUS_MASTER, NVME_PCI_CFG_COMMAND);
	}
}

static void nvme_pcie_ctrlr_release_early(struct nvme_pcie_ctrlr *pctrlr)
{
	nvme_pcie_ctrlr_unmap_cmb(pctrlr);
	if (pctrlr->regs) {
		spdk_pci_device_unmap_bar(pctrlr->devhandle, 0, (void *)pctrlr->regs);
	}
	close(pctrlr->claim_fd);
	spdk_free(pctrlr);
}

static int nvme_pcie_ctrlr_construct_admin_qpair(struct spdk_nvme_ctrlr *ctrlr)
{
	struct nvme_pcie_qpair *pqpair;
	int rc;

	pqpair = (struct nvme_pcie_qpair *)spdk_zmalloc(sizeof(*pqpair), 64, NULL, SPDK_ENV_SOCKET_ID_ANY,
						       SPDK_MALLOC_SHARE);
	if (pqpair == NULL) {
		return -ENOMEM;
	}
	pqpair->flags.delay_pcie_doorbell = 0;
	pqpair->num_entries = NVME_ADMIN_ENTRIES;
	ctrlr->adminq = &pqpair->qpair;

	rc = nvme_qpair_init(ctrlr->adminq, 0, ctrlr, SPDK_NVME_QPRIO_URGENT, NVME_ADMIN_REQUESTS);
	if (rc != 0) {
		return rc;
	}
	return nvme_pcie_qpair_construct(ctrlr->adminq, NULL);
}

struct spdk_nvme_ctrlr *nvme_pcie_ctrlr_construct(const struct spdk_nvme_transport_id *trid,
						  const struct spdk_nvme_ctrlr_opts *opts, void *devhandle)
{
	struct spdk_pci_device *pci_dev = (struct spdk_pci_device *)devhandle;
	struct nvme_pcie_ctrlr *pctrlr;
	union spdk_nvme_cap_register cap;
	union spdk_nvme_vs_register vs;
	struct spdk_pci_addr pci_addr;
	struct spdk_pci_id pci_id;
	uint64_t bar0_phys = 0;
	uint32_t cmd_reg = 0;
	int claim_fd;

	if (spdk_pci_addr_parse(&pci_addr, trid->traddr) != 0) {
		SPDK_ERRLOG("could not parse pci address\n");
		return NULL;
	}
	claim_fd = spdk_pci_device_claim(&pci_addr);
	if (claim_fd < 0) {
		SPDK_ERRLOG("could not claim device %s\n", trid->traddr);
		return NULL;
	}

	pctrlr = (struct nvme_pcie_ctrlr *)spdk_zmalloc(sizeof(*pctrlr), 64, NULL, SPDK_ENV_SOCKET_ID_ANY,
						       SPDK_MALLOC_SHARE);
	if (pctrlr == NULL) {
		close(claim_fd);
		SPDK_ERRLOG("could not allocate ctrlr\n");
		return NULL;
	}
	pctrlr->is_remapped = false;
	pctrlr->ctrlr.is_removed = false;
	pctrlr->devhandle = pci_dev;
	pctrlr->claim_fd = claim_fd;
	pctrlr->ctrlr.opts = *opts;
	pctrlr->ctrlr.trid = *trid;

	/* The guard must be in place before the first access to BAR0. */
	nvme_pcie_install_sigbus_handler();

	if (nvme_pcie_ctrlr_allocate_bars(pctrlr, &bar0_phys) != 0) {
		close(claim_fd);
		spdk_free(pctrlr);
		return NULL;
	}
	pctrlr->bar0_phys = bar0_phys;
	nvme_pcie_ctrlr_reinit_bar0(pctrlr, bar0_phys);
	nvme_pcie_ctrlr_map_cmb(pctrlr);

	/* Bus master on, legacy interrupts off: everything is polled. */
	if (spdk_pci_device_cfg_read32(pci_dev, &cmd_reg, NVME_PCI_CFG_COMMAND) == 0) {
		cmd_reg |= NVME_PCI_CMD_BUS_MASTER_INTX_DISABLE;
		spdk_pci_device_cfg_write32(pci_dev, cmd_reg, NVME_PCI_CFG_COMMAND);
	}

	if (nvme_ctrlr_get_cap(&pctrlr->ctrlr, &cap) != 0) {
		SPDK_ERRLOG("get_cap() failed\n");
		nvme_pcie_ctrlr_release_early(pctrlr);
		return NULL;
	}
	if (nvme_ctrlr_get_vs(&pctrlr->ctrlr, &vs) != 0) {
		SPDK_ERRLOG("get_vs() failed\n");
		nvme_pcie_ctrlr_release_early(pctrlr);
		return NULL;
	}

	nvme_ctrlr_init_cap(&pctrlr->ctrlr, &cap, &vs);
	pctrlr->doorbell_stride_u32 = 1u << cap.bits.dstrd;

	if (nvme_ctrlr_construct(&pctrlr->ctrlr) != 0) {
		nvme_ctrlr_destruct(&pctrlr->ctrlr);
		return NULL;
	}

	pci_id = spdk_pci_device_get_id(pci_dev);
	pctrlr->ctrlr.quirks = nvme_get_quirks(&pci_id);

	if (nvme_pcie_ctrlr_construct_admin_qpair(&pctrlr->ctrlr) != 0) {
		nvme_ctrlr_destruct(&pctrlr->ctrlr);
		return NULL;
	}

	if (nvme_ctrlr_add_process(&pctrlr->ctrlr, pci_dev) != 0) {
		nvme_ctrlr_destruct(&pctrlr->ctrlr);
		return NULL;
	}
	return &pctrlr->ctrlr;
}

int nvme_pcie_ctrlr_enable(struct spdk_nvme_ctrlr *ctrlr)
{
	struct nvme_pcie_qpair *padminq = nvme_pcie_qpair(ctrlr->adminq);
	union spdk_nvme_aqa_register aqa;
	uint32_t n;

	if (nvme_pcie_ctrlr_set_reg_8(ctrlr, SPDK_NVME_REG_ASQ, padminq->cmd_bus_addr) != 0) {
		SPDK_ERRLOG("set_asq() failed\n");
		return -EIO;
	}
	if (nvme_pcie_ctrlr_set_reg_8(ctrlr, SPDK_NVME_REG_ACQ, padminq->cpl_bus_addr) != 0) {
		SPDK_ERRLOG("set_acq() failed\n");
		return -EIO;
	}
	n = (uint32_t)(padminq->num_entries - 1) & 0xFFF;
	aqa.raw = 0;
	aqa.bits.acqs = n;
	aqa.bits.asqs = n;
	SPDK_NOTICELOG("ASQ = 0x%016lx\n", (unsigned long)padminq->cmd_bus_addr);
	SPDK_NOTICELOG("ACQ = 0x%016lx\n", (unsigned long)padminq->cpl_bus_addr);
	SPDK_NOTICELOG("AQA.ACQS = %d\n", (int)aqa.bits.acqs);
	SPDK_NOTICELOG("AQA.ASQS = %d\n", (int)aqa.bits.asqs);
	if (nvme_pcie_ctrlr_set_reg_4(ctrlr, SPDK_NVME_REG_AQA, aqa.raw) != 0) {
		SPDK_ERRLOG("set_aqa() failed\n");
		return -EIO;
	}
	return 0;
}

int nvme_pcie_ctrlr_destruct(struct spdk_nvme_ctrlr *ctrlr)
{
	struct nvme_pcie_ctrlr *pctrlr = nvme_pcie_ctrlr(ctrlr);
	struct spdk_pci_device *devhandle = nvme_ctrlr_proc_get_devhandle(ctrlr);
	int rc;

	if (pctrlr->claim_fd >= 0) {
		close(pctrlr->claim_fd);
		pctrlr->claim_fd = -1;
	}

	if (ctrlr->adminq) {
		nvme_pcie_qpair_destroy(ctrlr->adminq);
		ctrlr->adminq = NULL;
	}

	nvme_ctrlr_destruct_finish(ctrlr);
	nvme_ctrlr_free_processes(ctrlr);

	if (!ctrlr->is_removed) {
		rc = nvme_pcie_ctrlr_unmap_cmb(pctrlr);
		if (rc != 0) {
			SPDK_ERRLOG("nvme_ctrlr_unmap_cmb failed with error code %d\n", rc);
		} else if (pctrlr->regs) {
			spdk_pci_device_unmap_bar(pctrlr->devhandle, 0, (void *)pctrlr->regs);
			pctrlr->regs = NULL;
		}
	}

	if (devhandle) {
		spdk_pci_device_detach(devhandle);
	}
	spdk_free(pctrlr);
	return 0;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Queue pair memory                                                                                                */
/* ---------------------------------------------------------------------------------------------------------------- */

int nvme_pcie_qpair_reset(struct spdk_nvme_qpair *qpair)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);

	pqpair->last_sq_tail = pqpair->sq_tail = pqpair->cq_head = pqpair->sq_head = 0;
	pqpair->flags.phase = 1;
	memset((void *)pqpair->cmd, 0, pqpair->num_entries * sizeof(struct spdk_nvme_cmd));
	memset((void *)pqpair->cpl, 0, pqpair->num_entries * sizeof(struct spdk_nvme_cpl));
	return 0;
}

/* One ring of a queue pair in host memory: the caller's memory when it gave some, else new DMA memory (kept in
 * *ring also when the next step fails, for the pair's teardown to free); the bus address likewise. `name` ("cmd" or
 * "cpl") names the ring in the error logs. */
static int nvme_pcie_qpair_ring_setup(void *vaddr, uint64_t paddr, size_t size, uint32_t flags, const char *name,
				      void **ring, uint64_t *bus_addr)
{
	*ring = vaddr;
	if (*ring == NULL) {
		*ring = spdk_zmalloc(size, 0x200000, NULL, SPDK_ENV_SOCKET_ID_ANY, flags);
		if (*ring == NULL) {
			SPDK_ERRLOG("alloc qpair_%s failed\n", name);
			return -ENOMEM;
		}
	}
	*bus_addr = paddr;
	if (*bus_addr == 0) {
		*bus_addr = spdk_vtophys(*ring, NULL);
		if (*bus_addr == SPDK_VTOPHYS_ERROR) {
			SPDK_ERRLOG("spdk_vtophys(pqpair->%s) failed\n", name);
			return -EFAULT;
		}
	}
	return 0;
}

int nvme_pcie_qpair_construct(struct spdk_nvme_qpair *qpair, const struct spdk_nvme_io_qpair_opts *opts)
{
	struct spdk_nvme_ctrlr *ctrlr = qpair->ctrlr;
	struct nvme_pcie_ctrlr *pctrlr = nvme_pcie_ctrlr(ctrlr);
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	uint32_t flags = SPDK_MALLOC_DMA;
	uint64_t sq_paddr = 0, cq_paddr = 0, offset;
	volatile uint32_t *doorbell_base;
	uint16_t num_trackers, i;
	struct nvme_tracker *tr;
	void *ring;
	int rc;

	if (opts) {
		pqpair->sq_vaddr = (struct spdk_nvme_cmd *)opts->sq.vaddr;
		pqpair->cq_vaddr = (struct spdk_nvme_cpl *)opts->cq.vaddr;
		sq_paddr = opts->sq.paddr;
		cq_paddr = opts->cq.paddr;
	}

	if (pqpair->num_entries < NVME_IO_QUEUE_MIN_ENTRIES) {
		SPDK_ERRLOG("queue size %u is below the minimum of %u\n", pqpair->num_entries, NVME_IO_QUEUE_MIN_ENTRIES);
		return -EINVAL;
	}

	pqpair->max_completions_cap = pqpair->num_entries / 4;
	if (pqpair->max_completions_cap < NVME_MIN_IO_TRACKERS) {
		pqpair->max_completions_cap = NVME_MIN_IO_TRACKERS;
	}
	if (pqpair->max_completions_cap > NVME_MAX_COMPLETIONS_CAP) {
		pqpair->max_completions_cap = NVME_MAX_COMPLETIONS_CAP;
	}
	num_trackers = pqpair->num_entries - pqpair->max_completions_cap;
	SPDK_DEBUGLOG(SPDK_LOG_NVME, "max_completions_cap = %u num_trackers = %u\n", pqpair->max_completions_cap,
		      num_trackers);

	if (qpair->id == 0) {
		flags |= SPDK_MALLOC_SHARE;
	}

	pqpair->sq_in_cmb = false;
	if (ctrlr->opts.use_cmb_sqs && pctrlr->cmb_bar_virt_addr != NULL &&
	    nvme_pcie_ctrlr_cmb_alloc_sq(pctrlr, (uint64_t)pqpair->num_entries * sizeof(struct spdk_nvme_cmd),
					 &offset) == 0) {
		pqpair->cmd = (struct spdk_nvme_cmd *)((uint8_t *)pctrlr->cmb_bar_virt_addr + offset);
		pqpair->cmd_bus_addr = pctrlr->cmb_bar_phys_addr + offset;
		pqpair->sq_in_cmb = true;
	}

	if (!pqpair->sq_in_cmb) {
		rc = nvme_pcie_qpair_ring_setup(pqpair->sq_vaddr, sq_paddr,
						pqpair->num_entries * sizeof(struct spdk_nvme_cmd), flags, "cmd", &ring,
						&pqpair->cmd_bus_addr);
		pqpair->cmd = (struct spdk_nvme_cmd *)ring;
		if (rc != 0) {
			return rc;
		}
	}

	rc = nvme_pcie_qpair_ring_setup(pqpair->cq_vaddr, cq_paddr, pqpair->num_entries * sizeof(struct spdk_nvme_cpl),
					flags, "cpl", &ring, &pqpair->cpl_bus_addr);
	pqpair->cpl = (struct spdk_nvme_cpl *)ring;
	if (rc != 0) {
		return rc;
	}

	doorbell_base = (volatile uint32_t *)((uintptr_t)pctrlr->regs + SPDK_NVME_REG_DOORBELL_BASE);
	pqpair->sq_tdbl = doorbell_base + (2u * qpair->id) * pctrlr->doorbell_stride_u32;
	pqpair->cq_hdbl = doorbell_base + (2u * qpair->id + 1) * pctrlr->doorbell_stride_u32;

	/* Trackers are read by the device (PRP lists and SGLs): DMA memory, one page each. */
	tr = (struct nvme_tracker *)spdk_zmalloc((size_t)num_trackers * sizeof(*tr), sizeof(*tr), NULL,
						 SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA | SPDK_MALLOC_SHARE);
	if (tr == NULL) {
		SPDK_ERRLOG("nvme_tr failed\n");
		return -ENOMEM;
	}
	pqpair->tr = tr;
	pqpair->num_trackers = num_trackers;
	/* Identifiers: the tracker index in as few low bits as hold it, a generation count in the bits left over. */
	pqpair->cid_index_mask = num_trackers <= 1 ? 0 : (uint16_t)(0xFFFFu >> (__builtin_clz((uint32_t)num_trackers - 1) - 16));

	TAILQ_INIT(&pqpair->free_tr);
	TAILQ_INIT(&pqpair->outstanding_tr);
	for (i = 0; i < num_trackers; i++) {
		tr[i].cid = i;
		tr[i].req = NULL;
		tr[i].prp_sgl_bus_addr = spdk_vtophys(&tr[i].u, NULL);
		if (tr[i].prp_sgl_bus_addr == SPDK_VTOPHYS_ERROR) {
			SPDK_ERRLOG("spdk_vtophys(tracker %u) failed\n", i);
			return -EFAULT;
		}
		TAILQ_INSERT_HEAD(&pqpair->free_tr, &tr[i], tq_list);
	}

	nvme_pcie_qpair_reset(qpair);
	return 0;
}

int nvme_pcie_qpair_destroy(struct spdk_nvme_qpair *qpair)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	struct nvme_tracker *tr;

	qpair->is_deleting = 1;
	if (nvme_qpair_is_admin_queue(qpair) && pqpair->tr != NULL) {
		nvme_pcie_admin_qpair_abort_aers(qpair);
	}

	/* Commands still at the device never complete now: release the bounce buffers they hold. */
	if (pqpair->tr != NULL) {
		TAILQ_FOREACH(tr, &pqpair->outstanding_tr, tq_list) {
			struct nvme_request *req = tr->req;

			if (req && req->cb_fn == nvme_user_copy_cmd_complete && req->payload.contig_or_cb_arg) {
				spdk_free(req->payload.contig_or_cb_arg);
				req->payload.contig_or_cb_arg = NULL;
			}
		}
	}

	if (pqpair->cmd && !pqpair->sq_in_cmb && pqpair->cmd != pqpair->sq_vaddr) {
		spdk_free(pqpair->cmd);
	}
	if (pqpair->cpl && pqpair->cpl != pqpair->cq_vaddr) {
		spdk_free(pqpair->cpl);
	}
	spdk_free(pqpair->tr);
	pqpair->tr = NULL;
	nvme_qpair_deinit(qpair);
	spdk_free(pqpair);
	return 0;
}

struct spdk_nvme_qpair *nvme_pcie_ctrlr_create_io_qpair_data_structure(struct spdk_nvme_ctrlr *ctrlr, uint16_t qid,
								       const struct spdk_nvme_io_qpair_opts *opts)
{
	struct nvme_pcie_qpair *pqpair;
	struct spdk_nvme_qpair *qpair;

	if (opts == NULL) {
		return NULL;
	}
	if (opts->io_queue_size < NVME_IO_QUEUE_MIN_ENTRIES || opts->io_queue_size > NVME_IO_QUEUE_MAX_ENTRIES) {
		SPDK_ERRLOG("I/O queue size %u outside %u..%u\n", opts->io_queue_size, NVME_IO_QUEUE_MIN_ENTRIES,
			    NVME_IO_QUEUE_MAX_ENTRIES);
		return NULL;
	}

	pqpair = (struct nvme_pcie_qpair *)spdk_zmalloc(sizeof(*pqpair), 64, NULL, SPDK_ENV_SOCKET_ID_ANY,
						       SPDK_MALLOC_SHARE);
	if (pqpair == NULL) {
		return NULL;
	}
	pqpair->num_entries = (uint16_t)opts->io_queue_size;
	pqpair->flags.delay_pcie_doorbell = opts->delay_pcie_doorbell ? 1 : 0;
	qpair = &pqpair->qpair;

	if (nvme_qpair_init(qpair, qid, ctrlr, opts->qprio, opts->io_queue_requests) != 0 ||
	    nvme_pcie_qpair_construct(qpair, opts) != 0) {
		nvme_pcie_qpair_destroy(qpair);
		return NULL;
	}
	/* Its commands are timed with this process's time-out, as the admin commands are. */
	qpair->active_proc = spdk_nvme_ctrlr_get_current_process(ctrlr);
	return qpair;
}

void nvme_pcie_ctrlr_delete_io_qpair_data_structure(struct spdk_nvme_qpair *qpair)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	bool log = !qpair->ctrlr->opts.disable_error_logging;
	struct nvme_request *req;
	struct nvme_tracker *tr;

	/* Freeing a queue pair that is already going (from a callback of its own teardown) does nothing. */
	if (qpair->is_deleting) {
		return;
	}
	/* From here on nothing is submitted or resubmitted to this queue pair. */
	qpair->is_deleting = 1;

	if (!qpair->no_deletion_notification_needed) {
		/* Every request still held completes exactly once. Callbacks may change the lists, so the head is
		 * read again after each completion. */
		for (;;) {
			if ((tr = TAILQ_FIRST(&pqpair->outstanding_tr)) != NULL) {
				if (log) {
					SPDK_ERRLOG("aborting outstanding command\n");
				}
				nvme_pcie_qpair_manual_complete_tracker(qpair, tr, SPDK_NVME_SC_ABORTED_BY_REQUEST, true, true);
				continue;
			}
			if ((req = STAILQ_FIRST(&qpair->queued_req)) != NULL) {
				STAILQ_REMOVE_HEAD(&qpair->queued_req, stailq);
				nvme_qpair_manual_complete_request(qpair, req, SPDK_NVME_SCT_GENERIC,
								   SPDK_NVME_SC_ABORTED_BY_REQUEST, true);
				continue;
			}
			if ((req = STAILQ_FIRST(&qpair->err_req_head)) != NULL) {
				STAILQ_REMOVE_HEAD(&qpair->err_req_head, stailq);
				nvme_qpair_manual_complete_request(qpair, req, SPDK_NVME_SCT_GENERIC,
								   SPDK_NVME_SC_ABORTED_BY_REQUEST, true);
				continue;
			}
			break;
		}
	}
	nvme_pcie_qpair_destroy(qpair);
}

/* Queue qid's entry in a doorbell-buffer page: its SQ tail (or its CQ head) in the shadow page, or the event index of
 * that doorbell in the event-index page. */
static volatile uint32_t *nvme_pcie_doorbell_buffer_entry(struct spdk_nvme_ctrlr *ctrlr, uint32_t *page, uint16_t qid,
							  bool completion)
{
	return page + (2u * qid + (completion ? 1 : 0)) * nvme_pcie_ctrlr(ctrlr)->doorbell_stride_u32;
}

void nvme_pcie_ctrlr_set_shadow_doorbell(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);

	if (ctrlr->shadow_doorbell && ctrlr->eventidx) {
		pqpair->shadow_doorbell.sq_tdbl = nvme_pcie_doorbell_buffer_entry(ctrlr, ctrlr->shadow_doorbell, qpair->id, false);
		pqpair->shadow_doorbell.cq_hdbl = nvme_pcie_doorbell_buffer_entry(ctrlr, ctrlr->shadow_doorbell, qpair->id, true);
		pqpair->shadow_doorbell.sq_eventidx = nvme_pcie_doorbell_buffer_entry(ctrlr, ctrlr->eventidx, qpair->id, false);
		pqpair->shadow_doorbell.cq_eventidx = nvme_pcie_doorbell_buffer_entry(ctrlr, ctrlr->eventidx, qpair->id, true);
		pqpair->flags.has_shadow_doorbell = 1;
	} else {
		memset(&pqpair->shadow_doorbell, 0, sizeof(pqpair->shadow_doorbell));
		pqpair->flags.has_shadow_doorbell = 0;
	}
}

/* A new queue's doorbell is 0, and so must its shadow entry be and the event index beside it: the device may read the
 * entry as soon as the queue exists (a stale value there is a doorbell write to it), and the host rings the register
 * only when its value passes the event index, which the device may not write before it has been rung. An earlier
 * queue of the same id left its last values in both, so they are cleared before the device is asked to create the
 * queue; the device no longer touches them then, since that id's queue is gone. */
static void nvme_pcie_ctrlr_clear_doorbell_buffer_entries(struct spdk_nvme_ctrlr *ctrlr, uint16_t qid, bool completion)
{
	if (ctrlr->shadow_doorbell && ctrlr->eventidx) {
		*nvme_pcie_doorbell_buffer_entry(ctrlr, ctrlr->shadow_doorbell, qid, completion) = 0;
		*nvme_pcie_doorbell_buffer_entry(ctrlr, ctrlr->eventidx, qid, completion) = 0;
	}
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Queue creation and deletion commands                                                                             */
/* ---------------------------------------------------------------------------------------------------------------- */

/* Fill and send one null-payload admin command; the completion arrives when the admin queue is polled. */
static int nvme_pcie_ctrlr_send_queue_cmd(struct spdk_nvme_ctrlr *ctrlr, uint8_t opc, uint32_t cdw10, uint32_t cdw11,
					  uint64_t prp1, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct nvme_request *req;
	int rc;

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	req = nvme_allocate_request_null(ctrlr->adminq, cb_fn, cb_arg);
	if (req == NULL) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		return -ENOMEM;
	}
	req->cmd.opc = opc;
	req->cmd.cdw10 = cdw10;
	req->cmd.cdw11 = cdw11;
	req->cmd.dptr.prp.prp1 = prp1;
	rc = nvme_ctrlr_submit_admin_request(ctrlr, req);
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	return rc;
}

int nvme_pcie_ctrlr_cmd_create_io_cq(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *io_que,
				     spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(io_que);

	nvme_pcie_ctrlr_clear_doorbell_buffer_entries(ctrlr, io_que->id, true);
	/* Physically contiguous, interrupts off */
	return nvme_pcie_ctrlr_send_queue_cmd(ctrlr, SPDK_NVME_OPC_CREATE_IO_CQ,
					      ((uint32_t)(pqpair->num_entries - 1) << 16) | io_que->id, 0x1,
					      pqpair->cpl_bus_addr, cb_fn, cb_arg);
}

int nvme_pcie_ctrlr_cmd_create_io_sq(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *io_que,
				     spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(io_que);

	nvme_pcie_ctrlr_clear_doorbell_buffer_entries(ctrlr, io_que->id, false);
	/* Completion queue with the same identifier, the queue's priority, physically contiguous */
	return nvme_pcie_ctrlr_send_queue_cmd(ctrlr, SPDK_NVME_OPC_CREATE_IO_SQ,
					      ((uint32_t)(pqpair->num_entries - 1) << 16) | io_que->id,
					      ((uint32_t)io_que->id << 16) | ((uint32_t)io_que->qprio << 1) | 0x1,
					      pqpair->cmd_bus_addr, cb_fn, cb_arg);
}

int nvme_pcie_ctrlr_cmd_delete_io_cq(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
				     spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	return nvme_pcie_ctrlr_send_queue_cmd(ctrlr, SPDK_NVME_OPC_DELETE_IO_CQ, qpair->id, 0, 0, cb_fn, cb_arg);
}

int nvme_pcie_ctrlr_cmd_delete_io_sq(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
				     spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	return nvme_pcie_ctrlr_send_queue_cmd(ctrlr, SPDK_NVME_OPC_DELETE_IO_SQ, qpair->id, 0, 0, cb_fn, cb_arg);
}

/* A blocking wait that ended without the device's answer (it gave up, or the command timed out): whether the
 * command took effect is unknown. */
static bool nvme_pcie_wait_unanswered(int wait_rc, const struct nvme_completion_poll_status *status)
{
	return wait_rc != 0 && (!status->done || spdk_nvme_cpl_is_host_timeout(&status->cpl));
}

struct spdk_nvme_qpair *nvme_pcie_ctrlr_create_io_qpair(struct spdk_nvme_ctrlr *ctrlr, uint16_t qid,
							const struct spdk_nvme_io_qpair_opts *opts)
{
	struct nvme_completion_poll_status status;
	struct spdk_nvme_qpair *qpair;
	bool sq_unknown = false;
	int rc;

	qpair = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr, qid, opts);
	if (qpair == NULL) {
		return NULL;
	}

	rc = nvme_pcie_ctrlr_cmd_create_io_cq(ctrlr, qpair, nvme_completion_poll_cb, &status);
	if (rc == 0) {
		rc = spdk_nvme_wait_for_completion(ctrlr->adminq, &status);
		if (rc != 0) {
			SPDK_ERRLOG("nvme_create_io_cq failed!\n");
			if (nvme_pcie_wait_unanswered(rc, &status)) {
				goto roll_back;  /* the completion queue may exist */
			}
		}
	} else {
		SPDK_ERRLOG("nvme_create_io_cq failed!\n");
	}
	if (rc != 0) {
		goto fail;
	}

	rc = nvme_pcie_ctrlr_cmd_create_io_sq(ctrlr, qpair, nvme_completion_poll_cb, &status);
	if (rc == 0) {
		rc = spdk_nvme_wait_for_completion(ctrlr->adminq, &status);
		sq_unknown = nvme_pcie_wait_unanswered(rc, &status);
	}
	if (rc != 0) {
		SPDK_ERRLOG("nvme_create_io_sq failed!\n");
		goto roll_back;
	}

	nvme_pcie_ctrlr_set_shadow_doorbell(ctrlr, qpair);
	nvme_pcie_qpair_reset(qpair);
	return qpair;

roll_back:
	/* The device may hold queues in this memory: it is freed only once the completion queue is known to be gone.
	 * A submission queue whose creation went unanswered goes first (a completion queue still in use cannot be
	 * deleted). */
	if (sq_unknown && nvme_pcie_ctrlr_cmd_delete_io_sq(ctrlr, qpair, nvme_completion_poll_cb, &status) == 0) {
		spdk_nvme_wait_for_completion(ctrlr->adminq, &status);
	}
	if (nvme_pcie_ctrlr_cmd_delete_io_cq(ctrlr, qpair, nvme_completion_poll_cb, &status) != 0 ||
	    spdk_nvme_wait_for_completion(ctrlr->adminq, &status) != 0) {
		SPDK_ERRLOG("I/O queue creation failed\n");
		nvme_ctrlr_strand_io_qpair(ctrlr, qpair);
		return NULL;
	}
fail:
	SPDK_ERRLOG("I/O queue creation failed\n");
	nvme_pcie_qpair_destroy(qpair);
	return NULL;
}

int nvme_pcie_ctrlr_delete_io_qpair(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair)
{
	struct nvme_completion_poll_status status;
	int rc;

	if (!ctrlr->is_removed) {
		rc = nvme_pcie_ctrlr_cmd_delete_io_sq(ctrlr, qpair, nvme_completion_poll_cb, &status);
		if (rc != 0) {
			SPDK_ERRLOG("Failed to send request to delete_io_sq with rc=%d\n", rc);
			return rc;
		}
		if (spdk_nvme_wait_for_completion(ctrlr->adminq, &status) != 0) {
			return -1;
		}
		rc = nvme_pcie_ctrlr_cmd_delete_io_cq(ctrlr, qpair, nvme_completion_poll_cb, &status);
		if (rc != 0) {
			SPDK_ERRLOG("Failed to send request to delete_io_cq with rc=%d\n", rc);
			return rc;
		}
		if (spdk_nvme_wait_for_completion(ctrlr->adminq, &status) != 0) {
			return -1;
		}
	}
	nvme_pcie_ctrlr_delete_io_qpair_data_structure(qpair);
	return 0;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Doorbells                                                                                                        */
/* ---------------------------------------------------------------------------------------------------------------- */

/* Shadow doorbell rule: update the shadow value and tell whether the device asked for an MMIO write. */
static inline bool nvme_pcie_qpair_update_mmio_required(uint16_t value, volatile uint32_t *shadow_db,
							volatile uint32_t *eventidx)
{
	uint16_t old;

	old = (uint16_t)*shadow_db;
	*shadow_db = value;
	__sync_synchronize();
	return (uint16_t)(value - (uint16_t)*eventidx) <= (uint16_t)(value - old);
}

/* One doorbell write; with shadow doorbells only when the device asked for it through the event index. */
static inline void nvme_pcie_qpair_write_doorbell(struct spdk_nvme_qpair *qpair, volatile uint32_t *doorbell,
						  uint16_t value, volatile uint32_t *shadow_db,
						  volatile uint32_t *eventidx)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);

	if (pqpair->flags.has_shadow_doorbell && shadow_db &&
	    !nvme_pcie_qpair_update_mmio_required(value, shadow_db, eventidx)) {
		return;
	}
	g_thread_mmio_ctrlr = nvme_pcie_ctrlr(qpair->ctrlr);
	*doorbell = value;
	g_thread_mmio_ctrlr = NULL;
}

static inline void nvme_pcie_qpair_ring_sq_doorbell(struct spdk_nvme_qpair *qpair)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);

	/* Commands were written with non-temporal stores: make them visible first. */
	_mm_sfence();
	nvme_pcie_qpair_write_doorbell(qpair, pqpair->sq_tdbl, pqpair->sq_tail, pqpair->shadow_doorbell.sq_tdbl,
				       pqpair->shadow_doorbell.sq_eventidx);
}

static inline void nvme_pcie_qpair_ring_cq_doorbell(struct spdk_nvme_qpair *qpair)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);

	nvme_pcie_qpair_write_doorbell(qpair, pqpair->cq_hdbl, pqpair->cq_head, pqpair->shadow_doorbell.cq_hdbl,
				       pqpair->shadow_doorbell.cq_eventidx);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Submission                                                                                                       */
/* ---------------------------------------------------------------------------------------------------------------- */

static inline void nvme_pcie_copy_command(struct spdk_nvme_cmd *dst, const struct spdk_nvme_cmd *src)
{
	__m128i *d = (__m128i *)dst;
	const __m128i *s = (const __m128i *)src;

	_mm_stream_si128(&d[0], _mm_loadu_si128(&s[0]));
	_mm_stream_si128(&d[1], _mm_loadu_si128(&s[1]));
	_mm_stream_si128(&d[2], _mm_loadu_si128(&s[2]));
	_mm_stream_si128(&d[3], _mm_loadu_si128(&s[3]));
}

static void nvme_pcie_qpair_submit_tracker(struct spdk_nvme_qpair *qpair, struct nvme_tracker *tr)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	struct nvme_request *req = tr->req;

	nvme_pcie_copy_command(&pqpair->cmd[pqpair->sq_tail], &req->cmd);
	if (++pqpair->sq_tail == pqpair->num_entries) {
		pqpair->sq_tail = 0;
	}
	if (pqpair->sq_tail == pqpair->sq_head) {
		SPDK_ERRLOG("sq_tail is passing sq_head!\n");
	}
	if (!pqpair->flags.delay_pcie_doorbell) {
		nvme_pcie_qpair_ring_sq_doorbell(qpair);
	}
}

/* Append the PRP entries of one virtually contiguous range; *prp_index counts entries used so far. */
static int nvme_pcie_prp_list_append(struct nvme_tracker *tr, uint32_t *prp_index, void *virt_addr, size_t len,
				     uint32_t page_size)
{
	struct spdk_nvme_cmd *cmd = &tr->req->cmd;
	uintptr_t page_mask = page_size - 1;
	uint32_t i = *prp_index;
	uint64_t phys_addr;

	if ((uintptr_t)virt_addr & 3) {
		SPDK_ERRLOG("virt_addr %p not dword aligned\n", virt_addr);
		return -EINVAL;
	}

	while (len) {
		size_t seg_len;

		if (i > NVME_MAX_PRP_LIST_ENTRIES) {
			SPDK_ERRLOG("out of PRP entries\n");
			return -EINVAL;
		}
		phys_addr = spdk_vtophys(virt_addr, NULL);
		if (phys_addr == SPDK_VTOPHYS_ERROR) {
			SPDK_ERRLOG("vtophys(%p) failed\n", virt_addr);
			return -EINVAL;
		}
		if (i == 0) {
			cmd->dptr.prp.prp1 = phys_addr;
			seg_len = page_size - ((uintptr_t)virt_addr & page_mask);
		} else {
			if (phys_addr & page_mask) {
				SPDK_ERRLOG("PRP %u not page aligned (%p)\n", i, virt_addr);
				return -EINVAL;
			}
			tr->u.prp[i - 1] = phys_addr;
			seg_len = page_size;
		}
		if (seg_len > len) {
			seg_len = len;
		}
		virt_addr = (uint8_t *)virt_addr + seg_len;
		len -= seg_len;
		i++;
	}

	cmd->psdt = SPDK_NVME_PSDT_PRP;
	if (i <= 1) {
		cmd->dptr.prp.prp2 = 0;
	} else if (i == 2) {
		cmd->dptr.prp.prp2 = tr->u.prp[0];
	} else {
		cmd->dptr.prp.prp2 = tr->prp_sgl_bus_addr;
	}
	*prp_index = i;
	return 0;
}

static int nvme_pcie_qpair_build_contig_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req,
						struct nvme_tracker *tr)
{
	uint32_t prp_index = 0;

	return nvme_pcie_prp_list_append(tr, &prp_index, (uint8_t *)req->payload.contig_or_cb_arg + req->payload_offset,
					 req->payload_size, qpair->ctrlr->page_size);
}

/* Scattered payload described with PRPs (controller without SGL support). */
static int nvme_pcie_qpair_build_prps_sgl_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req,
						  struct nvme_tracker *tr)
{
	uint32_t remaining = req->payload_size;
	uint32_t prp_index = 0;
	void *virt_addr;
	uint32_t length;
	int rc;

	req->payload.reset_sgl_fn(req->payload.contig_or_cb_arg, req->payload_offset);
	while (remaining > 0) {
		rc = req->payload.next_sge_fn(req->payload.contig_or_cb_arg, &virt_addr, &length);
		if (rc != 0 || length == 0) {
			return -EINVAL;
		}
		if (length > remaining) {
			length = remaining;
		}
		/* PRP entries after the first name whole pages: an element followed by another must end on a page
		 * boundary, or the device would move the rest of that page as if it belonged to the payload. */
		if (length < remaining && (((uintptr_t)virt_addr + length) & (qpair->ctrlr->page_size - 1)) != 0) {
			SPDK_ERRLOG("element %p + %u does not end on a page boundary\n", virt_addr, length);
			return -EINVAL;
		}
		rc = nvme_pcie_prp_list_append(tr, &prp_index, virt_addr, length, qpair->ctrlr->page_size);
		if (rc != 0) {
			return rc;
		}
		remaining -= length;
	}
	return 0;
}

/* Scattered payload described with hardware SGL descriptors. */
static int nvme_pcie_qpair_build_hw_sgl_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req,
						struct nvme_tracker *tr)
{
	struct spdk_nvme_sgl_descriptor *sgl = tr->u.sgl;
	uint32_t remaining = req->payload_size;
	uint32_t nseg = 0;
	void *virt_addr;
	uint32_t length;
	uint64_t phys_addr;
	int rc;

	req->payload.reset_sgl_fn(req->payload.contig_or_cb_arg, req->payload_offset);
	memset(&req->cmd.dptr, 0, sizeof(req->cmd.dptr));
	req->cmd.psdt = SPDK_NVME_PSDT_SGL_MPTR_CONTIG;

	while (remaining > 0) {
		uint32_t in_elem;

		rc = req->payload.next_sge_fn(req->payload.contig_or_cb_arg, &virt_addr, &length);
		if (rc != 0 || length == 0) {
			return -EINVAL;
		}
		in_elem = length < remaining ? length : remaining;
		remaining -= in_elem;

		while (in_elem > 0) {
			uint64_t to_boundary = NVME_SGL_SEGMENT_BOUNDARY - ((uintptr_t)virt_addr & (NVME_SGL_SEGMENT_BOUNDARY - 1));
			uint32_t seg = to_boundary < in_elem ? (uint32_t)to_boundary : in_elem;

			phys_addr = spdk_vtophys(virt_addr, NULL);
			if (phys_addr == SPDK_VTOPHYS_ERROR) {
				return -EINVAL;
			}
			if (nseg > 0 && phys_addr == sgl[-1].address + sgl[-1].unkeyed.length) {
				sgl[-1].unkeyed.length += seg;
			} else {
				if (nseg >= NVME_MAX_SGL_DESCRIPTORS) {
					return -EINVAL;
				}
				memset(sgl, 0, sizeof(*sgl));
				sgl->unkeyed.type = SPDK_NVME_SGL_TYPE_DATA_BLOCK;
				sgl->unkeyed.subtype = SPDK_NVME_SGL_SUBTYPE_ADDRESS;
				sgl->unkeyed.length = seg;
				sgl->address = phys_addr;
				sgl++;
				nseg++;
			}
			virt_addr = (uint8_t *)virt_addr + seg;
			in_elem -= seg;
		}
	}

	if (nseg == 1) {
		req->cmd.dptr.sgl1.unkeyed.type = SPDK_NVME_SGL_TYPE_DATA_BLOCK;
		req->cmd.dptr.sgl1.unkeyed.subtype = SPDK_NVME_SGL_SUBTYPE_ADDRESS;
		req->cmd.dptr.sgl1.address = tr->u.sgl[0].address;
		req->cmd.dptr.sgl1.unkeyed.length = tr->u.sgl[0].unkeyed.length;
	} else {
		req->cmd.dptr.sgl1.unkeyed.type = SPDK_NVME_SGL_TYPE_LAST_SEGMENT;
		req->cmd.dptr.sgl1.unkeyed.subtype = SPDK_NVME_SGL_SUBTYPE_ADDRESS;
		req->cmd.dptr.sgl1.address = tr->prp_sgl_bus_addr;
		req->cmd.dptr.sgl1.unkeyed.length = nseg * sizeof(struct spdk_nvme_sgl_descriptor);
	}
	return 0;
}

int nvme_pcie_qpair_submit_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req)
{
	struct spdk_nvme_ctrlr *ctrlr = qpair->ctrlr;
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	bool admin = nvme_qpair_is_admin_queue(qpair);
	struct nvme_tracker *tr;
	int rc = 0;

	if (admin) {
		nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	}

	tr = TAILQ_FIRST(&pqpair->free_tr);
	if (tr == NULL) {
		/* Submitted when a tracker frees up, or ended at its deadline. */
		nvme_qpair_park_request(qpair, req);
		goto exit;
	}

	TAILQ_REMOVE(&pqpair->free_tr, tr, tq_list);
	TAILQ_INSERT_TAIL(&pqpair->outstanding_tr, tr, tq_list);
	tr->req = req;
	tr->cb_fn = req->cb_fn;
	tr->cb_arg = req->cb_arg;
	req->cmd.cid = tr->cid;
	if (ctrlr->timeout_enabled) {
		/* The deadline runs from here, also for a request that waited for a tracker or an enabled queue. */
		req->submit_tick = pqpair->last_submit_tick = qpair->caller_tick != 0 ? qpair->caller_tick : spdk_get_ticks();
	}

	if (req->payload_size != 0) {
		if (req->payload.md) {
			uint64_t md_phys = spdk_vtophys((uint8_t *)req->payload.md + req->md_offset, NULL);

			if (md_phys == SPDK_VTOPHYS_ERROR) {
				rc = -EINVAL;
				goto fail;
			}
			req->cmd.mptr = md_phys;
		}
		if (req->payload.reset_sgl_fn == NULL) {
			rc = nvme_pcie_qpair_build_contig_request(qpair, req, tr);
		} else if (ctrlr->flags & SPDK_NVME_CTRLR_SGL_SUPPORTED) {
			rc = nvme_pcie_qpair_build_hw_sgl_request(qpair, req, tr);
		} else {
			rc = nvme_pcie_qpair_build_prps_sgl_request(qpair, req, tr);
		}
		if (rc != 0) {
			goto fail;
		}
	}

	nvme_pcie_qpair_submit_tracker(qpair, tr);
	goto exit;

fail:
	/* The payload cannot be described: the request completes now with invalid field. */
	nvme_pcie_qpair_manual_complete_tracker(qpair, tr, SPDK_NVME_SC_INVALID_FIELD, true, true);
	rc = -EINVAL;
exit:
	if (admin) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	}
	return rc;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Completion                                                                                                       */
/* ---------------------------------------------------------------------------------------------------------------- */

/* The tracker's next identifier: same index, next generation (FFFFh is skipped: it names no command). */
static inline void nvme_pcie_tracker_next_cid(const struct nvme_pcie_qpair *pqpair, struct nvme_tracker *tr)
{
	uint16_t cid = (uint16_t)(tr->cid + pqpair->cid_index_mask + 1u);

	if (__builtin_expect(cid == 0xFFFF, 0)) {
		cid = (uint16_t)(cid + pqpair->cid_index_mask + 1u);
	}
	tr->cid = cid;
}

static void nvme_pcie_qpair_complete_tracker(struct spdk_nvme_qpair *qpair, struct nvme_tracker *tr,
					     const struct spdk_nvme_cpl *cpl, bool print_on_error)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	struct spdk_nvme_ctrlr *ctrlr = qpair->ctrlr;
	struct nvme_request *req = tr->req;
	bool error = spdk_nvme_cpl_is_error(cpl);
	bool print = print_on_error && !ctrlr->opts.disable_error_logging;

	if (error) {
		bool retry = nvme_completion_is_retry(cpl) && req->retries < spdk_nvme_retry_count &&
			     !qpair->is_deleting;

		if (print) {
			spdk_nvme_qpair_print_command(qpair, &req->cmd);
			spdk_nvme_qpair_print_completion(qpair, (struct spdk_nvme_cpl *)cpl);
		}
		if (retry) {
			/* Sent again under a new identifier: a second copy of this completion cannot end the retry. */
			req->retries++;
			nvme_pcie_tracker_next_cid(pqpair, tr);
			req->cmd.cid = tr->cid;
			nvme_pcie_qpair_submit_tracker(qpair, tr);
			return;
		}
	}

	if (nvme_qpair_is_admin_queue(qpair) && req->pid != getpid()) {
		/* Completed on behalf of another process: park it for that process's next poll. */
		struct spdk_nvme_ctrlr_process *proc = spdk_nvme_ctrlr_get_process(ctrlr, req->pid);

		if (proc) {
			memcpy(&req->cpl, cpl, sizeof(*cpl));
			STAILQ_INSERT_TAIL(&proc->active_reqs, req, stailq);
		} else {
			SPDK_ERRLOG("The owning process (pid %d) is not found. Dropping the request.\n", (int)req->pid);
			nvme_free_request(req);
		}
	} else {
		struct spdk_nvme_cpl copy;
		const struct spdk_nvme_cpl *handed = nvme_qpair_inject_error(qpair, req, cpl, &copy);

		if (tr->cb_fn) {
			tr->cb_fn(tr->cb_arg, handed);
		}
		nvme_free_request(req);
	}

	/* Free again under a new identifier, and last in line: an identifier is used again as late as possible, so that
	 * an entry the drive posts twice finds nothing outstanding under it. */
	tr->req = NULL;
	tr->marked = 0;
	nvme_pcie_tracker_next_cid(pqpair, tr);
	TAILQ_REMOVE(&pqpair->outstanding_tr, tr, tq_list);
	TAILQ_INSERT_TAIL(&pqpair->free_tr, tr, tq_list);

	/* A tracker is free again: start the oldest parked request. A failed controller leaves them parked; the
	 * next poll ends them with an abort. */
	if (!STAILQ_EMPTY(&qpair->queued_req) && !ctrlr->is_resetting && !ctrlr->is_failed && !qpair->is_deleting) {
		req = STAILQ_FIRST(&qpair->queued_req);
		STAILQ_REMOVE_HEAD(&qpair->queued_req, stailq);
		nvme_qpair_submit_request(qpair, req);
	}
}

static void nvme_pcie_qpair_manual_complete_tracker(struct spdk_nvme_qpair *qpair, struct nvme_tracker *tr,
						    uint32_t sc, bool dnr, bool print_on_error)
{
	struct spdk_nvme_cpl cpl;

	memset(&cpl, 0, sizeof(cpl));
	cpl.sqid = qpair->id;
	cpl.cid = tr->cid;
	cpl.status.sct = SPDK_NVME_SCT_GENERIC;
	cpl.status.sc = sc & 0xFF;
	cpl.status.dnr = dnr ? 1 : 0;
	nvme_pcie_qpair_complete_tracker(qpair, tr, &cpl, print_on_error);
}

/* Marks every tracker outstanding now. */
static void nvme_pcie_qpair_mark_outstanding(struct nvme_pcie_qpair *pqpair)
{
	struct nvme_tracker *tr;

	TAILQ_FOREACH(tr, &pqpair->outstanding_tr, tq_list) {
		tr->marked = 1;
	}
}

/* Visits the marked trackers in list order (oldest first), unmarking each before `visit` runs. A visit may run
 * callbacks that complete other trackers or submit new ones (unmarked): a next tracker that is no longer marked
 * afterwards is not trusted, and the walk goes on from the head. */
static void nvme_pcie_qpair_visit_marked(struct spdk_nvme_qpair *qpair,
					 void (*visit)(struct spdk_nvme_qpair *qpair, struct nvme_tracker *tr, void *arg),
					 void *arg)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	struct nvme_tracker *tr = TAILQ_FIRST(&pqpair->outstanding_tr);

	while (tr != NULL) {
		struct nvme_tracker *next = TAILQ_NEXT(tr, tq_list);

		if (tr->marked) {
			tr->marked = 0;
			visit(qpair, tr, arg);
			if (next != NULL && !next->marked) {
				next = TAILQ_FIRST(&pqpair->outstanding_tr);
			}
		}
		tr = next;
	}
}

static void nvme_pcie_qpair_abort_one(struct spdk_nvme_qpair *qpair, struct nvme_tracker *tr, void *arg)
{
	if (!qpair->ctrlr->opts.disable_error_logging) {
		SPDK_ERRLOG("aborting outstanding command\n");
	}
	nvme_pcie_qpair_manual_complete_tracker(qpair, tr, SPDK_NVME_SC_ABORTED_BY_REQUEST, *(uint32_t *)arg != 0, true);
}

/* Ends what is outstanding now; anything a callback submits meanwhile stays. */
static void nvme_pcie_qpair_abort_trackers(struct spdk_nvme_qpair *qpair, uint32_t dnr)
{
	nvme_pcie_qpair_mark_outstanding(nvme_pcie_qpair(qpair));
	nvme_pcie_qpair_visit_marked(qpair, nvme_pcie_qpair_abort_one, &dnr);
}

void nvme_pcie_qpair_abort_reqs(struct spdk_nvme_qpair *qpair, uint32_t dnr)
{
	nvme_pcie_qpair_abort_trackers(qpair, dnr);
}

void nvme_pcie_admin_qpair_abort_aers(struct spdk_nvme_qpair *qpair)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	struct nvme_tracker *tr;

	tr = TAILQ_FIRST(&pqpair->outstanding_tr);
	while (tr != NULL) {
		if (tr->req && tr->req->cmd.opc == SPDK_NVME_OPC_ASYNC_EVENT_REQUEST) {
			nvme_pcie_qpair_manual_complete_tracker(qpair, tr, SPDK_NVME_SC_ABORTED_SQ_DELETION, false, false);
			tr = TAILQ_FIRST(&pqpair->outstanding_tr);
		} else {
			tr = TAILQ_NEXT(tr, tq_list);
		}
	}
}

int nvme_pcie_qpair_outstanding_opc(struct spdk_nvme_qpair *qpair, uint16_t cid)
{
	struct nvme_tracker *tr = nvme_pcie_qpair_find_tracker(nvme_pcie_qpair(qpair), cid);

	return tr != NULL ? tr->req->cmd.opc : -1;
}

/* A completion entry that matches no command outstanding under its identifier now (the drive posted it twice, or
 * for a command it never had): one log line with its fields, counted, otherwise ignored. */
static void nvme_pcie_qpair_ignore_completion(struct spdk_nvme_qpair *qpair, const struct spdk_nvme_cpl *cpl)
{
	__atomic_fetch_add(&qpair->ctrlr->ignored_completions, 1, __ATOMIC_RELAXED);
	SPDK_ERRLOG("cpl does not map to outstanding cmd, ignored: %s (%02x/%02x) qid:%d sqid:%d cid:%d cdw0:%x "
		    "sqhd:%04x p:%x m:%x dnr:%x\n",
		    spdk_nvme_cpl_get_status_string(&cpl->status), cpl->status.sct, cpl->status.sc, qpair->id, cpl->sqid,
		    cpl->cid, cpl->cdw0, cpl->sqhd, cpl->status.p, cpl->status.m, cpl->status.dnr);
}

static void nvme_pcie_qpair_time_out_one(struct spdk_nvme_qpair *qpair, struct nvme_tracker *tr, void *arg)
{
	nvme_request_time_out(tr->req, tr->cid, (struct spdk_nvme_ctrlr_process *)arg, &tr->cb_fn, &tr->cb_arg);
}

/* Unmarks the commands whose completions wait in the completion queue, not taken yet: the poll stopped at its limit
 * before them, or they arrived after the poll found the queue empty and before it read the clock (its thread held
 * off its core there). They were answered before their deadline was judged; the next poll takes them. Only the
 * entries already posted are read, the queue is left as it is. */
static void nvme_pcie_qpair_unmark_answered(struct nvme_pcie_qpair *pqpair)
{
	uint16_t head = pqpair->cq_head;
	uint8_t phase = pqpair->flags.phase;
	uint32_t seen;

	/* The drive posts no more than the queue holds before the head moves on. */
	for (seen = 0; seen + 1 < pqpair->num_entries; seen++) {
		volatile struct spdk_nvme_cpl *vcpl = &pqpair->cpl[head];
		struct nvme_tracker *tr;

		if ((vcpl->status_raw & 1u) != phase) {
			break;
		}
		__atomic_thread_fence(__ATOMIC_ACQUIRE);
		tr = nvme_pcie_qpair_find_tracker(pqpair, vcpl->cid);
		if (tr != NULL) {
			tr->marked = 0;
		}
		if (++head == pqpair->num_entries) {
			head = 0;
			phase = !phase;
		}
	}
}

/* The deadline walk: every outstanding command is looked at (submission order is not deadline order once commands
 * waited for a tracker), the late ones are ended unless their completion is already in the queue, and the walk is
 * not due again before the earliest deadline left. Commands submitted later have later deadlines than that. */
static void nvme_pcie_qpair_check_timeouts(struct spdk_nvme_qpair *qpair, uint64_t now)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	struct spdk_nvme_ctrlr_process *active_proc = nvme_qpair_timeout_process(qpair);
	struct nvme_tracker *tr;
	uint64_t next = UINT64_MAX;
	bool late = false;

	if (active_proc == NULL || active_proc->timeout_cb_fn == NULL) {
		pqpair->next_deadline_tick = UINT64_MAX;
		return;
	}
	TAILQ_FOREACH(tr, &pqpair->outstanding_tr, tq_list) {
		uint64_t deadline = tr->req ? nvme_request_deadline(tr->req, active_proc) : 0;

		if (deadline == 0) {
			continue;
		}
		if (deadline <= now) {
			tr->marked = 1;
			late = true;
		} else if (deadline < next) {
			next = deadline;
		}
	}
	pqpair->next_deadline_tick = next != UINT64_MAX ? next : now + active_proc->timeout_ticks;
	if (late) {
		nvme_pcie_qpair_unmark_answered(pqpair);
		nvme_pcie_qpair_visit_marked(qpair, nvme_pcie_qpair_time_out_one, active_proc);
	}
}

int32_t nvme_pcie_qpair_process_completions(struct spdk_nvme_qpair *qpair, uint32_t max_completions)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	struct spdk_nvme_ctrlr *ctrlr = qpair->ctrlr;
	bool admin = nvme_qpair_is_admin_queue(qpair);
	uint32_t num_completions = 0;
	uint32_t limit;

	if (admin) {
		nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	}

	limit = pqpair->max_completions_cap;
	if (max_completions != 0 && max_completions < limit) {
		limit = max_completions;
	}

	for (;;) {
		volatile struct spdk_nvme_cpl *vcpl = &pqpair->cpl[pqpair->cq_head];
		struct spdk_nvme_cpl cpl;
		struct nvme_tracker *tr;
		uint16_t next_head;

		if ((vcpl->status_raw & 1u) != pqpair->flags.phase) {
			break;
		}
		/* The phase bit is read before the rest of the entry. */
		__atomic_thread_fence(__ATOMIC_ACQUIRE);
		memcpy(&cpl, (const void *)vcpl, sizeof(cpl));

		next_head = pqpair->cq_head + 1 == pqpair->num_entries ? 0 : pqpair->cq_head + 1;
		{
			uint16_t next_index = pqpair->cpl[next_head].cid & pqpair->cid_index_mask;

			if (next_index < pqpair->num_trackers) {
				__builtin_prefetch(&pqpair->tr[next_index]);
			}
		}

		if (++pqpair->cq_head == pqpair->num_entries) {
			pqpair->cq_head = 0;
			pqpair->flags.phase = !pqpair->flags.phase;
		}

		tr = nvme_pcie_qpair_find_tracker(pqpair, cpl.cid);
		if (tr != NULL) {
			pqpair->sq_head = cpl.sqhd;
			nvme_pcie_qpair_complete_tracker(qpair, tr, &cpl, true);
		} else {
			nvme_pcie_qpair_ignore_completion(qpair, &cpl);
		}

		if (++num_completions == limit) {
			break;
		}
	}

	if (num_completions > 0) {
		nvme_pcie_qpair_ring_cq_doorbell(qpair);
	}

	if (pqpair->flags.delay_pcie_doorbell && pqpair->sq_tail != pqpair->last_sq_tail) {
		nvme_pcie_qpair_ring_sq_doorbell(qpair);
		pqpair->last_sq_tail = pqpair->sq_tail;
	}

	if (ctrlr->state == NVME_CTRLR_STATE_READY && !TAILQ_EMPTY(&pqpair->outstanding_tr)) {
		/* While completions arrive, the latest submission's tick serves as the clock: the busy path reads no
		 * clock of its own. A poll that finds nothing reads it, and then also looks at the controller's health. */
		uint64_t now = pqpair->last_submit_tick;

		if (num_completions == 0) {
			now = spdk_get_ticks();
			if (!ctrlr->is_resetting && nvme_ctrlr_check_health(ctrlr, now)) {
				goto out;  /* the caller ends everything waiting on the queue pair */
			}
		}
		if (ctrlr->timeout_enabled && now >= pqpair->next_deadline_tick) {
			nvme_pcie_qpair_check_timeouts(qpair, now);
		}
	}

out:
	if (admin) {
		struct spdk_nvme_ctrlr_process *active_proc = spdk_nvme_ctrlr_get_current_process(ctrlr);

		if (active_proc == NULL) {
			SPDK_ERRLOG("the active process (pid %d) is not found for this controller.\n", (int)getpid());
		} else {
			struct nvme_request *req;

			/* Admin commands of this process that another process reaped. */
			while ((req = STAILQ_FIRST(&active_proc->active_reqs)) != NULL) {
				STAILQ_REMOVE_HEAD(&active_proc->active_reqs, stailq);
				nvme_complete_request(req->cb_fn, req->cb_arg, qpair, req, &req->cpl);
				nvme_free_request(req);
			}
		}
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	}
	return (int32_t)num_completions;
}
