#include "nvme/nvme_queue_manager.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "nvme/dma_context.h"
#include "nvme/namespace_ctx.h"
#include "nvme/nvme_io_ctx.h"
#include "nvme_internal.h"
#include "spdk/bit_array.h"
#include "utility/log_line.h"

namespace kyt {
namespace nvme {

namespace {

constexpr uint8_t kOpcWrite = 0x01;
constexpr uint8_t kOpcRead = 0x02;
constexpr uint8_t kOpcDsm = 0x09;

// Completion routine of the commands whose context keeps a poll status (raw and queue commands).
template <typename Ctx>
void StatusDone(void* arg, const spdk_nvme_cpl* cpl) {
  auto* ctx = static_cast<Ctx*>(arg);
  nvme_completion_poll_cb(&ctx->status, cpl);
  ctx->Landed(cpl);
}

}  // namespace

NvmeQueueManager::NvmeQueueManager(spdk_nvme_ctrlr* ctrlr) : ctrlr_(ctrlr) { ResizeTable(); }

NvmeQueueManager::~NvmeQueueManager() { EndHolds(-1); }

void NvmeQueueManager::ResizeTable() {
  qpairs_.assign(static_cast<size_t>(ctrlr_->opts.num_io_queues) + 1, nullptr);
  claims_.assign(qpairs_.size(), Claim());
}

void NvmeQueueManager::AddQpair(spdk_nvme_qpair* qpair) {
  if (qpair->id >= qpairs_.size()) {
    qpairs_.resize(static_cast<size_t>(qpair->id) + 1, nullptr);
    claims_.resize(qpairs_.size());
  }
  qpairs_[qpair->id] = qpair;
}

void NvmeQueueManager::RemoveQpair(spdk_nvme_qpair* qpair) {
  if (qpair->id < qpairs_.size() && qpairs_[qpair->id] == qpair) {
    qpairs_[qpair->id] = nullptr;
    claims_[qpair->id] = Claim();
  }
}

void NvmeQueueManager::ClaimQueue(uint16_t qid, const void* owner) {
  if (GetQpair(qid) != nullptr) claims_[qid].owner = owner;
}

void NvmeQueueManager::ReleaseClaim(uint16_t qid, const void* owner) {
  if (qid < claims_.size() && claims_[qid].owner == owner) claims_[qid].owner = nullptr;
}

void NvmeQueueManager::Unhold(CommandContext& ctx) {
  if (ctx.kept_) return;
  if (ctx.listed_) Unlist(ctx);
  ctx.holder_ = nullptr;
}

void NvmeQueueManager::List(CommandContext& ctx) {
  listed_.push_back(&ctx);
  ctx.listed_ = true;
}

void NvmeQueueManager::Unlist(CommandContext& ctx) {
  listed_.erase(std::find(listed_.begin(), listed_.end(), &ctx));
  ctx.listed_ = false;
}

size_t NvmeQueueManager::GetOwnedKeptCount() const {
  return static_cast<size_t>(
      std::count_if(listed_.begin(), listed_.end(), [](const CommandContext* ctx) { return !ctx->released_; }));
}

void NvmeQueueManager::EndHolds(int qid) {
  for (auto it = listed_.begin(); it != listed_.end();) {
    CommandContext* ctx = *it;
    if (qid >= 0 && ctx->held_qid_ != qid) {
      ++it;
      continue;
    }
    it = listed_.erase(it);
    ctx->EndHold();
  }
}

void NvmeQueueManager::AddQueuePair(const std::shared_ptr<NvmeQueueCtx>& ctx) {
  if (ctx->qpair == nullptr) {
    throw std::runtime_error("NVME: QueueManager: ASSERT: (AddQueuePair) qpair is nullptr");
  }
  AddQpair(ctx->qpair);
}

void NvmeQueueManager::RemoveQueuePair(const std::shared_ptr<NvmeQueueCtx>& ctx) {
  if (ctx->qpair == nullptr) {
    throw std::runtime_error("NVME: QueueManager: ASSERT: (RemoveQueuePair) qpair is nullptr");
  }
  RemoveQpair(ctx->qpair);
}

spdk_nvme_qpair* NvmeQueueManager::GetQpair(uint16_t qid) const { return qid < qpairs_.size() ? qpairs_[qid] : nullptr; }

bool NvmeQueueManager::IsValidQueueId(uint16_t qid) const { return qid != 0 && GetQpair(qid) != nullptr; }

uint16_t NvmeQueueManager::GetFirstAvailableQueueId() const {
  for (size_t qid = 1; qid < qpairs_.size(); ++qid) {
    if (qpairs_[qid] != nullptr) {
      return qpairs_[qid]->id;
    }
  }
  return 0;
}

uint32_t NvmeQueueManager::GetFreeQueueId() {
  const uint32_t qid = spdk_bit_array_find_first_set(ctrlr_->free_io_qids, 1);
  if (qid > ctrlr_->opts.num_io_queues) {
    kyt::LogLine("NVME: QueueManager: ERROR: (GetFreeQueueId) No free IO queue ID");
    return 0;
  }
  spdk_bit_array_clear(ctrlr_->free_io_qids, qid);
  return qid;
}

void NvmeQueueManager::PutFreeQueueId(uint32_t qid) {
  if (qid == 0) {
    throw std::runtime_error("NVME: QueueManager: ASSERT: (PutFreeQueueId) ID cannot be 0");
  }
  spdk_bit_array_set(ctrlr_->free_io_qids, qid);
}

std::shared_ptr<NvmeQueueCtx> NvmeQueueManager::MakeCreateQueueCtx() {
  std::shared_ptr<NvmeQueueCtx> ctx = MakeCommandContext<NvmeQueueCtx>();
  spdk_nvme_ctrlr_get_default_io_qpair_opts(ctrlr_, &ctx->opts, sizeof(ctx->opts));
  ctx->opts.qprio = SPDK_NVME_QPRIO_URGENT;
  ctx->opts.delay_pcie_doorbell = true;
  return ctx;
}

std::shared_ptr<NvmeQueueCtx> NvmeQueueManager::MakeDeleteQueueCtx(uint16_t qid, const void* requester) {
  spdk_nvme_qpair* qpair = GetQpair(qid);
  if (qpair == nullptr) {
    return nullptr;
  }
  Claim& claim = claims_[qid];
  if (claim.deleting) {
    throw std::runtime_error("Queue pair " + std::to_string(qid) + " is being deleted already");
  }
  if (claim.owner != nullptr && claim.owner != requester) {
    throw std::runtime_error("Queue pair " + std::to_string(qid) + " belongs to a running workload");
  }
  claim.deleting = true;
  std::shared_ptr<NvmeQueueCtx> ctx = MakeCommandContext<NvmeQueueCtx>();
  ctx->qpair = qpair;
  ctx->qid = qpair->id;
  ctx->sq_deleted = claim.sq_deleted;
  return ctx;
}

uint32_t NvmeQueueManager::CreateQueuePairMeta(const std::shared_ptr<NvmeQueueCtx>& ctx) {
  ctx->qid = GetFreeQueueId();
  if (ctx->qid == 0) {
    return kQueueOpsNoFreeQid;
  }
  ctx->qpair = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, static_cast<uint16_t>(ctx->qid), &ctx->opts);
  if (ctx->qpair == nullptr) {
    PutFreeQueueId(ctx->qid);
    ctx->qid = 0;
    return kQueueOpsQpairInitFailed;
  }
  return kQueueOpsSuccess;
}

void NvmeQueueManager::DeleteQueuePairMeta(const std::shared_ptr<NvmeQueueCtx>& ctx) {
  PutFreeQueueId(ctx->qid);
  if (ctx->qpair != nullptr) {
    nvme_pcie_ctrlr_delete_io_qpair_data_structure(ctx->qpair);
    ctx->qpair = nullptr;
    EndHolds(static_cast<int>(ctx->qid));
  }
}

void NvmeQueueManager::StrandQueuePairMeta(const std::shared_ptr<NvmeQueueCtx>& ctx) {
  if (ctx->qpair == nullptr) return;
  nvme_ctrlr_strand_io_qpair(ctrlr_, ctx->qpair);
  ctx->qpair = nullptr;
}

void NvmeQueueManager::KeepQueuePair(const std::shared_ptr<NvmeQueueCtx>& ctx) {
  if (ctx->qid >= claims_.size() || qpairs_[ctx->qid] != ctx->qpair) return;
  claims_[ctx->qid].deleting = false;
  claims_[ctx->qid].sq_deleted = ctx->sq_deleted;
}

int NvmeQueueManager::ResetQueuePair(const std::shared_ptr<NvmeQueueCtx>& ctx) {
  nvme_pcie_ctrlr_set_shadow_doorbell(ctrlr_, ctx->qpair);
  return nvme_pcie_qpair_reset(ctx->qpair);
}

// One body for the four queue commands: clear `done`, submit with the poll status routine, map the driver's answer.
#define KYT_QUEUE_COMMAND(Method, driver_fn)                                                                  \
  uint32_t NvmeQueueManager::Method(const std::shared_ptr<NvmeQueueCtx>& ctx) {                               \
    ctx->status.done = false;                                                                                 \
    return GetOpsStatusFromSpdkStatus(                                                                        \
        Submit(*ctx, 0, [&] { return driver_fn(ctrlr_, ctx->qpair, StatusDone<NvmeQueueCtx>, ctx.get()); })); \
  }
KYT_QUEUE_COMMAND(SubmitCreateIoCompletionQueueCommand, nvme_pcie_ctrlr_cmd_create_io_cq)
KYT_QUEUE_COMMAND(SubmitCreateIoSubmissionQueueCommand, nvme_pcie_ctrlr_cmd_create_io_sq)
KYT_QUEUE_COMMAND(SubmitDeleteIoSubmissionQueueCommand, nvme_pcie_ctrlr_cmd_delete_io_sq)
KYT_QUEUE_COMMAND(SubmitDeleteIoCompletionQueueCommand, nvme_pcie_ctrlr_cmd_delete_io_cq)
#undef KYT_QUEUE_COMMAND

uint32_t NvmeQueueManager::SubmitWithTick(NvmeIoCtx* ctx, spdk_nvme_cmd* cmd, void* buffer, uint32_t length,
                                          void* metadata) {
  spdk_nvme_qpair* qpair = GetQpair(ctx->qid);
  // The owner's pass tick starts the command's deadline too: the driver reads no clock of its own for it.
  if (qpair != nullptr && ctx->pass_ticks != nullptr) qpair->caller_tick = *ctx->pass_ticks;
  const int rc = Submit(*ctx, ctx->qid, [&] {
    return metadata == nullptr
               ? spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, qpair, cmd, buffer, length, ctx->cb_fn, ctx)
               : spdk_nvme_ctrlr_cmd_io_raw_with_md(ctrlr_, qpair, cmd, buffer, length, metadata, ctx->cb_fn, ctx);
  });
  if (qpair != nullptr) qpair->caller_tick = 0;
  return GetOpsStatusFromSpdkStatus(rc);
}

