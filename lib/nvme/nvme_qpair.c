/*
 * The transport-independent queue pair: the request pool, submission with parking, split requests and error
 * injection, the polled completion entry points, time-out checks, blocking waits, and the printable opcode and status
 * tables.
 */
#include "nvme_internal.h"

#include <inttypes.h>

int32_t spdk_nvme_retry_count;

/* ---------------------------------------------------------------------------------------------------------------- */
/* Printable tables                                                                                                 */
/* ---------------------------------------------------------------------------------------------------------------- */

struct nvme_string {
	uint16_t value;
	const char *str;
};

static const struct nvme_string admin_opcode[] = {
	{SPDK_NVME_OPC_DELETE_IO_SQ, "DELETE IO SQ"},
	{SPDK_NVME_OPC_CREATE_IO_SQ, "CREATE IO SQ"},
	{SPDK_NVME_OPC_GET_LOG_PAGE, "GET LOG PAGE"},
	{SPDK_NVME_OPC_DELETE_IO_CQ, "DELETE IO CQ"},
	{SPDK_NVME_OPC_CREATE_IO_CQ, "CREATE IO CQ"},
	{SPDK_NVME_OPC_IDENTIFY, "IDENTIFY"},
	{SPDK_NVME_OPC_ABORT, "ABORT"},
	{SPDK_NVME_OPC_SET_FEATURES, "SET FEATURES"},
	{SPDK_NVME_OPC_GET_FEATURES, "GET FEATURES"},
	{SPDK_NVME_OPC_ASYNC_EVENT_REQUEST, "ASYNC EVENT REQUEST"},
	{SPDK_NVME_OPC_NS_MANAGEMENT, "NAMESPACE MANAGEMENT"},
	{SPDK_NVME_OPC_FIRMWARE_COMMIT, "FIRMWARE COMMIT"},
	{SPDK_NVME_OPC_FIRMWARE_IMAGE_DOWNLOAD, "FIRMWARE IMAGE DOWNLOAD"},
	{SPDK_NVME_OPC_DEVICE_SELF_TEST, "DEVICE SELF-TEST"},
	{SPDK_NVME_OPC_NS_ATTACHMENT, "NAMESPACE ATTACHMENT"},
	{SPDK_NVME_OPC_KEEP_ALIVE, "KEEP ALIVE"},
	{SPDK_NVME_OPC_DIRECTIVE_SEND, "DIRECTIVE SEND"},
	{SPDK_NVME_OPC_DIRECTIVE_RECEIVE, "DIRECTIVE RECEIVE"},
	{SPDK_NVME_OPC_VIRTUALIZATION_MANAGEMENT, "VIRTUALIZATION MANAGEMENT"},
	{SPDK_NVME_OPC_NVME_MI_SEND, "NVME-MI SEND"},
	{SPDK_NVME_OPC_NVME_MI_RECEIVE, "NVME-MI RECEIVE"},
	{SPDK_NVME_OPC_DOORBELL_BUFFER_CONFIG, "DOORBELL BUFFER CONFIG"},
	{SPDK_NVME_OPC_FORMAT_NVM, "FORMAT NVM"},
	{SPDK_NVME_OPC_SECURITY_SEND, "SECURITY SEND"},
	{SPDK_NVME_OPC_SECURITY_RECEIVE, "SECURITY RECEIVE"},
	{SPDK_NVME_OPC_SANITIZE, "SANITIZE"},
	{0xE2, "OCSSD / GEOMETRY"},
	{0xFFFF, "ADMIN COMMAND"},
};

static const struct nvme_string io_opcode[] = {
	{SPDK_NVME_OPC_FLUSH, "FLUSH"},
	{SPDK_NVME_OPC_WRITE, "WRITE"},
	{SPDK_NVME_OPC_READ, "READ"},
	{SPDK_NVME_OPC_WRITE_UNCORRECTABLE, "WRITE UNCORRECTABLE"},
	{SPDK_NVME_OPC_COMPARE, "COMPARE"},
	{SPDK_NVME_OPC_WRITE_ZEROES, "WRITE ZEROES"},
	{SPDK_NVME_OPC_DATASET_MANAGEMENT, "DATASET MANAGEMENT"},
	{SPDK_NVME_OPC_RESERVATION_REGISTER, "RESERVATION REGISTER"},
	{SPDK_NVME_OPC_RESERVATION_REPORT, "RESERVATION REPORT"},
	{SPDK_NVME_OPC_RESERVATION_ACQUIRE, "RESERVATION ACQUIRE"},
	{SPDK_NVME_OPC_RESERVATION_RELEASE, "RESERVATION RELEASE"},
	{0x90, "OCSSD / VECTOR RESET"},
	{0x91, "OCSSD / VECTOR WRITE"},
	{0x92, "OCSSD / VECTOR READ"},
	{0x93, "OCSSD / VECTOR COPY"},
	{0xFFFF, "IO COMMAND"},
};

