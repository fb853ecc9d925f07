#include "runner/generic_cmd_runner.h"

#include <cstring>

#include "nvme/dma_context.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_generic_ctx.h"
#include "nvme/nvme_queue_manager.h"
#include "runner/orphaned_commands.h"

GenericCmdRunner::GenericCmdRunner(std::string device) : ControllerRunner("GenericCmdRunner", std::move(device)) {
  std::memset(&cmd_, 0, sizeof(cmd_));
  std::memset(&cpl_, 0, sizeof(cpl_));
}

GenericCmdRunner::~GenericCmdRunner() {
  ctx_.reset();
}

void GenericCmdRunner::HandleState(uint32_t state) {
  Dispatch(this, state,
           &GenericCmdRunner::HandleGetDevice, &GenericCmdRunner::HandleCreateCommand,
            &GenericCmdRunner::HandleWaitForCompletion);
}

// A command that is still outstanding keeps its context (completion record and DMA buffer) alive until it
// completes or its queue is torn down. The runner's own command entry is no longer needed by then: the driver
// copied it into the submission queue at submission.
void GenericCmdRunner::ReleaseContext() {
  if (ctx_ && GetState() == 3 && !ctx_->status.done) {
    NvmeGenericCtx* raw = ctx_.get();
    raw->host_buffer = nullptr;
    raw->host_buffer_size = 0;
    raw->cmd = nullptr;
    OrphanedCommands::Adopt(ctx_, [raw] { return raw->status.done; });
  }
  ctx_.reset();
}

bool GenericCmdRunner::HasControllerError() {
  const char* message = nullptr;
  if (controller_->IsPowerOffNotified()) {
    message = "power off notified";
  } else if (!controller_->IsInitialized()) {
    message = "device not initialized";
  } else if (controller_->IsTimedOut()) {
    message = "Command Timed Out";
  }
  if (message == nullptr) return false;
  controller_error_ = true;
  ReleaseContext();
  Abort(message);
  return true;
}

void GenericCmdRunner::HandleGetDevice() {
  OrphanedCommands::Sweep();
  LookUpController();
  if (HasControllerError()) return;
  ChangeState(2);
}

void GenericCmdRunner::HandleCreateCommand() {
  if (HasControllerError()) return;
  auto& queues = controller_->GetControllerCtx()->GetQueueManager();
  if (qid_ != 0 && !queues.IsValidQueueId(qid_)) {
    // The driver would be handed no queue pair at all.
    controller_error_ = true;
    Abort("Invalid Queue ID");
    return;
  }
  ctx_ = std::make_shared<NvmeGenericCtx>();
  ctx_->qid = qid_;
  ctx_->cmd = &cmd_;
  std::memset(&ctx_->status, 0, sizeof(ctx_->status));
  ctx_->host_buffer = static_cast<uint8_t*>(buffer_);
  ctx_->host_buffer_size = buffer_size_;
  ctx_->buffer = std::make_unique<DmaContext>(buffer_size_);
  if (buffer_size_ > ctx_->buffer->GetSize()) {
    // The DMA buffer could not be allocated: neither direction may go on without it.
    ctx_.reset();
    Abort("Failed to copy buffer");
    return;
  }
  if (host_to_device_ && buffer_size_ > 0) std::memcpy(ctx_->buffer->GetBuffer(), buffer_, buffer_size_);
  const uint32_t rc = queues.SubmitGenericCommand(ctx_);
  if (rc != 0) {
    controller_error_ = true;
    ctx_.reset();
    Abort(kyt::nvme::NvmeQueueManager::GetErrorMessageFromOpsStatus(rc));
    return;
  }
  ChangeState(3);
}

void GenericCmdRunner::HandleWaitForCompletion() {
  if (HasControllerError()) return;
  if (ProcessCompletions(qid_) < 0) {
    ReleaseContext();
    Abort("Unexpected Internal Error");
    return;
  }
  if (!ctx_->status.done) return;
  if (!host_to_device_) {
    const uint64_t size = ctx_->buffer->GetSize();
    if (buffer_size_ < size) {
      Abort("Failed to copy buffer");
      return;
    }
    if (size > 0) std::memcpy(buffer_, ctx_->buffer->GetBuffer(), size);
  }
  std::memcpy(&cpl_, &ctx_->status.cpl, sizeof(cpl_));
  ChangeState(0);
}
