// One I/O queue pair being created or deleted by the queue-pair machines.
#ifndef KYT_NVME_NVME_QUEUE_CTX_H
#define KYT_NVME_NVME_QUEUE_CTX_H

#include <cstdint>

#include "nvme/command_context.h"
#include "nvme/completion_status.h"
#include "spdk/nvme.h"

// One I/O queue pair in creation (made by NvmeQueueManager::MakeCreateQueueCtx) or deletion (MakeDeleteQueueCtx).
struct NvmeQueueCtx : kyt::nvme::CommandContext {
  spdk_nvme_qpair* qpair = nullptr;        // creation: null until CreateQueuePairMeta; deletion: the existing pair
  spdk_nvme_io_qpair_opts opts{};          // creation: driver defaults, urgent priority, delayed doorbell
  uint32_t qid = 0;                        // creation: 0 until CreateQueuePairMeta picks one
  nvme_completion_poll_status status{};    // completion of the last create/delete queue command
  bool sq_deleted = false;                 // deletion: the drive has deleted the submission queue (this time or an
                                           // earlier deletion that then failed at the completion queue)

  // The status of the last queue command.
  kyt::nvme::CompletionStatus Status() const { return kyt::nvme::CompletionStatus(status.cpl); }

 protected:
  ~NvmeQueueCtx() override = default;
};

#endif  // KYT_NVME_NVME_QUEUE_CTX_H
