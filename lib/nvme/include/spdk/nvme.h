/*
 * The user-space NVMe-over-PCIe driver: public records, callbacks and functions.
 *
 * Results: 0 or a negative errno; pointers are NULL on failure. Everything is polled; callbacks run on the thread
 * that polls the queue pair, inside the poll.
 */
#ifndef SPDK_NVME_H
#define SPDK_NVME_H

#include <pthread.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "spdk/env.h"
#include "spdk/nvme_spec.h"

#ifdef __cplusplus
extern "C" {
#endif

struct spdk_nvme_ctrlr;
struct spdk_nvme_ns;
struct spdk_nvme_qpair;
struct spdk_nvme_probe_ctx;

/* Number of times a retryable failed command is resubmitted; starts at 0. */
extern int32_t spdk_nvme_retry_count;

/* ---------------------------------------------------------------------------------------------------------------- */
/* Controller options                                                                                               */
/* ---------------------------------------------------------------------------------------------------------------- */

enum spdk_nvme_cc_css {
	SPDK_NVME_CC_CSS_NVM = 0x0,
	SPDK_NVME_CC_CSS_NOIO = 0x7,
};

enum spdk_nvme_cc_ams {
	SPDK_NVME_CC_AMS_RR = 0x0,  /* round robin */
	SPDK_NVME_CC_AMS_WRR = 0x1, /* weighted round robin with urgent priority class */
	SPDK_NVME_CC_AMS_VS = 0x7,  /* vendor specific */
};

#define SPDK_NVMF_NQN_MAX_LEN 223
#define SPDK_NVMF_TRADDR_MAX_LEN 256
#define SPDK_NVMF_TRSVCID_MAX_LEN 32
#define SPDK_NVME_HOST_ID_LEN 8
#define SPDK_NVME_EXTENDED_HOST_ID_LEN 16
/* The command time-out when the user gives none: the one default of the device layer above, and of the admin steps,
 * blocking waits and command deadlines of a controller attached without one. */
#define SPDK_NVME_DEFAULT_COMMAND_TIMEOUT_MS 300000u
/* The wait for CSTS.RDY to follow CC.EN: the drive's CAP.TO, counted in units of 500 ms. The attachment's wait and the
 * device layer's reset both take it from here. */
#define SPDK_NVME_READY_WAIT_MS(cap_to) (500ULL * (cap_to))

struct spdk_nvme_ctrlr_opts {
	uint32_t num_io_queues;               /* default 1024 */
	bool use_cmb_sqs;                     /* default true */
	enum spdk_nvme_cc_ams arb_mechanism;  /* default round robin */
	uint32_t keep_alive_timeout_ms;       /* default 10000 */
	int transport_retry_count;            /* not used over PCIe */
	uint32_t io_queue_size;               /* default 256 */
	char hostnqn[SPDK_NVMF_NQN_MAX_LEN + 1];
	uint32_t io_queue_requests;           /* default 512 */
	char src_addr[SPDK_NVMF_TRADDR_MAX_LEN + 1];
	char src_svcid[SPDK_NVMF_TRSVCID_MAX_LEN + 1];
	uint8_t host_id[SPDK_NVME_HOST_ID_LEN];
	uint8_t extended_host_id[SPDK_NVME_EXTENDED_HOST_ID_LEN];
	enum spdk_nvme_cc_css command_set;    /* default NVM */
	uint32_t admin_timeout_ms;            /* the command time-out; default SPDK_NVME_DEFAULT_COMMAND_TIMEOUT_MS */
	bool header_digest;
	bool data_digest;
	bool disable_error_logging;
	uint32_t override_cap_to;             /* ready time-out in ms; 0 = CAP.TO x 500 ms */
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_ctrlr_opts) == 584, "controller options are 584 bytes");

/* ---------------------------------------------------------------------------------------------------------------- */
/* Transport IDs                                                                                                    */
/* ---------------------------------------------------------------------------------------------------------------- */

enum spdk_nvme_transport_type {
	SPDK_NVME_TRANSPORT_PCIE = 256,
};

enum spdk_nvmf_adrfam {
	SPDK_NVMF_ADRFAM_IPV4 = 0x1,
	SPDK_NVMF_ADRFAM_IPV6 = 0x2,
	SPDK_NVMF_ADRFAM_IB = 0x3,
	SPDK_NVMF_ADRFAM_FC = 0x4,
	SPDK_NVMF_ADRFAM_INTRA_HOST = 0xfe,
};

