/*
 * Namespaces: construction by Identify, the values derived from the Identify Namespace data, and accessors.
 */
#include "nvme_internal.h"

static inline struct spdk_nvme_ns_data *nvme_ns_data(struct spdk_nvme_ns *ns)
{
	return &ns->ctrlr->nsdata[ns->id - 1];
}

void nvme_ns_set_identify_data(struct spdk_nvme_ns *ns)
{
	struct spdk_nvme_ctrlr *ctrlr = ns->ctrlr;
	const struct spdk_nvme_ns_data *nsdata = nvme_ns_data(ns);
	const struct spdk_nvme_ctrlr_data *cdata = &ctrlr->cdata;
	uint32_t format = nsdata->flbas.bits.format;
	uint32_t lbads = nsdata->lbaf[format].lbads;
	uint32_t ms = nsdata->lbaf[format].ms;

	ns->flags = 0;
	ns->md_size = ms;

	/* A block size the 32-bit fields cannot hold is not a usable format. */
	if (lbads >= 32) {
		ns->sector_size = 0;
		ns->extended_lba_size = 0;
	} else {
		ns->sector_size = 1u << lbads;
		ns->extended_lba_size = ns->sector_size;
	}
	if (nsdata->flbas.bits.extended) {
		ns->flags |= SPDK_NVME_NS_EXTENDED_LBA_SUPPORTED;
		if (ns->sector_size) {
			ns->extended_lba_size = ns->sector_size + ms;
		}
	}

	ns->sectors_per_max_io = ns->extended_lba_size ? ctrlr->max_xfer_size / ns->extended_lba_size : 0;

	ns->sectors_per_stripe = 0;
	if (nsdata->noiob) {
		ns->sectors_per_stripe = nsdata->noiob;
	} else if ((ctrlr->quirks & NVME_QUIRK_VENDOR_STRIPE) && cdata->vs[3] != 0 && ns->sector_size) {
		uint32_t shift = cdata->vs[3];
		uint64_t page = ctrlr->min_page_size;
		uint64_t sectors;

		/* Stripe = min_page_size << vs[3] bytes; saturate instead of shifting past 64 bits. */
		if (page == 0 || shift >= 64 || (page << shift) >> shift != page) {
			sectors = UINT32_MAX;
		} else {
			sectors = (page << shift) / ns->sector_size;
		}
		ns->sectors_per_stripe = sectors > UINT32_MAX ? UINT32_MAX : (uint32_t)sectors;
	}

	if (cdata->oncs.bits.dsm) {
		ns->flags |= SPDK_NVME_NS_DEALLOCATE_SUPPORTED;
	}
	if (cdata->vwc.bits.present) {
		ns->flags |= SPDK_NVME_NS_FLUSH_SUPPORTED;
	}
	if (cdata->oncs.bits.write_zeroes) {
		ns->flags |= SPDK_NVME_NS_WRITE_ZEROES_SUPPORTED;
	}
	if (nsdata->nsrescap.raw) {
		ns->flags |= SPDK_NVME_NS_RESERVATION_SUPPORTED;
	}

	ns->pi_type = SPDK_NVME_FMT_NVM_PROTECTION_DISABLE;
	if (ms && nsdata->dps.bits.pit) {
		ns->flags |= SPDK_NVME_NS_DPS_PI_SUPPORTED;
		ns->pi_type = nsdata->dps.bits.pit;
	}
}

void nvme_ns_destruct(struct spdk_nvme_ns *ns)
{
	if (ns->id == 0) {
		return;
	}
	if (ns->ctrlr && ns->ctrlr->nsdata) {
		memset(nvme_ns_data(ns), 0, sizeof(struct spdk_nvme_ns_data));
	}
	ns->sector_size = 0;
	ns->extended_lba_size = 0;
	ns->md_size = 0;
	ns->pi_type = 0;
	ns->sectors_per_max_io = 0;
	ns->sectors_per_stripe = 0;
	ns->flags = 0;
}

/* Identify into a buffer and wait, polling the admin queue under the controller lock. */
static int nvme_ns_identify_wait(struct spdk_nvme_ns *ns, uint8_t cns, void *buf, size_t size, bool *failed)
{
	struct spdk_nvme_ctrlr *ctrlr = ns->ctrlr;
	struct nvme_completion_poll_status status;
	int rc;

	nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
	rc = nvme_ctrlr_cmd_identify(ctrlr, cns, 0, ns->id, buf, size, nvme_completion_poll_cb, &status);
	nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
	if (rc != 0) {
		return rc;
	}
	*failed = spdk_nvme_wait_for_completion_robust_lock(ctrlr->adminq, &status, &ctrlr->ctrlr_lock) != 0;
	return 0;
}

