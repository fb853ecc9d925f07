/*
 * Command builders: raw pass-through of caller-built commands, and the admin commands the controller
 * initialisation and the device layer send (identify, features, queues, namespaces, format, log pages, abort,
 * firmware, security, sanitize, doorbell buffer).
 */
#include "nvme_internal.h"

/* ---------------------------------------------------------------------------------------------------------------- */
/* Raw commands                                                                                                     */
/* ---------------------------------------------------------------------------------------------------------------- */

int spdk_nvme_ctrlr_cmd_io_raw(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair, struct spdk_nvme_cmd *cmd,
			       void *buf, uint32_t len, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct nvme_request *req = nvme_allocate_request_contig(qpair, buf, len, cb_fn, cb_arg);

	if (req == NULL) {
		return -ENOMEM;
	}
	memcpy(&req->cmd, cmd, sizeof(req->cmd));
	return nvme_qpair_submit_request(qpair, req);
}

int spdk_nvme_ctrlr_cmd_io_raw_with_md(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
				       struct spdk_nvme_cmd *cmd, void *buf, uint32_t len, void *md_buf,
				       spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct nvme_payload payload;
	struct nvme_request *req;

	payload.reset_sgl_fn = NULL;
	payload.next_sge_fn = NULL;
	payload.contig_or_cb_arg = buf;
	payload.md = md_buf;
	req = nvme_allocate_request(qpair, &payload, len, cb_fn, cb_arg);
	if (req == NULL) {
		return -ENOMEM;
	}
	memcpy(&req->cmd, cmd, sizeof(req->cmd));
	return nvme_qpair_submit_request(qpair, req);
}

int spdk_nvme_ctrlr_io_cmd_raw_no_payload_build(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair,
						struct spdk_nvme_cmd *cmd, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct nvme_request *req;

	if (ctrlr->trid.trtype != SPDK_NVME_TRANSPORT_PCIE) {
		return -EINVAL;
	}
	req = nvme_allocate_request_null(qpair, cb_fn, cb_arg);
	if (req == NULL) {
		return -ENOMEM;
	}
	memcpy(&req->cmd, cmd, sizeof(req->cmd));
	return nvme_qpair_submit_request(qpair, req);
}

int spdk_nvme_ctrlr_cmd_admin_raw(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_cmd *cmd, void *buf, uint32_t len,
				  spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct nvme_request *req;
	int rc;

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	req = nvme_allocate_request_contig(ctrlr->adminq, buf, len, cb_fn, cb_arg);
	if (req == NULL) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		return -ENOMEM;
	}
	memcpy(&req->cmd, cmd, sizeof(req->cmd));
	rc = nvme_ctrlr_submit_admin_request(ctrlr, req);
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	return rc;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Admin command builders                                                                                           */
/* ---------------------------------------------------------------------------------------------------------------- */

enum nvme_admin_data {
	NVME_ADMIN_NO_DATA,
	NVME_ADMIN_TO_DEVICE,
	NVME_ADMIN_FROM_DEVICE,
};

/*
 * Send one admin command built by the caller: the data (if any) goes through a DMA bounce buffer in the given
 * direction; the driver sets the command identifier and the data pointer. "locked" builders hold ctrlr_lock around
 * allocation and submission.
 */
static int nvme_ctrlr_admin_send(struct spdk_nvme_ctrlr *ctrlr, bool locked, const struct spdk_nvme_cmd *cmd,
				 void *payload, uint32_t payload_size, enum nvme_admin_data dir, spdk_nvme_cmd_cb cb_fn,
				 void *cb_arg)
{
	struct nvme_request *req;
	int rc;

	if (locked) {
		nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	}
	if (dir != NVME_ADMIN_NO_DATA && payload != NULL && payload_size != 0) {
		req = nvme_allocate_request_user_copy(ctrlr->adminq, payload, payload_size, cb_fn, cb_arg,
						      dir == NVME_ADMIN_TO_DEVICE);
	} else {
		req = nvme_allocate_request_null(ctrlr->adminq, cb_fn, cb_arg);
	}
	if (req == NULL) {
		rc = -ENOMEM;
	} else {
		memcpy(&req->cmd, cmd, sizeof(req->cmd));
		rc = nvme_ctrlr_submit_admin_request(ctrlr, req);
	}
	if (locked) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	}
	return rc;
}

static inline void nvme_cmd_init(struct spdk_nvme_cmd *cmd, uint8_t opc, uint32_t nsid, uint32_t cdw10)
{
	memset(cmd, 0, sizeof(*cmd));
	cmd->opc = opc;
	cmd->nsid = nsid;
	cmd->cdw10 = cdw10;
}

