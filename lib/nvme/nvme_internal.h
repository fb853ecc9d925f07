/*
 * Internal records and functions of the NVMe driver: requests, queue pairs, trackers, namespaces, controllers,
 * per-process records, the driver-wide state and the PCIe transport. Shared by the driver's sources, its tests and
 * the device layer that drives queue pairs and controller state directly.
 */
#ifndef KYT_NVME_INTERNAL_H
#define KYT_NVME_INTERNAL_H

#include <errno.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>
#include <string.h>
#include <sys/queue.h>
#include <unistd.h>

#include "spdk/bit_array.h"
#include "spdk/env.h"
#include "spdk/log.h"
#include "spdk/nvme.h"
#include "spdk/nvme_spec.h"
#include "spdk/uuid.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef TAILQ_FOREACH_SAFE
#define TAILQ_FOREACH_SAFE(var, head, field, tvar) \
	for ((var) = TAILQ_FIRST((head)); (var) && ((tvar) = TAILQ_NEXT((var), field), 1); (var) = (tvar))
#endif
#ifndef STAILQ_FOREACH_SAFE
#define STAILQ_FOREACH_SAFE(var, head, field, tvar) \
	for ((var) = STAILQ_FIRST((head)); (var) && ((tvar) = STAILQ_NEXT((var), field), 1); (var) = (tvar))
#endif

/*
 * Which source defines what (so that no symbol is defined twice):
 * - nvme.c: SPDK_LOG_NVME, g_spdk_nvme_pid, g_spdk_nvme_driver, nvme_robust_mutex_init_shared,
 *   nvme_robust_mutex_init_recursive_shared, driver init, options, transport IDs, probe/attach/detach, and the PCIe
 *   scan of one address (nvme_pcie_ctrlr_scan and its enumeration callback).
 * - nvme_qpair.c: spdk_nvme_retry_count, the request layer (nvme_qpair_*, nvme_request_*), the blocking waits,
 *   nvme_completion_poll_cb, spdk_nvme_ctrlr_process_admin_completions, spdk_nvme_ctrlr_register_timeout_callback,
 *   spdk_nvme_ctrlr_register_aer_callback, spdk_nvme_ctrlr_get_ignored_completions, error injection, printing and
 *   status strings, user-copy requests.
 * - nvme_pcie.c: the other nvme_pcie_* functions, the SIGBUS guard, nvme_ctrlr_get_cap/vs/cmbsz, nvme_ctrlr_init_cap,
 *   spdk_nvme_ctrlr_get_regs_*, spdk_nvme_ctrlr_get_registers, spdk_nvme_ctrlr_alloc/free_cmb_io_buffer,
 *   spdk_nvme_ctrlr_get_pci_device.
 * - nvme_ctrlr_cmd.c: the raw commands and every admin command builder (incl. abort and its completion).
 * - nvme_ns.c: nvme_ns_* and spdk_nvme_ns_*.
 * - nvme_ctrlr.c: the controller record, init state machine, processes, queue-pair alloc/free, namespace list and
 *   management, remaining spdk_nvme_ctrlr_* accessors. nvme_transport.c: the nvme_transport_* forwarders.
 */

/* Log flag of the driver's debug lines ("nvme"). */
extern struct spdk_log_flag SPDK_LOG_NVME;

/* Process identifier recorded at driver initialisation; the pid of every request. */
extern pid_t g_spdk_nvme_pid;

/* ---------------------------------------------------------------------------------------------------------------- */
/* Quirks                                                                                                           */
/* ---------------------------------------------------------------------------------------------------------------- */

#define NVME_QUIRK_READ_LATENCY_PAGE 0x1
#define NVME_QUIRK_WRITE_LATENCY_PAGE 0x2
#define NVME_QUIRK_DELAY_BEFORE_CHK_RDY 0x4
#define NVME_QUIRK_VENDOR_STRIPE 0x8
#define NVME_QUIRK_QPAIR_ALLOC_DELAY 0x10
#define NVME_QUIRK_DEALLOC_READS_ZERO 0x20
#define NVME_QUIRK_NO_NS_LISTS 0x40
#define NVME_QUIRK_IDENTIFY_CNS 0x80
#define NVME_QUIRK_NO_VENDOR_LOG_DIR 0x100
#define NVME_QUIRK_OCSSD 0x200

struct spdk_nvme_quirks {
	struct spdk_pci_id id;
	uint64_t flags;
};

uint64_t nvme_get_quirks(const struct spdk_pci_id *id);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Constants                                                                                                        */
/* ---------------------------------------------------------------------------------------------------------------- */

#define NVME_ADMIN_ENTRIES 128
#define NVME_ADMIN_REQUESTS 128
#define NVME_MAX_ASYNC_EVENTS 8
#define NVME_MIN_IO_TRACKERS 1
#define NVME_MAX_COMPLETIONS_CAP 128
#define NVME_IO_QUEUE_MIN_ENTRIES 2
#define NVME_IO_QUEUE_MAX_ENTRIES 65535

/* A tracker's PRP list: prp1 in the command plus this many list entries. */
#define NVME_MAX_PRP_LIST_ENTRIES 505
#define NVME_MAX_SGL_DESCRIPTORS 251

#define NVME_TRACKER_SIZE 4096

/* Host page size used for CMB placement of queues */
#define NVME_CMB_ALIGN_2MB 0x200000ULL
#define NVME_CMB_MIN_IO_DATA_SIZE 0x400000ULL