struct spdk_nvme_transport_id {
	enum spdk_nvme_transport_type trtype;
	enum spdk_nvmf_adrfam adrfam;
	char traddr[SPDK_NVMF_TRADDR_MAX_LEN + 1];   /* PCIe: domain:bus:device.function */
	char trsvcid[SPDK_NVMF_TRSVCID_MAX_LEN + 1];
	char subnqn[SPDK_NVMF_NQN_MAX_LEN + 1];
};

struct spdk_nvme_host_id {
	char hostaddr[SPDK_NVMF_TRADDR_MAX_LEN + 1];
	char hostsvcid[SPDK_NVMF_TRSVCID_MAX_LEN + 1];
};

int spdk_nvme_transport_id_parse(struct spdk_nvme_transport_id *trid, const char *str);
int spdk_nvme_host_id_parse(struct spdk_nvme_host_id *hostid, const char *str);
int spdk_nvme_transport_id_parse_trtype(enum spdk_nvme_transport_type *trtype, const char *str);
const char *spdk_nvme_transport_id_trtype_str(enum spdk_nvme_transport_type trtype);
int spdk_nvme_transport_id_parse_adrfam(enum spdk_nvmf_adrfam *adrfam, const char *str);
const char *spdk_nvme_transport_id_adrfam_str(enum spdk_nvmf_adrfam adrfam);
int spdk_nvme_transport_id_compare(const struct spdk_nvme_transport_id *trid1,
				   const struct spdk_nvme_transport_id *trid2);
bool spdk_nvme_transport_available(enum spdk_nvme_transport_type trtype);

/* Protection-check flags (I/O command flags bits 26 and 28) */
#define SPDK_NVME_IO_FLAGS_PRCHK_REFTAG (1U << 26)
#define SPDK_NVME_IO_FLAGS_PRCHK_GUARD (1U << 28)
int spdk_nvme_prchk_flags_parse(uint32_t *prchk_flags, const char *str);
const char *spdk_nvme_prchk_flags_str(uint32_t prchk_flags);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Callbacks                                                                                                        */
/* ---------------------------------------------------------------------------------------------------------------- */

typedef void (*spdk_nvme_cmd_cb)(void *cb_arg, const struct spdk_nvme_cpl *cpl);
typedef bool (*spdk_nvme_probe_cb)(void *cb_ctx, const struct spdk_nvme_transport_id *trid,
				   struct spdk_nvme_ctrlr_opts *opts);
typedef void (*spdk_nvme_attach_cb)(void *cb_ctx, const struct spdk_nvme_transport_id *trid,
				    struct spdk_nvme_ctrlr *ctrlr, const struct spdk_nvme_ctrlr_opts *opts);
typedef void (*spdk_nvme_remove_cb)(void *cb_ctx, struct spdk_nvme_ctrlr *ctrlr);
typedef void (*spdk_nvme_aer_cb)(void *aer_cb_arg, const struct spdk_nvme_cpl *cpl);
typedef void (*spdk_nvme_timeout_cb)(void *cb_arg, struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
				     uint16_t cid);
/* The controller has just become failed (removed: the device no longer answers, or was taken away). */
typedef void (*spdk_nvme_fail_cb)(void *cb_arg, struct spdk_nvme_ctrlr *ctrlr, bool removed);
/* Scattered payloads: rewind to a byte offset, then hand out one element at a time (0, or non-zero to fail). */
typedef void (*spdk_nvme_req_reset_sgl_cb)(void *cb_arg, uint32_t offset);
typedef int (*spdk_nvme_req_next_sge_cb)(void *cb_arg, void **address, uint32_t *length);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Driver core, probe, attach, detach                                                                               */
/* ---------------------------------------------------------------------------------------------------------------- */

void spdk_nvme_ctrlr_get_default_ctrlr_opts(struct spdk_nvme_ctrlr_opts *opts, size_t opts_size);
/* While set (from any thread), blocking waits and attachments give up at once: the process is ending and the thread
 * that runs them must stop. */