int nvme_ctrlr_cmd_identify(struct spdk_nvme_ctrlr *ctrlr, uint8_t cns, uint16_t cntid, uint32_t nsid, void *payload,
			    size_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_IDENTIFY, nsid, ((uint32_t)cntid << 16) | cns);
	return nvme_ctrlr_admin_send(ctrlr, false, &cmd, payload, (uint32_t)payload_size, NVME_ADMIN_FROM_DEVICE,
				     cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_attach_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_ctrlr_list *payload,
			     spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_NS_ATTACHMENT, nsid, 0 /* attach */);
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, payload, sizeof(*payload), NVME_ADMIN_TO_DEVICE, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_detach_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_ctrlr_list *payload,
			     spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_NS_ATTACHMENT, nsid, 1 /* detach */);
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, payload, sizeof(*payload), NVME_ADMIN_TO_DEVICE, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_create_ns(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_ns_data *payload,
			     spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_NS_MANAGEMENT, 0, 0 /* create */);
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, payload, sizeof(*payload), NVME_ADMIN_TO_DEVICE, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_delete_ns(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_NS_MANAGEMENT, nsid, 1 /* delete */);
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, NULL, 0, NVME_ADMIN_NO_DATA, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_format(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_format *format,
			  spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;
	uint32_t word;

	memcpy(&word, format, sizeof(word));
	nvme_cmd_init(&cmd, SPDK_NVME_OPC_FORMAT_NVM, nsid, word);
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, NULL, 0, NVME_ADMIN_NO_DATA, cb_fn, cb_arg);
}

int spdk_nvme_ctrlr_cmd_set_feature_ns(struct spdk_nvme_ctrlr *ctrlr, uint8_t feature, uint32_t cdw11,
				       uint32_t cdw12, void *payload, uint32_t payload_size, spdk_nvme_cmd_cb cb_fn,
				       void *cb_arg, uint32_t ns_id)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_SET_FEATURES, ns_id, feature);
	cmd.cdw11 = cdw11;
	cmd.cdw12 = cdw12;
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, payload, payload_size, NVME_ADMIN_TO_DEVICE, cb_fn, cb_arg);
}

int spdk_nvme_ctrlr_cmd_get_feature_ns(struct spdk_nvme_ctrlr *ctrlr, uint8_t feature, uint32_t cdw11,
				       void *payload, uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg,
				       uint32_t ns_id)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_GET_FEATURES, ns_id, feature);
	cmd.cdw11 = cdw11;
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, payload, payload_size, NVME_ADMIN_FROM_DEVICE, cb_fn, cb_arg);
}

int spdk_nvme_ctrlr_cmd_set_feature(struct spdk_nvme_ctrlr *ctrlr, uint8_t feature, uint32_t cdw11, uint32_t cdw12,
				    void *payload, uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	return spdk_nvme_ctrlr_cmd_set_feature_ns(ctrlr, feature, cdw11, cdw12, payload, payload_size, cb_fn, cb_arg,
						  0);
}

int spdk_nvme_ctrlr_cmd_get_feature(struct spdk_nvme_ctrlr *ctrlr, uint8_t feature, uint32_t cdw11, void *payload,
				    uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	return spdk_nvme_ctrlr_cmd_get_feature_ns(ctrlr, feature, cdw11, payload, payload_size, cb_fn, cb_arg, 0);
}