uint32_t NvmeQueueManager::SubmitIo(NvmeIoCtx* ctx, uint8_t opcode) {
  spdk_nvme_cmd cmd;
  std::memset(&cmd, 0, sizeof(cmd));
  cmd.opc = opcode;
  cmd.nsid = ctx->nsid;
  cmd.cdw10 = static_cast<uint32_t>(ctx->start_lba);
  cmd.cdw11 = static_cast<uint32_t>(ctx->start_lba >> 32);
  cmd.cdw12 = ctx->num_blocks - 1;
  void* buffer = ctx->data ? ctx->data->GetBuffer() : nullptr;
  const uint64_t buffer_size = ctx->data ? ctx->data->GetSize() : 0;
  const uint32_t length = ctx->xfer_size != 0 ? ctx->xfer_size : static_cast<uint32_t>(buffer_size);
  // Separate metadata travels through its own buffer (the I/O manager checked it is large enough).
  void* metadata = ctx->ns != nullptr && ctx->ns->GetMetaBufferSize() != 0 ? ctx->meta->GetBuffer() : nullptr;
  return SubmitWithTick(ctx, &cmd, buffer, length, metadata);
}

uint32_t NvmeQueueManager::SubmitReadCommand(NvmeIoCtx* ctx) { return SubmitIo(ctx, kOpcRead); }

