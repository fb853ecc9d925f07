/*
 * The generic controller: its polled initialisation state machine, asynchronous events, the per-process records,
 * I/O queue pair allocation through the free identifier set, the active namespace list and the blocking namespace
 * management and security wrappers.
 */
#include "nvme_internal.h"

#include <inttypes.h>
#include <signal.h>

#include "spdk/pci_ids.h"

#define NVME_REG_OFFSET(field) ((uint32_t)offsetof(struct spdk_nvme_registers, field))

/* Fixed pause before the first register access of a newly constructed PCIe controller. */
#define NVME_INIT_DELAY_MS 2000
/* Pause between seeing CSTS.RDY = 0 after a disable and setting CC.EN = 1. */
#define NVME_ENABLE_DELAY_MS 1

#define NVME_STATUS_MASK 0x0FFE              /* status code and status code type, as in the status word */
#define NVME_STATUS_ABORTED_SQ_DELETION 0x010 /* generic 0x08 */
#define NVME_STATUS_AER_LIMIT_EXCEEDED 0x20A  /* command specific 0x05 */

#define NVME_DISCOVERY_NQN "nqn.2014-08.org.nvmexpress.discovery"
#define NVME_DISCOVERY_NQN_LEN 36

/* ---------------------------------------------------------------------------------------------------------------- */
/* Registers                                                                                                        */
/* ---------------------------------------------------------------------------------------------------------------- */

static int nvme_ctrlr_get_cc(struct spdk_nvme_ctrlr *ctrlr, union spdk_nvme_cc_register *cc)
{
	return nvme_transport_ctrlr_get_reg_4(ctrlr, NVME_REG_OFFSET(cc.raw), &cc->raw);
}

static int nvme_ctrlr_get_csts(struct spdk_nvme_ctrlr *ctrlr, union spdk_nvme_csts_register *csts)
{
	return nvme_transport_ctrlr_get_reg_4(ctrlr, NVME_REG_OFFSET(csts.raw), &csts->raw);
}

static int nvme_ctrlr_set_cc(struct spdk_nvme_ctrlr *ctrlr, const union spdk_nvme_cc_register *cc)
{
	return nvme_transport_ctrlr_set_reg_4(ctrlr, NVME_REG_OFFSET(cc.raw), cc->raw);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* States                                                                                                           */
/* ---------------------------------------------------------------------------------------------------------------- */

static const char *const g_state_names[] = {
	[NVME_CTRLR_STATE_INIT_DELAY] = "delay init",
	[NVME_CTRLR_STATE_INIT] = "init",
	[NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_0] = "wait for CSTS.RDY = 0",
	[NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_1] = "wait for CSTS.RDY = 1",
	[NVME_CTRLR_STATE_DISABLE] = "disable controller by writing CC.EN = 0",
	[NVME_CTRLR_STATE_DISABLE_WAIT_FOR_READY_0] = "wait for CSTS.RDY = 0 after disabling controller",
	[NVME_CTRLR_STATE_ENABLE] = "enable controller by writing CC.EN = 1",
	[NVME_CTRLR_STATE_ENABLE_WAIT_FOR_READY_1] = "wait for CSTS.RDY = 1 after enabling controller",
	[NVME_CTRLR_STATE_ENABLE_ADMIN_QUEUE] = "enable admin queue",
	[NVME_CTRLR_STATE_IDENTIFY] = "identify controller",
	[NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY] = "wait for identify controller",
	[NVME_CTRLR_STATE_SET_NUM_QUEUES] = "set number of queues",
	[NVME_CTRLR_STATE_WAIT_FOR_SET_NUM_QUEUES] = "wait for set number of queues",
	[NVME_CTRLR_STATE_GET_NUM_QUEUES] = "get number of queues",
	[NVME_CTRLR_STATE_WAIT_FOR_GET_NUM_QUEUES] = "wait for get number of queues",
	[NVME_CTRLR_STATE_CONSTRUCT_NS] = "construct namespaces",
	[NVME_CTRLR_STATE_IDENTIFY_ACTIVE_NS] = "identify active ns",
	[NVME_CTRLR_STATE_IDENTIFY_NS] = "identify ns",
	[NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY_NS] = "wait for identify ns",
	[NVME_CTRLR_STATE_IDENTIFY_ID_DESCS] = "identify namespace id descriptors",
	[NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY_ID_DESCS] = "wait for identify namespace id descriptors",
	[NVME_CTRLR_STATE_CONFIGURE_AER] = "configure AER",
	[NVME_CTRLR_STATE_WAIT_FOR_CONFIGURE_AER] = "wait for configure aer",
	[NVME_CTRLR_STATE_SET_SUPPORTED_LOG_PAGES] = "set supported log pages",
	[NVME_CTRLR_STATE_SET_SUPPORTED_FEATURES] = "set supported features",
	[NVME_CTRLR_STATE_SET_DB_BUF_CFG] = "set doorbell buffer config",
	[NVME_CTRLR_STATE_WAIT_FOR_DB_BUF_CFG] = "wait for doorbell buffer config",
	[NVME_CTRLR_STATE_SET_KEEP_ALIVE_TIMEOUT] = "set keep alive timeout",
	[NVME_CTRLR_STATE_WAIT_FOR_KEEP_ALIVE_TIMEOUT] = "wait for set keep alive timeout",
	[NVME_CTRLR_STATE_SET_HOST_ID] = "set host ID",
	[NVME_CTRLR_STATE_WAIT_FOR_HOST_ID] = "wait for set host ID",
	[NVME_CTRLR_STATE_READY] = "ready",
	[NVME_CTRLR_STATE_ERROR] = "error",
};

const char *nvme_ctrlr_state_string(enum nvme_ctrlr_state state)
{
	if ((unsigned)state < sizeof(g_state_names) / sizeof(g_state_names[0])) {
		return g_state_names[state];
	}
	return "delay init";
}

static void nvme_ctrlr_set_state(struct spdk_nvme_ctrlr *ctrlr, enum nvme_ctrlr_state state, uint64_t timeout_in_ms)
{
	ctrlr->state = state;
	if (timeout_in_ms == 0) {
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "Setting state to \"%s\" (no timeout)\n", nvme_ctrlr_state_string(state));
		ctrlr->state_timeout_tsc = 0;
	} else {
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "Setting state to \"%s\" (timeout %lu ms)\n", nvme_ctrlr_state_string(state),
			      (unsigned long)timeout_in_ms);
		ctrlr->state_timeout_tsc = spdk_get_ticks() + nvme_ms_to_ticks(timeout_in_ms);
	}
}

/* Time limit of every admin step of the initialisation. */
static void nvme_ctrlr_set_admin_state(struct spdk_nvme_ctrlr *ctrlr, enum nvme_ctrlr_state state)
{
	nvme_ctrlr_set_state(ctrlr, state, ctrlr->opts.admin_timeout_ms);
}

static void nvme_ctrlr_set_error_state(struct spdk_nvme_ctrlr *ctrlr)
{
	nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_ERROR, 0);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Construction, failure, destruction                                                                               */
/* ---------------------------------------------------------------------------------------------------------------- */

int nvme_ctrlr_construct(struct spdk_nvme_ctrlr *ctrlr)
{
	if (ctrlr->trid.trtype == SPDK_NVME_TRANSPORT_PCIE) {
		nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_INIT_DELAY, 0);
	} else {
		nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_INIT, 0);
	}
	ctrlr->flags = 0;
	ctrlr->free_io_qids = NULL;
	ctrlr->is_resetting = false;
	ctrlr->is_failed = false;
	ctrlr->is_shutdown = false;
	STAILQ_INIT(&ctrlr->queued_aborts);
	ctrlr->outstanding_aborts = 0;
	TAILQ_INIT(&ctrlr->active_procs);

	if (nvme_robust_mutex_init_recursive_shared(&ctrlr->ctrlr_lock) != 0) {
		return -1;
	}
	return 0;
}

void nvme_ctrlr_fail(struct spdk_nvme_ctrlr *ctrlr, bool hot_remove)
{
	struct spdk_nvme_ctrlr_process *proc;
	bool changed = !ctrlr->is_failed || (hot_remove && !ctrlr->is_removed);

	if (hot_remove) {
		ctrlr->is_removed = true;
	}
	if (!ctrlr->is_failed) {
		/* Its commands are about to be ended by the host: the device must not write into their buffers later. */
		nvme_transport_ctrlr_stop_dma(ctrlr);
	}
	ctrlr->is_failed = true;
	SPDK_ERRLOG("ctrlr %s in failed state.\n", ctrlr->trid.traddr);
	/* The user keeps the controller's condition: it hears of each change as it happens. */
	proc = changed ? spdk_nvme_ctrlr_get_current_process(ctrlr) : NULL;
	if (proc != NULL && proc->fail_cb_fn != NULL) {
		proc->fail_cb_fn(proc->fail_cb_arg, ctrlr, ctrlr->is_removed);
	}
}

void nvme_ctrlr_strand_io_qpair(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair)
{
	SPDK_ERRLOG("I/O queue %u may still exist at the device: its identifier and memory stay taken\n", qpair->id);
	spdk_bit_array_clear(ctrlr->free_io_qids, qpair->id);
	qpair->stranded_next = ctrlr->stranded_qpairs;
	ctrlr->stranded_qpairs = qpair;
}

bool nvme_ctrlr_check_health(struct spdk_nvme_ctrlr *ctrlr, uint64_t now)
{
	union spdk_nvme_csts_register csts;

	if (ctrlr->is_failed) {
		return true;
	}
	if (now < ctrlr->next_health_check_tick) {
		return false;
	}
	ctrlr->next_health_check_tick = now + nvme_ms_to_ticks(1);
	if (nvme_ctrlr_get_csts(ctrlr, &csts) != 0) {
		SPDK_ERRLOG("ctrlr %s does not answer: CSTS reads all ones\n", ctrlr->trid.traddr);
		nvme_ctrlr_fail(ctrlr, true);
		return true;
	}
	if (csts.bits.cfs) {
		SPDK_ERRLOG("ctrlr %s reports a fatal status (CSTS.CFS)\n", ctrlr->trid.traddr);
		nvme_ctrlr_fail(ctrlr, false);
		return true;
	}
	return false;
}