static const struct nvme_string generic_status[] = {
	{SPDK_NVME_SC_SUCCESS, "SUCCESS"},
	{SPDK_NVME_SC_INVALID_OPCODE, "INVALID OPCODE"},
	{SPDK_NVME_SC_INVALID_FIELD, "INVALID FIELD"},
	{SPDK_NVME_SC_COMMAND_ID_CONFLICT, "COMMAND ID CONFLICT"},
	{SPDK_NVME_SC_DATA_TRANSFER_ERROR, "DATA TRANSFER ERROR"},
	{SPDK_NVME_SC_ABORTED_POWER_LOSS, "ABORTED - POWER LOSS"},
	{SPDK_NVME_SC_INTERNAL_DEVICE_ERROR, "INTERNAL DEVICE ERROR"},
	{SPDK_NVME_SC_ABORTED_BY_REQUEST, "ABORTED - BY REQUEST"},
	{SPDK_NVME_SC_ABORTED_SQ_DELETION, "ABORTED - SQ DELETION"},
	{SPDK_NVME_SC_ABORTED_FAILED_FUSED, "ABORTED - FAILED FUSED"},
	{SPDK_NVME_SC_ABORTED_MISSING_FUSED, "ABORTED - MISSING FUSED"},
	{SPDK_NVME_SC_INVALID_NAMESPACE_OR_FORMAT, "INVALID NAMESPACE OR FORMAT"},
	{SPDK_NVME_SC_COMMAND_SEQUENCE_ERROR, "COMMAND SEQUENCE ERROR"},
	{SPDK_NVME_SC_INVALID_SGL_SEG_DESCRIPTOR, "INVALID SGL SEGMENT DESCRIPTOR"},
	{SPDK_NVME_SC_INVALID_NUM_SGL_DESCIRPTORS, "INVALID NUMBER OF SGL DESCRIPTORS"},
	{SPDK_NVME_SC_DATA_SGL_LENGTH_INVALID, "DATA SGL LENGTH INVALID"},
	{SPDK_NVME_SC_METADATA_SGL_LENGTH_INVALID, "METADATA SGL LENGTH INVALID"},
	{SPDK_NVME_SC_SGL_DESCRIPTOR_TYPE_INVALID, "SGL DESCRIPTOR TYPE INVALID"},
	{SPDK_NVME_SC_INVALID_CONTROLLER_MEM_BUF, "INVALID CONTROLLER MEMORY BUFFER"},
	{SPDK_NVME_SC_INVALID_PRP_OFFSET, "INVALID PRP OFFSET"},
	{SPDK_NVME_SC_ATOMIC_WRITE_UNIT_EXCEEDED, "ATOMIC WRITE UNIT EXCEEDED"},
	{SPDK_NVME_SC_OPERATION_DENIED, "OPERATION DENIED"},
	{SPDK_NVME_SC_INVALID_SGL_OFFSET, "INVALID SGL OFFSET"},
	{SPDK_NVME_SC_HOSTID_INCONSISTENT_FORMAT, "HOSTID INCONSISTENT FORMAT"},
	{SPDK_NVME_SC_KEEP_ALIVE_EXPIRED, "KEEP ALIVE EXPIRED"},
	{SPDK_NVME_SC_KEEP_ALIVE_INVALID, "KEEP ALIVE INVALID"},
	{SPDK_NVME_SC_ABORTED_PREEMPT, "ABORTED - PREEMPT AND ABORT"},
	{SPDK_NVME_SC_SANITIZE_FAILED, "SANITIZE FAILED"},
	{SPDK_NVME_SC_SANITIZE_IN_PROGRESS, "SANITIZE IN PROGRESS"},
	{SPDK_NVME_SC_SGL_DATA_BLOCK_GRANULARITY_INVALID, "DATA BLOCK GRANULARITY INVALID"},
	{SPDK_NVME_SC_COMMAND_INVALID_IN_CMB, "COMMAND NOT SUPPORTED FOR QUEUE IN CMB"},
	{SPDK_NVME_SC_LBA_OUT_OF_RANGE, "LBA OUT OF RANGE"},
	{SPDK_NVME_SC_CAPACITY_EXCEEDED, "CAPACITY EXCEEDED"},
	{SPDK_NVME_SC_NAMESPACE_NOT_READY, "NAMESPACE NOT READY"},
	{SPDK_NVME_SC_RESERVATION_CONFLICT, "RESERVATION CONFLICT"},
	{SPDK_NVME_SC_FORMAT_IN_PROGRESS, "FORMAT IN PROGRESS"},
	{0xFFFF, "GENERIC"},
};

static const struct nvme_string command_specific_status[] = {
	{SPDK_NVME_SC_COMPLETION_QUEUE_INVALID, "INVALID COMPLETION QUEUE"},
	{SPDK_NVME_SC_INVALID_QUEUE_IDENTIFIER, "INVALID QUEUE IDENTIFIER"},
	{SPDK_NVME_SC_INVALID_QUEUE_SIZE, "MAX QUEUE SIZE EXCEEDED"},
	{SPDK_NVME_SC_ABORT_COMMAND_LIMIT_EXCEEDED, "ABORT CMD LIMIT EXCEEDED"},
	{SPDK_NVME_SC_ASYNC_EVENT_REQUEST_LIMIT_EXCEEDED, "ASYNC LIMIT EXCEEDED"},
	{SPDK_NVME_SC_INVALID_FIRMWARE_SLOT, "INVALID FIRMWARE SLOT"},
	{SPDK_NVME_SC_INVALID_FIRMWARE_IMAGE, "INVALID FIRMWARE IMAGE"},
	{SPDK_NVME_SC_INVALID_INTERRUPT_VECTOR, "INVALID INTERRUPT VECTOR"},
	{SPDK_NVME_SC_INVALID_LOG_PAGE, "INVALID LOG PAGE"},
	{SPDK_NVME_SC_INVALID_FORMAT, "INVALID FORMAT"},
	{SPDK_NVME_SC_FIRMWARE_REQ_CONVENTIONAL_RESET, "FIRMWARE REQUIRES CONVENTIONAL RESET"},
	{SPDK_NVME_SC_INVALID_QUEUE_DELETION, "INVALID QUEUE DELETION"},
	{SPDK_NVME_SC_FEATURE_ID_NOT_SAVEABLE, "FEATURE ID NOT SAVEABLE"},
	{SPDK_NVME_SC_FEATURE_NOT_CHANGEABLE, "FEATURE NOT CHANGEABLE"},
	{SPDK_NVME_SC_FEATURE_NOT_NAMESPACE_SPECIFIC, "FEATURE NOT NAMESPACE SPECIFIC"},
	{SPDK_NVME_SC_FIRMWARE_REQ_NVM_RESET, "FIRMWARE REQUIRES NVM RESET"},
	{SPDK_NVME_SC_FIRMWARE_REQ_RESET, "FIRMWARE REQUIRES RESET"},
	{SPDK_NVME_SC_FIRMWARE_REQ_MAX_TIME_VIOLATION, "FIRMWARE REQUIRES MAX TIME VIOLATION"},
	{SPDK_NVME_SC_FIRMWARE_ACTIVATION_PROHIBITED, "FIRMWARE ACTIVATION PROHIBITED"},
	{SPDK_NVME_SC_OVERLAPPING_RANGE, "OVERLAPPING RANGE"},
	{SPDK_NVME_SC_NAMESPACE_INSUFFICIENT_CAPACITY, "NAMESPACE INSUFFICIENT CAPACITY"},
	{SPDK_NVME_SC_NAMESPACE_ID_UNAVAILABLE, "NAMESPACE ID UNAVAILABLE"},
	{SPDK_NVME_SC_NAMESPACE_ALREADY_ATTACHED, "NAMESPACE ALREADY ATTACHED"},
	{SPDK_NVME_SC_NAMESPACE_IS_PRIVATE, "NAMESPACE IS PRIVATE"},
	{SPDK_NVME_SC_NAMESPACE_NOT_ATTACHED, "NAMESPACE NOT ATTACHED"},
	{SPDK_NVME_SC_THINPROVISIONING_NOT_SUPPORTED, "THINPROVISIONING NOT SUPPORTED"},
	{SPDK_NVME_SC_CONTROLLER_LIST_INVALID, "CONTROLLER LIST INVALID"},
	{SPDK_NVME_SC_DEVICE_SELF_TEST_IN_PROGRESS, "DEVICE SELF-TEST IN PROGRESS"},
	{SPDK_NVME_SC_BOOT_PARTITION_WRITE_PROHIBITED, "BOOT PARTITION WRITE PROHIBITED"},
	{SPDK_NVME_SC_INVALID_CTRLR_ID, "INVALID CONTROLLER ID"},
	{SPDK_NVME_SC_INVALID_SECONDARY_CTRLR_STATE, "INVALID SECONDARY CONTROLLER STATE"},
	{SPDK_NVME_SC_INVALID_NUM_CTRLR_RESOURCES, "INVALID NUMBER OF CONTROLLER RESOURCES"},
	{SPDK_NVME_SC_INVALID_RESOURCE_ID, "INVALID RESOURCE IDENTIFIER"},
	{SPDK_NVME_SC_CONFLICTING_ATTRIBUTES, "CONFLICTING ATTRIBUTES"},
	{SPDK_NVME_SC_INVALID_PROTECTION_INFO, "INVALID PROTECTION INFO"},
	{SPDK_NVME_SC_ATTEMPTED_WRITE_TO_RO_RANGE, "WRITE TO RO RANGE"},
	{0xFFFF, "COMMAND SPECIFIC"},
};