uint32_t NvmeQueueManager::SubmitWriteCommand(NvmeIoCtx* ctx) { return SubmitIo(ctx, kOpcWrite); }

uint32_t NvmeQueueManager::SubmitDsmCommand(NvmeIoCtx* ctx) {
  spdk_nvme_cmd cmd;
  std::memset(&cmd, 0, sizeof(cmd));
  cmd.opc = kOpcDsm;
  cmd.nsid = ctx->nsid;
  cmd.cdw10 = ctx->num_ranges - 1;
  cmd.cdw11 = ctx->dsm_attributes;
  void* buffer = ctx->data ? ctx->data->GetBuffer() : nullptr;
  const uint64_t buffer_size = ctx->data ? ctx->data->GetSize() : 0;
  // The payload handed to the driver never reaches past the buffer.
  const uint32_t length =
      buffer_size < ctx->dsm_buffer_size ? static_cast<uint32_t>(buffer_size) : ctx->dsm_buffer_size;
  return SubmitWithTick(ctx, &cmd, buffer, length, nullptr);
}

uint32_t NvmeQueueManager::SubmitGenericCommand(NvmeGenericCtx* ctx) {
  void* buffer = ctx->buffer ? ctx->buffer->GetBuffer() : nullptr;
  const uint32_t size = ctx->buffer ? static_cast<uint32_t>(ctx->buffer->GetSize()) : 0;
  int rc;
  if (ctx->qid != 0) {
    spdk_nvme_qpair* qpair = ctx->qid <= UINT16_MAX ? GetQpair(static_cast<uint16_t>(ctx->qid)) : nullptr;
    if (qpair == nullptr) {
      return kQueueOpsDriverError;
    }
    void* metadata = ctx->metadata ? ctx->metadata->GetBuffer() : nullptr;
    rc = Submit(*ctx, qpair->id, [&] {
      return spdk_nvme_ctrlr_cmd_io_raw_with_md(ctrlr_, qpair, ctx->cmd, buffer, size, metadata,
                                                StatusDone<NvmeGenericCtx>, ctx);
    });
  } else {
    rc = Submit(*ctx, 0, [&] {
      return spdk_nvme_ctrlr_cmd_admin_raw(ctrlr_, ctx->cmd, buffer, size, StatusDone<NvmeGenericCtx>, ctx);
    });
  }
  return rc == 0 ? kQueueOpsSuccess : kQueueOpsDriverError;
}