static void nvme_ctrlr_free_doorbell_buffer(struct spdk_nvme_ctrlr *ctrlr)
{
	if (ctrlr->shadow_doorbell != NULL) {
		spdk_free(ctrlr->shadow_doorbell);
		ctrlr->shadow_doorbell = NULL;
	}
	if (ctrlr->eventidx != NULL) {
		spdk_free(ctrlr->eventidx);
		ctrlr->eventidx = NULL;
	}
}

void nvme_ctrlr_destruct_namespaces(struct spdk_nvme_ctrlr *ctrlr)
{
	uint32_t i;

	if (ctrlr->ns != NULL) {
		for (i = 0; i < ctrlr->num_ns; i++) {
			nvme_ns_destruct(&ctrlr->ns[i]);
		}
		spdk_free(ctrlr->ns);
		ctrlr->ns = NULL;
	}
	ctrlr->num_ns = 0;
	if (ctrlr->nsdata != NULL) {
		spdk_free(ctrlr->nsdata);
		ctrlr->nsdata = NULL;
	}
	if (ctrlr->active_ns_list != NULL) {
		spdk_free(ctrlr->active_ns_list);
		ctrlr->active_ns_list = NULL;
	}
}

void nvme_ctrlr_destruct(struct spdk_nvme_ctrlr *ctrlr)
{
	while (ctrlr->stranded_qpairs != NULL) {
		struct spdk_nvme_qpair *qpair = ctrlr->stranded_qpairs;

		ctrlr->stranded_qpairs = qpair->stranded_next;
		nvme_pcie_qpair_destroy(qpair);
	}
	if (ctrlr->adminq != NULL) {
		nvme_transport_admin_qpair_abort_aers(ctrlr->adminq);
	}
	nvme_ctrlr_free_doorbell_buffer(ctrlr);
	nvme_ctrlr_destruct_namespaces(ctrlr);
	spdk_bit_array_free(&ctrlr->free_io_qids);
	nvme_transport_ctrlr_destruct(ctrlr);
}

void nvme_ctrlr_destruct_finish(struct spdk_nvme_ctrlr *ctrlr)
{
	pthread_mutex_destroy(&ctrlr->ctrlr_lock);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Enable                                                                                                           */
/* ---------------------------------------------------------------------------------------------------------------- */

static uint32_t nvme_u32log2(uint32_t x)
{
	uint32_t log = 0;

	while (x > 1) {
		x >>= 1;
		log++;
	}
	return log;
}

static int nvme_ctrlr_enable(struct spdk_nvme_ctrlr *ctrlr)
{
	union spdk_nvme_cc_register cc;
	uint32_t command_set = (uint32_t)ctrlr->opts.command_set;
	int rc;

	rc = nvme_transport_ctrlr_enable(ctrlr);
	if (rc != 0) {
		SPDK_ERRLOG("transport ctrlr_enable failed\n");
		return rc;
	}

	if (nvme_ctrlr_get_cc(ctrlr, &cc) != 0) {
		SPDK_ERRLOG("get_cc() failed\n");
		return -EIO;
	}
	if (cc.bits.en != 0) {
		SPDK_ERRLOG("%s called with CC.EN = 1\n", __func__);
		return -EINVAL;
	}

	/* EN = 1; CSS and SHN cleared; 64-byte SQ and 16-byte CQ entries; MPS and AMS are set below. */
	cc.raw = (cc.raw & 0xFF003F8Eu) | 0x00460001u;
	SPDK_DEBUGLOG(SPDK_LOG_NVME, "CC.IOCQES = %d\n", 4);
	SPDK_DEBUGLOG(SPDK_LOG_NVME, "CC.IOSQES = %d\n", 6);

	cc.bits.mps = nvme_u32log2(ctrlr->page_size) - 12;

	if (ctrlr->cap.bits.css == 0) {
		SPDK_NOTICELOG("Drive reports no command sets supported. Assuming NVM is supported.\n");
		ctrlr->cap.bits.css = SPDK_NVME_CAP_CSS_NVM;
	}
	if (command_set > 7 || (ctrlr->cap.bits.css & (1u << command_set)) == 0) {
		SPDK_ERRLOG("Requested I/O command set %u but supported mask is 0x%x\n", command_set,
			    (unsigned)ctrlr->cap.bits.css);
		return -EINVAL;
	}
	cc.bits.css = command_set;
	SPDK_DEBUGLOG(SPDK_LOG_NVME, "CC.CSS = %d\n", (int)command_set);

	switch (ctrlr->opts.arb_mechanism) {
	case SPDK_NVME_CC_AMS_RR:
		break;
	case SPDK_NVME_CC_AMS_WRR:
		if ((ctrlr->cap.bits.ams & 0x1) == 0) {
			return -EINVAL;
		}
		break;
	case SPDK_NVME_CC_AMS_VS:
		if ((ctrlr->cap.bits.ams & 0x2) == 0) {
			return -EINVAL;
		}
		break;
	default:
		return -EINVAL;
	}
	cc.bits.ams = ctrlr->opts.arb_mechanism;
	SPDK_DEBUGLOG(SPDK_LOG_NVME, "CC.AMS = %d\n", (int)ctrlr->opts.arb_mechanism);

	if (nvme_ctrlr_set_cc(ctrlr, &cc) != 0) {
		SPDK_ERRLOG("set_cc() failed\n");
		return -EIO;
	}
	SPDK_DEBUGLOG(SPDK_LOG_NVME, "Setting CC.EN to 1\n");
	return 0;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Active namespace list                                                                                            */
/* ---------------------------------------------------------------------------------------------------------------- */

#define NVME_NS_LIST_ENTRIES_PER_PAGE (4096 / sizeof(uint32_t))

/* Index of nsid in the sorted active list (zero entries count as larger than any NSID), or -1. */
static int64_t nvme_ctrlr_active_ns_idx(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid)
{
	int64_t lo = 0, hi = (int64_t)ctrlr->num_ns - 1;

	if (ctrlr->active_ns_list == NULL || nsid == 0) {
		return -1;
	}
	while (lo <= hi) {
		int64_t mid = lo + (hi - lo) / 2;
		uint32_t v = ctrlr->active_ns_list[mid];

		if (v == nsid) {
			return mid;
		}
		if (v == 0 || v > nsid) {
			hi = mid - 1;
		} else {
			lo = mid + 1;
		}
	}
	return -1;
}

bool spdk_nvme_ctrlr_is_active_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid)
{
	return nvme_ctrlr_active_ns_idx(ctrlr, nsid) >= 0;
}

uint32_t spdk_nvme_ctrlr_get_first_active_ns(struct spdk_nvme_ctrlr *ctrlr)
{
	return (ctrlr->active_ns_list != NULL && ctrlr->num_ns > 0) ? ctrlr->active_ns_list[0] : 0;
}

uint32_t spdk_nvme_ctrlr_get_next_active_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t prev_nsid)
{
	int64_t idx = nvme_ctrlr_active_ns_idx(ctrlr, prev_nsid);

	if (idx >= 0 && (uint64_t)idx + 1 < ctrlr->num_ns) {
		return ctrlr->active_ns_list[idx + 1];
	}
	return 0;
}

uint32_t spdk_nvme_ctrlr_get_num_ns(struct spdk_nvme_ctrlr *ctrlr)
{
	return ctrlr->num_ns;
}

struct spdk_nvme_ns *spdk_nvme_ctrlr_get_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid)
{
	if (nsid < 1 || nsid > ctrlr->num_ns || ctrlr->ns == NULL) {
		return NULL;
	}
	return &ctrlr->ns[nsid - 1];
}

/* Read the active namespace list anew; the new list replaces the old one only when it was read completely. */
static int nvme_ctrlr_identify_active_ns(struct spdk_nvme_ctrlr *ctrlr)
{
	struct nvme_completion_poll_status status;
	uint32_t *new_list;
	uint64_t num_pages, i;
	uint32_t next_nsid = 0;
	int rc;

	if (ctrlr->num_ns == 0) {
		spdk_free(ctrlr->active_ns_list);
		ctrlr->active_ns_list = NULL;
		return 0;
	}

	num_pages = ((uint64_t)ctrlr->num_ns * sizeof(uint32_t) + 4095) / 4096;
	new_list = spdk_zmalloc(num_pages * 4096, 4096, NULL, SPDK_ENV_SOCKET_ID_ANY,
				SPDK_MALLOC_DMA | SPDK_MALLOC_SHARE);
	if (new_list == NULL) {
		SPDK_ERRLOG("Failed to allocate active_ns_list!\n");
		return -ENOMEM;
	}

	if (ctrlr->vs.raw > SPDK_NVME_VERSION(1, 0, 0xFF) && !(ctrlr->quirks & NVME_QUIRK_NO_NS_LISTS)) {
		for (i = 0; i < num_pages; i++) {
			uint32_t *page = new_list + i * NVME_NS_LIST_ENTRIES_PER_PAGE;

			SPDK_DEBUGLOG(SPDK_LOG_NVME, "Identify CNS=%d, CNTID=%d, NSID=%d\n", SPDK_NVME_IDENTIFY_ACTIVE_NS_LIST,
				      0, (int)next_nsid);
			memset(&status, 0, sizeof(status));
			rc = nvme_ctrlr_cmd_identify(ctrlr, SPDK_NVME_IDENTIFY_ACTIVE_NS_LIST, 0, next_nsid, page, 4096,
						     nvme_completion_poll_cb, &status);
			if (rc != 0) {
				spdk_free(new_list);
				return rc;
			}
			if (spdk_nvme_wait_for_completion(ctrlr->adminq, &status) != 0) {
				SPDK_ERRLOG("nvme_ctrlr_cmd_identify_active_ns_list failed!\n");
				spdk_free(new_list);
				return -ENXIO;
			}
			next_nsid = page[NVME_NS_LIST_ENTRIES_PER_PAGE - 1];
			if (next_nsid == 0) {
				break;
			}
		}
	} else {
		/* Controllers before 1.1 have no list: every NSID up to NN counts as active. */
		for (i = 0; i < ctrlr->num_ns; i++) {
			new_list[i] = (uint32_t)i + 1;
		}
	}

	spdk_free(ctrlr->active_ns_list);
	ctrlr->active_ns_list = new_list;
	return 0;
}

