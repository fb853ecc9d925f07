#include "nvme/command_context.h"

#include "nvme/nvme_queue_manager.h"

namespace kyt {
namespace nvme {

void CommandContext::Release::operator()(CommandContext* ctx) const {
  if (ctx->AtDevice()) {
    ctx->released_ = true;  // the queue manager frees it once the device is done with it
    return;
  }
  delete ctx;
}

bool CommandContext::LandedListed(const spdk_nvme_cpl* cpl) {
  const bool owned = !released_;
  // Not held (never submitted), or kept already: a later completion (a command sent again on a context the host
  // ended one command of) changes nothing, the context stays until that queue goes.
  if (holder_ == nullptr || kept_) return owned;
  if (spdk_nvme_cpl_is_host_timeout(cpl)) {
    // The device may still be executing the command and writing into the context.
    kept_ = true;
    if (!listed_) holder_->List(*this);
    return owned;
  }
  holder_->Unlist(*this);
  EndHold();
  return owned;
}

void CommandContext::EndHold() {
  holder_ = nullptr;
  listed_ = false;
  kept_ = false;
  if (released_) delete this;
}

}  // namespace nvme
}  // namespace kyt
