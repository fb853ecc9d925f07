/*
 * The transport switch. PCIe is the only transport of this driver, so every entry forwards to the PCIe function of
 * the same role; the generic controller and queue-pair code call only these.
 */
#include "nvme_internal.h"

bool spdk_nvme_transport_available(enum spdk_nvme_transport_type trtype)
{
	return trtype == SPDK_NVME_TRANSPORT_PCIE;
}

struct spdk_nvme_ctrlr *nvme_transport_ctrlr_construct(const struct spdk_nvme_transport_id *trid,
						       const struct spdk_nvme_ctrlr_opts *opts, void *devhandle)
{
	return nvme_pcie_ctrlr_construct(trid, opts, devhandle);
}

int nvme_transport_ctrlr_destruct(struct spdk_nvme_ctrlr *ctrlr)
{
	return nvme_pcie_ctrlr_destruct(ctrlr);
}

int nvme_transport_ctrlr_scan(struct spdk_nvme_probe_ctx *probe_ctx, bool direct_connect)
{
	return nvme_pcie_ctrlr_scan(probe_ctx, direct_connect);
}

int nvme_transport_ctrlr_enable(struct spdk_nvme_ctrlr *ctrlr)
{
	return nvme_pcie_ctrlr_enable(ctrlr);
}

int nvme_transport_ctrlr_set_reg_4(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint32_t value)
{
	return nvme_pcie_ctrlr_set_reg_4(ctrlr, offset, value);
}

int nvme_transport_ctrlr_set_reg_8(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint64_t value)
{
	return nvme_pcie_ctrlr_set_reg_8(ctrlr, offset, value);
}

int nvme_transport_ctrlr_get_reg_4(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint32_t *value)
{
	return nvme_pcie_ctrlr_get_reg_4(ctrlr, offset, value);
}

int nvme_transport_ctrlr_get_reg_8(struct spdk_nvme_ctrlr *ctrlr, uint32_t offset, uint64_t *value)
{
	return nvme_pcie_ctrlr_get_reg_8(ctrlr, offset, value);
}

volatile struct spdk_nvme_registers *nvme_transport_ctrlr_get_registers(struct spdk_nvme_ctrlr *ctrlr)
{
	return nvme_pcie_ctrlr_get_registers(ctrlr);
}

uint32_t nvme_transport_ctrlr_get_max_xfer_size(struct spdk_nvme_ctrlr *ctrlr)
{
	return nvme_pcie_ctrlr_get_max_xfer_size(ctrlr);
}

uint16_t nvme_transport_ctrlr_get_max_sges(struct spdk_nvme_ctrlr *ctrlr)
{
	return nvme_pcie_ctrlr_get_max_sges(ctrlr);
}

void *nvme_transport_ctrlr_alloc_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, size_t size)
{
	return nvme_pcie_ctrlr_alloc_cmb_io_buffer(ctrlr, size);
}

int nvme_transport_ctrlr_free_cmb_io_buffer(struct spdk_nvme_ctrlr *ctrlr, void *buf, size_t size)
{
	return nvme_pcie_ctrlr_free_cmb_io_buffer(ctrlr, buf, size);
}

struct spdk_nvme_qpair *nvme_transport_ctrlr_create_io_qpair(struct spdk_nvme_ctrlr *ctrlr, uint16_t qid,
							     const struct spdk_nvme_io_qpair_opts *opts)
{
	return nvme_pcie_ctrlr_create_io_qpair(ctrlr, qid, opts);
}

int nvme_transport_ctrlr_delete_io_qpair(struct spdk_nvme_ctrlr *ctrlr, struct spdk_nvme_qpair *qpair)
{
	return nvme_pcie_ctrlr_delete_io_qpair(ctrlr, qpair);
}

void nvme_transport_ctrlr_delete_io_qpair_data_structure(struct spdk_nvme_qpair *qpair)
{
	nvme_pcie_ctrlr_delete_io_qpair_data_structure(qpair);
}

int nvme_transport_qpair_reset(struct spdk_nvme_qpair *qpair)
{
	return nvme_pcie_qpair_reset(qpair);
}

int nvme_transport_qpair_submit_request(struct spdk_nvme_qpair *qpair, struct nvme_request *req)
{
	return nvme_pcie_qpair_submit_request(qpair, req);
}

int32_t nvme_transport_qpair_process_completions(struct spdk_nvme_qpair *qpair, uint32_t max_completions)
{
	return nvme_pcie_qpair_process_completions(qpair, max_completions);
}

void nvme_transport_qpair_abort_reqs(struct spdk_nvme_qpair *qpair, uint32_t dnr)
{
	nvme_pcie_qpair_abort_reqs(qpair, dnr);
}

void nvme_transport_admin_qpair_abort_aers(struct spdk_nvme_qpair *qpair)
{
	nvme_pcie_admin_qpair_abort_aers(qpair);
}

void nvme_transport_ctrlr_stop_dma(struct spdk_nvme_ctrlr *ctrlr)
{
	nvme_pcie_ctrlr_stop_dma(ctrlr);
}

void nvme_transport_ctrlr_start_dma(struct spdk_nvme_ctrlr *ctrlr)
{
	nvme_pcie_ctrlr_start_dma(ctrlr);
}

int nvme_transport_ctrlr_restore_pci_config(struct spdk_nvme_ctrlr *ctrlr)
{
	return nvme_pcie_ctrlr_restore_pci_config(ctrlr);
}