/*
 * A namespace that left the active list (made inactive by any means, also outside this driver) must not keep its
 * old Identify data, or it would still read as active.
 */
static void nvme_ctrlr_clear_inactive_namespaces(struct spdk_nvme_ctrlr *ctrlr)
{
	uint32_t nsid;

	if (ctrlr->ns == NULL || ctrlr->nsdata == NULL) {
		return;
	}
	for (nsid = 1; nsid <= ctrlr->num_ns; nsid++) {
		if (!spdk_nvme_ctrlr_is_active_ns(ctrlr, nsid)) {
			nvme_ns_destruct(&ctrlr->ns[nsid - 1]);
			memset(&ctrlr->nsdata[nsid - 1], 0, sizeof(ctrlr->nsdata[0]));
		}
	}
}

/* Re-read the active list after a namespace change and forget the namespaces that are no longer in it. */
static int nvme_ctrlr_refresh_active_ns(struct spdk_nvme_ctrlr *ctrlr)
{
	int rc = nvme_ctrlr_identify_active_ns(ctrlr);

	if (rc == 0) {
		nvme_ctrlr_clear_inactive_namespaces(ctrlr);
	}
	return rc;
}

static int nvme_ctrlr_construct_namespaces(struct spdk_nvme_ctrlr *ctrlr)
{
	uint32_t nn = ctrlr->cdata.nn;

	if (nn == 0) {
		nvme_ctrlr_destruct_namespaces(ctrlr);
		SPDK_WARNLOG("controller has 0 namespaces\n");
		return 0;
	}
	if (nn == ctrlr->num_ns) {
		return 0;
	}

	nvme_ctrlr_destruct_namespaces(ctrlr);

	ctrlr->ns = spdk_zmalloc((size_t)nn * sizeof(struct spdk_nvme_ns), 64, NULL, SPDK_ENV_SOCKET_ID_ANY,
				 SPDK_MALLOC_SHARE);
	if (ctrlr->ns == NULL) {
		goto fail;
	}
	ctrlr->nsdata = spdk_zmalloc((size_t)nn * sizeof(struct spdk_nvme_ns_data), 64, NULL, SPDK_ENV_SOCKET_ID_ANY,
				     SPDK_MALLOC_SHARE | SPDK_MALLOC_DMA);
	if (ctrlr->nsdata == NULL) {
		goto fail;
	}
	ctrlr->num_ns = nn;
	return 0;

fail:
	nvme_ctrlr_destruct_namespaces(ctrlr);
	return -ENOMEM;
}

/* Next active NSID after nsid (0: the first) whose namespace record exists; 0 when there is none. */
static uint32_t nvme_ctrlr_next_known_active_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid)
{
	nsid = nsid == 0 ? spdk_nvme_ctrlr_get_first_active_ns(ctrlr) : spdk_nvme_ctrlr_get_next_active_ns(ctrlr, nsid);
	while (nsid != 0 && spdk_nvme_ctrlr_get_ns(ctrlr, nsid) == NULL) {
		nsid = spdk_nvme_ctrlr_get_next_active_ns(ctrlr, nsid);
	}
	return nsid;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Admin command callbacks of the initialisation                                                                    */
/* ---------------------------------------------------------------------------------------------------------------- */

static void nvme_ctrlr_identify_done(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct spdk_nvme_ctrlr *ctrlr = arg;

	if (spdk_nvme_cpl_is_error(cpl)) {
		SPDK_ERRLOG("nvme_identify_controller failed!\n");
		nvme_ctrlr_set_error_state(ctrlr);
		return;
	}

	ctrlr->max_xfer_size = nvme_transport_ctrlr_get_max_xfer_size(ctrlr);
	if (ctrlr->cdata.mdts > 0 && ctrlr->cdata.mdts < 32) {
		uint64_t mdts_bytes = (uint64_t)ctrlr->min_page_size << ctrlr->cdata.mdts;

		if (mdts_bytes < ctrlr->max_xfer_size) {
			ctrlr->max_xfer_size = (uint32_t)mdts_bytes;
		}
	}
	SPDK_DEBUGLOG(SPDK_LOG_NVME, "MDTS max_xfer_size %u\n", ctrlr->max_xfer_size);

	ctrlr->cntlid = ctrlr->cdata.cntlid;

	if (ctrlr->cdata.sgls.bits.supported != 0) {
		ctrlr->flags |= SPDK_NVME_CTRLR_SGL_SUPPORTED;
		ctrlr->max_sges = nvme_transport_ctrlr_get_max_sges(ctrlr);
		if (ctrlr->cdata.nvmf_specific.msdbd != 0 && ctrlr->cdata.nvmf_specific.msdbd < ctrlr->max_sges) {
			ctrlr->max_sges = ctrlr->cdata.nvmf_specific.msdbd;
		}
	}
	if (ctrlr->cdata.oacs.bits.security != 0) {
		ctrlr->flags |= SPDK_NVME_CTRLR_SECURITY_SEND_RECV_SUPPORTED;
	}

	nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_SET_NUM_QUEUES);
}

static void nvme_ctrlr_set_num_queues_done(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct spdk_nvme_ctrlr *ctrlr = arg;

	if (spdk_nvme_cpl_is_error(cpl)) {
		SPDK_ERRLOG("Set Features - Number of Queues failed!\n");
	}
	nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_GET_NUM_QUEUES);
}

static void nvme_ctrlr_get_num_queues_done(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct spdk_nvme_ctrlr *ctrlr = arg;
	uint32_t sq_allocated, cq_allocated, i;

	spdk_bit_array_free(&ctrlr->free_io_qids);

	if (spdk_nvme_cpl_is_error(cpl)) {
		SPDK_ERRLOG("Get Features - Number of Queues failed!\n");
		ctrlr->opts.num_io_queues = 0;
		nvme_ctrlr_set_error_state(ctrlr);
		return;
	}

	/* NSQA and NCQA are zero-based. */
	sq_allocated = (cpl->cdw0 & 0xFFFF) + 1;
	cq_allocated = (cpl->cdw0 >> 16) + 1;
	if (sq_allocated < ctrlr->opts.num_io_queues) {
		ctrlr->opts.num_io_queues = sq_allocated;
	}
	if (cq_allocated < ctrlr->opts.num_io_queues) {
		ctrlr->opts.num_io_queues = cq_allocated;
	}

	ctrlr->free_io_qids = spdk_bit_array_create(ctrlr->opts.num_io_queues + 1);
	if (ctrlr->free_io_qids == NULL) {
		nvme_ctrlr_set_error_state(ctrlr);
		return;
	}
	/* Identifier 0 is the admin queue: never free. */
	spdk_bit_array_clear(ctrlr->free_io_qids, 0);
	for (i = 1; i <= ctrlr->opts.num_io_queues; i++) {
		spdk_bit_array_set(ctrlr->free_io_qids, i);
	}
	nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_CONSTRUCT_NS);
}

static void nvme_ctrlr_identify_ns_async_done(void *arg, const struct spdk_nvme_cpl *cpl);

static int nvme_ctrlr_identify_ns_async(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid)
{
	struct spdk_nvme_ns *ns = &ctrlr->ns[nsid - 1];

	ns->ctrlr = ctrlr;
	ns->id = nsid;
	SPDK_DEBUGLOG(SPDK_LOG_NVME, "Identify CNS=%d, CNTID=%d, NSID=%d\n", SPDK_NVME_IDENTIFY_NS, 0, (int)nsid);
	return nvme_ctrlr_cmd_identify(ctrlr, SPDK_NVME_IDENTIFY_NS, 0, nsid, &ctrlr->nsdata[nsid - 1],
				       sizeof(struct spdk_nvme_ns_data), nvme_ctrlr_identify_ns_async_done, ns);
}

static void nvme_ctrlr_identify_ns_async_done(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct spdk_nvme_ns *ns = arg;
	struct spdk_nvme_ctrlr *ctrlr = ns->ctrlr;
	uint32_t nsid;

	if (spdk_nvme_cpl_is_error(cpl)) {
		nvme_ctrlr_set_error_state(ctrlr);
		return;
	}
	nvme_ns_set_identify_data(ns);

	nsid = nvme_ctrlr_next_known_active_ns(ctrlr, ns->id);
	if (nsid == 0) {
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_IDENTIFY_ID_DESCS);
		return;
	}
	if (nvme_ctrlr_identify_ns_async(ctrlr, nsid) != 0) {
		nvme_ctrlr_set_error_state(ctrlr);
	}
}

static void nvme_ctrlr_identify_id_desc_async_done(void *arg, const struct spdk_nvme_cpl *cpl);

static int nvme_ctrlr_identify_id_desc_async(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid)
{
	struct spdk_nvme_ns *ns = &ctrlr->ns[nsid - 1];

	memset(ns->id_desc_list, 0, sizeof(ns->id_desc_list));
	SPDK_DEBUGLOG(SPDK_LOG_NVME, "Identify CNS=%d, CNTID=%d, NSID=%d\n", SPDK_NVME_IDENTIFY_NS_ID_DESCRIPTOR_LIST,
		      0, (int)nsid);
	return nvme_ctrlr_cmd_identify(ctrlr, SPDK_NVME_IDENTIFY_NS_ID_DESCRIPTOR_LIST, 0, nsid, ns->id_desc_list,
				       sizeof(ns->id_desc_list), nvme_ctrlr_identify_id_desc_async_done, ns);
}