void spdk_nvme_abandon_waits(bool abandon);
int spdk_nvme_probe(const struct spdk_nvme_transport_id *trid, void *cb_ctx, spdk_nvme_probe_cb probe_cb,
		    spdk_nvme_attach_cb attach_cb, spdk_nvme_remove_cb remove_cb);
struct spdk_nvme_probe_ctx *spdk_nvme_probe_async(const struct spdk_nvme_transport_id *trid, void *cb_ctx,
						  spdk_nvme_probe_cb probe_cb, spdk_nvme_attach_cb attach_cb,
						  spdk_nvme_remove_cb remove_cb);
int spdk_nvme_probe_poll_async(struct spdk_nvme_probe_ctx *probe_ctx);
/* Gives up on a probe still under way: the controllers it was initialising are destroyed, the context freed. */
void spdk_nvme_probe_abort_async(struct spdk_nvme_probe_ctx *probe_ctx);
struct spdk_nvme_ctrlr *spdk_nvme_connect(const struct spdk_nvme_transport_id *trid,
					  const struct spdk_nvme_ctrlr_opts *opts, size_t opts_size);
struct spdk_nvme_probe_ctx *spdk_nvme_connect_async(const struct spdk_nvme_transport_id *trid,
						    const struct spdk_nvme_ctrlr_opts *opts,
						    spdk_nvme_attach_cb attach_cb);
int spdk_nvme_detach(struct spdk_nvme_ctrlr *ctrlr);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Controller                                                                                                       */
/* ---------------------------------------------------------------------------------------------------------------- */

enum spdk_nvme_ctrlr_flags {
	SPDK_NVME_CTRLR_SGL_SUPPORTED = 0x1,
	SPDK_NVME_CTRLR_SECURITY_SEND_RECV_SUPPORTED = 0x2,
};

const struct spdk_nvme_ctrlr_data *spdk_nvme_ctrlr_get_data(struct spdk_nvme_ctrlr *ctrlr);
uint64_t spdk_nvme_ctrlr_get_flags(struct spdk_nvme_ctrlr *ctrlr);
const struct spdk_nvme_transport_id *spdk_nvme_ctrlr_get_transport_id(struct spdk_nvme_ctrlr *ctrlr);
uint32_t spdk_nvme_ctrlr_get_max_xfer_size(const struct spdk_nvme_ctrlr *ctrlr);
bool spdk_nvme_ctrlr_is_log_page_supported(struct spdk_nvme_ctrlr *ctrlr, uint8_t log_page);
bool spdk_nvme_ctrlr_is_feature_supported(struct spdk_nvme_ctrlr *ctrlr, uint8_t feature_code);
bool spdk_nvme_ctrlr_is_discovery(struct spdk_nvme_ctrlr *ctrlr);
struct spdk_pci_device *spdk_nvme_ctrlr_get_pci_device(struct spdk_nvme_ctrlr *ctrlr);

/* Registers: CSTS and CMBSZ are read now (CSTS all ones, CMBSZ 0 on a failed read); CAP and VS are the cached values. */
uint32_t spdk_nvme_ctrlr_get_regs_csts(struct spdk_nvme_ctrlr *ctrlr);
uint64_t spdk_nvme_ctrlr_get_regs_cap(struct spdk_nvme_ctrlr *ctrlr);
uint32_t spdk_nvme_ctrlr_get_regs_vs(struct spdk_nvme_ctrlr *ctrlr);
uint32_t spdk_nvme_ctrlr_get_regs_cmbsz(struct spdk_nvme_ctrlr *ctrlr);
/* The mapped register file; access through it bypasses the bus-error guard. */
volatile struct spdk_nvme_registers *spdk_nvme_ctrlr_get_registers(struct spdk_nvme_ctrlr *ctrlr);

int32_t spdk_nvme_ctrlr_process_admin_completions(struct spdk_nvme_ctrlr *ctrlr);
void spdk_nvme_ctrlr_register_aer_callback(struct spdk_nvme_ctrlr *ctrlr, spdk_nvme_aer_cb aer_cb_fn,
					   void *aer_cb_arg);
void spdk_nvme_ctrlr_register_timeout_callback(struct spdk_nvme_ctrlr *ctrlr, uint64_t timeout_us,
					       spdk_nvme_timeout_cb cb_fn, void *cb_arg);
