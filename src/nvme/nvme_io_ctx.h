// One read, write or dataset-management I/O in flight, prepared by a runner and submitted through IoManager. Made by
// MakeCommandContext<NvmeIoCtx>(): the runner that made it owns it, and the queue manager holds it while the device
// has its command (CommandContext); it must stay unchanged until its completion routine has run (`completed` true or
// `callback` called).
#ifndef KYT_NVME_NVME_IO_CTX_H
#define KYT_NVME_NVME_IO_CTX_H

#include <cstdint>
#include <memory>
#include <string>

#include "nvme/command_context.h"
#include "nvme/dma_context.h"
#include "spdk/nvme.h"

class NamespaceCtx;
namespace kyt {
namespace nvme {
class DataValidator;

// Result of IoManager::SendReadAsync / SendWriteAsync / SendDsmAsync.
enum IoOpsStatus : uint32_t {
  kIoOpsSubmitted = 0,          // the completion routine will run
  kIoOpsRangeBusy = 1,          // a validated I/O covers an LBA of the range; nothing sent, retry later
  kIoOpsDriverError = 2,        // the driver refused; `error` says why
  kIoOpsInvalidQueueId = 3,     // "Invalid Queue ID"; completed and failed set
  kIoOpsInvalidNumRanges = 4,   // "Invalid Number of Ranges" (0 or more than 256); completed and failed set
  kIoOpsInvalidRequest = 5,     // bad block count or data buffer; completed and failed set, `error` says which
  kIoOpsNoMemory = 6,           // the validator's map cannot grow for the range; completed and failed set, `error`
                                // says how much memory was needed
};

}  // namespace nvme
}  // namespace kyt

struct NvmeIoCtx : kyt::nvme::CommandContext {
  using Callback = void (*)(NvmeIoCtx* ctx, const spdk_nvme_cpl* cpl);

  uint32_t nsid = 0;
  const NamespaceCtx* ns = nullptr;          // set at read and write submission; the namespace manager owns it
  uint16_t qid = 0;
  spdk_nvme_cmd_cb cb_fn = nullptr;          // IoManager's completion routine for the command
  uint32_t io_type = 0;                      // 1 read, 2 write, 3 dataset management (generators, workload loop)
  uint64_t start_lba = 0;
  uint32_t num_blocks = 0;                   // 1..65536
  uint32_t xfer_size = 0;                    // payload bytes; 0 = the whole data buffer
  const uint64_t* pattern = nullptr;         // unvalidated write: words repeated in every block
  uint64_t pattern_size = 0;                 // bytes
  uint32_t dsm_attributes = 0;               // dataset management dword 11 (bit 2 = deallocate)
  bool completed = false;
  bool failed = false;
  std::string error;
  spdk_nvme_cpl cpl{};                       // copy of the completion when `callback` is null
  Callback callback = nullptr;               // the owner's completion routine (may let go of or reuse the context);
                                             // not called once the owner let go of it
  void* user_ctx = nullptr;
  bool data_mismatch = false;                // validated read: a block did not carry its expected word
  uint64_t mismatch_lba = 0;                 // with data_mismatch: the first such block,
  uint8_t mismatch_expected = 0;             // the tag its validator expected (254: deallocated, reads as zeros)
  uint8_t mismatch_found = 0;                // and the tag (low byte of the first word) it carried
  bool overlapped = false;                   // the workload loop's own flag
  // The validator attached at submission (null: not validated); the validator manager owns it for the life of the
  // process. A validated read compares the blocks with the validator's tags at completion: the range's pending bits
  // keep every other validated I/O off those tags meanwhile.
  kyt::nvme::DataValidator* data_validator = nullptr;
  uint16_t* outstanding = &local_outstanding;
  uint16_t local_outstanding = 0;
  uint64_t ticks_hz = 0;
  uint32_t dsm_buffer_size = 4096;           // dataset-management payload bytes handed to the driver
  uint32_t dsm_range_size = 16;
  std::unique_ptr<DmaContext> data;          // data buffer; for dataset management the range entries
  std::unique_ptr<DmaContext> meta;          // metadata buffer (not used by IoManager)
  uint32_t num_ranges = 0;                   // dataset management: 1..256 entries at the start of `data`
  uint64_t submit_ticks = 0;
  uint64_t complete_ticks = 0;
  // The owner's tick reading of its current poll pass: the submission stamps it instead of reading the clock (null:
  // it reads the clock); the completion always reads the clock. It must stay valid while the I/O is in flight.
  const uint64_t* pass_ticks = nullptr;
  uint64_t validator_epoch = 0;              // the validator's epoch when it was attached

  // Makes the context one deallocation of its own range: num_ranges 1 and one range entry (attributes 4, num_blocks
  // blocks from start_lba) at the start of a zeroed payload of dsm_buffer_size bytes in `data`. False, with nothing
  // written, when the data buffer is smaller than dsm_buffer_size.
  bool SetSingleRange();

 protected:
  ~NvmeIoCtx() override = default;
};

#endif  // KYT_NVME_NVME_IO_CTX_H