static void nvme_ctrlr_identify_id_desc_async_done(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct spdk_nvme_ns *ns = arg;
	struct spdk_nvme_ctrlr *ctrlr = ns->ctrlr;
	uint32_t nsid;

	if (spdk_nvme_cpl_is_error(cpl)) {
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_CONFIGURE_AER);
		return;
	}
	nsid = nvme_ctrlr_next_known_active_ns(ctrlr, ns->id);
	if (nsid == 0) {
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_CONFIGURE_AER);
		return;
	}
	if (nvme_ctrlr_identify_id_desc_async(ctrlr, nsid) != 0) {
		nvme_ctrlr_set_error_state(ctrlr);
	}
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Asynchronous events                                                                                              */
/* ---------------------------------------------------------------------------------------------------------------- */

static void nvme_ctrlr_async_event_cb(void *arg, const struct spdk_nvme_cpl *cpl);

static int nvme_ctrlr_construct_and_submit_aer(struct spdk_nvme_ctrlr *ctrlr, struct nvme_async_event_request *aer)
{
	struct nvme_request *req;

	aer->ctrlr = ctrlr;
	req = nvme_allocate_request_null(ctrlr->adminq, nvme_ctrlr_async_event_cb, aer);
	aer->req = req;
	if (req == NULL) {
		return -1;
	}
	req->cmd.opc = SPDK_NVME_OPC_ASYNC_EVENT_REQUEST;
	return nvme_ctrlr_submit_admin_request(ctrlr, req);
}

static void nvme_ctrlr_async_event_cb(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct nvme_async_event_request *aer = arg;
	struct spdk_nvme_ctrlr *ctrlr = aer->ctrlr;
	struct spdk_nvme_ctrlr_process *proc;
	uint16_t status = cpl->status_raw & NVME_STATUS_MASK;

	aer->req = NULL;
	if (status == NVME_STATUS_ABORTED_SQ_DELETION) {
		/* The admin queue is going away (destruct or reset): the request just ends. */
		return;
	}
	if (status == NVME_STATUS_AER_LIMIT_EXCEEDED) {
		SPDK_ERRLOG("Controller appears out-of-spec for asynchronous event request\n"
			    "handling.  Do not repost this AER.\n");
		return;
	}

	aer->cpl = *cpl;
	proc = spdk_nvme_ctrlr_get_current_process(ctrlr);
	if (proc != NULL && proc->aer_cb_fn != NULL) {
		proc->aer_cb_fn(proc->aer_cb_arg, cpl);
	}

	if (ctrlr->is_shutdown) {
		return;
	}
	if (nvme_ctrlr_construct_and_submit_aer(ctrlr, aer) != 0) {
		SPDK_ERRLOG("resubmitting AER failed!\n");
	}
}

static void nvme_ctrlr_configure_aer_done(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct spdk_nvme_ctrlr *ctrlr = arg;
	uint32_t i;

	if (spdk_nvme_cpl_is_error(cpl)) {
		SPDK_NOTICELOG("nvme_ctrlr_configure_aer failed!\n");
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_SET_SUPPORTED_LOG_PAGES);
		return;
	}

	/* AERL is zero-based. */
	ctrlr->num_aers = (uint32_t)ctrlr->cdata.aerl + 1;
	if (ctrlr->num_aers > NVME_MAX_ASYNC_EVENTS) {
		ctrlr->num_aers = NVME_MAX_ASYNC_EVENTS;
	}
	for (i = 0; i < ctrlr->num_aers; i++) {
		if (nvme_ctrlr_construct_and_submit_aer(ctrlr, &ctrlr->aer[i]) != 0) {
			SPDK_ERRLOG("nvme_ctrlr_construct_and_submit_aer failed!\n");
			nvme_ctrlr_set_error_state(ctrlr);
			return;
		}
	}
	nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_SET_SUPPORTED_LOG_PAGES);
}

static int nvme_ctrlr_configure_aer(struct spdk_nvme_ctrlr *ctrlr)
{
	union spdk_nvme_feat_async_event_configuration config;

	config.raw = 0;
	config.bits.crit_warn = 0x1F;
	if (ctrlr->vs.raw > SPDK_NVME_VERSION(1, 1, 0xFF)) {
		if (ctrlr->cdata.oaes.bits.ns_attribute_notices) {
			config.bits.ns_attr_notice = 1;
		}
		if (ctrlr->cdata.oaes.bits.fw_activation_notices) {
			config.bits.fw_activation_notice = 1;
		}
	}
	if (ctrlr->vs.raw > SPDK_NVME_VERSION(1, 2, 0xFF) && ctrlr->cdata.lpa.bits.telemetry) {
		config.bits.telemetry_log_notice = 1;
	}

	nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_WAIT_FOR_CONFIGURE_AER);
	return nvme_ctrlr_cmd_set_async_event_config(ctrlr, config, nvme_ctrlr_configure_aer_done, ctrlr);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Supported log pages and features                                                                                 */
/* ---------------------------------------------------------------------------------------------------------------- */

#define NVME_INTEL_LOG_DIRECTORY_SIZE 512

static int nvme_ctrlr_set_intel_supported_log_pages(struct spdk_nvme_ctrlr *ctrlr)
{
	struct nvme_completion_poll_status status;
	uint8_t *dir;
	uint64_t wait_secs = ctrlr->opts.admin_timeout_ms / 1000;
	int rc;

	dir = spdk_zmalloc(NVME_INTEL_LOG_DIRECTORY_SIZE, 64, NULL, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
	if (dir == NULL) {
		SPDK_ERRLOG("could not allocate log_page_directory\n");
		return -ENXIO;
	}

	memset(&status, 0, sizeof(status));
	rc = spdk_nvme_ctrlr_cmd_get_log_page(ctrlr, SPDK_NVME_INTEL_LOG_PAGE_DIRECTORY, 0xFFFFFFFFu, dir,
					      NVME_INTEL_LOG_DIRECTORY_SIZE, 0, nvme_completion_poll_cb, &status);
	if (rc != 0 || spdk_nvme_wait_for_completion_timeout(ctrlr->adminq, &status, wait_secs) != 0) {
		spdk_free(dir);
		SPDK_WARNLOG("Intel log pages not supported on Intel drive!\n");
		return 0;
	}

	/* The directory holds a 16-bit count per log page; its low byte tells whether the page exists. */
#define DIR_HAS(page) (dir[2 * (page)] != 0)
	ctrlr->log_page_supported[SPDK_NVME_INTEL_LOG_PAGE_DIRECTORY] = true;
	if (DIR_HAS(SPDK_NVME_INTEL_LOG_READ_CMD_LATENCY) || (ctrlr->quirks & NVME_QUIRK_READ_LATENCY_PAGE)) {
		ctrlr->log_page_supported[SPDK_NVME_INTEL_LOG_READ_CMD_LATENCY] = true;
	}
	if (DIR_HAS(SPDK_NVME_INTEL_LOG_WRITE_CMD_LATENCY) || (ctrlr->quirks & NVME_QUIRK_WRITE_LATENCY_PAGE)) {
		ctrlr->log_page_supported[SPDK_NVME_INTEL_LOG_WRITE_CMD_LATENCY] = true;
	}
	if (DIR_HAS(SPDK_NVME_INTEL_LOG_TEMPERATURE)) {
		ctrlr->log_page_supported[SPDK_NVME_INTEL_LOG_TEMPERATURE] = true;
	}
	if (DIR_HAS(SPDK_NVME_INTEL_LOG_SMART)) {
		ctrlr->log_page_supported[SPDK_NVME_INTEL_LOG_SMART] = true;
	}
	if (DIR_HAS(SPDK_NVME_INTEL_MARKETING_DESCRIPTION)) {
		ctrlr->log_page_supported[SPDK_NVME_INTEL_MARKETING_DESCRIPTION] = true;
	}
#undef DIR_HAS
	spdk_free(dir);
	return 0;
}

static int nvme_ctrlr_set_supported_log_pages(struct spdk_nvme_ctrlr *ctrlr)
{
	memset(ctrlr->log_page_supported, 0, sizeof(ctrlr->log_page_supported));
	ctrlr->log_page_supported[SPDK_NVME_LOG_ERROR] = true;
	ctrlr->log_page_supported[SPDK_NVME_LOG_HEALTH_INFORMATION] = true;
	ctrlr->log_page_supported[SPDK_NVME_LOG_FIRMWARE_SLOT] = true;
	if (ctrlr->cdata.lpa.bits.celp) {
		ctrlr->log_page_supported[SPDK_NVME_LOG_COMMAND_EFFECTS_LOG] = true;
	}
	if (ctrlr->cdata.vid == SPDK_PCI_VID_INTEL && !(ctrlr->quirks & NVME_QUIRK_NO_VENDOR_LOG_DIR)) {
		return nvme_ctrlr_set_intel_supported_log_pages(ctrlr);
	}
	return 0;
}

static void nvme_ctrlr_set_supported_features(struct spdk_nvme_ctrlr *ctrlr)
{
	static const uint8_t always[] = {
		SPDK_NVME_FEAT_ARBITRATION, SPDK_NVME_FEAT_POWER_MANAGEMENT, SPDK_NVME_FEAT_TEMPERATURE_THRESHOLD,
		SPDK_NVME_FEAT_ERROR_RECOVERY, SPDK_NVME_FEAT_NUMBER_OF_QUEUES, SPDK_NVME_FEAT_INTERRUPT_COALESCING,
		SPDK_NVME_FEAT_INTERRUPT_VECTOR_CONFIGURATION, SPDK_NVME_FEAT_WRITE_ATOMICITY,
		SPDK_NVME_FEAT_ASYNC_EVENT_CONFIGURATION,
	};
	static const uint8_t intel[] = {0xC1, 0xC2, 0xC6, 0xC8, 0xC9, 0xD5, 0xE2};
	size_t i;

	memset(ctrlr->feature_supported, 0, sizeof(ctrlr->feature_supported));
	for (i = 0; i < sizeof(always); i++) {
		ctrlr->feature_supported[always[i]] = true;
	}
	if (ctrlr->cdata.vwc.bits.present) {
		ctrlr->feature_supported[SPDK_NVME_FEAT_VOLATILE_WRITE_CACHE] = true;
	}
	if (ctrlr->cdata.apsta.bits.supported) {
		ctrlr->feature_supported[SPDK_NVME_FEAT_AUTONOMOUS_POWER_STATE_TRANSITION] = true;
	}
	if (ctrlr->cdata.hmpre != 0) {
		ctrlr->feature_supported[SPDK_NVME_FEAT_HOST_MEM_BUFFER] = true;
	}
	if (ctrlr->cdata.vid == SPDK_PCI_VID_INTEL) {
		for (i = 0; i < sizeof(intel); i++) {
			ctrlr->feature_supported[intel[i]] = true;
		}
	}
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Doorbell buffer, keep alive, host identifier                                                                     */
/* ---------------------------------------------------------------------------------------------------------------- */

static void nvme_ctrlr_set_doorbell_buffer_config_done(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct spdk_nvme_ctrlr *ctrlr = arg;

	if (spdk_nvme_cpl_is_error(cpl)) {
		SPDK_WARNLOG("Doorbell buffer config failed\n");
		/* Queue pairs use shadow doorbells whenever the controller has pages: drop pages it did not accept. */
		nvme_ctrlr_free_doorbell_buffer(ctrlr);
	} else {
		SPDK_NOTICELOG("NVMe controller: %s doorbell buffer config enabled\n", ctrlr->trid.traddr);
	}
	nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_SET_KEEP_ALIVE_TIMEOUT);
}

/* One page of DMA memory that is contiguous in bus address space; reused when already present. */
static int nvme_ctrlr_doorbell_page(struct spdk_nvme_ctrlr *ctrlr, uint32_t **page, uint64_t *bus_addr)
{
	uint64_t len = ctrlr->page_size;

	if (*page == NULL) {
		*page = spdk_zmalloc(ctrlr->page_size, ctrlr->page_size, NULL, SPDK_ENV_SOCKET_ID_ANY,
				     SPDK_MALLOC_DMA | SPDK_MALLOC_SHARE);
		if (*page == NULL) {
			return -ENOMEM;
		}
	} else {
		memset(*page, 0, ctrlr->page_size);
	}
	*bus_addr = spdk_vtophys(*page, &len);
	if (*bus_addr == SPDK_VTOPHYS_ERROR || len != ctrlr->page_size) {
		return -EFAULT;
	}
	return 0;
}

static int nvme_ctrlr_set_doorbell_buffer_config(struct spdk_nvme_ctrlr *ctrlr)
{
	uint64_t shadow_bus, eventidx_bus;
	int rc;

	if (!ctrlr->cdata.oacs.bits.doorbell_buffer_config || ctrlr->trid.trtype != SPDK_NVME_TRANSPORT_PCIE) {
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_SET_KEEP_ALIVE_TIMEOUT);
		return 0;
	}

	rc = nvme_ctrlr_doorbell_page(ctrlr, &ctrlr->shadow_doorbell, &shadow_bus);
	if (rc == 0) {
		rc = nvme_ctrlr_doorbell_page(ctrlr, &ctrlr->eventidx, &eventidx_bus);
	}
	if (rc == 0) {
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_WAIT_FOR_DB_BUF_CFG);
		rc = nvme_ctrlr_cmd_doorbell_buffer_config(ctrlr, shadow_bus, eventidx_bus,
							   nvme_ctrlr_set_doorbell_buffer_config_done, ctrlr);
	}
	if (rc != 0) {
		nvme_ctrlr_set_error_state(ctrlr);
		nvme_ctrlr_free_doorbell_buffer(ctrlr);
	}
	return rc;
}