/* Told once when the controller fails (a fatal status, registers that read all ones, an Abort past its deadline, a
 * removal) and once more when a failed controller is then found removed; null stops the reports. */
void spdk_nvme_ctrlr_register_fail_callback(struct spdk_nvme_ctrlr *ctrlr, spdk_nvme_fail_cb cb_fn, void *cb_arg);
/* A command that passed its deadline completes to its caller with this status (path related, aborted by host, do
 * not retry) after the time-out callback ran. The device may still be executing it: its buffers must stay alive
 * until its queue is deleted or its controller disabled (the driver keeps its own bounce buffers that long). */
static inline bool spdk_nvme_cpl_is_host_timeout(const struct spdk_nvme_cpl *cpl)
{
	return cpl->status.sct == SPDK_NVME_SCT_PATH && cpl->status.sc == SPDK_NVME_SC_ABORTED_BY_HOST;
}
/* A command that waited for submission (its queue pair disabled, e.g. during a reset, or no free slot) until its
 * deadline completes with this status (path related, host path error, do not retry) without the time-out callback:
 * it never reached the device, so nothing of it is left there. */
static inline bool spdk_nvme_cpl_is_unsent_timeout(const struct spdk_nvme_cpl *cpl)
{
	return cpl->status.sct == SPDK_NVME_SCT_PATH && cpl->status.sc == SPDK_NVME_SC_HOST_PATH_ERROR;
}
/* Completion entries that matched no command outstanding under their identifier (a drive's duplicate or stray
 * entries) and were ignored, over all queue pairs of the controller since it was constructed. */
uint64_t spdk_nvme_ctrlr_get_ignored_completions(struct spdk_nvme_ctrlr *ctrlr);

void *spdk_nvme_ctrlr_alloc_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, size_t size);
void spdk_nvme_ctrlr_free_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, void *buf, size_t size);

/* Namespace list */
uint32_t spdk_nvme_ctrlr_get_num_ns(struct spdk_nvme_ctrlr *ctrlr);
struct spdk_nvme_ns *spdk_nvme_ctrlr_get_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t ns_id);
bool spdk_nvme_ctrlr_is_active_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid);
uint32_t spdk_nvme_ctrlr_get_first_active_ns(struct spdk_nvme_ctrlr *ctrlr);
uint32_t spdk_nvme_ctrlr_get_next_active_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t prev_nsid);

/* Namespace management and security (blocking) */
int spdk_nvme_ctrlr_attach_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_ctrlr_list *payload);
int spdk_nvme_ctrlr_detach_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_ctrlr_list *payload);
uint32_t spdk_nvme_ctrlr_create_ns(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_ns_data *payload);
int spdk_nvme_ctrlr_delete_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid);
int spdk_nvme_ctrlr_security_receive(struct spdk_nvme_ctrlr *ctrlr, uint8_t secp, uint16_t spsp, uint8_t nssf,
				     void *payload, size_t size);
int spdk_nvme_ctrlr_security_send(struct spdk_nvme_ctrlr *ctrlr, uint8_t secp, uint16_t spsp, uint8_t nssf,
				  void *payload, size_t size);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Queue pairs                                                                                                      */
/* ---------------------------------------------------------------------------------------------------------------- */

enum spdk_nvme_qprio {
	SPDK_NVME_QPRIO_URGENT = 0x0,
	SPDK_NVME_QPRIO_HIGH = 0x1,
	SPDK_NVME_QPRIO_MEDIUM = 0x2,
	SPDK_NVME_QPRIO_LOW = 0x3,
};
#define SPDK_NVME_QPRIO_MASK 0x3

struct spdk_nvme_io_qpair_opts {
	enum spdk_nvme_qprio qprio;
	uint32_t io_queue_size;     /* ring entries, 2..65535 */
	uint32_t io_queue_requests; /* size of the request pool */
	bool delay_pcie_doorbell;   /* ring the SQ doorbell from the next completion poll instead of per command */
	struct {
		uint64_t *vaddr;        /* caller-supplied ring or NULL */
		uint64_t paddr;         /* its bus address, or 0 to translate */
		uint64_t buffer_size;
	} sq;
	struct {
		uint64_t *vaddr;
		uint64_t paddr;
		uint64_t buffer_size;
	} cq;
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_io_qpair_opts) == 64, "I/O queue pair options are 64 bytes");

