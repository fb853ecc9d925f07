// One asynchronous admin command (Format NVM) of the admin command runner.
#ifndef KYT_NVME_NVME_ADMIN_CTX_H
#define KYT_NVME_NVME_ADMIN_CTX_H

#include <cstdint>
#include <memory>
#include <string>

#include "nvme/command_context.h"
#include "nvme/dma_context.h"
#include "spdk/nvme.h"

struct AdminCmdInput;
struct AdminCmdOutput;

// Made by MakeCommandContext.
struct NvmeAdminCtx : kyt::nvme::CommandContext {
  AdminCmdInput* input = nullptr;          // the driver reads the NSID and the format dword from it
  AdminCmdOutput* output = nullptr;        // receives the completion entry while the runner holds the context
  uint64_t reserved = 0;
  std::string error;
  bool has_error = false;
  bool done = false;
  std::unique_ptr<DmaContext> buffer;      // data buffer, when the command moves data

  // Driver completion routine: copies the completion into output->cpl, then sets done.
  static void Callback(void* ctx, const spdk_nvme_cpl* cpl);

 protected:
  ~NvmeAdminCtx() override = default;
};

#endif  // KYT_NVME_NVME_ADMIN_CTX_H