static void nvme_ctrlr_set_keep_alive_timeout_done(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct spdk_nvme_ctrlr *ctrlr = arg;
	uint32_t interval_ms;

	if (spdk_nvme_cpl_is_error(cpl)) {
		SPDK_ERRLOG("Keep alive timeout Get Feature failed: SC %x SCT %x\n", cpl->status.sc, cpl->status.sct);
		ctrlr->opts.keep_alive_timeout_ms = 0;
		nvme_ctrlr_set_error_state(ctrlr);
		return;
	}

	if (ctrlr->opts.keep_alive_timeout_ms != cpl->cdw0) {
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "Controller adjusted keep alive timeout to %u ms\n", cpl->cdw0);
	}
	ctrlr->opts.keep_alive_timeout_ms = cpl->cdw0;

	/* A Keep Alive every half of the time-out, at least every millisecond; a timer of 0 means keep alive is off. */
	interval_ms = cpl->cdw0 / 2;
	if (interval_ms == 0) {
		interval_ms = 1;
	}
	ctrlr->keep_alive_interval_ticks = cpl->cdw0 == 0 ? 0 : nvme_ms_to_ticks(interval_ms);
	ctrlr->next_keep_alive_tick = spdk_get_ticks();
	nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_SET_HOST_ID);
}

static int nvme_ctrlr_set_keep_alive_timeout(struct spdk_nvme_ctrlr *ctrlr)
{
	int rc;

	if (ctrlr->opts.keep_alive_timeout_ms == 0 || ctrlr->cdata.kas == 0) {
		/* No keep alive wanted, or the controller does not support it. */
		ctrlr->opts.keep_alive_timeout_ms = 0;
		ctrlr->keep_alive_interval_ticks = 0;
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_SET_HOST_ID);
		return 0;
	}

	nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_WAIT_FOR_KEEP_ALIVE_TIMEOUT);
	rc = spdk_nvme_ctrlr_cmd_get_feature(ctrlr, SPDK_NVME_FEAT_KEEP_ALIVE_TIMER, 0, NULL, 0,
					     nvme_ctrlr_set_keep_alive_timeout_done, ctrlr);
	if (rc != 0) {
		SPDK_ERRLOG("Keep alive timeout Get Feature failed: %d\n", rc);
		ctrlr->opts.keep_alive_timeout_ms = 0;
		nvme_ctrlr_set_error_state(ctrlr);
	}
	return rc;
}

static void nvme_ctrlr_set_host_id_done(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct spdk_nvme_ctrlr *ctrlr = arg;

	if (spdk_nvme_cpl_is_error(cpl)) {
		SPDK_WARNLOG("Set Features - Host ID failed: SC 0x%x SCT 0x%x\n", cpl->status.sc, cpl->status.sct);
	} else {
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "Set Features - Host ID was successful\n");
	}
	nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_READY, 0);
}

static int nvme_ctrlr_set_host_id(struct spdk_nvme_ctrlr *ctrlr)
{
	uint8_t *host_id;
	uint32_t host_id_size, i;
	bool all_zero = true;
	int rc;

	if (ctrlr->cdata.ctratt.bits.host_id_exhid_supported) {
		host_id = ctrlr->opts.extended_host_id;
		host_id_size = sizeof(ctrlr->opts.extended_host_id);
	} else {
		host_id = ctrlr->opts.host_id;
		host_id_size = sizeof(ctrlr->opts.host_id);
	}
	for (i = 0; i < host_id_size; i++) {
		if (host_id[i] != 0) {
			all_zero = false;
			break;
		}
	}
	if (all_zero) {
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "User did not specify host ID - not sending Set Features - Host ID\n");
		nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_READY, 0);
		return 0;
	}

	nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_WAIT_FOR_HOST_ID);
	rc = nvme_ctrlr_cmd_set_host_id(ctrlr, host_id, host_id_size, nvme_ctrlr_set_host_id_done, ctrlr);
	if (rc != 0) {
		SPDK_ERRLOG("Set Features - Host ID failed: %d\n", rc);
		nvme_ctrlr_set_error_state(ctrlr);
	}
	return rc;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* The initialisation state machine                                                                                 */
/* ---------------------------------------------------------------------------------------------------------------- */

/* Result of a step that sends a command: a send failure ends the attempt in the error state. */
static int nvme_ctrlr_send_result(struct spdk_nvme_ctrlr *ctrlr, int rc)
{
	if (rc != 0) {
		nvme_ctrlr_set_error_state(ctrlr);
	}
	return rc;
}

/* One time stamp per step, so that a wait which did not see its limit pass is not failed by a later reading. */
static bool nvme_ctrlr_state_time_passed(struct spdk_nvme_ctrlr *ctrlr, uint64_t now)
{
	return ctrlr->state_timeout_tsc != 0 && now > ctrlr->state_timeout_tsc;
}

