#include "nvme/io_manager.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "nvme/completion_status.h"
#include "nvme/data_validator.h"
#include "nvme/data_validator_manager.h"
#include "nvme/namespace_manager.h"
#include "nvme/nvme_queue_manager.h"
#include "spdk/env.h"

namespace kyt {
namespace nvme {

namespace {

IoOpsStatus Refuse(NvmeIoCtx* ctx, IoOpsStatus status, const char* text) {
  ctx->completed = true;
  ctx->failed = true;
  ctx->error = text;
  return status;
}

// The validator's map could not take the pages of the I/O's range.
IoOpsStatus NoMemory(NvmeIoCtx* ctx) {
  Refuse(ctx, kIoOpsNoMemory, "");
  ctx->error = "Failed to allocate memory: data validation of NSID " + std::to_string(ctx->nsid) + " " +
               DataValidator::DescribeShortfall();
  return kIoOpsNoMemory;
}

uint64_t DataSize(const NvmeIoCtx* ctx) { return ctx->data ? ctx->data->GetSize() : 0; }

uint8_t* DataBuffer(const NvmeIoCtx* ctx) {
  return ctx->data ? static_cast<uint8_t*>(ctx->data->GetBuffer()) : nullptr;
}

// The validator attached at submission still describes the I/O (not disabled, not shrunk, not replaced).
bool StillCovers(const NvmeIoCtx* ctx, const DataValidator& v, uint64_t first, uint64_t count) {
  return v.IsEnabled() && v.GetEpoch() == ctx->validator_epoch && v.IsValidRange(first, count);
}

spdk_nvme_dsm_range ReadRange(const NvmeIoCtx* ctx, uint32_t index) {
  spdk_nvme_dsm_range range;
  std::memcpy(&range, DataBuffer(ctx) + static_cast<size_t>(index) * sizeof(range), sizeof(range));
  return range;
}

void CommonEnding(NvmeIoCtx* ctx, const spdk_nvme_cpl* cpl) {
  ctx->completed = true;
  if (!ctx->Landed(cpl)) return;  // the owner let go of it: nothing of the owner's is left to tell
  if (ctx->callback != nullptr) {
    ctx->callback(ctx, cpl);  // may let go of or reuse the context
  } else {
    std::memcpy(&ctx->cpl, cpl, sizeof(*cpl));
  }
}

// The owner's pass tick, else the clock.
uint64_t Now(const NvmeIoCtx* ctx) { return ctx->pass_ticks != nullptr ? *ctx->pass_ticks : spdk_get_ticks(); }

void CountCompletion(NvmeIoCtx* ctx) {
  // Read now, once the completion has been seen: the owner's pass tick was read before its poll, and a completion
  // the device posted between the two (a worker held off its core in that gap) would get a stamp from before it
  // happened and a latency shorter than the command's.
  ctx->complete_ticks = spdk_get_ticks();
  if (ctx->outstanding != nullptr) {
    --*ctx->outstanding;
  }
}

// Fills every block of an unvalidated write with the context's pattern (when it has one of 8 bytes or more). A block
// is what the data buffer carries of it, interleaved metadata included, so that what is written does not depend on
// what the buffer held before; each block starts the pattern afresh.
void FillPattern(NvmeIoCtx* ctx) {
  const uint64_t block = ctx->ns->GetSectorBufferSize();
  if (ctx->pattern == nullptr || ctx->pattern_size < 8 || block == 0) return;
  const uint64_t pattern_bytes = ctx->pattern_size / 8 * 8;
  uint8_t* buffer = DataBuffer(ctx);
  for (uint64_t at = 0; at < block; at += pattern_bytes) {
    std::memcpy(buffer + at, ctx->pattern, std::min(pattern_bytes, block - at));
  }
  for (uint64_t b = 1; b < ctx->num_blocks; ++b) std::memcpy(buffer + b * block, buffer, block);
}

}  // namespace

IoManager::IoManager(NamespaceManager& namespace_manager, NvmeQueueManager& queue_manager,
                     std::shared_ptr<DataValidatorManager> data_validator_manager)
    : namespace_manager_(namespace_manager),
      queue_manager_(queue_manager),
      data_validator_manager_(std::move(data_validator_manager)),
      ticks_hz_(spdk_get_ticks_hz()) {}

bool IoManager::CheckReadWrite(NvmeIoCtx* ctx, uint64_t* length) {
  if (ctx->num_blocks == 0 || ctx->num_blocks > kMaxBlocks) {
    Refuse(ctx, kIoOpsInvalidRequest, "Invalid Number of Blocks");
    return false;
  }
  const uint64_t buffer_size = DataSize(ctx);
  const uint64_t len = ctx->xfer_size != 0 ? ctx->xfer_size : buffer_size;
  if (len > buffer_size || len > UINT32_MAX) {
    Refuse(ctx, kIoOpsInvalidRequest, "Transfer size exceeds the data buffer");
    return false;
  }
  const uint64_t needed = static_cast<uint64_t>(ctx->num_blocks) * (ctx->ns ? ctx->ns->GetSectorBufferSize() : 0);
  if (needed != 0 && DataBuffer(ctx) == nullptr) {
    Refuse(ctx, kIoOpsInvalidRequest, "Data buffer is missing");
    return false;
  }
  if (needed > len) {
    Refuse(ctx, kIoOpsInvalidRequest, "Data buffer is too small for the number of blocks");
    return false;
  }
  // A namespace that keeps metadata apart from the data: the device moves it through the metadata buffer, which must
  // hold every block's (without one the command would name bus address 0).
  const uint64_t meta = ctx->ns ? static_cast<uint64_t>(ctx->num_blocks) * ctx->ns->GetMetaBufferSize() : 0;
  if (meta != 0 && (!ctx->meta || ctx->meta->GetSize() < meta)) {
    Refuse(ctx, kIoOpsInvalidRequest, "Metadata buffer is too small for the number of blocks");
    return false;
  }
  *length = len;
  return true;
}

void IoManager::AttachValidator(NvmeIoCtx* ctx, uint64_t length) {
  if (ctx->nsid == 0 || ctx->nsid > namespace_manager_.GetMaxNamespaceId()) return;
  DataValidator* v = data_validator_manager_->Find(ctx->nsid);
  if (v == nullptr || !v->IsEnabled() || !v->IsValidRange(ctx->start_lba, ctx->num_blocks)) return;
  const uint64_t stride = v->GetBlockSize();
  // Every stamped word must lie inside the transfer.
  if (stride == 0 || (static_cast<uint64_t>(ctx->num_blocks) - 1) * stride + 8 > length) return;
  ctx->data_validator = v;
  ctx->validator_epoch = v->GetEpoch();
}

void IoManager::Stamp(NvmeIoCtx* ctx) {
  const DataValidator& v = *ctx->data_validator;
  const uint64_t stride = v.GetBlockSize();
  uint8_t* buffer = DataBuffer(ctx);
  for (uint32_t i = 0; i < ctx->num_blocks; ++i) {
    const uint64_t lba = ctx->start_lba + i;
    const uint64_t word = DataValidator::StampWord(lba, DataValidator::NextTag(v.TagAt(lba)));
    std::memcpy(buffer + i * stride, &word, sizeof(word));
  }
}

IoOpsStatus IoManager::DriverRefused(NvmeIoCtx* ctx, uint32_t queue_status) {
  // A full queue pair is the script's load, not an internal fault: its text says so and what to do.
  ctx->error = queue_status == kQueueOpsNoFreeSlot
                   ? NvmeQueueManager::GetErrorMessageFromOpsStatus(queue_status)
                   : "Unexpected Internal Error, Error Code: " +
                         NvmeQueueManager::GetErrorMessageFromOpsStatus(queue_status);
  return kIoOpsDriverError;
}

IoOpsStatus IoManager::PrepareReadWrite(NvmeIoCtx* ctx, bool read) {
  uint64_t length = 0;
  if (!CheckReadWrite(ctx, &length)) return kIoOpsInvalidRequest;
  AttachValidator(ctx, length);
  ctx->submit_ticks = Now(ctx);
  ctx->outstanding = &outstanding_;
  ctx->ticks_hz = ticks_hz_;
  if (ctx->data_validator) {
    DataValidator& v = *ctx->data_validator;
    const DataValidator::Claim claim =
        read ? v.ClaimRead(ctx->start_lba, ctx->num_blocks) : v.ClaimPending(ctx->start_lba, ctx->num_blocks);
    if (claim == DataValidator::kClaimBusy) return kIoOpsRangeBusy;
    if (claim == DataValidator::kClaimNoMemory) return NoMemory(ctx);
    // Blocks the validator knows nothing of: nothing to compare at completion, nothing held meanwhile.
    if (claim == DataValidator::kClaimUntracked) ctx->data_validator = nullptr;
  }
  return kIoOpsSubmitted;
}

IoOpsStatus IoManager::SubmitReadWrite(NvmeIoCtx* ctx, uint32_t (NvmeQueueManager::*submit)(NvmeIoCtx*)) {
  const uint32_t rc = (queue_manager_.*submit)(ctx);
  if (rc != kQueueOpsSuccess) {
    if (ctx->data_validator) ctx->data_validator->ReleaseClaim(ctx->start_lba, ctx->num_blocks);
    return DriverRefused(ctx, rc);
  }
  ++outstanding_;
  return kIoOpsSubmitted;
}

void IoManager::Prefetch(const NvmeIoCtx* ctx) const {
  const DataValidator* v = data_validator_manager_->Find(ctx->nsid);
  if (v != nullptr && ctx->start_lba < v->GetNumLbas()) v->Prefetch(ctx->start_lba);
}

IoOpsStatus IoManager::SendWriteAsync(NvmeIoCtx* ctx) {
  if (!queue_manager_.IsValidQueueId(ctx->qid)) {
    return Refuse(ctx, kIoOpsInvalidQueueId, "Invalid Queue ID");
  }
  ctx->data_validator = nullptr;
  ctx->cb_fn = SendWriteAsyncCallback;
  ctx->ns = &namespace_manager_.Lookup(ctx->nsid);
  const IoOpsStatus prepared = PrepareReadWrite(ctx, false);
  if (prepared != kIoOpsSubmitted) return prepared;
  if (ctx->data_validator) {
    Stamp(ctx);
  } else {
    FillPattern(ctx);
  }
  return SubmitReadWrite(ctx, &NvmeQueueManager::SubmitWriteCommand);
}

IoOpsStatus IoManager::SendReadAsync(NvmeIoCtx* ctx) {
  if (!queue_manager_.IsValidQueueId(ctx->qid)) {
    return Refuse(ctx, kIoOpsInvalidQueueId, "Invalid Queue ID");
  }
  ctx->ns = &namespace_manager_.Lookup(ctx->nsid);
  ctx->cb_fn = SendReadAsyncCallback;
  ctx->data_validator = nullptr;
  const IoOpsStatus prepared = PrepareReadWrite(ctx, true);
  if (prepared != kIoOpsSubmitted) return prepared;
  return SubmitReadWrite(ctx, &NvmeQueueManager::SubmitReadCommand);
}

IoOpsStatus IoManager::SendDsmAsync(NvmeIoCtx* ctx) {
  if (ctx->num_ranges == 0 || ctx->num_ranges > kMaxRanges) {
    return Refuse(ctx, kIoOpsInvalidNumRanges, "Invalid Number of Ranges");
  }
  if (!queue_manager_.IsValidQueueId(ctx->qid)) {
    return Refuse(ctx, kIoOpsInvalidQueueId, "Invalid Queue ID");
  }
  if (DataBuffer(ctx) == nullptr) {
    return Refuse(ctx, kIoOpsInvalidRequest, "Data buffer is missing");
  }
  if (DataSize(ctx) < static_cast<uint64_t>(ctx->num_ranges) * sizeof(spdk_nvme_dsm_range)) {
    return Refuse(ctx, kIoOpsInvalidRequest, "Data buffer is too small for the number of ranges");
  }

  ctx->data_validator = nullptr;
  if (ctx->nsid != 0 && ctx->nsid <= namespace_manager_.GetMaxNamespaceId()) {
    DataValidator* v = data_validator_manager_->Find(ctx->nsid);
    bool covered = v != nullptr && v->IsEnabled();
    for (uint32_t r = 0; covered && r < ctx->num_ranges; ++r) {
      const spdk_nvme_dsm_range range = ReadRange(ctx, r);
      covered = range.length != 0 && v->IsValidRange(range.starting_lba, range.length);
    }
    if (covered) {
      ctx->data_validator = v;
      ctx->validator_epoch = v->GetEpoch();
    }
  }

  if (ctx->data_validator) {
    DataValidator& v = *ctx->data_validator;
    for (uint32_t r = 0; r < ctx->num_ranges; ++r) {
      const spdk_nvme_dsm_range range = ReadRange(ctx, r);
      const DataValidator::Claim claim = v.ClaimPending(range.starting_lba, range.length);
      if (claim != DataValidator::kClaimed) {
        // Undo the bits this command set for its earlier ranges (they were free when it set them).
        for (uint32_t e = 0; e < r; ++e) {
          const spdk_nvme_dsm_range earlier = ReadRange(ctx, e);
          v.RemovePending(earlier.starting_lba, earlier.length);
        }
        return claim == DataValidator::kClaimNoMemory ? NoMemory(ctx) : kIoOpsRangeBusy;
      }
    }
  }

  ctx->submit_ticks = Now(ctx);
  ctx->outstanding = &outstanding_;
  ctx->ticks_hz = ticks_hz_;
  ctx->cb_fn = SendDsmAsyncCallback;
  const uint32_t rc = queue_manager_.SubmitDsmCommand(ctx);
  if (rc != kQueueOpsSuccess) {
    if (ctx->data_validator) {
      for (uint32_t r = 0; r < ctx->num_ranges; ++r) {
        const spdk_nvme_dsm_range range = ReadRange(ctx, r);
        ctx->data_validator->RemovePending(range.starting_lba, range.length);
      }
    }
    return DriverRefused(ctx, rc);
  }
  ++outstanding_;
  return kIoOpsSubmitted;
}

void IoManager::SendWriteAsyncCallback(void* arg, const spdk_nvme_cpl* cpl) {
  NvmeIoCtx* ctx = static_cast<NvmeIoCtx*>(arg);
  CountCompletion(ctx);
  if (ctx->data_validator) {
    DataValidator& v = *ctx->data_validator;
    if (StillCovers(ctx, v, ctx->start_lba, ctx->num_blocks)) {
      if (CompletionStatus(*cpl).Failed()) {
        // What reached the media is unknown: stop expecting anything of these blocks.
        v.MarkUntracked(ctx->start_lba, ctx->num_blocks);
      } else {
        v.AdvanceClaimed(ctx->start_lba, ctx->num_blocks);
      }
      v.ReleaseClaim(ctx->start_lba, ctx->num_blocks);
    }
  }
  CommonEnding(ctx, cpl);
}

void IoManager::SendReadAsyncCallback(void* arg, const spdk_nvme_cpl* cpl) {
  NvmeIoCtx* ctx = static_cast<NvmeIoCtx*>(arg);
  CountCompletion(ctx);
  ctx->data_mismatch = false;
  if (ctx->data_validator) {
    DataValidator& v = *ctx->data_validator;
    if (StillCovers(ctx, v, ctx->start_lba, ctx->num_blocks)) {
      // The range's tags are the ones the read was submitted under: its pending bits held every other validated
      // I/O off them, and the epoch rules out a disable or a shrink in between.
      const uint64_t stride = v.GetBlockSize();
      const uint8_t* block = DataBuffer(ctx);
      const uint64_t end = ctx->start_lba + ctx->num_blocks;
      for (uint64_t lba = ctx->start_lba; lba < end && !ctx->data_mismatch;) {
        // The blocks of one line of the map at a time.
        const DataValidator::Line& line = v.LineAt(lba);
        uint64_t i = lba % DataValidator::kLbasPerLine;
        const uint64_t stop = std::min<uint64_t>(DataValidator::kLbasPerLine, i + (end - lba));
        for (; i < stop; ++i, ++lba, block += stride) {
          const uint8_t tag = static_cast<uint8_t>(line.tags[i] - 1u);
          if (tag == kTagUntracked) continue;
          const uint64_t expected = tag == kTagDeallocated ? 0 : DataValidator::StampWord(lba, tag);
          uint64_t actual;
          std::memcpy(&actual, block, sizeof(actual));
          if (actual != expected) {
            ctx->data_mismatch = true;
            ctx->mismatch_lba = lba;
            ctx->mismatch_expected = tag;
            ctx->mismatch_found = static_cast<uint8_t>(actual & 0xFF);
            break;
          }
        }
      }
      v.ReleaseClaim(ctx->start_lba, ctx->num_blocks);
    }
  }
  CommonEnding(ctx, cpl);
}

void IoManager::SendDsmAsyncCallback(void* arg, const spdk_nvme_cpl* cpl) {
  NvmeIoCtx* ctx = static_cast<NvmeIoCtx*>(arg);
  CountCompletion(ctx);
  if (ctx->data_validator) {
    DataValidator& v = *ctx->data_validator;
    const bool failed = CompletionStatus(*cpl).Failed();
    if (v.IsEnabled() && v.GetEpoch() == ctx->validator_epoch) {
      for (uint32_t r = 0; r < ctx->num_ranges; ++r) {
        const spdk_nvme_dsm_range range = ReadRange(ctx, r);
        if (range.length == 0 || !v.IsValidRange(range.starting_lba, range.length)) continue;
        if (failed) {
          v.MarkUntracked(range.starting_lba, range.length);
        } else {
          v.MarkDeallocated(range.starting_lba, range.length);
        }
        v.RemovePending(range.starting_lba, range.length);
      }
    }
  }
  CommonEnding(ctx, cpl);
}

}  // namespace nvme
}  // namespace kyt
