#include "nvme/nvme_admin_ctx.h"

#include <cstring>

#include "utility/admin_cmd_records.h"

void NvmeAdminCtx::Callback(void* ctx, const spdk_nvme_cpl* cpl) {
  NvmeAdminCtx* admin = static_cast<NvmeAdminCtx*>(ctx);
  if (!admin->Landed(cpl)) return;  // the runner let go of it: its records may be gone
  if (admin->output != nullptr) {
    std::memcpy(&admin->output->cpl, cpl, sizeof(*cpl));
  }
  admin->done = true;
}
