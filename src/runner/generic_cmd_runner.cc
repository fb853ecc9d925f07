#include "runner/generic_cmd_runner.h"

#include <algorithm>
#include <cstring>

#include "nvme/dma_context.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_generic_ctx.h"
#include "nvme/nvme_queue_manager.h"
#include "spdk/nvme.h"

namespace {

constexpr uint64_t kPageSize = 4096;
constexpr uint8_t kAdminGetLogPage = 0x02;
constexpr uint8_t kAdminIdentify = 0x06;
constexpr uint8_t kIoWrite = 0x01;
constexpr uint8_t kIoRead = 0x02;
constexpr uint8_t kIoCompare = 0x05;
constexpr uint32_t kPract = 1u << 29;  // command dword 12

uint64_t DmaBufferSize(uint64_t size) {
  return std::max(kPageSize, (size + kPageSize - 1) / kPageSize * kPageSize);
}

}  // namespace

GenericCmdRunner::GenericCmdRunner(std::string device) : ControllerRunner("GenericCmdRunner", std::move(device)) {
  std::memset(&cmd_, 0, sizeof(cmd_));
  std::memset(&cpl_, 0, sizeof(cpl_));
}

GenericCmdRunner::~GenericCmdRunner() {
  ctx_.reset();
}

void GenericCmdRunner::HandleState(uint32_t state) {
  Dispatch<kWaitForCompletion>(this, state,
           &GenericCmdRunner::HandleGetDevice, &GenericCmdRunner::HandleCreateCommand,
            &GenericCmdRunner::HandleWaitForCompletion);
}

bool GenericCmdRunner::HasControllerError(bool in_flight) {
  const kyt::nvme::Admission admission =
      controller_->Admit(in_flight ? kyt::nvme::Action::kInFlight : kyt::nvme::Action::kCommand);
  if (admission.Admitted()) return false;
  controller_error_ = true;
  Abort(admission.text);
  return true;
}

void GenericCmdRunner::LetGoOfCommand() { ctx_.reset(); }

void GenericCmdRunner::HandleGetDevice() {
  LookUpController();
  if (HasControllerError(false)) return;
  ChangeState(kCreateCommand);
}

uint64_t GenericCmdRunner::TransferLength() const {
  if (qid_ == 0) {
    if (cmd_.opc == kAdminIdentify) return 4096;
    if (cmd_.opc != kAdminGetLogPage) return 0;
    const uint64_t dwords = ((static_cast<uint64_t>(cmd_.cdw11 & 0xFFFF) << 16) | (cmd_.cdw10 >> 16)) + 1;
    return dwords * 4;
  }
  if (!IsBlockTransfer()) return 0;
  const auto ns = controller_->GetControllerCtx()->GetNamespaceManager().GetNamespace(cmd_.nsid);
  const uint64_t block = IsPiByController(*ns) ? ns->GetLbaSize() : ns->GetSectorBufferSize();
  return ((cmd_.cdw12 & 0xFFFF) + 1) * block;
}

// A namespace that keeps its metadata apart from the data needs a metadata buffer for every block transfer: without
// one the command's metadata pointer is 0 and the device would move metadata at bus address 0.
uint64_t GenericCmdRunner::MetadataLength() const {
  if (qid_ == 0 || !IsBlockTransfer()) return 0;
  const auto ns = controller_->GetControllerCtx()->GetNamespaceManager().GetNamespace(cmd_.nsid);
  if (IsPiByController(*ns)) return 0;
  return ((cmd_.cdw12 & 0xFFFF) + 1) * static_cast<uint64_t>(ns->GetMetaBufferSize());
}

bool GenericCmdRunner::IsBlockTransfer() const {
  return cmd_.opc == kIoRead || cmd_.opc == kIoWrite || cmd_.opc == kIoCompare;
}

