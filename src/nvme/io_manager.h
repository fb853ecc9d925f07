// Turns one NvmeIoCtx (read, write, dataset management) into a driver submission and is the driver's completion
// routine for it. Attaches the namespace's data validator when it is enabled and covers the I/O: validated writes
// stamp (LBA << 8) | next tag into the first 8 bytes of every block, validated reads remember the tags they must find
// and compare at completion, deallocations mark their ranges as expected-zero. Keeps the controller's count of I/Os
// in flight and the tick stamps for latency. Worker thread only.
#ifndef KYT_NVME_IO_MANAGER_H
#define KYT_NVME_IO_MANAGER_H

#include <cstdint>
#include <memory>

#include "nvme/nvme_io_ctx.h"

namespace kyt {
namespace nvme {

class NamespaceManager;
class NvmeQueueManager;
class DataValidatorManager;

class IoManager {
 public:
  static constexpr uint32_t kMaxBlocks = 65536;
  static constexpr uint32_t kMaxRanges = 256;

  IoManager(NamespaceManager& namespace_manager, NvmeQueueManager& queue_manager,
            std::shared_ptr<DataValidatorManager> data_validator_manager);

  // Status codes: see IoOpsStatus. Refusals for the queue id, the range count, the block count or the data buffer
  // set `completed`, `failed` and `error` and send nothing. A throw from the namespace lookup passes to the caller.
  IoOpsStatus SendReadAsync(NvmeIoCtx* ctx);
  IoOpsStatus SendWriteAsync(NvmeIoCtx* ctx);
  IoOpsStatus SendDsmAsync(NvmeIoCtx* ctx);

  // Driver completion routines; the context argument is the NvmeIoCtx*.
  static void SendReadAsyncCallback(void* arg, const spdk_nvme_cpl* cpl);
  static void SendWriteAsyncCallback(void* arg, const spdk_nvme_cpl* cpl);
  static void SendDsmAsyncCallback(void* arg, const spdk_nvme_cpl* cpl);

  // Starts bringing into the cache what submitting the context's read or write will read (the line of its first
  // block in the namespace's validator map): a caller that knows its next I/Os ahead of sending them calls it early,
  // so that the miss overlaps its other work. Changes nothing; harmless for any context.
  void Prefetch(const NvmeIoCtx* ctx) const;

  uint16_t GetOutstanding() const { return outstanding_; }
  uint64_t GetTicksHz() const { return ticks_hz_; }

 private:
  // Checks shared by read and write; false (with the context marked refused) when the request is not sound.
  bool CheckReadWrite(NvmeIoCtx* ctx, uint64_t* length);
  void AttachValidator(NvmeIoCtx* ctx, uint64_t length);
  // The rest of read's and write's preparation once the namespace and completion routine are set: the checks, the
  // validator, the tick stamps and, for a validated I/O, the claim of its range (a read of blocks the validator
  // knows nothing of goes unvalidated). kIoOpsSubmitted: ready to submit.
  IoOpsStatus PrepareReadWrite(NvmeIoCtx* ctx, bool read);
  // Submits a prepared read or write; a refusal gives back the claimed range.
  IoOpsStatus SubmitReadWrite(NvmeIoCtx* ctx, uint32_t (NvmeQueueManager::*submit)(NvmeIoCtx*));
  void Stamp(NvmeIoCtx* ctx);
  IoOpsStatus DriverRefused(NvmeIoCtx* ctx, uint32_t queue_status);

  NamespaceManager& namespace_manager_;
  NvmeQueueManager& queue_manager_;
  std::shared_ptr<DataValidatorManager> data_validator_manager_;
  uint16_t outstanding_ = 0;
  uint64_t ticks_hz_;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_IO_MANAGER_H
