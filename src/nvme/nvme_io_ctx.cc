#include "nvme/nvme_io_ctx.h"

#include <cstring>

bool NvmeIoCtx::SetSingleRange() {
  num_ranges = 1;
  if (!data || data->GetBuffer() == nullptr || dsm_buffer_size > data->GetSize()) {
    return false;
  }
  uint8_t* buffer = static_cast<uint8_t*>(data->GetBuffer());
  std::memset(buffer, 0, dsm_buffer_size);
  spdk_nvme_dsm_range range;
  std::memset(&range, 0, sizeof(range));
  range.attributes.raw = 4;
  range.length = num_blocks;
  range.starting_lba = start_lba;
  std::memcpy(buffer, &range, dsm_buffer_size < sizeof(range) ? dsm_buffer_size : sizeof(range));
  return true;
}