/* ---------------------------------------------------------------------------------------------------------------- */
/* Robust mutexes                                                                                                   */
/* ---------------------------------------------------------------------------------------------------------------- */

static inline int nvme_robust_mutex_lock(pthread_mutex_t *mtx)
{
	int rc = pthread_mutex_lock(mtx);
	if (rc == EOWNERDEAD) {
		rc = pthread_mutex_consistent(mtx);
	}
	return rc;
}

static inline int nvme_robust_mutex_unlock(pthread_mutex_t *mtx)
{
	return pthread_mutex_unlock(mtx);
}

/* Robust, process-shared. 0 or -1. */
int nvme_robust_mutex_init_shared(pthread_mutex_t *mtx);
/* Recursive, robust, process-shared. 0 or -1. */
int nvme_robust_mutex_init_recursive_shared(pthread_mutex_t *mtx);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Requests                                                                                                         */
/* ---------------------------------------------------------------------------------------------------------------- */

struct nvme_payload {
	/* Scattered payload functions; NULL reset_sgl_fn means the payload is contiguous at contig_or_cb_arg. */
	spdk_nvme_req_reset_sgl_cb reset_sgl_fn;
	spdk_nvme_req_next_sge_cb next_sge_fn;
	void *contig_or_cb_arg;
	/* Separate metadata buffer or NULL */
	void *md;
};

#define NVME_PAYLOAD_CONTIG(buf, md_buf) \
	((struct nvme_payload){.reset_sgl_fn = NULL, .next_sge_fn = NULL, .contig_or_cb_arg = (buf), .md = (md_buf)})
#define NVME_PAYLOAD_SGL(reset_fn, next_fn, arg, md_buf) \
	((struct nvme_payload){.reset_sgl_fn = (reset_fn), .next_sge_fn = (next_fn), .contig_or_cb_arg = (arg), .md = (md_buf)})

struct nvme_request {
	struct spdk_nvme_cmd cmd;
	uint8_t retries;
	bool timed_out;
	uint16_t num_children;
	uint32_t payload_offset;
	uint32_t md_offset;
	uint32_t payload_size;
	/* Delay of a held-back injected request, in ticks */
	uint64_t timeout_tsc;
	struct nvme_payload payload;
	spdk_nvme_cmd_cb cb_fn;
	void *cb_arg;
	STAILQ_ENTRY(nvme_request) stailq;
	struct spdk_nvme_qpair *qpair;
	/* Tick of submission; 0 = not timed */
	uint64_t submit_tick;
	pid_t pid;
	/* Completion stored for a parked or injected request */
	struct spdk_nvme_cpl cpl;
	/* Split requests */
	TAILQ_HEAD(, nvme_request) children;
	TAILQ_ENTRY(nvme_request) child_tailq;
	struct nvme_request *parent;
	struct spdk_nvme_cpl parent_status;
	/* Requests copied through a DMA bounce buffer */
	spdk_nvme_cmd_cb user_cb_fn;
	void *user_cb_arg;
	void *user_buffer;
} __attribute__((aligned(64)));
SPDK_STATIC_ASSERT(sizeof(struct nvme_request) % 64 == 0, "request pool slots are whole cache lines");

/* Error-injection entry */
struct nvme_error_cmd {
	bool do_not_submit;
	uint64_t timeout_tsc;
	uint32_t err_count;
	uint8_t opc;
	struct spdk_nvme_status status;
	TAILQ_ENTRY(nvme_error_cmd) link;
};

/* ---------------------------------------------------------------------------------------------------------------- */
/* Queue pairs                                                                                                      */
/* ---------------------------------------------------------------------------------------------------------------- */

struct spdk_nvme_ctrlr_process;

struct spdk_nvme_qpair {
	struct spdk_nvme_ctrlr *ctrlr;
	uint16_t id;
	uint8_t qprio;
	uint8_t is_enabled : 1;
	uint8_t is_connecting : 1;
	uint8_t in_completion_context : 1;
	uint8_t delete_after_completion_context : 1;
	uint8_t no_deletion_notification_needed : 1;
	/* Set while the queue pair's data structure is being deleted: nothing is (re)submitted any more */
	uint8_t is_deleting : 1;
	enum spdk_nvme_transport_type trtype;
	STAILQ_HEAD(, nvme_request) free_req;
	STAILQ_HEAD(, nvme_request) queued_req;
	TAILQ_HEAD(, nvme_error_cmd) err_cmd_head;
	STAILQ_HEAD(, nvme_request) err_req_head;
	struct spdk_nvme_ctrlr_process *active_proc;
	void *req_buf;
	uint32_t num_requests;
	/* Next on the controller's list of stranded queue pairs (see nvme_ctrlr_strand_io_qpair) */
	struct spdk_nvme_qpair *stranded_next;
	/* The caller's tick reading (its poll pass's) for what it submits now: stamped instead of reading the clock;
	 * 0: read the clock. A caller sets it around its submission and clears it after. */
	uint64_t caller_tick;
	/* Not before this tick can a parked request pass its deadline (0: look at the next poll) */
	uint64_t parked_check_tick;
};

/* The identifier no tracker ever carries (FFFFh is skipped): what the time-out callback hears for a command held
 * back by an error injection, which never had one. */
#define NVME_HELD_REQUEST_CID 0xFFFFu