int nvme_ctrlr_process_init(struct spdk_nvme_ctrlr *ctrlr)
{
	union spdk_nvme_cc_register cc;
	union spdk_nvme_csts_register csts;
	union spdk_nvme_vs_register vs;
	uint64_t ready_timeout_in_ms;
	uint32_t nsid;
	uint64_t now = spdk_get_ticks();
	int rc = 0;

	if (ctrlr->sleep_timeout_tsc != 0) {
		if (now <= ctrlr->sleep_timeout_tsc) {
			return 0;
		}
		ctrlr->sleep_timeout_tsc = 0;
	}

	if (nvme_ctrlr_get_cc(ctrlr, &cc) != 0 || nvme_ctrlr_get_csts(ctrlr, &csts) != 0) {
		/* Registers that read all ones: the device is gone (removed, powered off). It does not become ready
		 * by waiting: give up at once. */
		SPDK_ERRLOG("Failed to read CC and CSTS in state %d: the device is not responding\n", ctrlr->state);
		nvme_ctrlr_fail(ctrlr, true);
		return -ENXIO;
	}

	ready_timeout_in_ms = ctrlr->opts.override_cap_to != 0 ? (uint64_t)ctrlr->opts.override_cap_to
							       : SPDK_NVME_READY_WAIT_MS(ctrlr->cap.bits.to);

	switch (ctrlr->state) {
	case NVME_CTRLR_STATE_INIT_DELAY:
		nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_INIT, ready_timeout_in_ms);
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "Adding 2 second delay before initializing the controller\n");
		ctrlr->sleep_timeout_tsc = spdk_get_ticks() + nvme_ms_to_ticks(NVME_INIT_DELAY_MS);
		break;

	case NVME_CTRLR_STATE_INIT:
		vs.raw = 0;
		nvme_ctrlr_get_vs(ctrlr, &vs);
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "NVMe Version: %d.%d.%d", (int)vs.bits.mjr, (int)vs.bits.mnr,
			      (int)vs.bits.ter);
		if (cc.bits.en) {
			if (csts.bits.rdy == 0) {
				SPDK_DEBUGLOG(SPDK_LOG_NVME, "CC.EN is 1 and CSTS.RDY is 0.\n");
				SPDK_DEBUGLOG(SPDK_LOG_NVME, "Waiting until NVMe Controller is enabled\n");
				nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_1, ready_timeout_in_ms);
			} else {
				SPDK_DEBUGLOG(SPDK_LOG_NVME, "CC.EN is 1 and CSTS.RDY is 1.\n");
				SPDK_DEBUGLOG(SPDK_LOG_NVME, "NVMe Controller is currently enabled.\n");
				SPDK_DEBUGLOG(SPDK_LOG_NVME, "Disabling NVMe Controller.\n");
				nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_DISABLE, ready_timeout_in_ms);
			}
		} else {
			if (csts.bits.rdy == 1) {
				SPDK_DEBUGLOG(SPDK_LOG_NVME, "CC.EN is 0 and CSTS.RDY is 1.\n");
				SPDK_DEBUGLOG(SPDK_LOG_NVME, "Waiting until NVMe Controller is disabled\n");
				nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_0, ready_timeout_in_ms);
			} else {
				SPDK_DEBUGLOG(SPDK_LOG_NVME, "CC.EN is 0 and CSTS.RDY is 0.\n");
				SPDK_DEBUGLOG(SPDK_LOG_NVME, "NVMe Controller is currently disabled.\n");
				SPDK_DEBUGLOG(SPDK_LOG_NVME, "Enabling NVMe Controller.\n");
				nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_ENABLE, ready_timeout_in_ms);
			}
		}
		return 0;

	case NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_0:
		if (csts.bits.rdy == 0) {
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "CSTS.RDY is 0\n");
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "NVMe Controller is disabled\n");
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "Enabling NVMe Controller.\n");
			nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_ENABLE, ready_timeout_in_ms);
			return 0;
		}
		if (nvme_ctrlr_state_time_passed(ctrlr, now)) {
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "Forcibly disabling NVMe Controller now\n");
			nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_DISABLE, ready_timeout_in_ms);
		}
		break;

	case NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_1:
		if (csts.bits.rdy == 1) {
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "CSTS.RDY is 1\n");
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "NVMe Controller is enabled\n");
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "Disabling NVMe Controller.\n");
			nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_DISABLE, ready_timeout_in_ms);
			return 0;
		}
		if (nvme_ctrlr_state_time_passed(ctrlr, now)) {
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "Forcibly disabling NVMe Controller now\n");
			nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_DISABLE, ready_timeout_in_ms);
		}
		break;

	case NVME_CTRLR_STATE_DISABLE:
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "Setting CC.EN = 0\n");
		cc.bits.en = 0;
		if (nvme_ctrlr_set_cc(ctrlr, &cc) != 0) {
			SPDK_ERRLOG("Failed to set CC.EN = 0\n");
			nvme_ctrlr_fail(ctrlr, false);
			return -EIO;
		}
		nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_DISABLE_WAIT_FOR_READY_0, ready_timeout_in_ms);
		break;

	case NVME_CTRLR_STATE_DISABLE_WAIT_FOR_READY_0:
		if (csts.bits.rdy == 0) {
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "CSTS.RDY is 0\n");
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "NVMe Controller is disabled\n");
			nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_ENABLE, ready_timeout_in_ms);
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "1ms of delay before setting CC.EN = 1\n");
			ctrlr->sleep_timeout_tsc = spdk_get_ticks() + nvme_ms_to_ticks(NVME_ENABLE_DELAY_MS);
			return 0;
		}
		break;

	case NVME_CTRLR_STATE_ENABLE:
		rc = nvme_ctrlr_enable(ctrlr);
		nvme_ctrlr_set_state(ctrlr, NVME_CTRLR_STATE_ENABLE_WAIT_FOR_READY_1, ready_timeout_in_ms);
		return rc;

	case NVME_CTRLR_STATE_ENABLE_WAIT_FOR_READY_1:
		if (csts.bits.rdy == 1) {
			SPDK_DEBUGLOG(SPDK_LOG_NVME, "CSTS.RDY is 1. The controller is now ready\n");
			nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_ENABLE_ADMIN_QUEUE);
			return 0;
		}
		break;

	case NVME_CTRLR_STATE_ENABLE_ADMIN_QUEUE:
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "Resetting Admin Queue meta-data\n");
		nvme_transport_qpair_reset(ctrlr->adminq);
		nvme_qpair_enable(ctrlr->adminq);
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_IDENTIFY);
		break;

	case NVME_CTRLR_STATE_IDENTIFY:
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "Sending Identify Controller command\n");
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY);
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "Identify CNS=%d, CNTID=%d, NSID=%d\n", SPDK_NVME_IDENTIFY_CTRLR, 0, 0);
		rc = nvme_ctrlr_send_result(
			ctrlr, nvme_ctrlr_cmd_identify(ctrlr, SPDK_NVME_IDENTIFY_CTRLR, 0, 0, &ctrlr->cdata,
						       sizeof(ctrlr->cdata), nvme_ctrlr_identify_done, ctrlr));
		break;

	case NVME_CTRLR_STATE_SET_NUM_QUEUES:
		if (ctrlr->opts.num_io_queues > SPDK_NVME_MAX_IO_QUEUES) {
			SPDK_NOTICELOG("Limiting requested num_io_queues %u to max %d\n", ctrlr->opts.num_io_queues,
				       SPDK_NVME_MAX_IO_QUEUES);
			ctrlr->opts.num_io_queues = SPDK_NVME_MAX_IO_QUEUES;
		} else if (ctrlr->opts.num_io_queues < 1) {
			SPDK_NOTICELOG("Requested num_io_queues 0, increasing to 1\n");
			ctrlr->opts.num_io_queues = 1;
		}
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_WAIT_FOR_SET_NUM_QUEUES);
		rc = nvme_ctrlr_send_result(ctrlr, nvme_ctrlr_cmd_set_num_queues(ctrlr, ctrlr->opts.num_io_queues,
										 nvme_ctrlr_set_num_queues_done, ctrlr));
		break;

	case NVME_CTRLR_STATE_GET_NUM_QUEUES:
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_WAIT_FOR_GET_NUM_QUEUES);
		rc = nvme_ctrlr_send_result(ctrlr,
					    nvme_ctrlr_cmd_get_num_queues(ctrlr, nvme_ctrlr_get_num_queues_done, ctrlr));
		break;

	case NVME_CTRLR_STATE_CONSTRUCT_NS:
		rc = nvme_ctrlr_construct_namespaces(ctrlr);
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_IDENTIFY_ACTIVE_NS);
		break;

	case NVME_CTRLR_STATE_IDENTIFY_ACTIVE_NS:
		rc = nvme_ctrlr_refresh_active_ns(ctrlr);
		if (rc != 0) {
			nvme_ctrlr_destruct_namespaces(ctrlr);
		}
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_IDENTIFY_NS);
		break;

	case NVME_CTRLR_STATE_IDENTIFY_NS:
		nsid = nvme_ctrlr_next_known_active_ns(ctrlr, 0);
		if (nsid == 0) {
			nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_CONFIGURE_AER);
			break;
		}
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY_NS);
		rc = nvme_ctrlr_send_result(ctrlr, nvme_ctrlr_identify_ns_async(ctrlr, nsid));
		break;

	case NVME_CTRLR_STATE_IDENTIFY_ID_DESCS:
		nsid = nvme_ctrlr_next_known_active_ns(ctrlr, 0);
		if (ctrlr->vs.raw < SPDK_NVME_VERSION(1, 3, 0) || (ctrlr->quirks & NVME_QUIRK_NO_NS_LISTS) || nsid == 0) {
			nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_CONFIGURE_AER);
			break;
		}
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY_ID_DESCS);
		rc = nvme_ctrlr_send_result(ctrlr, nvme_ctrlr_identify_id_desc_async(ctrlr, nsid));
		break;

	case NVME_CTRLR_STATE_CONFIGURE_AER:
		rc = nvme_ctrlr_send_result(ctrlr, nvme_ctrlr_configure_aer(ctrlr));
		break;

	case NVME_CTRLR_STATE_SET_SUPPORTED_LOG_PAGES:
		rc = nvme_ctrlr_set_supported_log_pages(ctrlr);
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_SET_SUPPORTED_FEATURES);
		break;

	case NVME_CTRLR_STATE_SET_SUPPORTED_FEATURES:
		nvme_ctrlr_set_supported_features(ctrlr);
		nvme_ctrlr_set_admin_state(ctrlr, NVME_CTRLR_STATE_SET_DB_BUF_CFG);
		break;

	case NVME_CTRLR_STATE_SET_DB_BUF_CFG:
		rc = nvme_ctrlr_set_doorbell_buffer_config(ctrlr);
		break;

	case NVME_CTRLR_STATE_SET_KEEP_ALIVE_TIMEOUT:
		rc = nvme_ctrlr_set_keep_alive_timeout(ctrlr);
		break;

	case NVME_CTRLR_STATE_SET_HOST_ID:
		rc = nvme_ctrlr_set_host_id(ctrlr);
		break;

	case NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY:
	case NVME_CTRLR_STATE_WAIT_FOR_SET_NUM_QUEUES:
	case NVME_CTRLR_STATE_WAIT_FOR_GET_NUM_QUEUES:
	case NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY_NS:
	case NVME_CTRLR_STATE_WAIT_FOR_IDENTIFY_ID_DESCS:
	case NVME_CTRLR_STATE_WAIT_FOR_CONFIGURE_AER:
	case NVME_CTRLR_STATE_WAIT_FOR_DB_BUF_CFG:
	case NVME_CTRLR_STATE_WAIT_FOR_KEEP_ALIVE_TIMEOUT:
	case NVME_CTRLR_STATE_WAIT_FOR_HOST_ID:
		/* The completion callbacks move the state on. */
		spdk_nvme_qpair_process_completions(ctrlr->adminq, 0);
		break;

	case NVME_CTRLR_STATE_READY:
		SPDK_DEBUGLOG(SPDK_LOG_NVME, "Ctrlr already in ready state\n");
		return 0;

	case NVME_CTRLR_STATE_ERROR:
		SPDK_ERRLOG("Ctrlr %s is in error state\n", ctrlr->trid.traddr);
		return -1;

	default:
		nvme_ctrlr_fail(ctrlr, false);
		return -1;
	}

	if (nvme_ctrlr_state_time_passed(ctrlr, now)) {
		SPDK_ERRLOG("Initialization timed out in state %d\n", ctrlr->state);
		nvme_ctrlr_fail(ctrlr, false);
		return -1;
	}
	return rc;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Accessors                                                                                                        */
