#include "runner/nvm_cmd_runner.h"

#include <cstring>

#include "nvme/completion_status.h"
#include "nvme/dma_context.h"
#include "nvme/io_manager.h"
#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_io_ctx.h"
#include "nvme/nvme_queue_manager.h"

namespace {
constexpr uint32_t kRangeEntrySize = 16;
}  // namespace

NvmCmdRunner::NvmCmdRunner(std::string device, std::string command_name)
    : ControllerRunner("NvmeCmd-" + command_name, std::move(device)) {}

NvmCmdRunner::~NvmCmdRunner() {
  io_ctx_.reset();
}

void NvmCmdRunner::HandleState(uint32_t state) {
  Dispatch<kWaitForCompletion>(this, state,
           &NvmCmdRunner::HandleLookUpAdmitted, &NvmCmdRunner::HandleCreateCommand,
            &NvmCmdRunner::HandleWaitForCompletion);
}

// A completed read's data stays for the owner; a command the device still has is let go of.
void NvmCmdRunner::LetGoOfCommand() {
  if (io_ctx_ && io_ctx_->AtDevice()) io_ctx_.reset();
}

uint16_t NvmCmdRunner::GetIoQueueId() {
  if (qid_ == 0) qid_ = controller_->GetControllerCtx()->GetQueueManager().GetFirstAvailableQueueId();
  return qid_;
}

uint32_t NvmCmdRunner::GetNamespaceId() {
  if (nsid_ != 0) return nsid_;
  return controller_->GetControllerCtx()->GetNamespaceManager().GetFirstActiveNamespaceId();
}

// Bytes per block as the device moves them through the data buffer: the LBA size, plus the metadata when the
// namespace interleaves it with the data (then the device writes both into the one buffer).
uint64_t NvmCmdRunner::GetDataXferSize() {
  auto ns = controller_->GetControllerCtx()->GetNamespaceManager().GetNamespace(GetNamespaceId());
  return static_cast<uint64_t>(ns->GetSectorBufferSize()) * num_blocks_;
}

const uint8_t* NvmCmdRunner::GetReadData() const {
  if (code_ != kNvmCmdRead || !io_ctx_ || !io_ctx_->completed || !io_ctx_->data) return nullptr;
  return static_cast<const uint8_t*>(io_ctx_->data->GetBuffer());
}

uint32_t NvmCmdRunner::GetReadDataSize() const {
  if (GetReadData() == nullptr) return 0;
  return static_cast<uint32_t>(io_ctx_->data->GetSize());
}

bool NvmCmdRunner::SubmitReadWrite(bool write) {
  NvmeControllerCtx& ctx = *controller_->GetControllerCtx();
  const uint16_t qid = GetIoQueueId();
  const uint32_t nsid = GetNamespaceId();
  if (num_blocks_ == 0 || num_blocks_ > kMaxBlocks) {
    Abort("number of blocks must be a value in [1 - 65536]");
    return false;
  }
  auto ns = ctx.GetNamespaceManager().GetNamespace(nsid);
  if (!ns->IsActive()) {
    Abort("Namespace " + std::to_string(nsid) + " is not active");
    return false;
  }
  if (num_blocks_ > ns->GetMaxXferBlocks()) {
    MarkArgumentRefused();
    Abort("argument \"numBlocks\" must be at most " + std::to_string(ns->GetMaxXferBlocks()) +
          ", the largest transfer of namespace " + std::to_string(nsid));
    return false;
  }
  const uint64_t size = GetDataXferSize();
  io_ctx_ = kyt::nvme::MakeCommandContext<NvmeIoCtx>();
  const uint64_t meta_size = static_cast<uint64_t>(ns->GetMetaBufferSize()) * num_blocks_;
  io_ctx_->data = std::make_unique<DmaContext>(size);
  io_ctx_->meta = std::make_unique<DmaContext>(meta_size);
  if (io_ctx_->data->GetSize() < size || io_ctx_->meta->GetSize() < meta_size) {
    Abort("Failed to allocate memory");
    return false;
  }
  io_ctx_->nsid = nsid;
  io_ctx_->start_lba = start_lba_;
  io_ctx_->num_blocks = num_blocks_;
  io_ctx_->qid = qid;
  uint32_t status;
  if (write) {
    io_ctx_->pattern = static_cast<const uint64_t*>(pattern_);
    io_ctx_->pattern_size = pattern_size_;
    status = ctx.GetIoManager().SendWriteAsync(io_ctx_.get());
  } else {
    status = ctx.GetIoManager().SendReadAsync(io_ctx_.get());
  }
  return CheckSubmission(status);
}