int nvme_ns_construct(struct spdk_nvme_ns *ns, uint32_t id, struct spdk_nvme_ctrlr *ctrlr)
{
	bool failed = false;
	int rc;

	ns->ctrlr = ctrlr;
	ns->id = id;

	rc = nvme_ns_identify_wait(ns, SPDK_NVME_IDENTIFY_NS, nvme_ns_data(ns), sizeof(struct spdk_nvme_ns_data),
				   &failed);
	if (rc != 0) {
		return rc;
	}
	if (failed) {
		/* An inactive namespace, for example: keep the record, without data. */
		nvme_ns_destruct(ns);
	} else {
		nvme_ns_set_identify_data(ns);
	}

	memset(ns->id_desc_list, 0, sizeof(ns->id_desc_list));
	if (ctrlr->vs.raw < SPDK_NVME_VERSION(1, 3, 0) || (ctrlr->quirks & NVME_QUIRK_NO_NS_LISTS)) {
		return 0;
	}

	rc = nvme_ns_identify_wait(ns, SPDK_NVME_IDENTIFY_NS_ID_DESCRIPTOR_LIST, ns->id_desc_list,
				   sizeof(ns->id_desc_list), &failed);
	if (rc != 0) {
		return rc;
	}
	if (failed) {
		SPDK_WARNLOG("Failed to retrieve NS ID Descriptor List\n");
		memset(ns->id_desc_list, 0, sizeof(ns->id_desc_list));
		return -EIO;
	}
	return 0;
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Accessors                                                                                                        */
/* ---------------------------------------------------------------------------------------------------------------- */

uint32_t spdk_nvme_ns_get_id(struct spdk_nvme_ns *ns)
{
	return ns->id;
}

struct spdk_nvme_ctrlr *spdk_nvme_ns_get_ctrlr(struct spdk_nvme_ns *ns)
{
	return ns->ctrlr;
}

bool spdk_nvme_ns_is_active(struct spdk_nvme_ns *ns)
{
	if (ns->id == 0 || ns->ctrlr == NULL || ns->ctrlr->nsdata == NULL) {
		return false;
	}
	return nvme_ns_data(ns)->ncap != 0;
}

const struct spdk_nvme_ns_data *spdk_nvme_ns_get_data(struct spdk_nvme_ns *ns)
{
	return nvme_ns_data(ns);
}

uint32_t spdk_nvme_ns_get_max_io_xfer_size(struct spdk_nvme_ns *ns)
{
	return ns->ctrlr->max_xfer_size;
}

uint32_t spdk_nvme_ns_get_sector_size(struct spdk_nvme_ns *ns)
{
	return ns->sector_size;
}

uint32_t spdk_nvme_ns_get_extended_sector_size(struct spdk_nvme_ns *ns)
{
	return ns->extended_lba_size;
}

uint64_t spdk_nvme_ns_get_num_sectors(struct spdk_nvme_ns *ns)
{
	return nvme_ns_data(ns)->nsze;
}

uint64_t spdk_nvme_ns_get_size(struct spdk_nvme_ns *ns)
{
	return spdk_nvme_ns_get_num_sectors(ns) * ns->sector_size;
}

uint32_t spdk_nvme_ns_get_flags(struct spdk_nvme_ns *ns)
{
	return ns->flags;
}

enum spdk_nvme_pi_type spdk_nvme_ns_get_pi_type(struct spdk_nvme_ns *ns)
{
	return (enum spdk_nvme_pi_type)ns->pi_type;
}

bool spdk_nvme_ns_supports_extended_lba(struct spdk_nvme_ns *ns)
{
	return (ns->flags & SPDK_NVME_NS_EXTENDED_LBA_SUPPORTED) != 0;
}

uint32_t spdk_nvme_ns_get_md_size(struct spdk_nvme_ns *ns)
{
	return ns->md_size;
}

enum spdk_nvme_dealloc_logical_block_read_value spdk_nvme_ns_get_dealloc_logical_block_read_value(
	struct spdk_nvme_ns *ns)
{
	if (ns->ctrlr->quirks & NVME_QUIRK_DEALLOC_READS_ZERO) {
		return SPDK_NVME_DEALLOC_READ_00;
	}
	return (enum spdk_nvme_dealloc_logical_block_read_value)nvme_ns_data(ns)->dlfeat.bits.bits;
}

uint32_t spdk_nvme_ns_get_optimal_io_boundary(struct spdk_nvme_ns *ns)
{
	return ns->sectors_per_stripe;
}

const uint8_t *spdk_nvme_ns_get_uuid(const struct spdk_nvme_ns *ns)
{
	const uint8_t *list = ns->id_desc_list;
	size_t offset = 0;

	while (offset + 4 <= sizeof(ns->id_desc_list)) {
		uint8_t type = list[offset];
		uint8_t length = list[offset + 1];

		if (length == 0 || offset + 4 + length > sizeof(ns->id_desc_list)) {
			return NULL;
		}
		if (type == SPDK_NVME_NIDT_UUID) {
			return length == 16 ? &list[offset + 4] : NULL;
		}
		offset += 4 + length;
	}
	return NULL;
}
