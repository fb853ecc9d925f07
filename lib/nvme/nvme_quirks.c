/*
 * Device quirks: behaviour adjustments for controllers known to need them, looked up by PCI identifiers.
 */
#include "nvme_internal.h"

#include "spdk/pci_ids.h"

/* 0xFFFF in any identifier matches every value; the table ends with a row whose vendor is 0. */
static const struct spdk_nvme_quirks nvme_quirks[] = {
	{{0, SPDK_PCI_VID_INTEL, 0x0953, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID},
	 NVME_QUIRK_READ_LATENCY_PAGE | NVME_QUIRK_WRITE_LATENCY_PAGE | NVME_QUIRK_VENDOR_STRIPE |
		 NVME_QUIRK_DEALLOC_READS_ZERO},
	{{0, SPDK_PCI_VID_INTEL, 0x0A53, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID},
	 NVME_QUIRK_READ_LATENCY_PAGE | NVME_QUIRK_WRITE_LATENCY_PAGE | NVME_QUIRK_VENDOR_STRIPE |
		 NVME_QUIRK_DEALLOC_READS_ZERO},
	{{0, SPDK_PCI_VID_INTEL, 0x0A54, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID},
	 NVME_QUIRK_READ_LATENCY_PAGE | NVME_QUIRK_WRITE_LATENCY_PAGE | NVME_QUIRK_VENDOR_STRIPE |
		 NVME_QUIRK_DEALLOC_READS_ZERO},
	{{0, SPDK_PCI_VID_INTEL, 0x0A55, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID},
	 NVME_QUIRK_READ_LATENCY_PAGE | NVME_QUIRK_WRITE_LATENCY_PAGE | NVME_QUIRK_VENDOR_STRIPE |
		 NVME_QUIRK_DEALLOC_READS_ZERO},
	{{0, SPDK_PCI_VID_MEMBLAZE, 0x0540, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID}, NVME_QUIRK_DELAY_BEFORE_CHK_RDY},
	{{0, SPDK_PCI_VID_SAMSUNG, 0xA821, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID}, NVME_QUIRK_DELAY_BEFORE_CHK_RDY},
	{{0, SPDK_PCI_VID_SAMSUNG, 0xA822, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID}, NVME_QUIRK_DELAY_BEFORE_CHK_RDY},
	{{0, SPDK_PCI_VID_VIRTUALBOX, 0x4E56, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID}, NVME_QUIRK_QPAIR_ALLOC_DELAY},
	{{0, SPDK_PCI_VID_INTEL, 0x5845, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID},
	 NVME_QUIRK_NO_NS_LISTS | NVME_QUIRK_NO_VENDOR_LOG_DIR},
	{{0, SPDK_PCI_VID_CNEXLABS, 0x1F1F, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID},
	 NVME_QUIRK_IDENTIFY_CNS | NVME_QUIRK_NO_NS_LISTS},
	{{0, SPDK_PCI_VID_VMWARE, 0x07F0, SPDK_PCI_ANY_ID, SPDK_PCI_ANY_ID}, NVME_QUIRK_OCSSD},
	{{0, 0x0000, 0x0000, 0x0000, 0x0000}, 0},
};

static bool pci_id_match(const struct spdk_pci_id *row, const struct spdk_pci_id *id)
{
	return (row->vendor_id == SPDK_PCI_ANY_ID || row->vendor_id == id->vendor_id) &&
	       (row->device_id == SPDK_PCI_ANY_ID || row->device_id == id->device_id) &&
	       (row->subvendor_id == SPDK_PCI_ANY_ID || row->subvendor_id == id->subvendor_id) &&
	       (row->subdevice_id == SPDK_PCI_ANY_ID || row->subdevice_id == id->subdevice_id);
}

uint64_t nvme_get_quirks(const struct spdk_pci_id *id)
{
	const struct spdk_nvme_quirks *row;

	for (row = nvme_quirks; row->id.vendor_id != 0; row++) {
		if (pci_id_match(&row->id, id)) {
			return row->flags;
		}
	}
	return 0;
}