int nvme_ctrlr_cmd_set_num_queues(struct spdk_nvme_ctrlr *ctrlr, uint32_t num_queues, spdk_nvme_cmd_cb cb_fn,
				  void *cb_arg)
{
	struct spdk_nvme_cmd cmd;
	uint32_t n = num_queues ? num_queues - 1 : 0;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_SET_FEATURES, 0, SPDK_NVME_FEAT_NUMBER_OF_QUEUES);
	cmd.cdw11 = (n & 0xFFFF) | ((n & 0xFFFF) << 16);
	return nvme_ctrlr_admin_send(ctrlr, false, &cmd, NULL, 0, NVME_ADMIN_NO_DATA, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_get_num_queues(struct spdk_nvme_ctrlr *ctrlr, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_GET_FEATURES, 0, SPDK_NVME_FEAT_NUMBER_OF_QUEUES);
	return nvme_ctrlr_admin_send(ctrlr, false, &cmd, NULL, 0, NVME_ADMIN_NO_DATA, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_set_async_event_config(struct spdk_nvme_ctrlr *ctrlr,
					  union spdk_nvme_feat_async_event_configuration config,
					  spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_SET_FEATURES, 0, SPDK_NVME_FEAT_ASYNC_EVENT_CONFIGURATION);
	cmd.cdw11 = config.raw;
	return nvme_ctrlr_admin_send(ctrlr, false, &cmd, NULL, 0, NVME_ADMIN_NO_DATA, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_set_host_id(struct spdk_nvme_ctrlr *ctrlr, void *host_id, uint32_t host_id_size,
			       spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;
	uint32_t exhid;

	if (host_id_size == 16) {
		exhid = 1; /* 128-bit extended host identifier */
	} else if (host_id_size == 8) {
		exhid = 0;
	} else {
		SPDK_ERRLOG("Invalid host ID size %u\n", host_id_size);
		return -EINVAL;
	}
	nvme_cmd_init(&cmd, SPDK_NVME_OPC_SET_FEATURES, 0, SPDK_NVME_FEAT_HOST_IDENTIFIER);
	cmd.cdw11 = exhid;
	return nvme_ctrlr_admin_send(ctrlr, false, &cmd, host_id, host_id_size, NVME_ADMIN_TO_DEVICE, cb_fn, cb_arg);
}

int spdk_nvme_ctrlr_cmd_get_log_page(struct spdk_nvme_ctrlr *ctrlr, uint8_t log_page, uint32_t nsid, void *payload,
				     uint32_t payload_size, uint64_t offset, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;
	uint32_t numd;

	/* The dword count is zero-based: fewer than 4 bytes cannot be expressed. */
	if (payload_size < 4) {
		return -EINVAL;
	}
	if (offset & 3) {
		return -EINVAL;
	}
	if (offset && !ctrlr->cdata.lpa.bits.edlp) {
		return -EINVAL;
	}

	numd = payload_size / 4 - 1;
	nvme_cmd_init(&cmd, SPDK_NVME_OPC_GET_LOG_PAGE, nsid, (uint32_t)log_page | ((numd & 0xFFFF) << 16));
	cmd.cdw11 = numd >> 16;
	cmd.cdw12 = (uint32_t)offset;
	cmd.cdw13 = (uint32_t)(offset >> 32);
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, payload, payload_size, NVME_ADMIN_FROM_DEVICE, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_fw_commit(struct spdk_nvme_ctrlr *ctrlr, const struct spdk_nvme_fw_commit *fw_commit,
			     spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;
	uint32_t word;

	memcpy(&word, fw_commit, sizeof(word));
	nvme_cmd_init(&cmd, SPDK_NVME_OPC_FIRMWARE_COMMIT, 0, word);
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, NULL, 0, NVME_ADMIN_NO_DATA, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_fw_image_download(struct spdk_nvme_ctrlr *ctrlr, uint32_t size, uint32_t offset, void *payload,
				     spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;

	/* The dword count is zero-based: fewer than 4 bytes cannot be expressed. */
	if (size < 4) {
		return -EINVAL;
	}
	nvme_cmd_init(&cmd, SPDK_NVME_OPC_FIRMWARE_IMAGE_DOWNLOAD, 0, (size >> 2) - 1);
	cmd.cdw11 = offset >> 2;
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, payload, size, NVME_ADMIN_TO_DEVICE, cb_fn, cb_arg);
}

/* Security Receive and Security Send differ only in opcode and data direction. */
static int nvme_ctrlr_cmd_security(struct spdk_nvme_ctrlr *ctrlr, uint8_t opc, enum nvme_admin_data dir, uint8_t secp,
				   uint16_t spsp, uint8_t nssf, void *payload, uint32_t payload_size,
				   spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, opc, 0, ((uint32_t)secp << 24) | ((uint32_t)spsp << 8) | nssf);
	cmd.cdw11 = payload_size;
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, payload, payload_size, dir, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_security_receive(struct spdk_nvme_ctrlr *ctrlr, uint8_t secp, uint16_t spsp, uint8_t nssf,
				    void *payload, uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	return nvme_ctrlr_cmd_security(ctrlr, SPDK_NVME_OPC_SECURITY_RECEIVE, NVME_ADMIN_FROM_DEVICE, secp, spsp, nssf,
				       payload, payload_size, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_security_send(struct spdk_nvme_ctrlr *ctrlr, uint8_t secp, uint16_t spsp, uint8_t nssf,
				 void *payload, uint32_t payload_size, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	return nvme_ctrlr_cmd_security(ctrlr, SPDK_NVME_OPC_SECURITY_SEND, NVME_ADMIN_TO_DEVICE, secp, spsp, nssf,
				       payload, payload_size, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_sanitize(struct spdk_nvme_ctrlr *ctrlr, uint32_t nsid, struct spdk_nvme_sanitize *sanitize,
			    uint32_t cdw11, spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;
	uint32_t word;

	memcpy(&word, sanitize, sizeof(word));
	nvme_cmd_init(&cmd, SPDK_NVME_OPC_SANITIZE, nsid, word);
	cmd.cdw11 = cdw11;
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, NULL, 0, NVME_ADMIN_NO_DATA, cb_fn, cb_arg);
}

int nvme_ctrlr_cmd_doorbell_buffer_config(struct spdk_nvme_ctrlr *ctrlr, uint64_t prp1, uint64_t prp2,
					  spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct spdk_nvme_cmd cmd;

	nvme_cmd_init(&cmd, SPDK_NVME_OPC_DOORBELL_BUFFER_CONFIG, 0, 0);
	cmd.dptr.prp.prp1 = prp1;
	cmd.dptr.prp.prp2 = prp2;
	return nvme_ctrlr_admin_send(ctrlr, true, &cmd, NULL, 0, NVME_ADMIN_NO_DATA, cb_fn, cb_arg);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Abort, limited by the controller's abort command limit                                                           */
/* ---------------------------------------------------------------------------------------------------------------- */

/* ACL is zero-based: the controller takes ACL + 1 aborts at a time. */
static inline bool nvme_ctrlr_abort_slot_free(struct spdk_nvme_ctrlr *ctrlr)
{
	return ctrlr->outstanding_aborts < (uint32_t)ctrlr->cdata.acl + 1;
}

void spdk_nvme_ctrlr_cmd_abort_cpl(void *ctx, const struct spdk_nvme_cpl *cpl)
{
	struct nvme_request *req = (struct nvme_request *)ctx;
	struct spdk_nvme_ctrlr *ctrlr = (struct spdk_nvme_ctrlr *)req->user_buffer;
	struct nvme_request *next;

	/* A reset that ended the abort has cleared the count already. */
	if (ctrlr->outstanding_aborts > 0) {
		ctrlr->outstanding_aborts--;
	}
	while (!STAILQ_EMPTY(&ctrlr->queued_aborts) && nvme_ctrlr_abort_slot_free(ctrlr)) {
		spdk_nvme_cmd_cb user_cb_fn;
		void *user_cb_arg;
		int rc;

		next = STAILQ_FIRST(&ctrlr->queued_aborts);
		STAILQ_REMOVE_HEAD(&ctrlr->queued_aborts, stailq);
		user_cb_fn = next->user_cb_fn;
		user_cb_arg = next->user_cb_arg;
		ctrlr->outstanding_aborts++;
		rc = nvme_ctrlr_submit_admin_request(ctrlr, next);
		if (rc == 0) {
			break;
		}

		/* The refused request is already back in its pool; its caller still hears about it. */
		struct spdk_nvme_cpl own;
		struct spdk_nvme_cpl copy;
		const struct spdk_nvme_cpl *handed;

		SPDK_ERRLOG("Failed to submit queued abort.\n");
		ctrlr->outstanding_aborts--;
		memset(&own, 0, sizeof(own));
		own.status.sct = SPDK_NVME_SCT_GENERIC;
		own.status.sc = SPDK_NVME_SC_INTERNAL_DEVICE_ERROR;
		own.status.dnr = 1;
		handed = nvme_qpair_inject_error(ctrlr->adminq, next, &own, &copy);
		if (user_cb_fn) {
			user_cb_fn(user_cb_arg, handed);
		}
	}

	if (req->user_cb_fn) {
		req->user_cb_fn(req->user_cb_arg, cpl);
	}
}

int spdk_nvme_ctrlr_cmd_abort(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair, uint16_t cid,
			      spdk_nvme_cmd_cb cb_fn, void *cb_arg)
{
	struct nvme_request *req;
	uint16_t sqid = qpair ? qpair->id : ctrlr->adminq->id;
	int rc = 0;

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	req = nvme_allocate_request_null(ctrlr->adminq, spdk_nvme_ctrlr_cmd_abort_cpl, NULL);
	if (req == NULL) {
		nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
		return -ENOMEM;
	}
	req->cb_arg = req;
	req->user_cb_fn = cb_fn;
	req->user_cb_arg = cb_arg;
	req->user_buffer = ctrlr;
	req->cmd.opc = SPDK_NVME_OPC_ABORT;
	req->cmd.cdw10 = ((uint32_t)cid << 16) | sqid;

	if (nvme_ctrlr_abort_slot_free(ctrlr)) {
		ctrlr->outstanding_aborts++;
		rc = nvme_ctrlr_submit_admin_request(ctrlr, req);
		if (rc != 0) {
			/* Refused before reaching the device: it holds no slot. */
			ctrlr->outstanding_aborts--;
		}
	} else {
		STAILQ_INSERT_TAIL(&ctrlr->queued_aborts, req, stailq);
	}
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	return rc;
}