/* Command tracker: exactly one page so that its PRP list or SGL never crosses a page. */
struct nvme_tracker {
	TAILQ_ENTRY(nvme_tracker) tq_list;
	struct nvme_request *req;
	/* The command identifier of this tracker's present use: its index in the low bits (the queue pair's
	 * cid_index_mask), a generation count above that moves on each time the tracker is taken back or resubmitted,
	 * so that a late or repeated completion of an earlier use matches nothing. */
	uint16_t cid;
	/* Marks the trackers a walk over the outstanding list is still to visit (see nvme_pcie_qpair_abort_trackers) */
	uint16_t marked;
	uint32_t rsvd1;
	spdk_nvme_cmd_cb cb_fn;
	void *cb_arg;
	uint64_t prp_sgl_bus_addr;
	union {
		uint64_t prp[NVME_MAX_PRP_LIST_ENTRIES];
		struct spdk_nvme_sgl_descriptor sgl[NVME_MAX_SGL_DESCRIPTORS];
	} u;
};
SPDK_STATIC_ASSERT(sizeof(struct nvme_tracker) == NVME_TRACKER_SIZE, "a tracker is one 4096-byte page");
SPDK_STATIC_ASSERT(offsetof(struct nvme_tracker, u) % 8 == 0, "PRP list is 8-byte aligned");

struct nvme_pcie_qpair {
	volatile uint32_t *sq_tdbl;
	volatile uint32_t *cq_hdbl;
	struct spdk_nvme_cmd *cmd;
	struct spdk_nvme_cpl *cpl;
	TAILQ_HEAD(, nvme_tracker) free_tr;
	TAILQ_HEAD(nvme_outstanding_tr_head, nvme_tracker) outstanding_tr;
	struct nvme_tracker *tr;
	uint16_t num_entries;
	uint16_t max_completions_cap;
	uint16_t last_sq_tail;
	uint16_t sq_tail;
	uint16_t cq_head;
	uint16_t sq_head;
	/* Time-outs: the tick of the latest submission (also the poll's clock while completions arrive) and the tick
	 * before which no outstanding command can pass its deadline, so that the deadline walk runs only then. */
	uint64_t last_submit_tick;
	uint64_t next_deadline_tick;
	/* The tracker index bits of a command identifier (all ones, a power of two minus one, at least the highest
	 * index); the generation count takes the bits above. */
	uint16_t cid_index_mask;
	struct {
		uint8_t phase : 1;
		uint8_t delay_pcie_doorbell : 1;
		uint8_t has_shadow_doorbell : 1;
	} flags;
	struct spdk_nvme_qpair qpair;
	struct {
		volatile uint32_t *sq_tdbl;
		volatile uint32_t *cq_hdbl;
		volatile uint32_t *sq_eventidx;
		volatile uint32_t *cq_eventidx;
	} shadow_doorbell;
	bool sq_in_cmb;
	uint64_t cmd_bus_addr;
	uint64_t cpl_bus_addr;
	struct spdk_nvme_cmd *sq_vaddr;
	struct spdk_nvme_cpl *cq_vaddr;
	uint16_t num_trackers;
};

/* The PCIe queue pair around a generic one. In C++ the function hides the type's plain name: write
 * `struct nvme_pcie_qpair *` there (likewise `struct nvme_pcie_ctrlr *`). */
static inline struct nvme_pcie_qpair *nvme_pcie_qpair(struct spdk_nvme_qpair *qpair)
{
	return (struct nvme_pcie_qpair *)((uintptr_t)qpair - offsetof(struct nvme_pcie_qpair, qpair));
}

/* The tracker whose present command carries identifier `cid`, or NULL when no command is outstanding under it now. */
static inline struct nvme_tracker *nvme_pcie_qpair_find_tracker(struct nvme_pcie_qpair *pqpair, uint16_t cid)
{
	uint16_t index = cid & pqpair->cid_index_mask;
	struct nvme_tracker *tr;

	if (__builtin_expect(index >= pqpair->num_trackers, 0)) {
		return NULL;
	}
	tr = &pqpair->tr[index];
	return __builtin_expect(tr->cid == cid && tr->req != NULL, 1) ? tr : NULL;
}

static inline bool nvme_qpair_is_admin_queue(const struct spdk_nvme_qpair *qpair)
{
	return qpair->id == 0;
}