static const struct nvme_string media_error_status[] = {
	{SPDK_NVME_SC_WRITE_FAULTS, "WRITE FAULTS"},
	{SPDK_NVME_SC_UNRECOVERED_READ_ERROR, "UNRECOVERED READ ERROR"},
	{SPDK_NVME_SC_GUARD_CHECK_ERROR, "GUARD CHECK ERROR"},
	{SPDK_NVME_SC_APPLICATION_TAG_CHECK_ERROR, "APPLICATION TAG CHECK ERROR"},
	{SPDK_NVME_SC_REFERENCE_TAG_CHECK_ERROR, "REFERENCE TAG CHECK ERROR"},
	{SPDK_NVME_SC_COMPARE_FAILURE, "COMPARE FAILURE"},
	{SPDK_NVME_SC_ACCESS_DENIED, "ACCESS DENIED"},
	{SPDK_NVME_SC_DEALLOCATED_OR_UNWRITTEN_BLOCK, "DEALLOCATED OR UNWRITTEN BLOCK"},
	{0xC0, "RESET OFFLINE CHUNK"},
	{0xC1, "INVALID RESET"},
	{0xF0, "WRITE FAIL WRITE NEXT UNIT"},
	{0xF1, "WRITE FAIL CHUNK EARLY CLOSE"},
	{0xF2, "OUT OF ORDER WRITE"},
	{0xD0, "READ HIGH ECC"},
	{0xFFFF, "MEDIA ERROR"},
};

static const struct nvme_string path_status[] = {
	{SPDK_NVME_SC_INTERNAL_PATH_ERROR, "INTERNAL PATH ERROR"},
	{SPDK_NVME_SC_CONTROLLER_PATH_ERROR, "CONTROLLER PATH ERROR"},
	{SPDK_NVME_SC_HOST_PATH_ERROR, "HOST PATH ERROR"},
	{SPDK_NVME_SC_ABORTED_BY_HOST, "ABORTED BY HOST"},
	{0xFFFF, "PATH ERROR"},
};

static const char *nvme_get_string(const struct nvme_string *strings, uint16_t value)
{
	const struct nvme_string *entry = strings;

	while (entry->value != 0xFFFF) {
		if (entry->value == value) {
			return entry->str;
		}
		entry++;
	}
	return entry->str;
}

const char *nvme_admin_opc_string(uint8_t opc)
{
	return nvme_get_string(admin_opcode, opc);
}

const char *nvme_io_opc_string(uint8_t opc)
{
	return nvme_get_string(io_opcode, opc);
}

const char *spdk_nvme_cpl_get_status_string(const struct spdk_nvme_status *status)
{
	const struct nvme_string *table;

	switch (status->sct) {
	case SPDK_NVME_SCT_GENERIC:
		table = generic_status;
		break;
	case SPDK_NVME_SCT_COMMAND_SPECIFIC:
		table = command_specific_status;
		break;
	case SPDK_NVME_SCT_MEDIA_ERROR:
		table = media_error_status;
		break;
	case SPDK_NVME_SCT_PATH:
		table = path_status;
		break;
	case SPDK_NVME_SCT_VENDOR_SPECIFIC:
		return "VENDOR SPECIFIC";
	default:
		return "RESERVED";
	}
	return nvme_get_string(table, status->sc);
}

static void nvme_admin_qpair_print_command(struct spdk_nvme_qpair *qpair, struct spdk_nvme_cmd *cmd)
{
	SPDK_NOTICELOG("%s (%02x) sqid:%d cid:%d nsid:%x cdw10:%08x cdw11:%08x\n", nvme_admin_opc_string(cmd->opc),
		       cmd->opc, 0, cmd->cid, cmd->nsid, cmd->cdw10, cmd->cdw11);
}

static void nvme_io_qpair_print_command(struct spdk_nvme_qpair *qpair, struct spdk_nvme_cmd *cmd)
{
	uint16_t qid = qpair ? qpair->id : 0;

	switch ((int)cmd->opc) {
	case SPDK_NVME_OPC_WRITE:
	case SPDK_NVME_OPC_READ:
	case SPDK_NVME_OPC_WRITE_UNCORRECTABLE:
	case SPDK_NVME_OPC_COMPARE:
		SPDK_NOTICELOG("%s sqid:%d cid:%d nsid:%d lba:%llu len:%d\n", nvme_io_opc_string(cmd->opc), qid, cmd->cid,
			       cmd->nsid,
			       (unsigned long long)(((uint64_t)cmd->cdw11 << 32) | cmd->cdw10),
			       (cmd->cdw12 & 0xFFFF) + 1);
		break;
	case SPDK_NVME_OPC_FLUSH:
	case SPDK_NVME_OPC_DATASET_MANAGEMENT:
		SPDK_NOTICELOG("%s sqid:%d cid:%d nsid:%d\n", nvme_io_opc_string(cmd->opc), qid, cmd->cid, cmd->nsid);
		break;
	default:
		SPDK_NOTICELOG("%s (%02x) sqid:%d cid:%d nsid:%d\n", nvme_io_opc_string(cmd->opc), cmd->opc, qid,
			       cmd->cid, cmd->nsid);
		break;
	}
}

void spdk_nvme_qpair_print_command(struct spdk_nvme_qpair *qpair, struct spdk_nvme_cmd *cmd)
{
	if (qpair == NULL || nvme_qpair_is_admin_queue(qpair)) {
		nvme_admin_qpair_print_command(qpair, cmd);
	} else {
		nvme_io_qpair_print_command(qpair, cmd);
	}
}