int NvmeQueueManager::ProcessAdminCompletions() { return spdk_nvme_ctrlr_process_admin_completions(ctrlr_); }

int NvmeQueueManager::ProcessIoCompletions(uint16_t qid) {
  spdk_nvme_qpair* qpair = GetQpair(qid);
  if (qpair == nullptr) {
    return -1;
  }
  return spdk_nvme_qpair_process_completions(qpair, 0);
}

void NvmeQueueManager::AbortAsyncEventRequests() { nvme_transport_admin_qpair_abort_aers(ctrlr_->adminq); }

void NvmeQueueManager::AbortAdminRequests() {
  nvme_qpair_abort_queued_reqs(ctrlr_->adminq, 1);
  nvme_transport_qpair_abort_reqs(ctrlr_->adminq, 1);
}

void NvmeQueueManager::DisableIoQueuePairs() {
  for (spdk_nvme_qpair* qpair : qpairs_) {
    if (qpair != nullptr) {
      nvme_qpair_disable(qpair);
    }
  }
}

void NvmeQueueManager::DisableAdminQueuePair() { nvme_qpair_disable(ctrlr_->adminq); }

void NvmeQueueManager::FreeQueuedAborts() {
  while (!STAILQ_EMPTY(&ctrlr_->queued_aborts)) {
    nvme_request* req = STAILQ_FIRST(&ctrlr_->queued_aborts);
    STAILQ_REMOVE_HEAD(&ctrlr_->queued_aborts, stailq);
    if (req->num_children != 0 || req->qpair == nullptr) {
      throw std::runtime_error("NVME: QueueManager: ASSERT: (FreeQueuedAborts) malformed queued abort request");
    }
    // It never reached the device (so it holds no slot), and its sender hears that it was aborted.
    spdk_nvme_cpl cpl{};
    cpl.status.sc = SPDK_NVME_SC_ABORTED_BY_REQUEST;
    cpl.status.dnr = 1;
    if (req->user_cb_fn != nullptr) req->user_cb_fn(req->user_cb_arg, &cpl);
    nvme_free_request(req);
  }
}