static inline bool nvme_qpair_is_io_queue(const struct spdk_nvme_qpair *qpair)
{
	return qpair->id != 0;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Namespaces                                                                                                       */
/* ---------------------------------------------------------------------------------------------------------------- */

struct spdk_nvme_ns {
	struct spdk_nvme_ctrlr *ctrlr;
	uint32_t sector_size;
	uint32_t extended_lba_size;
	uint32_t md_size;
	uint32_t pi_type;
	uint32_t sectors_per_max_io;
	uint32_t sectors_per_stripe;
	uint32_t id;
	uint16_t flags;
	uint8_t id_desc_list[4096];
};

/* ---------------------------------------------------------------------------------------------------------------- */
/* Controllers                                                                                                      */
/* ---------------------------------------------------------------------------------------------------------------- */

enum nvme_ctrlr_state {
	NVME_CTRLR_STATE_INIT_DELAY = 0,
	NVME_CTRLR_STATE_INIT = 1,
	NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_0 = 2,
	NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_1 = 3,
	NVME_CTRLR_STATE_DISABLE = 4,
	NVME_CTRLR_STATE_DISABLE_WAIT_FOR_READY_0 = 5,
	NVME_CTRLR_STATE_ENABLE = 6,
	NVME_CTRLR_STATE_ENABLE_WAIT_FOR_READY_1 = 7,
	NVME_CTRLR_STATE_ENABLE_ADMIN_QUEUE = 8,
	NVME_CTRLR_STATE_IDENTIFY = 9,
	NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY = 10,
	NVME_CTRLR_STATE_SET_NUM_QUEUES = 11,
	NVME_CTRLR_STATE_WAIT_FOR_SET_NUM_QUEUES = 12,
	NVME_CTRLR_STATE_GET_NUM_QUEUES = 13,
	NVME_CTRLR_STATE_WAIT_FOR_GET_NUM_QUEUES = 14,
	NVME_CTRLR_STATE_CONSTRUCT_NS = 15,
	NVME_CTRLR_STATE_IDENTIFY_ACTIVE_NS = 16,
	NVME_CTRLR_STATE_IDENTIFY_NS = 17,
	NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY_NS = 18,
	NVME_CTRLR_STATE_IDENTIFY_ID_DESCS = 19,
	NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY_ID_DESCS = 20,
	NVME_CTRLR_STATE_CONFIGURE_AER = 21,
	NVME_CTRLR_STATE_WAIT_FOR_CONFIGURE_AER = 22,
	NVME_CTRLR_STATE_SET_SUPPORTED_LOG_PAGES = 23,
	NVME_CTRLR_STATE_SET_SUPPORTED_FEATURES = 24,
	NVME_CTRLR_STATE_SET_DB_BUF_CFG = 25,
	NVME_CTRLR_STATE_WAIT_FOR_DB_BUF_CFG = 26,
	NVME_CTRLR_STATE_SET_KEEP_ALIVE_TIMEOUT = 27,
	NVME_CTRLR_STATE_WAIT_FOR_KEEP_ALIVE_TIMEOUT = 28,
	NVME_CTRLR_STATE_SET_HOST_ID = 29,
	NVME_CTRLR_STATE_WAIT_FOR_HOST_ID = 30,
	NVME_CTRLR_STATE_READY = 31,
	NVME_CTRLR_STATE_ERROR = 32,
};

struct nvme_async_event_request {
	struct spdk_nvme_ctrlr *ctrlr;
	struct nvme_request *req;
	struct spdk_nvme_cpl cpl;
};

/* One record per process using a controller */
struct spdk_nvme_ctrlr_process {
	bool is_primary;
	pid_t pid;
	STAILQ_HEAD(, nvme_request) active_reqs;
	TAILQ_ENTRY(spdk_nvme_ctrlr_process) tailq;
	struct spdk_pci_device *devhandle;
	int ref;
	TAILQ_HEAD(, spdk_nvme_qpair) allocated_io_qpairs;
	spdk_nvme_aer_cb aer_cb_fn;
	void *aer_cb_arg;
	spdk_nvme_timeout_cb timeout_cb_fn;
	void *timeout_cb_arg;
	uint64_t timeout_ticks;
	spdk_nvme_fail_cb fail_cb_fn;
	void *fail_cb_arg;
};

struct spdk_nvme_ctrlr {
	struct spdk_nvme_ns *ns;
	struct spdk_nvme_transport_id trid;
	uint32_t num_ns;
	bool is_removed;
	bool is_resetting;
	bool is_failed;
	bool is_shutdown;
	bool timeout_enabled;
	uint16_t max_sges;
	uint16_t cntlid;
	uint64_t flags;
	union spdk_nvme_cap_register cap;
	union spdk_nvme_vs_register vs;
	enum nvme_ctrlr_state state;
	uint64_t state_timeout_tsc;
	uint64_t next_keep_alive_tick;
	uint64_t keep_alive_interval_ticks;
	TAILQ_ENTRY(spdk_nvme_ctrlr) tailq;
	bool log_page_supported[256];
	bool feature_supported[256];
	uint32_t max_xfer_size;
	uint32_t min_page_size;
	uint32_t page_size;
	uint32_t num_aers;
	struct nvme_async_event_request aer[NVME_MAX_ASYNC_EVENTS];
	pthread_mutex_t ctrlr_lock;
	struct spdk_nvme_qpair *adminq;
	uint32_t *shadow_doorbell;
	uint32_t *eventidx;
	struct spdk_nvme_ctrlr_data cdata;
	uint32_t *active_ns_list;
	struct spdk_nvme_ns_data *nsdata;
	struct spdk_bit_array *free_io_qids;
	struct spdk_nvme_ctrlr_opts opts;
	uint64_t quirks;
	uint64_t sleep_timeout_tsc;
	TAILQ_HEAD(, spdk_nvme_ctrlr_process) active_procs;
	STAILQ_HEAD(, nvme_request) queued_aborts;
	uint32_t outstanding_aborts;
	/* When an idle poll or a blocking wait next reads CSTS to notice a failed or vanished controller */
	uint64_t next_health_check_tick;
	/* Completion entries that matched no command outstanding under their identifier (a drive's duplicate or stray
	 * entries), counted over every queue pair since the controller was constructed; updated atomically. */
	uint64_t ignored_completions;
	/* One-step queue pairs whose creation went unanswered: the device may still use their memory, so they stay
	 * (and keep their identifiers) until the controller goes. */
	struct spdk_nvme_qpair *stranded_qpairs;
};

/* PCIe controller: the generic controller first so that one pointer serves as both */
struct nvme_pcie_ctrlr {
	struct spdk_nvme_ctrlr ctrlr;
	volatile struct spdk_nvme_registers *regs;
	uint64_t regs_size;
	void *cmb_bar_virt_addr;
	uint64_t cmb_bar_phys_addr;
	uint64_t cmb_size;
	uint64_t cmb_current_offset;
	uint64_t cmb_max_offset;
	void *cmb_mem_register_addr;
	size_t cmb_mem_register_size;
	bool cmb_io_data_supported;
	uint32_t doorbell_stride_u32;
	struct spdk_pci_device *devhandle;
	int claim_fd;
	bool is_remapped;
	uint64_t bar0_phys;
};

static inline struct nvme_pcie_ctrlr *nvme_pcie_ctrlr(struct spdk_nvme_ctrlr *ctrlr)
{
	return (struct nvme_pcie_ctrlr *)ctrlr;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Driver-wide state                                                                                                */
/* ---------------------------------------------------------------------------------------------------------------- */

struct nvme_driver {
	pthread_mutex_t lock;
	TAILQ_HEAD(, spdk_nvme_ctrlr) shared_attached_ctrlrs;
	bool initialized;
	struct spdk_uuid default_extended_host_id;
};

extern struct nvme_driver *g_spdk_nvme_driver;

struct spdk_nvme_probe_ctx {
	struct spdk_nvme_transport_id trid;
	void *cb_ctx;
	spdk_nvme_probe_cb probe_cb;
	spdk_nvme_attach_cb attach_cb;
	spdk_nvme_remove_cb remove_cb;
	TAILQ_HEAD(, spdk_nvme_ctrlr) init_ctrlrs;
};

int nvme_driver_init(void);
/* See spdk_nvme_abandon_waits. */
bool nvme_waits_abandoned(void);
int nvme_ctrlr_probe(const struct spdk_nvme_transport_id *trid, struct spdk_nvme_probe_ctx *probe_ctx,
		     void *devhandle);
void nvme_ctrlr_connected(struct spdk_nvme_probe_ctx *probe_ctx, struct spdk_nvme_ctrlr *ctrlr);
struct spdk_nvme_ctrlr *spdk_nvme_get_ctrlr_by_trid_unsafe(const struct spdk_nvme_transport_id *trid);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Time helpers                                                                                                     */
/* ---------------------------------------------------------------------------------------------------------------- */

/* Ticks for a duration in microseconds without overflowing ticks_hz x us for long durations. */
static inline uint64_t nvme_us_to_ticks(uint64_t us)
{
	uint64_t hz = spdk_get_ticks_hz();
	return (us / 1000000ULL) * hz + (us % 1000000ULL) * hz / 1000000ULL;
}

static inline uint64_t nvme_ms_to_ticks(uint64_t ms)
{
	uint64_t hz = spdk_get_ticks_hz();
	return (ms / 1000ULL) * hz + (ms % 1000ULL) * hz / 1000ULL;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Request pool helpers                                                                                             */
/* ---------------------------------------------------------------------------------------------------------------- */

static inline struct nvme_request *nvme_allocate_request(struct spdk_nvme_qpair *qpair,
							 const struct nvme_payload *payload, uint32_t payload_size,
							 spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct nvme_request *req = STAILQ_FIRST(&qpair->free_req);
	if (req == NULL) {
		return NULL;
	}
	STAILQ_REMOVE_HEAD(&qpair->free_req, stailq);

	/* Only the fields up to the split bookkeeping need clearing; the rest is set on use. */
	memset(req, 0, offsetof(struct nvme_request, payload_size));
	req->payload_offset = 0;
	req->md_offset = 0;
	req->timeout_tsc = 0;
	req->payload = *payload;
	req->payload_size = payload_size;
	req->cb_fn = cb_fn;
	req->cb_arg = cb_arg;
	req->qpair = qpair;
	req->submit_tick = 0;
	req->pid = g_spdk_nvme_pid;
	memset(&req->cpl, 0, sizeof(req->cpl));
	req->num_children = 0;
	req->parent = NULL;
	TAILQ_INIT(&req->children);
	req->user_cb_fn = NULL;
	req->user_cb_arg = NULL;
	req->user_buffer = NULL;
	return req;
}

static inline struct nvme_request *nvme_allocate_request_contig(struct spdk_nvme_qpair *qpair, void *buffer,
								uint32_t payload_size, spdk_nvme_cmd_cb cb_fn,
								void *cb_arg)
{
	struct nvme_payload payload;
	payload.reset_sgl_fn = NULL;
	payload.next_sge_fn = NULL;
	payload.contig_or_cb_arg = buffer;
	payload.md = NULL;
	return nvme_allocate_request(qpair, &payload, payload_size, cb_fn, cb_arg);
}

static inline struct nvme_request *nvme_allocate_request_null(struct spdk_nvme_qpair *qpair, spdk_nvme_cmd_cb cb_fn,
							      void *cb_arg)
{
	return nvme_allocate_request_contig(qpair, NULL, 0, cb_fn, cb_arg);
}

/* Return a request to the front of its pool. */
static inline void nvme_free_request(struct nvme_request *req)
{
	STAILQ_INSERT_HEAD(&req->qpair->free_req, req, stailq);
}

static inline void nvme_complete_request(spdk_nvme_cmd_cb cb_fn, void *cb_arg, struct spdk_nvme_qpair *qpair,
					 struct nvme_request *req, struct spdk_nvme_cpl *cpl);

struct nvme_request *nvme_allocate_request_user_copy(struct spdk_nvme_qpair *qpair, void *buffer,
						     uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg,
						     bool host_to_controller);
void nvme_user_copy_cmd_complete(void *arg, const struct spdk_nvme_cpl *cpl);

/* Unlink a child from its split parent. */
static inline void nvme_request_remove_child(struct nvme_request *parent, struct nvme_request *child)
{
	parent->num_children--;
	TAILQ_REMOVE(&parent->children, child, child_tailq);
}

void nvme_request_free_children(struct nvme_request *req);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Request layer                                                                                                    */
/* ---------------------------------------------------------------------------------------------------------------- */

int nvme_qpair_init(struct spdk_nvme_qpair *qpair, uint16_t id, struct spdk_nvme_ctrlr *ctrlr,
		    enum spdk_nvme_qprio qprio, uint32_t num_requests);
void nvme_qpair_deinit(struct spdk_nvme_qpair *qpair);
void nvme_qpair_enable(struct spdk_nvme_qpair *qpair);
void nvme_qpair_disable(struct spdk_nvme_qpair *qpair);
int nvme_qpair_submit_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req);
/* Park a request that cannot be submitted now (queue pair disabled, no free tracker): it waits on queued_req, timed
 * from when it was first parked; a poll past its deadline ends it with the unsent time-out status
 * (spdk_nvme_cpl_is_unsent_timeout). */
void nvme_qpair_park_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req);
void nvme_qpair_manual_complete_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req, uint32_t sct,
					uint32_t sc, bool dnr);