/* ---------------------------------------------------------------------------------------------------------------- */

const struct spdk_nvme_ctrlr_data *spdk_nvme_ctrlr_get_data(struct spdk_nvme_ctrlr *ctrlr)
{
	return &ctrlr->cdata;
}

uint64_t spdk_nvme_ctrlr_get_flags(struct spdk_nvme_ctrlr *ctrlr)
{
	return ctrlr->flags;
}

const struct spdk_nvme_transport_id *spdk_nvme_ctrlr_get_transport_id(struct spdk_nvme_ctrlr *ctrlr)
{
	return &ctrlr->trid;
}

uint32_t spdk_nvme_ctrlr_get_max_xfer_size(const struct spdk_nvme_ctrlr *ctrlr)
{
	return ctrlr->max_xfer_size;
}

bool spdk_nvme_ctrlr_is_log_page_supported(struct spdk_nvme_ctrlr *ctrlr, uint8_t log_page)
{
	return ctrlr->log_page_supported[log_page];
}

bool spdk_nvme_ctrlr_is_feature_supported(struct spdk_nvme_ctrlr *ctrlr, uint8_t feature_code)
{
	return ctrlr->feature_supported[feature_code];
}

bool spdk_nvme_ctrlr_is_discovery(struct spdk_nvme_ctrlr *ctrlr)
{
	return strncmp((const char *)ctrlr->cdata.subnqn, NVME_DISCOVERY_NQN, NVME_DISCOVERY_NQN_LEN) == 0;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Process records                                                                                                  */
/* ---------------------------------------------------------------------------------------------------------------- */

struct spdk_nvme_ctrlr_process *spdk_nvme_ctrlr_get_process(struct spdk_nvme_ctrlr *ctrlr, pid_t pid)
{
	struct spdk_nvme_ctrlr_process *proc;

	TAILQ_FOREACH(proc, &ctrlr->active_procs, tailq) {
		if (proc->pid == pid) {
			return proc;
		}
	}
	return NULL;
}

struct spdk_nvme_ctrlr_process *spdk_nvme_ctrlr_get_current_process(struct spdk_nvme_ctrlr *ctrlr)
{
	return spdk_nvme_ctrlr_get_process(ctrlr, getpid());
}

int nvme_ctrlr_add_process(struct spdk_nvme_ctrlr *ctrlr, void *devhandle)
{
	struct spdk_nvme_ctrlr_process *proc;
	pid_t pid = getpid();

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	if (spdk_nvme_ctrlr_get_process(ctrlr, pid) != NULL) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		return 0;
	}

	proc = spdk_zmalloc(sizeof(*proc), 64, NULL, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_SHARE);
	if (proc == NULL) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		SPDK_ERRLOG("failed to allocate memory to track the process props\n");
		return -1;
	}
	proc->is_primary = spdk_process_is_primary();
	proc->pid = pid;
	STAILQ_INIT(&proc->active_reqs);
	proc->devhandle = devhandle;
	proc->ref = 0;
	TAILQ_INIT(&proc->allocated_io_qpairs);
	TAILQ_INSERT_TAIL(&ctrlr->active_procs, proc, tailq);
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	return 0;
}

/* Admin requests parked for the process go back to their pool without callbacks; then the record goes. */
static void nvme_ctrlr_free_process(struct spdk_nvme_ctrlr_process *proc)
{
	struct nvme_request *req, *tmp;

	STAILQ_FOREACH_SAFE(req, &proc->active_reqs, stailq, tmp) {
		STAILQ_REMOVE(&proc->active_reqs, req, nvme_request, stailq);
		if (req->cb_fn == nvme_user_copy_cmd_complete && req->payload.contig_or_cb_arg != NULL) {
			/* Its data went through a bounce buffer that nobody will copy back any more. */
			spdk_free(req->payload.contig_or_cb_arg);
			req->payload.contig_or_cb_arg = NULL;
		}
		nvme_free_request(req);
	}
	spdk_free(proc);
}

/* Caller holds ctrlr_lock. */
static void nvme_ctrlr_remove_inactive_proc(struct spdk_nvme_ctrlr *ctrlr)
{
	struct spdk_nvme_ctrlr_process *proc, *tmp;

	TAILQ_FOREACH_SAFE(proc, &ctrlr->active_procs, tailq, tmp) {
		if (kill(proc->pid, 0) == -1 && errno == ESRCH) {
			SPDK_ERRLOG("process %d terminated unexpected\n", (int)proc->pid);
			TAILQ_REMOVE(&ctrlr->active_procs, proc, tailq);
			nvme_ctrlr_free_process(proc);
		}
	}
}

void nvme_ctrlr_free_processes(struct spdk_nvme_ctrlr *ctrlr)
{
	struct spdk_nvme_ctrlr_process *proc, *tmp;

	TAILQ_FOREACH_SAFE(proc, &ctrlr->active_procs, tailq, tmp) {
		TAILQ_REMOVE(&ctrlr->active_procs, proc, tailq);
		nvme_ctrlr_free_process(proc);
	}
}

void nvme_ctrlr_proc_get_ref(struct spdk_nvme_ctrlr *ctrlr)
{
	struct spdk_nvme_ctrlr_process *proc;

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	nvme_ctrlr_remove_inactive_proc(ctrlr);
	proc = spdk_nvme_ctrlr_get_current_process(ctrlr);
	if (proc != NULL) {
		proc->ref++;
	}
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
}

void nvme_ctrlr_proc_put_ref(struct spdk_nvme_ctrlr *ctrlr)
{
	struct spdk_nvme_ctrlr_process *proc;

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	nvme_ctrlr_remove_inactive_proc(ctrlr);
	proc = spdk_nvme_ctrlr_get_current_process(ctrlr);
	if (proc != NULL && proc->ref > 0) {
		proc->ref--;
		/* The last live process keeps its record for the controller's teardown. */
		if (proc->ref == 0 && TAILQ_NEXT(TAILQ_FIRST(&ctrlr->active_procs), tailq) != NULL) {
			TAILQ_REMOVE(&ctrlr->active_procs, proc, tailq);
			if (ctrlr->trid.trtype == SPDK_NVME_TRANSPORT_PCIE && proc->devhandle != NULL) {
				spdk_pci_device_detach(proc->devhandle);
			}
			nvme_ctrlr_free_process(proc);
		}
	}
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
}

int nvme_ctrlr_get_ref_count(struct spdk_nvme_ctrlr *ctrlr)
{
	struct spdk_nvme_ctrlr_process *proc;
	int ref = 0;

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	nvme_ctrlr_remove_inactive_proc(ctrlr);
	TAILQ_FOREACH(proc, &ctrlr->active_procs, tailq) {
		ref += proc->ref;
	}
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	return ref;
}