void spdk_nvme_qpair_print_completion(struct spdk_nvme_qpair *qpair, struct spdk_nvme_cpl *cpl)
{
	SPDK_NOTICELOG("%s (%02x/%02x) sqid:%d cid:%d cdw0:%x sqhd:%04x p:%x m:%x dnr:%x\n",
		       spdk_nvme_cpl_get_status_string(&cpl->status), cpl->status.sct, cpl->status.sc, cpl->sqid,
		       cpl->cid, cpl->cdw0, cpl->sqhd, cpl->status.p, cpl->status.m, cpl->status.dnr);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Retry rule                                                                                                       */
/* ---------------------------------------------------------------------------------------------------------------- */

bool nvme_completion_is_retry(const struct spdk_nvme_cpl *cpl)
{
	if (cpl->status.dnr) {
		return false;
	}
	switch (cpl->status.sct) {
	case SPDK_NVME_SCT_GENERIC:
		return cpl->status.sc == SPDK_NVME_SC_NAMESPACE_NOT_READY ||
		       cpl->status.sc == SPDK_NVME_SC_FORMAT_IN_PROGRESS;
	case SPDK_NVME_SCT_PATH:
		return cpl->status.sc == SPDK_NVME_SC_INTERNAL_PATH_ERROR;
	default:
		return false;
	}
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Queue pair life                                                                                                  */
/* ---------------------------------------------------------------------------------------------------------------- */

int nvme_qpair_init(struct spdk_nvme_qpair *qpair, uint16_t id, struct spdk_nvme_ctrlr *ctrlr,
		    enum spdk_nvme_qprio qprio, uint32_t num_requests)
{
	size_t req_size_padded = sizeof(struct nvme_request);
	uint32_t i;

	qpair->id = id;
	qpair->qprio = (uint8_t)qprio;
	qpair->in_completion_context = 0;
	qpair->delete_after_completion_context = 0;
	qpair->no_deletion_notification_needed = 0;
	qpair->is_deleting = 0;
	qpair->caller_tick = 0;
	qpair->parked_check_tick = 0;
	qpair->ctrlr = ctrlr;
	qpair->trtype = ctrlr->trid.trtype;

	STAILQ_INIT(&qpair->free_req);
	STAILQ_INIT(&qpair->queued_req);
	TAILQ_INIT(&qpair->err_cmd_head);
	STAILQ_INIT(&qpair->err_req_head);

	qpair->req_buf = num_requests == 0 ? NULL :
			 spdk_zmalloc(req_size_padded * num_requests, 64, NULL, SPDK_ENV_SOCKET_ID_ANY,
				      SPDK_MALLOC_SHARE);
	if (qpair->req_buf == NULL) {
		SPDK_ERRLOG("no memory to allocate qpair(cntlid:0x%x sqid:%d) req_buf with %d request\n",
			    ctrlr->cntlid, qpair->id, (int)num_requests);
		return -ENOMEM;
	}
	qpair->num_requests = num_requests;

	for (i = 0; i < num_requests; i++) {
		struct nvme_request *req = (struct nvme_request *)((uint8_t *)qpair->req_buf + i * req_size_padded);

		req->qpair = qpair;
		STAILQ_INSERT_HEAD(&qpair->free_req, req, stailq);
	}
	return 0;
}

/* Free the bounce buffer of a request that will never complete (teardown). */
static void nvme_request_drop_bounce_buffer(struct nvme_request *req)
{
	if (req->cb_fn == nvme_user_copy_cmd_complete && req->payload.contig_or_cb_arg != NULL) {
		spdk_free(req->payload.contig_or_cb_arg);
		req->payload.contig_or_cb_arg = NULL;
	}
}

void nvme_qpair_deinit(struct spdk_nvme_qpair *qpair)
{
	struct nvme_error_cmd *cmd, *entry;
	struct nvme_request *req;

	nvme_qpair_complete_error_reqs(qpair);

	/* Requests still parked go away with the pool; only their bounce buffers need freeing. */
	STAILQ_FOREACH(req, &qpair->queued_req, stailq) {
		nvme_request_drop_bounce_buffer(req);
	}
	STAILQ_INIT(&qpair->queued_req);

	TAILQ_FOREACH_SAFE(cmd, &qpair->err_cmd_head, link, entry) {
		TAILQ_REMOVE(&qpair->err_cmd_head, cmd, link);
		spdk_free(cmd);
	}

	spdk_free(qpair->req_buf);
	qpair->req_buf = NULL;
	STAILQ_INIT(&qpair->free_req);
}

void nvme_qpair_enable(struct spdk_nvme_qpair *qpair)
{
	qpair->is_enabled = 1;
}

void nvme_qpair_disable(struct spdk_nvme_qpair *qpair)
{
	qpair->is_enabled = 0;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Completion helpers                                                                                               */
/* ---------------------------------------------------------------------------------------------------------------- */

const struct spdk_nvme_cpl *nvme_qpair_inject_error(struct spdk_nvme_qpair *qpair, struct nvme_request *req,
						   const struct spdk_nvme_cpl *cpl, struct spdk_nvme_cpl *copy)
{
	struct nvme_error_cmd *cmd;

	if (TAILQ_EMPTY(&qpair->err_cmd_head) || spdk_nvme_cpl_is_error(cpl)) {
		return cpl;
	}
	TAILQ_FOREACH(cmd, &qpair->err_cmd_head, link) {
		if (!cmd->do_not_submit && cmd->opc == req->cmd.opc && cmd->err_count > 0) {
			cmd->err_count--;
			*copy = *cpl;
			copy->status.sct = cmd->status.sct;
			copy->status.sc = cmd->status.sc;
			return copy;
		}
	}
	return cpl;
}

void nvme_qpair_manual_complete_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req, uint32_t sct,
					uint32_t sc, bool dnr)
{
	struct spdk_nvme_cpl cpl;

	memset(&cpl, 0, sizeof(cpl));
	cpl.sqid = qpair->id;
	cpl.status.sct = sct & 0x7;
	cpl.status.sc = sc & 0xFF;
	cpl.status.dnr = dnr ? 1 : 0;

	if (spdk_nvme_cpl_is_error(&cpl) && !qpair->ctrlr->opts.disable_error_logging) {
		SPDK_NOTICELOG("Command completed manually:\n");
		spdk_nvme_qpair_print_command(qpair, &req->cmd);
		spdk_nvme_qpair_print_completion(qpair, &cpl);
	}

	nvme_complete_request(req->cb_fn, req->cb_arg, qpair, req, &cpl);
	nvme_free_request(req);
}

void nvme_qpair_abort_queued_reqs(struct spdk_nvme_qpair *qpair, uint32_t dnr)
{
	struct nvme_request *req;

	while (!STAILQ_EMPTY(&qpair->queued_req)) {
		req = STAILQ_FIRST(&qpair->queued_req);
		STAILQ_REMOVE_HEAD(&qpair->queued_req, stailq);
		if (!qpair->ctrlr->opts.disable_error_logging) {
			SPDK_ERRLOG("aborting queued i/o\n");
		}
		nvme_qpair_manual_complete_request(qpair, req, SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_ABORTED_BY_REQUEST,
						   dnr != 0);
	}
}

/* A held-back request whose command deadline came before its hold ended: it ends as any command the drive never
 * answers, by its time-out (the time-out callback runs; no Abort can name it, the drive never had it). */
static void nvme_qpair_time_out_held(struct spdk_nvme_qpair *qpair, struct nvme_request *req,
				     struct spdk_nvme_ctrlr_process *proc)
{
	req->timed_out = true;
	proc->timeout_cb_fn(proc->timeout_cb_arg, qpair->ctrlr, nvme_qpair_is_admin_queue(qpair) ? NULL : qpair,
			    NVME_HELD_REQUEST_CID);
	nvme_qpair_manual_complete_request(qpair, req, SPDK_NVME_SCT_PATH, SPDK_NVME_SC_ABORTED_BY_HOST, true);
}

/* Complete held-back injected requests; only_expired limits it to those whose delay has passed, or whose command
 * deadline has (a hold longer than the command time-out provokes a time-out). */
static void nvme_qpair_complete_held_reqs(struct spdk_nvme_qpair *qpair, bool only_expired)
{
	STAILQ_HEAD(, nvme_request) done;
	struct nvme_request *req, *tmp;
	uint64_t now;
	struct spdk_nvme_ctrlr_process *proc = NULL;
	uint64_t deadline_ticks = 0;

	/* Every poll comes here: without held requests it reads no clock. */
	if (STAILQ_EMPTY(&qpair->err_req_head)) {
		return;
	}
	now = only_expired ? spdk_get_ticks() : 0;
	if (only_expired && qpair->ctrlr->timeout_enabled) {
		proc = nvme_qpair_timeout_process(qpair);
		if (proc != NULL && proc->timeout_cb_fn != NULL) {
			deadline_ticks = proc->timeout_ticks;
		}
	}

	/* Take the due requests off first: their callbacks may submit and hold back new ones. */
	STAILQ_INIT(&done);
	STAILQ_FOREACH_SAFE(req, &qpair->err_req_head, stailq, tmp) {
		bool late = deadline_ticks != 0 && now - req->submit_tick >= deadline_ticks &&
			    req->timeout_tsc >= deadline_ticks;

		if (!only_expired || late || now - req->submit_tick > req->timeout_tsc) {
			req->timed_out = late;
			STAILQ_REMOVE(&qpair->err_req_head, req, nvme_request, stailq);
			STAILQ_INSERT_TAIL(&done, req, stailq);
		}
	}
	while (!STAILQ_EMPTY(&done)) {
		req = STAILQ_FIRST(&done);
		STAILQ_REMOVE_HEAD(&done, stailq);
		if (req->timed_out) {
			nvme_qpair_time_out_held(qpair, req, proc);
		} else {
			nvme_qpair_manual_complete_request(qpair, req, req->cpl.status.sct, req->cpl.status.sc, false);
		}
	}
}

void nvme_qpair_complete_error_reqs(struct spdk_nvme_qpair *qpair)
{
	nvme_qpair_complete_held_reqs(qpair, false);
}

/* A disabled queue pair is re-enabled by its first use: flush what was parked, then start clean. */
static void nvme_qpair_reenable(struct spdk_nvme_qpair *qpair)
{
	nvme_qpair_complete_error_reqs(qpair);
	nvme_qpair_abort_queued_reqs(qpair, 0);
	nvme_qpair_enable(qpair);
	nvme_transport_qpair_abort_reqs(qpair, 0);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Split requests                                                                                                   */
/* ---------------------------------------------------------------------------------------------------------------- */

void nvme_request_free_children(struct nvme_request *req)
{
	struct nvme_request *child, *tmp;

	if (req->num_children == 0) {
		return;
	}
	TAILQ_FOREACH_SAFE(child, &req->children, child_tailq, tmp) {
		nvme_request_remove_child(req, child);
		nvme_request_free_children(child);
		nvme_free_request(child);
	}
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Submission                                                                                                       */
/* ---------------------------------------------------------------------------------------------------------------- */

void nvme_qpair_park_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req)
{
	/* Timed from when it was first parked (a request parked again keeps that tick); its submission stamps it anew. */
	if (req->submit_tick == 0 && qpair->ctrlr->timeout_enabled) {
		req->submit_tick = qpair->caller_tick != 0 ? qpair->caller_tick : spdk_get_ticks();
	}
	if (STAILQ_EMPTY(&qpair->queued_req)) {
		qpair->parked_check_tick = 0;
	}
	STAILQ_INSERT_TAIL(&qpair->queued_req, req, stailq);
}

/* Parked requests whose deadline has passed end now with the unsent time-out status: they never reached the device.
 * The others stay parked in their order, and the list is not walked again before the earliest deadline among them
 * (requests parked later have later deadlines). */
static void nvme_qpair_expire_parked(struct spdk_nvme_qpair *qpair)
{
	struct spdk_nvme_ctrlr *ctrlr = qpair->ctrlr;
	bool admin = nvme_qpair_is_admin_queue(qpair);
	struct spdk_nvme_ctrlr_process *proc;
	STAILQ_HEAD(, nvme_request) keep, late;
	struct nvme_request *req;
	uint64_t now = spdk_get_ticks();
	uint64_t next = UINT64_MAX;

	if (now < qpair->parked_check_tick) {
		return;
	}
	if (admin) {
		nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	}
	proc = nvme_qpair_timeout_process(qpair);
	if (proc == NULL || proc->timeout_ticks == 0) {
		goto out;
	}
	STAILQ_INIT(&keep);
	STAILQ_INIT(&late);
	while ((req = STAILQ_FIRST(&qpair->queued_req)) != NULL) {
		uint64_t deadline = req->submit_tick + proc->timeout_ticks;

		STAILQ_REMOVE_HEAD(&qpair->queued_req, stailq);
		if (req->submit_tick == 0 || req->pid != g_spdk_nvme_pid) {
			STAILQ_INSERT_TAIL(&keep, req, stailq);
		} else if (deadline <= now) {
			STAILQ_INSERT_TAIL(&late, req, stailq);
		} else {
			STAILQ_INSERT_TAIL(&keep, req, stailq);
			next = deadline < next ? deadline : next;
		}
	}
	STAILQ_CONCAT(&qpair->queued_req, &keep);
	qpair->parked_check_tick = next;
	/* Their callbacks may submit (and park) again: the list is whole before the first runs. */
	while ((req = STAILQ_FIRST(&late)) != NULL) {
		STAILQ_REMOVE_HEAD(&late, stailq);
		if (!ctrlr->opts.disable_error_logging) {
			SPDK_ERRLOG("parked command not submitted before its deadline\n");
		}
		nvme_qpair_manual_complete_request(qpair, req, SPDK_NVME_SCT_PATH, SPDK_NVME_SC_HOST_PATH_ERROR, true);
	}
out:
	if (admin) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	}
}

/* Parked requests go out, oldest first, as soon as the queue pair takes commands again and has a free tracker (e.g.
 * at the first poll after a reset), not only when some other command completes. */
static void nvme_qpair_start_parked(struct spdk_nvme_qpair *qpair)
{
	struct spdk_nvme_ctrlr *ctrlr = qpair->ctrlr;
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	bool admin = nvme_qpair_is_admin_queue(qpair);
	struct nvme_request *req;

	if (admin) {
		nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	}
	while (qpair->is_enabled && !ctrlr->is_resetting && !ctrlr->is_failed && !qpair->is_deleting &&
	       !TAILQ_EMPTY(&pqpair->free_tr) && (req = STAILQ_FIRST(&qpair->queued_req)) != NULL) {
		STAILQ_REMOVE_HEAD(&qpair->queued_req, stailq);
		nvme_qpair_submit_request(qpair, req);
	}
	if (admin) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	}
}

uint64_t spdk_nvme_ctrlr_get_ignored_completions(struct spdk_nvme_ctrlr *ctrlr)
{
	return __atomic_load_n(&ctrlr->ignored_completions, __ATOMIC_RELAXED);
}

static int nvme_qpair_submit_failed(struct nvme_request *req, int rc)
{
	if (req->parent != NULL) {
		nvme_request_remove_child(req->parent, req);
	}
	nvme_free_request(req);
	return rc;
}

int nvme_qpair_submit_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req)
{
	struct spdk_nvme_ctrlr *ctrlr = qpair->ctrlr;
	struct nvme_error_cmd *cmd;
	int rc = 0;

	/* A queue pair being torn down accepts nothing new. */
	if (qpair->is_deleting) {
		nvme_request_free_children(req);
		return nvme_qpair_submit_failed(req, -ENXIO);
	}

	if (!qpair->is_enabled && !ctrlr->is_resetting) {
		nvme_qpair_reenable(qpair);
	}

	if (req->num_children) {
		struct nvme_request *child, *tmp;

		/* Submit children in order; after the first failure the rest are dropped unsent. */
		TAILQ_FOREACH_SAFE(child, &req->children, child_tailq, tmp) {
			if (rc == 0) {
				rc = nvme_qpair_submit_request(qpair, child);
			} else {
				nvme_request_remove_child(req, child);
				nvme_request_free_children(child);
				nvme_free_request(child);
			}
		}
		if (rc != 0) {
			if (req->num_children) {
				/* The parent completes through the children already sent. */
				return 0;
			}
			return nvme_qpair_submit_failed(req, rc);
		}
		return rc;
	}

	/* Error injection: hold the command back and complete it later with the injected status. */
	if (!TAILQ_EMPTY(&qpair->err_cmd_head)) {
		TAILQ_FOREACH(cmd, &qpair->err_cmd_head, link) {
			if (cmd->do_not_submit && cmd->opc == req->cmd.opc && cmd->err_count > 0) {
				req->timeout_tsc = cmd->timeout_tsc;
				req->submit_tick = spdk_get_ticks();
				req->cpl.status.sct = cmd->status.sct;
				req->cpl.status.sc = cmd->status.sc;
				STAILQ_INSERT_TAIL(&qpair->err_req_head, req, stailq);
				cmd->err_count--;
				return 0;
			}
		}
	}

	if (ctrlr->is_failed) {
		return nvme_qpair_submit_failed(req, -ENXIO);
	}

	/* Not stamped here: the deadline starts when the transport hands the command to the device. */
	if (qpair->is_enabled) {
		/* The transport completes (and releases) a request it cannot describe before it returns. */
		return nvme_transport_qpair_submit_request(qpair, req);
	}

	if (nvme_qpair_is_io_queue(qpair) || req->cmd.opc != 0x7F) {
		nvme_qpair_park_request(qpair, req);
		return 0;
	}
	return nvme_transport_qpair_submit_request(qpair, req);
}