void NvmeQueueManager::FreeDoorbellBuffer() {
  if (ctrlr_->shadow_doorbell != nullptr) {
    spdk_free(ctrlr_->shadow_doorbell);
    ctrlr_->shadow_doorbell = nullptr;
  }
  if (ctrlr_->eventidx != nullptr) {
    spdk_free(ctrlr_->eventidx);
    ctrlr_->eventidx = nullptr;
  }
}

void NvmeQueueManager::FreeIoQueuePairs(bool process_completions) {
  for (size_t qid = 1; qid < qpairs_.size(); ++qid) {
    spdk_nvme_qpair* qpair = qpairs_[qid];
    if (qpair == nullptr) {
      continue;
    }
    if (process_completions) {
      kyt::LogLine("NVME: Processing remaining commands from queue " + std::to_string(qpair->id));
      spdk_nvme_qpair_process_completions(qpair, 0);
    }
    kyt::LogLine("NVME: Freeing queue " + std::to_string(qpair->id));
    // A freed pair leaves its slot at once, so that no stale QID reaches it and no later pass frees it again.
    const uint16_t id = qpair->id;
    if (spdk_nvme_ctrlr_free_io_qpair(qpair) != 0) {
      // The device did not delete the queue: it no longer works, so it is failed (which stops its DMA) and the host
      // side is freed on its own.
      kyt::LogLine("NVME: QueueManager: ERROR: (FreeIoQueuePairs) Failed to free queue " + std::to_string(id));
      nvme_ctrlr_fail(ctrlr_, false);
      spdk_nvme_ctrlr_free_io_qpair(qpair);
    }
    qpairs_[qid] = nullptr;
    claims_[qid] = Claim();
    EndHolds(id);
  }
}

void NvmeQueueManager::FreeAll() {
  // Every admin command ends now (the queue's rings start again after this); the aborts among them give their slots
  // back as they end.
  FreeQueuedAborts();
  AbortAsyncEventRequests();
  AbortAdminRequests();
  DisableIoQueuePairs();
  DisableAdminQueuePair();
  FreeIoQueuePairs(false);
  // The device is disabled or shut down: what it held of the admin queue is no longer used either.
  EndHolds(-1);
  ++reset_count_;
}

void NvmeQueueManager::ForgetQueuePairMeta(const std::shared_ptr<NvmeQueueCtx>& ctx) {
  if (ctx->qpair == nullptr) return;
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(ctx->qpair);
  ctx->qpair = nullptr;
}

std::string NvmeQueueManager::GetErrorMessageFromOpsStatus(uint32_t status) {
  switch (status) {
    case kQueueOpsNoFreeQid:
      return "Free queue ID is not available";
    case kQueueOpsQpairInitFailed:
      return "Failed to initialize queue pair data structure";
    case kQueueOpsNoMemory:
      return "Failed to allocate memory for queue data structure";
    case kQueueOpsNoDevice:
      return "Valid device is not found";
    case kQueueOpsInvalidArgument:
      return "Invalid argument";
    case kQueueOpsNoFreeSlot:
      return "The queue pair has no free slot: the commands in flight on it already fill its queue depth; wait for "
             "them to end, use a lower queue depth or another queue pair";
    default:
      return "Unexpected queue ops status: " + std::to_string(status);
  }
}

uint32_t NvmeQueueManager::GetOpsStatusFromSpdkStatus(int rc) {
  switch (rc) {
    case 0:
      return kQueueOpsSuccess;
    case -ENXIO:
      return kQueueOpsNoDevice;
    case -EINVAL:
      return kQueueOpsInvalidArgument;
    case -ENOMEM:
      return kQueueOpsNoFreeSlot;
    default:
      return kQueueOpsDriverError;
  }
}

}  // namespace nvme
}  // namespace kyt