struct spdk_pci_device *nvme_ctrlr_proc_get_devhandle(struct spdk_nvme_ctrlr *ctrlr)
{
	struct spdk_nvme_ctrlr_process *proc;
	struct spdk_pci_device *devhandle = NULL;

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	proc = spdk_nvme_ctrlr_get_current_process(ctrlr);
	if (proc != NULL) {
		devhandle = proc->devhandle;
	}
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	return devhandle;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* I/O queue pairs through the controller                                                                           */
/* ---------------------------------------------------------------------------------------------------------------- */

void spdk_nvme_ctrlr_get_default_io_qpair_opts(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_io_qpair_opts *opts,
					       size_t opts_size)
{
	if (ctrlr == NULL || opts == NULL) {
		return;
	}
	memset(opts, 0, opts_size);

#define FIELD_OK(field) (offsetof(struct spdk_nvme_io_qpair_opts, field) + sizeof(opts->field) <= opts_size)
	if (FIELD_OK(qprio)) {
		opts->qprio = SPDK_NVME_QPRIO_URGENT;
	}
	if (FIELD_OK(io_queue_size)) {
		opts->io_queue_size = ctrlr->opts.io_queue_size;
	}
	if (FIELD_OK(io_queue_requests)) {
		opts->io_queue_requests = ctrlr->opts.io_queue_requests;
	}
	if (FIELD_OK(delay_pcie_doorbell)) {
		opts->delay_pcie_doorbell = false;
	}
	if (FIELD_OK(sq.vaddr)) {
		opts->sq.vaddr = NULL;
	}
	if (FIELD_OK(cq.vaddr)) {
		opts->cq.vaddr = NULL;
	}
#undef FIELD_OK
}

struct spdk_nvme_qpair *spdk_nvme_ctrlr_alloc_io_qpair(struct spdk_nvme_ctrlr *ctrlr,
						       const struct spdk_nvme_io_qpair_opts *user_opts,
						       size_t opts_size)
{
	struct spdk_nvme_io_qpair_opts opts;
	struct spdk_nvme_qpair *qpair;
	union spdk_nvme_cc_register cc;
	uint32_t qid;

	if (ctrlr == NULL) {
		return NULL;
	}

	spdk_nvme_ctrlr_get_default_io_qpair_opts(ctrlr, &opts, sizeof(opts));
	if (user_opts != NULL) {
		memcpy(&opts, user_opts, opts_size < sizeof(opts) ? opts_size : sizeof(opts));
	}
	if (opts.sq.vaddr != NULL && opts.sq.buffer_size < (uint64_t)opts.io_queue_size * sizeof(struct spdk_nvme_cmd)) {
		SPDK_ERRLOG("sq buffer size %" PRIx64 " is too small for sq size %" PRIx64 "\n", opts.sq.buffer_size,
			    (uint64_t)opts.io_queue_size * sizeof(struct spdk_nvme_cmd));
		return NULL;
	}
	if (opts.cq.vaddr != NULL && opts.cq.buffer_size < (uint64_t)opts.io_queue_size * sizeof(struct spdk_nvme_cpl)) {
		SPDK_ERRLOG("cq buffer size %" PRIx64 " is too small for cq size %" PRIx64 "\n", opts.cq.buffer_size,
			    (uint64_t)opts.io_queue_size * sizeof(struct spdk_nvme_cpl));
		return NULL;
	}

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	if (nvme_ctrlr_get_cc(ctrlr, &cc) != 0) {
		SPDK_ERRLOG("get_cc failed\n");
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		return NULL;
	}
	if ((uint32_t)opts.qprio > SPDK_NVME_QPRIO_MASK) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		return NULL;
	}
	if (cc.bits.ams == SPDK_NVME_CC_AMS_RR && opts.qprio != SPDK_NVME_QPRIO_URGENT) {
		SPDK_ERRLOG("invalid queue priority for default round robin arbitration method\n");
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		return NULL;
	}

	qid = ctrlr->free_io_qids != NULL ? spdk_bit_array_find_first_set(ctrlr->free_io_qids, 1) : UINT32_MAX;
	if (qid == UINT32_MAX || qid > ctrlr->opts.num_io_queues) {
		SPDK_ERRLOG("No free I/O queue IDs\n");
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		return NULL;
	}

	qpair = nvme_transport_ctrlr_create_io_qpair(ctrlr, (uint16_t)qid, &opts);
	if (qpair == NULL) {
		SPDK_ERRLOG("nvme_transport_ctrlr_create_io_qpair() failed\n");
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		return NULL;
	}
	spdk_bit_array_clear(ctrlr->free_io_qids, qid);
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);

	if (ctrlr->quirks & NVME_QUIRK_QPAIR_ALLOC_DELAY) {
		spdk_delay_us(100);
	}
	return qpair;
}

int spdk_nvme_ctrlr_free_io_qpair(struct spdk_nvme_qpair *qpair)
{
	struct spdk_nvme_ctrlr *ctrlr;
	uint16_t qid;

	if (qpair == NULL) {
		return 0;
	}
	if (nvme_qpair_is_admin_queue(qpair)) {
		return -1;
	}
	if (qpair->is_deleting) {
		/* Freed already by the teardown whose callback asks again. */
		return 0;
	}
	if (qpair->in_completion_context) {
		/* Freed by the completion poll once the callbacks of this poll have returned. */
		qpair->delete_after_completion_context = 1;
		return 0;
	}

	ctrlr = qpair->ctrlr;
	qid = qpair->id;
	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	if (ctrlr->is_removed || ctrlr->is_resetting || ctrlr->is_failed) {
		/* The device has no queue to delete (gone, dropped by the reset's disable) or cannot be asked (failed):
		 * release the host side only. */
		nvme_transport_ctrlr_delete_io_qpair_data_structure(qpair);
	} else if (nvme_transport_ctrlr_delete_io_qpair(ctrlr, qpair) != 0) {
		/* The queue still exists at the device, so its identifier stays taken. */
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		return -1;
	}
	if (ctrlr->free_io_qids != NULL) {
		spdk_bit_array_set(ctrlr->free_io_qids, qid);
	}
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	return 0;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Namespace management and security (blocking)                                                                     */
/* ---------------------------------------------------------------------------------------------------------------- */

/* The end of a synchronous admin call: `send_rc` is what sending the command returned; a sent command is waited for
 * (the wait readies the status record) polling under the controller lock. 0, the send's error, or -ENXIO when the
 * command failed, logged as "<caller> failed!" from the caller's place. Used through NVME_CTRLR_ADMIN_SYNC. */
static int nvme_ctrlr_admin_sync(struct spdk_nvme_ctrlr *ctrlr, int send_rc, struct nvme_completion_poll_status *status,
				 const char *file, int line, const char *func)
{
	if (send_rc != 0) {
		return send_rc;
	}
	if (spdk_nvme_wait_for_completion_robust_lock(ctrlr->adminq, status, &ctrlr->ctrlr_lock) != 0) {
		spdk_log(SPDK_LOG_ERROR, file, line, func, "%s failed!\n", func);
		return -ENXIO;
	}
	return 0;
}

/* Sends an admin command with `send(ctrlr, args..., nvme_completion_poll_cb, status)` and waits for it, as above. */
#define NVME_CTRLR_ADMIN_SYNC(ctrlr, status, send, ...)                                                      \
	nvme_ctrlr_admin_sync((ctrlr), send((ctrlr), __VA_ARGS__, nvme_completion_poll_cb, (status)), (status), \
			      __FILE__, __LINE__, __func__)

int spdk_nvme_ctrlr_attach_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_ctrlr_list *payload)
{
	struct nvme_completion_poll_status status;
	struct spdk_nvme_ns *ns;
	int rc;

	rc = NVME_CTRLR_ADMIN_SYNC(ctrlr, &status, nvme_ctrlr_cmd_attach_ns, nsid, payload);
	if (rc != 0) {
		return rc;
	}

	rc = nvme_ctrlr_refresh_active_ns(ctrlr);
	if (rc != 0) {
		return rc;
	}
	ns = spdk_nvme_ctrlr_get_ns(ctrlr, nsid);
	if (ns == NULL) {
		return -ENXIO;
	}
	return nvme_ns_construct(ns, nsid, ctrlr);
}

/* Detach and delete share the tail: re-read the active list and forget the namespace. */
static int nvme_ctrlr_ns_gone(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid)
{
	struct spdk_nvme_ns *ns;
	int rc = nvme_ctrlr_refresh_active_ns(ctrlr);

	if (rc != 0) {
		return rc;
	}
	ns = spdk_nvme_ctrlr_get_ns(ctrlr, nsid);
	if (ns != NULL) {
		nvme_ns_destruct(ns);
	}
	return 0;
}

int spdk_nvme_ctrlr_detach_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_ctrlr_list *payload)
{
	struct nvme_completion_poll_status status;
	int rc;

	rc = NVME_CTRLR_ADMIN_SYNC(ctrlr, &status, nvme_ctrlr_cmd_detach_ns, nsid, payload);
	if (rc != 0) {
		return rc;
	}
	return nvme_ctrlr_ns_gone(ctrlr, nsid);
}

int spdk_nvme_ctrlr_delete_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid)
{
	struct nvme_completion_poll_status status;
	int rc;

	rc = NVME_CTRLR_ADMIN_SYNC(ctrlr, &status, nvme_ctrlr_cmd_delete_ns, nsid);
	if (rc != 0) {
		return rc;
	}
	return nvme_ctrlr_ns_gone(ctrlr, nsid);
}

uint32_t spdk_nvme_ctrlr_create_ns(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_ns_data *payload)
{
	struct nvme_completion_poll_status status;
	struct spdk_nvme_ns *ns;
	uint32_t nsid;

	if (NVME_CTRLR_ADMIN_SYNC(ctrlr, &status, nvme_ctrlr_cmd_create_ns, payload) != 0) {
		return 0;
	}

	nsid = status.cpl.cdw0;
	if (nvme_ctrlr_refresh_active_ns(ctrlr) != 0) {
		return 0;
	}
	ns = spdk_nvme_ctrlr_get_ns(ctrlr, nsid);
	if (ns == NULL) {
		return 0;
	}
	/* A namespace made now is not attached yet, and a controller refuses the identification descriptors of an
	 * inactive NSID: that part of the construction can only fail. The namespace is constructed in full when it is
	 * attached; the creation itself succeeded. */
	if (nvme_ns_construct(ns, nsid, ctrlr) != 0 && spdk_nvme_ctrlr_is_active_ns(ctrlr, nsid)) {
		return 0;
	}
	return nsid;
}

int spdk_nvme_ctrlr_security_receive(struct spdk_nvme_ctrlr *ctrlr, uint8_t secp, uint16_t spsp, uint8_t nssf,
				     void *payload, size_t size)
{
	struct nvme_completion_poll_status status;

	return NVME_CTRLR_ADMIN_SYNC(ctrlr, &status, nvme_ctrlr_cmd_security_receive, secp, spsp, nssf, payload,
				     (uint32_t)size);
}

int spdk_nvme_ctrlr_security_send(struct spdk_nvme_ctrlr *ctrlr, uint8_t secp, uint16_t spsp, uint8_t nssf,
				  void *payload, size_t size)
{
	struct nvme_completion_poll_status status;

	return NVME_CTRLR_ADMIN_SYNC(ctrlr, &status, nvme_ctrlr_cmd_security_send, secp, spsp, nssf, payload,
				     (uint32_t)size);
}