// With PRACT, 8 bytes of metadata that are the protection information are inserted or stripped by the controller:
// only the data moves through the buffers.
bool GenericCmdRunner::IsPiByController(const NamespaceCtx& ns) const {
  return (cmd_.cdw12 & kPract) != 0 && ns.IsActive() && ns.GetMetaSize() == 8 &&
         spdk_nvme_ns_get_pi_type(ns.GetNs()) != SPDK_NVME_FMT_NVM_PROTECTION_DISABLE;
}

void GenericCmdRunner::HandleCreateCommand() {
  if (HasControllerError(false)) return;
  auto& queues = controller_->GetControllerCtx()->GetQueueManager();
  if (qid_ != 0 && !queues.IsValidQueueId(qid_)) {
    // The driver would be handed no queue pair at all.
    controller_error_ = true;
    Abort("Invalid Queue ID");
    return;
  }
  const uint64_t transfer = TransferLength();
  if (buffer_size_ < transfer) {
    MarkArgumentRefused();
    Abort("argument \"buffer\" holds " + std::to_string(buffer_size_) + " bytes, less than the " +
          std::to_string(transfer) + " bytes the command transfers");
    return;
  }
  // A longer buffer is fine: only what the command moves is mapped. Where its fields do not tell, the whole buffer.
  moved_ = transfer != 0 ? transfer : buffer_size_;
  if (moved_ > kMaxTransferBytes) {
    MarkArgumentRefused();
    Abort("the command would move " + std::to_string(moved_) + " bytes, more than the " +
          std::to_string(kMaxTransferBytes) + " bytes one command can move");
    return;
  }
  ctx_ = kyt::nvme::MakeCommandContext<NvmeGenericCtx>();
  ctx_->qid = qid_;
  ctx_->cmd = &cmd_;
  std::memset(&ctx_->status, 0, sizeof(ctx_->status));
  const uint64_t dma_size = DmaBufferSize(moved_);
  ctx_->buffer = std::make_unique<DmaContext>(dma_size, kPageSize);
  const uint64_t metadata = MetadataLength();
  if (metadata > 0) ctx_->metadata = std::make_unique<DmaContext>(DmaBufferSize(metadata), kPageSize);
  if (ctx_->buffer->GetSize() < dma_size || (metadata > 0 && ctx_->metadata->GetSize() == 0)) {
    // A DMA buffer could not be allocated: neither direction may go on without it.
    ctx_.reset();
    Abort("Failed to copy buffer");
    return;
  }
  if (host_to_device_ && moved_ > 0) std::memcpy(ctx_->buffer->GetBuffer(), buffer_, moved_);
  const uint32_t rc = queues.SubmitGenericCommand(ctx_.get());
  if (rc != 0) {
    controller_error_ = true;
    ctx_.reset();
    Abort(kyt::nvme::NvmeQueueManager::GetErrorMessageFromOpsStatus(rc));
    return;
  }
  ChangeState(kWaitForCompletion);
}

void GenericCmdRunner::HandleWaitForCompletion() {
  if (!ctx_->status.done || !ctx_->Status().HostTimedOut()) {
    if (HasControllerError(true)) return;
    if (ProcessCompletions(qid_) < 0) {
      Abort(CompletionFailure(qid_));
      return;
    }
    if (!ctx_->status.done) return;
  }
  if (ctx_->Status().HostTimedOut()) {
    std::memcpy(&cpl_, &ctx_->status.cpl, sizeof(cpl_));
    ChangeState(kStateDone);  // the script hears "Command Timed Out" with the command's completion entry
    return;
  }
  if (ctx_->Status().Failed() && !Require(kyt::nvme::Action::kInFlight)) {
    controller_error_ = true;
    return;
  }
  if (!host_to_device_ && moved_ > 0) std::memcpy(buffer_, ctx_->buffer->GetBuffer(), moved_);
  std::memcpy(&cpl_, &ctx_->status.cpl, sizeof(cpl_));
  ChangeState(kStateDone);
}