void spdk_nvme_ctrlr_get_default_io_qpair_opts(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_io_qpair_opts *opts,
					       size_t opts_size);
struct spdk_nvme_qpair *spdk_nvme_ctrlr_alloc_io_qpair(struct spdk_nvme_ctrlr *ctrlr,
						       const struct spdk_nvme_io_qpair_opts *opts, size_t opts_size);
int spdk_nvme_ctrlr_free_io_qpair(struct spdk_nvme_qpair *qpair);

/* Polls a queue pair; max_completions 0 = up to the queue's per-call cap. Completions processed or negative errno. */
int32_t spdk_nvme_qpair_process_completions(struct spdk_nvme_qpair *qpair, uint32_t max_completions);

/* Error injection; a NULL qpair means the admin queue pair. */
int spdk_nvme_qpair_add_cmd_error_injection(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
					    uint8_t opc, bool do_not_submit, uint64_t timeout_in_us,
					    uint32_t err_count, uint8_t sct, uint8_t sc);
void spdk_nvme_qpair_remove_cmd_error_injection(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
						uint8_t opc);

void spdk_nvme_qpair_print_command(struct spdk_nvme_qpair *qpair, struct spdk_nvme_cmd *cmd);
void spdk_nvme_qpair_print_completion(struct spdk_nvme_qpair *qpair, struct spdk_nvme_cpl *cpl);
const char *spdk_nvme_cpl_get_status_string(const struct spdk_nvme_status *status);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Raw commands                                                                                                     */
/* ---------------------------------------------------------------------------------------------------------------- */