void nvme_qpair_abort_queued_reqs(struct spdk_nvme_qpair *qpair, uint32_t dnr);
void nvme_qpair_complete_error_reqs(struct spdk_nvme_qpair *qpair);
/* Replace the status of a successful completion when an injection entry matches; returns the completion to hand on. */
const struct spdk_nvme_cpl *nvme_qpair_inject_error(struct spdk_nvme_qpair *qpair, struct nvme_request *req,
						   const struct spdk_nvme_cpl *cpl, struct spdk_nvme_cpl *copy);
bool nvme_completion_is_retry(const struct spdk_nvme_cpl *cpl);
/* The process whose time-out settings govern the queue pair's commands: the calling process for the admin queue
 * (under the controller's lock), the owner for an I/O queue pair. */
struct spdk_nvme_ctrlr_process *nvme_qpair_timeout_process(struct spdk_nvme_qpair *qpair);
/* The deadline of an outstanding request, or 0 when it is not watched (not timed, already timed out, another
 * process's, an asynchronous event request). */
uint64_t nvme_request_deadline(const struct nvme_request *req, const struct spdk_nvme_ctrlr_process *active_proc);
/* Ends a request that passed its deadline: marked timed out, reported once to the process's time-out callback, and
 * completed to its caller with the host time-out status while it stays at the device (its tracker keeps it until
 * the device completes it or the queue goes; a bounce buffer lives as long). */