int nvme_ctrlr_submit_admin_request(struct spdk_nvme_ctrlr *ctrlr, struct nvme_request *req)
{
	return nvme_qpair_submit_request(ctrlr->adminq, req);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Completion polling                                                                                               */
/* ---------------------------------------------------------------------------------------------------------------- */

/* Nothing reaches a failed controller any more: everything waiting on the queue pair ends, without retry. */
static void nvme_qpair_end_all(struct spdk_nvme_qpair *qpair)
{
	nvme_qpair_complete_error_reqs(qpair);
	nvme_qpair_abort_queued_reqs(qpair, 1);
	nvme_transport_qpair_abort_reqs(qpair, 1);
}

int32_t spdk_nvme_qpair_process_completions(struct spdk_nvme_qpair *qpair, uint32_t max_completions)
{
	struct spdk_nvme_ctrlr *ctrlr = qpair->ctrlr;
	int32_t ret;

	if (ctrlr->is_failed) {
		nvme_qpair_end_all(qpair);
		return 0;
	}

	if (!qpair->is_enabled && !ctrlr->is_resetting) {
		nvme_qpair_reenable(qpair);
	}

	/* Parked requests are timed too, also while the queue pair is disabled (a reset's re-initialisation). */
	if (__builtin_expect(!STAILQ_EMPTY(&qpair->queued_req), 0)) {
		if (ctrlr->timeout_enabled) {
			nvme_qpair_expire_parked(qpair);
		}
		nvme_qpair_start_parked(qpair);
	}

	if (!qpair->is_enabled && !qpair->is_connecting) {
		return 0;
	}

	nvme_qpair_complete_held_reqs(qpair, true);

	qpair->in_completion_context = 1;
	ret = nvme_transport_qpair_process_completions(qpair, max_completions);
	qpair->in_completion_context = 0;
	if (ret < 0) {
		SPDK_ERRLOG("CQ error, abort requests after transport retry counter exceeded\n");
		nvme_ctrlr_fail(ctrlr, false);
	}
	if (ctrlr->is_failed) {
		/* The poll found the controller failed (or made it so): what waits on this queue ends in this poll. */
		nvme_qpair_end_all(qpair);
	}

	if (qpair->delete_after_completion_context) {
		spdk_nvme_ctrlr_free_io_qpair(qpair);
	}
	return ret;
}

static void nvme_keep_alive_completion(void *cb_ctx, const struct spdk_nvme_cpl *cpl)
{
	/* Nothing to do: the command only keeps the controller's timer from expiring. */
}

int32_t spdk_nvme_ctrlr_process_admin_completions(struct spdk_nvme_ctrlr *ctrlr)
{
	int32_t num_completions;

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	if (ctrlr->keep_alive_interval_ticks) {
		uint64_t now = spdk_get_ticks();

		if (now >= ctrlr->next_keep_alive_tick) {
			struct nvme_request *req = nvme_allocate_request_null(ctrlr->adminq, nvme_keep_alive_completion,
									      NULL);
			if (req != NULL) {
				req->cmd.opc = SPDK_NVME_OPC_KEEP_ALIVE;
				if (nvme_ctrlr_submit_admin_request(ctrlr, req) != 0) {
					SPDK_ERRLOG("Submitting Keep Alive failed\n");
				}
				ctrlr->next_keep_alive_tick = now + ctrlr->keep_alive_interval_ticks;
			}
		}
	}
	num_completions = spdk_nvme_qpair_process_completions(ctrlr->adminq, 0);
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	return num_completions;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Time-outs and callbacks                                                                                          */
/* ---------------------------------------------------------------------------------------------------------------- */

struct spdk_nvme_ctrlr_process *nvme_qpair_timeout_process(struct spdk_nvme_qpair *qpair)
{
	return nvme_qpair_is_admin_queue(qpair) ? spdk_nvme_ctrlr_get_current_process(qpair->ctrlr) : qpair->active_proc;
}

uint64_t nvme_request_deadline(const struct nvme_request *req, const struct spdk_nvme_ctrlr_process *active_proc)
{
	if (req->timed_out || req->submit_tick == 0 || req->pid != g_spdk_nvme_pid) {
		return 0;
	}
	if (nvme_qpair_is_admin_queue(req->qpair) && req->cmd.opc == SPDK_NVME_OPC_ASYNC_EVENT_REQUEST) {
		return 0;
	}
	return req->submit_tick + active_proc->timeout_ticks;
}

void nvme_request_time_out(struct nvme_request *req, uint16_t cid, struct spdk_nvme_ctrlr_process *active_proc,
			   spdk_nvme_cmd_cb *cb_fn, void **cb_arg)
{
	struct spdk_nvme_qpair *qpair = req->qpair;
	struct spdk_nvme_cpl cpl;
	spdk_nvme_cmd_cb caller_fn;
	void *caller_arg;

	req->timed_out = true;
	active_proc->timeout_cb_fn(active_proc->timeout_cb_arg, qpair->ctrlr,
				   nvme_qpair_is_admin_queue(qpair) ? NULL : qpair, cid);

	/* The caller hears now; the request itself stays with its tracker until the device is done with it. A bounce
	 * buffer stays with the request, and the caller's own buffer is no longer written. */
	if (*cb_fn == nvme_user_copy_cmd_complete) {
		caller_fn = req->user_cb_fn;
		caller_arg = req->user_cb_arg;
		req->user_cb_fn = NULL;
		req->user_cb_arg = NULL;
		req->user_buffer = NULL;
	} else {
		caller_fn = *cb_fn;
		caller_arg = *cb_arg;
		*cb_fn = NULL;
		*cb_arg = NULL;
		req->cb_fn = NULL;
		req->cb_arg = NULL;
	}
	memset(&cpl, 0, sizeof(cpl));
	cpl.sqid = qpair->id;
	cpl.cid = cid;
	cpl.status.sct = SPDK_NVME_SCT_PATH;
	cpl.status.sc = SPDK_NVME_SC_ABORTED_BY_HOST;
	cpl.status.dnr = 1;
	if (caller_fn) {
		caller_fn(caller_arg, &cpl);
	}
}

/* This process's record of the controller, with the controller's lock taken (the caller releases it). */
static struct spdk_nvme_ctrlr_process *nvme_ctrlr_lock_current_process(struct spdk_nvme_ctrlr *ctrlr)
{
	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	return spdk_nvme_ctrlr_get_current_process(ctrlr);
}

void spdk_nvme_ctrlr_register_timeout_callback(struct spdk_nvme_ctrlr *ctrlr, uint64_t timeout_us,
					       spdk_nvme_timeout_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_ctrlr_process *active_proc = nvme_ctrlr_lock_current_process(ctrlr);

	if (active_proc) {
		active_proc->timeout_ticks = nvme_us_to_ticks(timeout_us);
		active_proc->timeout_cb_fn = cb_fn;
		active_proc->timeout_cb_arg = cb_arg;
	}
	ctrlr->timeout_enabled = true;
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
}

void spdk_nvme_ctrlr_register_fail_callback(struct spdk_nvme_ctrlr *ctrlr, spdk_nvme_fail_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_ctrlr_process *active_proc = nvme_ctrlr_lock_current_process(ctrlr);

	if (active_proc) {
		active_proc->fail_cb_fn = cb_fn;
		active_proc->fail_cb_arg = cb_arg;
	}
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
}

void spdk_nvme_ctrlr_register_aer_callback(struct spdk_nvme_ctrlr *ctrlr, spdk_nvme_aer_cb aer_cb_fn,
					   void *aer_cb_arg)
{
	struct spdk_nvme_ctrlr_process *active_proc = nvme_ctrlr_lock_current_process(ctrlr);

	if (active_proc) {
		active_proc->aer_cb_fn = aer_cb_fn;
		active_proc->aer_cb_arg = aer_cb_arg;
	}
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Error injection                                                                                                  */
/* ---------------------------------------------------------------------------------------------------------------- */

int spdk_nvme_qpair_add_cmd_error_injection(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
					    uint8_t opc, bool do_not_submit, uint64_t timeout_in_us,
					    uint32_t err_count, uint8_t sct, uint8_t sc)
{
	struct nvme_error_cmd *cmd;
	bool admin = qpair == NULL;
	int rc = 0;

	if (admin) {
		qpair = ctrlr->adminq;
		nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	}

	TAILQ_FOREACH(cmd, &qpair->err_cmd_head, link) {
		if (cmd->opc == opc) {
			break;
		}
	}
	if (cmd == NULL) {
		cmd = (struct nvme_error_cmd *)spdk_zmalloc(sizeof(*cmd), 64, NULL, SPDK_ENV_SOCKET_ID_ANY,
							    SPDK_MALLOC_DMA);
		if (cmd == NULL) {
			rc = -ENOMEM;
			goto out;
		}
		TAILQ_INSERT_TAIL(&qpair->err_cmd_head, cmd, link);
	}

	cmd->do_not_submit = do_not_submit;
	cmd->err_count = err_count;
	cmd->timeout_tsc = nvme_us_to_ticks(timeout_in_us);
	cmd->opc = opc;
	cmd->status.sct = sct & 0x7;
	cmd->status.sc = sc;
out:
	if (admin) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	}
	return rc;
}

void spdk_nvme_qpair_remove_cmd_error_injection(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
						uint8_t opc)
{
	struct nvme_error_cmd *cmd, *entry;
	bool admin = qpair == NULL;

	if (admin) {
		qpair = ctrlr->adminq;
		nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	}
	TAILQ_FOREACH_SAFE(cmd, &qpair->err_cmd_head, link, entry) {
		if (cmd->opc == opc) {
			TAILQ_REMOVE(&qpair->err_cmd_head, cmd, link);
			spdk_free(cmd);
			break;
		}
	}
	if (admin) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	}
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Bounce-buffer requests                                                                                           */
/* ---------------------------------------------------------------------------------------------------------------- */

void nvme_user_copy_cmd_complete(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct nvme_request *req = (struct nvme_request *)arg;
	void *dma = req->payload.contig_or_cb_arg;

	if (dma != NULL) {
		enum spdk_nvme_data_transfer xfer = spdk_nvme_opc_get_data_transfer(req->cmd.opc);

		if (req->user_buffer != NULL && req->payload_size != 0 &&
		    (xfer == SPDK_NVME_DATA_CONTROLLER_TO_HOST || xfer == SPDK_NVME_DATA_BIDIRECTIONAL)) {
			memcpy(req->user_buffer, dma, req->payload_size);
		}
		spdk_free(dma);
		req->payload.contig_or_cb_arg = NULL;
	}

	if (req->user_cb_fn) {
		req->user_cb_fn(req->user_cb_arg, cpl);
	}
}

struct nvme_request *nvme_allocate_request_user_copy(struct spdk_nvme_qpair *qpair, void *buffer,
						     uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg,
						     bool host_to_controller)
{
	struct nvme_request *req;
	void *dma_buffer = NULL;

	if (buffer && payload_size) {
		dma_buffer = spdk_zmalloc(payload_size, 4096, NULL, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
		if (dma_buffer == NULL) {
			return NULL;
		}
		if (host_to_controller) {
			memcpy(dma_buffer, buffer, payload_size);
		}
	}

	req = nvme_allocate_request_contig(qpair, dma_buffer, payload_size, nvme_user_copy_cmd_complete, NULL);
	if (req == NULL) {
		spdk_free(dma_buffer);
		return NULL;
	}
	req->user_cb_fn = cb_fn;
	req->user_cb_arg = cb_arg;
	req->user_buffer = buffer;
	req->cb_arg = req;
	return req;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Blocking waits                                                                                                   */
/* ---------------------------------------------------------------------------------------------------------------- */

void nvme_completion_poll_cb(void *arg, const struct spdk_nvme_cpl *cpl)
{
	struct nvme_completion_poll_status *status = (struct nvme_completion_poll_status *)arg;

	status->cpl = *cpl;
	status->done = true;
}

/* Detach one request from a wait that gave up: its completion must not reach the status record or the caller's
 * buffer any more. The bounce buffer stays with the request and is freed at completion or teardown. */
static bool nvme_request_orphan_if_waited(struct nvme_request *req, struct nvme_completion_poll_status *status)
{
	bool hit = false;

	if (req->cb_fn == nvme_completion_poll_cb && req->cb_arg == status) {
		req->cb_fn = NULL;
		req->cb_arg = NULL;
		hit = true;
	}
	if (req->user_cb_fn == nvme_completion_poll_cb && req->user_cb_arg == status) {
		req->user_cb_fn = NULL;
		req->user_cb_arg = NULL;
		if (req->cb_fn == nvme_user_copy_cmd_complete) {
			req->user_buffer = NULL;
		}
		hit = true;
	}
	return hit;
}

void nvme_qpair_orphan_wait(struct spdk_nvme_qpair *qpair, struct nvme_completion_poll_status *status)
{
	struct nvme_pcie_qpair *pqpair = nvme_pcie_qpair(qpair);
	struct nvme_tracker *tr;
	struct nvme_request *req;
	struct spdk_nvme_ctrlr_process *proc;

	TAILQ_FOREACH(tr, &pqpair->outstanding_tr, tq_list) {
		if (tr->req && nvme_request_orphan_if_waited(tr->req, status)) {
			tr->cb_fn = tr->req->cb_fn;
			tr->cb_arg = tr->req->cb_arg;
		}
	}
	STAILQ_FOREACH(req, &qpair->queued_req, stailq) {
		nvme_request_orphan_if_waited(req, status);
	}
	STAILQ_FOREACH(req, &qpair->err_req_head, stailq) {
		nvme_request_orphan_if_waited(req, status);
	}
	if (nvme_qpair_is_admin_queue(qpair)) {
		TAILQ_FOREACH(proc, &qpair->ctrlr->active_procs, tailq) {
			STAILQ_FOREACH(req, &proc->active_reqs, stailq) {
				nvme_request_orphan_if_waited(req, status);
			}
		}
		/* Aborts parked over the device's limit carry the caller's callback too. */
		STAILQ_FOREACH(req, &qpair->ctrlr->queued_aborts, stailq) {
			nvme_request_orphan_if_waited(req, status);
		}
	}
}

static int nvme_wait_for_completion_bounded(struct spdk_nvme_qpair *qpair, struct nvme_completion_poll_status *status,
					    pthread_mutex_t *robust_mutex, uint64_t timeout_in_secs)
{
	struct spdk_nvme_ctrlr *ctrlr = qpair->ctrlr;
	uint64_t hz = spdk_get_ticks_hz();
	uint64_t start = spdk_get_ticks();
	/* A limit too long for the tick counter is no limit. */
	uint64_t caller_limit = timeout_in_secs && timeout_in_secs < UINT64_MAX / hz ? timeout_in_secs * hz : 0;
	uint64_t admin_limit = nvme_ms_to_ticks(ctrlr->opts.admin_timeout_ms);
	int32_t rc;

	memset(&status->cpl, 0, sizeof(status->cpl));
	status->done = false;

	for (;;) {
		uint64_t now;

		if (robust_mutex) {
			nvme_robust_mutex_lock(robust_mutex);
		}
		rc = spdk_nvme_qpair_process_completions(qpair, 0);
		if (rc < 0 && !status->done) {
			status->cpl.status.sct = SPDK_NVME_SCT_GENERIC;
			status->cpl.status.sc = SPDK_NVME_SC_ABORTED_SQ_DELETION;
			status->done = true;
			nvme_qpair_orphan_wait(qpair, status);
		}
		if (robust_mutex) {
			nvme_robust_mutex_unlock(robust_mutex);
		}
		if (status->done) {
			break;
		}

		now = spdk_get_ticks();
		if ((caller_limit && now - start > caller_limit) || (admin_limit && now - start > admin_limit)) {
			goto give_up;
		}
		if (nvme_ctrlr_check_health(ctrlr, now) || nvme_waits_abandoned()) {
			goto give_up;
		}
	}
	return spdk_nvme_cpl_is_error(&status->cpl) ? -EIO : 0;

give_up:
	if (robust_mutex) {
		nvme_robust_mutex_lock(robust_mutex);
	}
	if (!status->done) {
		nvme_qpair_orphan_wait(qpair, status);
	}
	if (robust_mutex) {
		nvme_robust_mutex_unlock(robust_mutex);
	}
	return status->done && !spdk_nvme_cpl_is_error(&status->cpl) ? 0 : -EIO;
}

int spdk_nvme_wait_for_completion_robust_lock(struct spdk_nvme_qpair *qpair,
					      struct nvme_completion_poll_status *status, pthread_mutex_t *robust_mutex)
{
	return nvme_wait_for_completion_bounded(qpair, status, robust_mutex, 0);
}

int spdk_nvme_wait_for_completion(struct spdk_nvme_qpair *qpair, struct nvme_completion_poll_status *status)
{
	return nvme_wait_for_completion_bounded(qpair, status, NULL, 0);
}

int spdk_nvme_wait_for_completion_timeout(struct spdk_nvme_qpair *qpair, struct nvme_completion_poll_status *status,
					  uint64_t timeout_in_secs)
{
	return nvme_wait_for_completion_bounded(qpair, status, NULL, timeout_in_secs);
}