/* The 64-byte command is sent as built; the driver fills in cid and the data pointer. Buffers must be DMA memory. */
int spdk_nvme_ctrlr_cmd_io_raw(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair, struct spdk_nvme_cmd *cmd,
			       void *buf, uint32_t len, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int spdk_nvme_ctrlr_cmd_io_raw_with_md(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
				       struct spdk_nvme_cmd *cmd, void *buf, uint32_t len, void *md_buf,
				       spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int spdk_nvme_ctrlr_io_cmd_raw_no_payload_build(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
						struct spdk_nvme_cmd *cmd, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int spdk_nvme_ctrlr_cmd_admin_raw(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_cmd *cmd, void *buf, uint32_t len,
				  spdk_nvme_cmd_cb cb_fn, void *cb_arg);

/* Admin command builders (completion through cb_fn when the admin queue is polled) */
int spdk_nvme_ctrlr_cmd_set_feature(struct spdk_nvme_ctrlr *ctrlr, uint8_t feature, uint32_t cdw11, uint32_t cdw12,
				    void *payload, uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int spdk_nvme_ctrlr_cmd_get_feature(struct spdk_nvme_ctrlr *ctrlr, uint8_t feature, uint32_t cdw11, void *payload,
				    uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int spdk_nvme_ctrlr_cmd_set_feature_ns(struct spdk_nvme_ctrlr *ctrlr, uint8_t feature, uint32_t cdw11,
				       uint32_t cdw12, void *payload, uint32_t payload_size, spdk_nvme_cmd_cb cb_fn,
				       void *cb_arg, uint32_t ns_id);
int spdk_nvme_ctrlr_cmd_get_feature_ns(struct spdk_nvme_ctrlr *ctrlr, uint8_t feature, uint32_t cdw11,
				       void *payload, uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg,
				       uint32_t ns_id);
int spdk_nvme_ctrlr_cmd_get_log_page(struct spdk_nvme_ctrlr *ctrlr, uint8_t log_page, uint32_t nsid, void *payload,
				     uint32_t payload_size, uint64_t offset, spdk_nvme_cmd_cb cb_fn, void *cb_arg);
int spdk_nvme_ctrlr_cmd_abort(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair, uint16_t cid,
			      spdk_nvme_cmd_cb cb_fn, void *cb_arg);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Namespaces                                                                                                       */
/* ---------------------------------------------------------------------------------------------------------------- */

enum spdk_nvme_ns_flags {
	SPDK_NVME_NS_DEALLOCATE_SUPPORTED = 0x01,
	SPDK_NVME_NS_FLUSH_SUPPORTED = 0x02,
	SPDK_NVME_NS_RESERVATION_SUPPORTED = 0x04,
	SPDK_NVME_NS_WRITE_ZEROES_SUPPORTED = 0x08,
	SPDK_NVME_NS_DPS_PI_SUPPORTED = 0x10,
	SPDK_NVME_NS_EXTENDED_LBA_SUPPORTED = 0x20,
};

enum spdk_nvme_pi_type {
	SPDK_NVME_FMT_NVM_PROTECTION_DISABLE = 0x0,
	SPDK_NVME_FMT_NVM_PROTECTION_TYPE1 = 0x1,
	SPDK_NVME_FMT_NVM_PROTECTION_TYPE2 = 0x2,
	SPDK_NVME_FMT_NVM_PROTECTION_TYPE3 = 0x3,
};

enum spdk_nvme_dealloc_logical_block_read_value {
	SPDK_NVME_DEALLOC_NOT_REPORTED = 0,
	SPDK_NVME_DEALLOC_READ_00 = 1,
	SPDK_NVME_DEALLOC_READ_FF = 2,
};

uint32_t spdk_nvme_ns_get_id(struct spdk_nvme_ns *ns);
struct spdk_nvme_ctrlr *spdk_nvme_ns_get_ctrlr(struct spdk_nvme_ns *ns);
bool spdk_nvme_ns_is_active(struct spdk_nvme_ns *ns);
const struct spdk_nvme_ns_data *spdk_nvme_ns_get_data(struct spdk_nvme_ns *ns);
uint32_t spdk_nvme_ns_get_max_io_xfer_size(struct spdk_nvme_ns *ns);
uint32_t spdk_nvme_ns_get_sector_size(struct spdk_nvme_ns *ns);
uint32_t spdk_nvme_ns_get_extended_sector_size(struct spdk_nvme_ns *ns);
uint64_t spdk_nvme_ns_get_num_sectors(struct spdk_nvme_ns *ns);
uint64_t spdk_nvme_ns_get_size(struct spdk_nvme_ns *ns);
enum spdk_nvme_pi_type spdk_nvme_ns_get_pi_type(struct spdk_nvme_ns *ns);
uint32_t spdk_nvme_ns_get_md_size(struct spdk_nvme_ns *ns);
bool spdk_nvme_ns_supports_extended_lba(struct spdk_nvme_ns *ns);
enum spdk_nvme_dealloc_logical_block_read_value spdk_nvme_ns_get_dealloc_logical_block_read_value(
	struct spdk_nvme_ns *ns);
uint32_t spdk_nvme_ns_get_optimal_io_boundary(struct spdk_nvme_ns *ns);
uint32_t spdk_nvme_ns_get_flags(struct spdk_nvme_ns *ns);
/* The namespace UUID from the identification descriptor list, or NULL. */
const uint8_t *spdk_nvme_ns_get_uuid(const struct spdk_nvme_ns *ns);

/* ---------------------------------------------------------------------------------------------------------------- */
/* Completion records for blocking and polled waits                                                                 */
/* ---------------------------------------------------------------------------------------------------------------- */

/* Pass nvme_completion_poll_cb with one of these as its argument, then poll until done. */
struct nvme_completion_poll_status {
	struct spdk_nvme_cpl cpl;
	bool done;
};

void nvme_completion_poll_cb(void *arg, const struct spdk_nvme_cpl *cpl);

/* Blocking waits: poll until the status record is done. 0, or -EIO on an error completion, when the device is gone
 * (CSTS reads all ones) or when the controller's admin time-out (or the given timeout) passes; a wait that gives up
 * leaves the command outstanding, and its late completion is then discarded. */
int spdk_nvme_wait_for_completion(struct spdk_nvme_qpair *qpair, struct nvme_completion_poll_status *status);
int spdk_nvme_wait_for_completion_robust_lock(struct spdk_nvme_qpair *qpair,
					      struct nvme_completion_poll_status *status, pthread_mutex_t *robust_mutex);
int spdk_nvme_wait_for_completion_timeout(struct spdk_nvme_qpair *qpair, struct nvme_completion_poll_status *status,
					  uint64_t timeout_in_secs);

#ifdef __cplusplus
}
#endif

#endif /* SPDK_NVME_H */
