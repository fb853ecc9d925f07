#include "nvme/namespace_ctx.h"

#include "nvme_internal.h"
#include "spdk/nvme.h"
#include "utility/log_line.h"

bool NamespaceCtx::IsActive() const { return ns_ != nullptr && spdk_nvme_ns_is_active(ns_); }

const spdk_nvme_ns_data* NamespaceCtx::GetData() const { return IsActive() ? spdk_nvme_ns_get_data(ns_) : nullptr; }

uint64_t NamespaceCtx::GetSize() const { return IsActive() ? spdk_nvme_ns_get_data(ns_)->nsze : 0; }

uint32_t NamespaceCtx::GetLbaSize() const { return IsActive() ? spdk_nvme_ns_get_sector_size(ns_) : 0; }

uint32_t NamespaceCtx::GetMetaSize() const { return IsActive() ? spdk_nvme_ns_get_md_size(ns_) : 0; }

uint32_t NamespaceCtx::GetSectorBufferSize() const {
  return IsActive() ? spdk_nvme_ns_get_extended_sector_size(ns_) : 0;
}

uint32_t NamespaceCtx::GetMetaBufferSize() const {
  // Metadata transferred at the end of each data block (FLBAS bit 4) makes the driver's extended sector larger than
  // the sector; an inactive namespace has neither. Read on every I/O: no look-up of the namespace data.
  if (ns_ == nullptr || ns_->extended_lba_size != ns_->sector_size) return 0;
  return ns_->md_size;
}

uint32_t NamespaceCtx::GetMaxXferSize() const { return IsActive() ? spdk_nvme_ns_get_max_io_xfer_size(ns_) : 0; }

uint32_t NamespaceCtx::GetMaxXferBlocks() const {
  const uint32_t block = GetSectorBufferSize();
  return block != 0 ? GetMaxXferSize() / block : 0;
}

uint32_t NamespaceCtx::GetAdjustedXferSize(uint32_t requested) const {
  if (!IsActive()) return 0;
  const uint32_t max = GetMaxXferSize();
  kyt::LogLine("NVME: NS Max Transfer Size: " + std::to_string(max));
  return requested != 0 ? requested : max;
}

void NamespaceCtx::ChangeFormat(uint32_t cdw10) {
  if (!IsActive()) return;
  const uint64_t size_bytes = spdk_nvme_ns_get_size(ns_);
  // The driver's cached Identify Namespace record of this NSID.
  spdk_nvme_ns_data* data = const_cast<spdk_nvme_ns_data*>(spdk_nvme_ns_get_data(ns_));
  uint8_t* raw = reinterpret_cast<uint8_t*>(data);
  // The metadata placement follows the format too: it decides where each block lies in the data buffer. So does the
  // protection: a command that asks the drive to insert or strip protection information sizes its buffer by it.
  raw[26] = static_cast<uint8_t>((raw[26] & 0xE0) | (cdw10 & 0x1F));
  raw[29] = static_cast<uint8_t>((raw[29] & 0xF0) | ((cdw10 >> 5) & 0x0F));
  nvme_ns_set_identify_data(ns_);
  const uint32_t lba_size = GetLbaSize();
  if (lba_size != 0) {
    data->nsze = size_bytes / lba_size;
  }
}