void nvme_request_time_out(struct nvme_request *req, uint16_t cid, struct spdk_nvme_ctrlr_process *active_proc,
			   spdk_nvme_cmd_cb *cb_fn, void **cb_arg);
int nvme_ctrlr_submit_admin_request(struct spdk_nvme_ctrlr *ctrlr, struct nvme_request *req);
/* Make a blocking wait that gives up detach its request: the late completion is then discarded. */
void nvme_qpair_orphan_wait(struct spdk_nvme_qpair *qpair, struct nvme_completion_poll_status *status);

const char *nvme_admin_opc_string(uint8_t opc);
const char *nvme_io_opc_string(uint8_t opc);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Commands                                                                                                         */
/* ---------------------------------------------------------------------------------------------------------------- */

int nvme_ctrlr_cmd_identify(struct spdk_nvme_ctrlr *ctrlr, uint8_t cns, uint16_t cntid, uint32_t nsid, void *payload,
			    size_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_set_num_queues(struct spdk_nvme_ctrlr *ctrlr, uint32_t num_queues, spdk_nvme_cmd_cb cb_fn,
				  void *cb_arg);
int nvme_ctrlr_cmd_get_num_queues(struct spdk_nvme_ctrlr *ctrlr, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_set_async_event_config(struct spdk_nvme_ctrlr *ctrlr,
					  union spdk_nvme_feat_async_event_configuration config,
					  spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_set_host_id(struct spdk_nvme_ctrlr *ctrlr, void *host_id, uint32_t host_id_size,
			       spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_attach_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_ctrlr_list *payload,
			     spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_detach_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_ctrlr_list *payload,
			     spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_create_ns(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_ns_data *payload,
			     spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_delete_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_format(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_format *format,
			  spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_fw_commit(struct spdk_nvme_ctrlr *ctrlr, const struct spdk_nvme_fw_commit *fw_commit,
			     spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_fw_image_download(struct spdk_nvme_ctrlr *ctrlr, uint32_t size, uint32_t offset, void *payload,
				     spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_security_receive(struct spdk_nvme_ctrlr *ctrlr, uint8_t secp, uint16_t spsp, uint8_t nssf,
				    void *payload, uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_security_send(struct spdk_nvme_ctrlr *ctrlr, uint8_t secp, uint16_t spsp, uint8_t nssf,
				 void *payload, uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_sanitize(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_sanitize *sanitize,
			    uint32_t cdw11, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_ctrlr_cmd_doorbell_buffer_config(struct spdk_nvme_ctrlr *ctrlr, uint64_t prp1, uint64_t prp2,
					  spdk_nvme_cmd_cb cb_fn, void *cb_arg);
void spdk_nvme_ctrlr_cmd_abort_cpl(void *ctx, const struct spdk_nvme_cpl *cpl);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Namespaces                                                                                                       */
/* ---------------------------------------------------------------------------------------------------------------- */

int nvme_ns_construct(struct spdk_nvme_ns *ns, uint32_t id, struct spdk_nvme_ctrlr *ctrlr);
void nvme_ns_destruct(struct spdk_nvme_ns *ns);
void nvme_ns_set_identify_data(struct spdk_nvme_ns *ns);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Controller                                                                                                       */
/* ---------------------------------------------------------------------------------------------------------------- */

int nvme_ctrlr_construct(struct spdk_nvme_ctrlr *ctrlr);
void nvme_ctrlr_destruct(struct spdk_nvme_ctrlr *ctrlr);
void nvme_ctrlr_destruct_finish(struct spdk_nvme_ctrlr *ctrlr);
int nvme_ctrlr_process_init(struct spdk_nvme_ctrlr *ctrlr);
void nvme_ctrlr_fail(struct spdk_nvme_ctrlr *ctrlr, bool hot_remove);
/* For an I/O queue pair whose creation or deletion went unanswered: the device may still use its memory, so the
 * pair is kept with the controller (its identifier stays taken) until the controller goes. */
void nvme_ctrlr_strand_io_qpair(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair);
/* Reads CSTS at most once a millisecond: a fatal status (CFS) or a register that reads all ones fails the
 * controller (all ones: removed). True when the controller is (now) failed. */
bool nvme_ctrlr_check_health(struct spdk_nvme_ctrlr *ctrlr, uint64_t now);
void nvme_ctrlr_init_cap(struct spdk_nvme_ctrlr *ctrlr, const union spdk_nvme_cap_register *cap,
			 const union spdk_nvme_vs_register *vs);
const char *nvme_ctrlr_state_string(enum nvme_ctrlr_state state);
int nvme_ctrlr_get_cap(struct spdk_nvme_ctrlr *ctrlr, union spdk_nvme_cap_register *cap);
int nvme_ctrlr_get_vs(struct spdk_nvme_ctrlr *ctrlr, union spdk_nvme_vs_register *vs);
int nvme_ctrlr_get_cmbsz(struct spdk_nvme_ctrlr *ctrlr, union spdk_nvme_cmbsz_register *cmbsz);
void nvme_ctrlr_destruct_namespaces(struct spdk_nvme_ctrlr *ctrlr);

/* Processes */
int nvme_ctrlr_add_process(struct spdk_nvme_ctrlr *ctrlr, void *devhandle);
void nvme_ctrlr_free_processes(struct spdk_nvme_ctrlr *ctrlr);
struct spdk_nvme_ctrlr_process *spdk_nvme_ctrlr_get_process(struct spdk_nvme_ctrlr *ctrlr, pid_t pid);
struct spdk_nvme_ctrlr_process *spdk_nvme_ctrlr_get_current_process(struct spdk_nvme_ctrlr *ctrlr);
void nvme_ctrlr_proc_get_ref(struct spdk_nvme_ctrlr *ctrlr);
void nvme_ctrlr_proc_put_ref(struct spdk_nvme_ctrlr *ctrlr);
int nvme_ctrlr_get_ref_count(struct spdk_nvme_ctrlr *ctrlr);
struct spdk_pci_device *nvme_ctrlr_proc_get_devhandle(struct spdk_nvme_ctrlr *ctrlr);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Transport switch (PCIe is the only transport)                                                                    */
/* ---------------------------------------------------------------------------------------------------------------- */

struct spdk_nvme_ctrlr *nvme_transport_ctrlr_construct(const struct spdk_nvme_transport_id *trid,
						       const struct spdk_nvme_ctrlr_opts *opts, void *devhandle);
int nvme_transport_ctrlr_destruct(struct spdk_nvme_ctrlr *ctrlr);
int nvme_transport_ctrlr_scan(struct spdk_nvme_probe_ctx *probe_ctx, bool direct_connect);
int nvme_transport_ctrlr_enable(struct spdk_nvme_ctrlr *ctrlr);
int nvme_transport_ctrlr_set_reg_4(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint32_t value);
int nvme_transport_ctrlr_set_reg_8(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint64_t value);
int nvme_transport_ctrlr_get_reg_4(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint32_t *value);
int nvme_transport_ctrlr_get_reg_8(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint64_t *value);
volatile struct spdk_nvme_registers *nvme_transport_ctrlr_get_registers(struct spdk_nvme_ctrlr *ctrlr);
uint32_t nvme_transport_ctrlr_get_max_xfer_size(struct spdk_nvme_ctrlr *ctrlr);
uint16_t nvme_transport_ctrlr_get_max_sges(struct spdk_nvme_ctrlr *ctrlr);
void *nvme_transport_ctrlr_alloc_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, size_t size);
int nvme_transport_ctrlr_free_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, void *buf, size_t size);
struct spdk_nvme_qpair *nvme_transport_ctrlr_create_io_qpair(struct spdk_nvme_ctrlr *ctrlr, uint16_t qid,
							     const struct spdk_nvme_io_qpair_opts *opts);
int nvme_transport_ctrlr_delete_io_qpair(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair);
/* Free only the host side of an I/O queue pair (no commands to the device), e.g. while the controller resets. */
void nvme_transport_ctrlr_delete_io_qpair_data_structure(struct spdk_nvme_qpair *qpair);
int nvme_transport_qpair_reset(struct spdk_nvme_qpair *qpair);
int nvme_transport_qpair_submit_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req);
int32_t nvme_transport_qpair_process_completions(struct spdk_nvme_qpair *qpair, uint32_t max_completions);
void nvme_transport_qpair_abort_reqs(struct spdk_nvme_qpair *qpair, uint32_t dnr);
void nvme_transport_admin_qpair_abort_aers(struct spdk_nvme_qpair *qpair);
void nvme_transport_ctrlr_stop_dma(struct spdk_nvme_ctrlr *ctrlr);
void nvme_transport_ctrlr_start_dma(struct spdk_nvme_ctrlr *ctrlr);
int nvme_transport_ctrlr_restore_pci_config(struct spdk_nvme_ctrlr *ctrlr);

/* ---------------------------------------------------------------------------------------------------------------- */
/* PCIe transport                                                                                                   */
/* ---------------------------------------------------------------------------------------------------------------- */

struct spdk_nvme_ctrlr *nvme_pcie_ctrlr_construct(const struct spdk_nvme_transport_id *trid,
						  const struct spdk_nvme_ctrlr_opts *opts, void *devhandle);
int nvme_pcie_ctrlr_destruct(struct spdk_nvme_ctrlr *ctrlr);
int nvme_pcie_ctrlr_scan(struct spdk_nvme_probe_ctx *probe_ctx, bool direct_connect);
int nvme_pcie_ctrlr_enable(struct spdk_nvme_ctrlr *ctrlr);
int nvme_pcie_ctrlr_set_reg_4(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint32_t value);
int nvme_pcie_ctrlr_set_reg_8(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint64_t value);
int nvme_pcie_ctrlr_get_reg_4(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint32_t *value);
int nvme_pcie_ctrlr_get_reg_8(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint64_t *value);
volatile struct spdk_nvme_registers *nvme_pcie_ctrlr_get_registers(struct spdk_nvme_ctrlr *ctrlr);
uint32_t nvme_pcie_ctrlr_get_max_xfer_size(struct spdk_nvme_ctrlr *ctrlr);
uint16_t nvme_pcie_ctrlr_get_max_sges(struct spdk_nvme_ctrlr *ctrlr);
void *nvme_pcie_ctrlr_alloc_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, size_t size);
int nvme_pcie_ctrlr_free_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, void *buf, size_t size);

int nvme_pcie_qpair_construct(struct spdk_nvme_qpair *qpair, const struct spdk_nvme_io_qpair_opts *opts);
int nvme_pcie_qpair_reset(struct spdk_nvme_qpair *qpair);
int nvme_pcie_qpair_destroy(struct spdk_nvme_qpair *qpair);
struct spdk_nvme_qpair *nvme_pcie_ctrlr_create_io_qpair_data_structure(struct spdk_nvme_ctrlr *ctrlr, uint16_t qid,
								       const struct spdk_nvme_io_qpair_opts *opts);
void nvme_pcie_ctrlr_delete_io_qpair_data_structure(struct spdk_nvme_qpair *qpair);
void nvme_pcie_ctrlr_set_shadow_doorbell(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair);
int nvme_pcie_ctrlr_cmd_create_io_cq(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *io_que,
				     spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_pcie_ctrlr_cmd_create_io_sq(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *io_que,
				     spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_pcie_ctrlr_cmd_delete_io_cq(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
				     spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int nvme_pcie_ctrlr_cmd_delete_io_sq(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
				     spdk_nvme_cmd_cb cb_fn, void *cb_arg);
struct spdk_nvme_qpair *nvme_pcie_ctrlr_create_io_qpair(struct spdk_nvme_ctrlr *ctrlr, uint16_t qid,
							const struct spdk_nvme_io_qpair_opts *opts);
int nvme_pcie_ctrlr_delete_io_qpair(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair);
int nvme_pcie_qpair_submit_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req);
int32_t nvme_pcie_qpair_process_completions(struct spdk_nvme_qpair *qpair, uint32_t max_completions);
void nvme_pcie_qpair_abort_reqs(struct spdk_nvme_qpair *qpair, uint32_t dnr);
void nvme_pcie_admin_qpair_abort_aers(struct spdk_nvme_qpair *qpair);
/* The opcode of the command outstanding under identifier `cid`, -1 when none is. */
int nvme_pcie_qpair_outstanding_opc(struct spdk_nvme_qpair *qpair, uint16_t cid);
/* Bus mastering off: the device can no longer touch host memory (a failed controller's commands are then ended by
 * the host without risk). */
void nvme_pcie_ctrlr_stop_dma(struct spdk_nvme_ctrlr *ctrlr);
/* After a power loss the device forgets its PCI programming: BAR0 and memory space are written again (bus mastering
 * waits for the controller to be disabled: nvme_pcie_ctrlr_start_dma). -ENODEV when the configuration space cannot be
 * read (the device is gone), 0 otherwise. */
int nvme_pcie_ctrlr_restore_pci_config(struct spdk_nvme_ctrlr *ctrlr);
void nvme_pcie_ctrlr_start_dma(struct spdk_nvme_ctrlr *ctrlr);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Inline completion dispatch                                                                                       */
/* ---------------------------------------------------------------------------------------------------------------- */

static inline void nvme_complete_request(spdk_nvme_cmd_cb cb_fn, void *cb_arg, struct spdk_nvme_qpair *qpair,
					 struct nvme_request *req, struct spdk_nvme_cpl *cpl)
{
	struct spdk_nvme_cpl copy;
	const struct spdk_nvme_cpl *handed = nvme_qpair_inject_error(qpair, req, cpl, &copy);
	if (cb_fn) {
		cb_fn(cb_arg, handed);
	}
}

#ifdef __cplusplus
}
#endif

#endif /* KYT_NVME_INTERNAL_H */