bool NvmCmdRunner::SubmitDsm() {
  NvmeControllerCtx& ctx = *controller_->GetControllerCtx();
  const uint16_t qid = GetIoQueueId();
  if (num_ranges_ == 0) {
    Abort("Invalid Number of Ranges");
    return false;
  }
  io_ctx_ = kyt::nvme::MakeCommandContext<NvmeIoCtx>();
  io_ctx_->data = std::make_unique<DmaContext>(kRangeBufferSize);
  io_ctx_->meta = std::make_unique<DmaContext>(0);
  io_ctx_->dsm_attributes = dsm_attributes_;
  io_ctx_->nsid = GetNamespaceId();
  io_ctx_->qid = qid;
  io_ctx_->num_ranges = num_ranges_;
  if (io_ctx_->data->GetSize() == 0) io_ctx_->data = std::make_unique<DmaContext>(kRangeBufferSize);
  if (io_ctx_->data->GetSize() < kRangeBufferSize) {
    Abort("Failed to allocate memory");
    return false;
  }
  if (num_ranges_ <= kMaxRanges && ranges_ != nullptr) {
    std::memcpy(io_ctx_->data->GetBuffer(), ranges_, static_cast<size_t>(num_ranges_) * kRangeEntrySize);
  }
  return CheckSubmission(ctx.GetIoManager().SendDsmAsync(io_ctx_.get()));
}

bool NvmCmdRunner::CheckSubmission(uint32_t status) {
  if (status == 0) return true;
  if (status == 1) {
    Abort("LBA range is busy with another I/O under data validation");
  } else {
    Abort(io_ctx_->error.empty() ? std::string("aborted") : io_ctx_->error);
  }
  return false;
}

void NvmCmdRunner::HandleCreateCommand() {
  if (!Require(kyt::nvme::Action::kCommand)) return;
  bool submitted = false;
  switch (code_) {
    case kNvmCmdRead:
      submitted = SubmitReadWrite(false);
      break;
    case kNvmCmdWrite:
      submitted = SubmitReadWrite(true);
      break;
    case kNvmCmdDatasetManagement:
      submitted = SubmitDsm();
      break;
    default:
      ChangeState(kStateAborted);  // unknown command code: the initial message "aborted"
      return;
  }
  if (submitted) ChangeState(kWaitForCompletion);
}

void NvmCmdRunner::HandleWaitForCompletion() {
  if (!io_ctx_->completed || !kyt::nvme::CompletionStatus(io_ctx_->cpl).HostTimedOut()) {
    const std::string failure = PollFailure(controller_->GetControllerCtx() != nullptr, qid_);
    if (!failure.empty()) {
      Abort(failure);
      return;
    }
    if (!io_ctx_->completed) return;
  }
  if (io_ctx_->failed) {
    Abort(io_ctx_->error);
    return;
  }
  std::memcpy(&cpl_, &io_ctx_->cpl, sizeof(cpl_));
  if (kyt::nvme::CompletionStatus(cpl_).HostTimedOut()) {
    // Ended by its time-out while the device may still be executing it: the script hears of the time-out with the
    // command's completion entry, and the context waits with the queue manager for the queue's teardown.
    ChangeState(kStateDone);
    return;
  }
  const bool success = !kyt::nvme::CompletionStatus(cpl_).Failed();
  if (!success && !Require(kyt::nvme::Action::kInFlight)) return;
  if (code_ == kNvmCmdRead && success && io_ctx_->data_mismatch) {
    mismatch_ = DataMismatchRecord{io_ctx_->mismatch_lba, io_ctx_->mismatch_expected, io_ctx_->mismatch_found};
    Abort("data mismatch");
    return;
  }
  ChangeState(kStateDone);
}
