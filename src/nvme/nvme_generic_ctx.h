// One raw admin or I/O command of the generic command runner, sent by NvmeQueueManager::SubmitGenericCommand.
#ifndef KYT_NVME_NVME_GENERIC_CTX_H
#define KYT_NVME_NVME_GENERIC_CTX_H

#include <cstdint>
#include <memory>

#include "nvme/command_context.h"
#include "nvme/completion_status.h"
#include "nvme/dma_context.h"
#include "spdk/nvme.h"

// qid 0 sends on the admin queue, any other value on that I/O queue pair. Made by MakeCommandContext.
struct NvmeGenericCtx : kyt::nvme::CommandContext {
  std::unique_ptr<DmaContext> buffer;      // DMA buffer; size 0 when the command moves no data
  std::unique_ptr<DmaContext> metadata;    // separate metadata buffer of a block transfer, or none
  uint32_t qid = 0;
  spdk_nvme_cmd* cmd = nullptr;            // the 64-byte command, owned by the runner
  nvme_completion_poll_status status{};    // the completion, once done

  kyt::nvme::CompletionStatus Status() const { return kyt::nvme::CompletionStatus(status.cpl); }

 protected:
  ~NvmeGenericCtx() override = default;
};

#endif  // KYT_NVME_NVME_GENERIC_CTX_H
