#include "runner/access_pattern_basic.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "nvme/namespace_ctx.h"
#include "runner/access_pattern_random.h"
#include "spdk/env.h"
#include "utility/log_line.h"

namespace {

[[noreturn]] void Refuse(const char* text) { throw std::runtime_error(text); }

}  // namespace

BasicAccessPatternGenerator::BasicAccessPatternGenerator(std::shared_ptr<const NamespaceCtx> ns,
                                                         const BasicAccessPatternInput& input,
                                                         BasicAccessPatternOutput& output)
    : ns_(std::move(ns)),
      output_(output),
      nsid_(ns_->GetId()),
      ns_size_(ns_->GetSize()),
      workload_(input.workload),
      read_percent_(input.readPercent),
      trim_percent_(input.trimPercent),
      sector_buffer_size_(ns_->GetSectorBufferSize()),
      meta_buffer_size_(ns_->GetMetaBufferSize()),
      lba_size_(ns_->GetLbaSize()),
      xfer_size_(ns_->GetAdjustedXferSize(input.xferSize)),
      loops_(input.loops),
      limit_ticks_(LimitTicks(input.duration, spdk_get_ticks_hz())) {
  if (ns_size_ == 0) Refuse("Namespace Size is 0");
  if (static_cast<uint64_t>(read_percent_) + trim_percent_ > 100) {
    Refuse("Sum of read percent and trim percent is more than 100");
  }
  // A format without data bytes cannot carry a transfer either.
  if (sector_buffer_size_ == 0 || lba_size_ == 0) Refuse("LBA size is 0");
  if (xfer_size_ % lba_size_ != 0) Refuse("Xfersize is not multiples of LBA size");
  if (xfer_size_ == 0) Refuse("Xfersize is 0");
  if (xfer_size_ < lba_size_) Refuse("Number of blocks is 0");

  xfer_blocks_ = xfer_size_ / lba_size_;
  const uint32_t max_blocks = ns_->GetMaxXferBlocks();
  if (xfer_blocks_ > max_blocks) {
    throw std::runtime_error("options.xferSize must be at most " + std::to_string(max_blocks * lba_size_) +
                             ", the largest transfer of namespace " + std::to_string(nsid_));
  }
  alignment_ = input.unaligned ? 1u : xfer_blocks_;

  const uint64_t n = ns_size_;
  switch (input.rangeType) {
    case kRangeBytes:
    case kRangePercent: {
      uint64_t blocks;
      if (input.rangeType == kRangeBytes) {
        blocks = input.rangeBytes / sector_buffer_size_;
      } else {
        const unsigned __int128 product = static_cast<unsigned __int128>(input.rangePercent) * n / 100u;
        blocks = product > n ? n + 1 : static_cast<uint64_t>(product);
      }
      if (blocks > n) Refuse("range out of bound");
      // Less than one block (a few bytes, or a small percentage of a tiny namespace) would give empty I/Os.
      if (blocks == 0) Refuse("range.size must be greater than 0");
      start_lba_ = PlaceRange(blocks);
      end_lba_ = start_lba_ + blocks;
      break;
    }
    case kRangeStartSize:
      if (input.startLba >= n) Refuse("range.start out of valid range");
      if (input.size == 0) Refuse("range.size must be greater than 0");
      if (input.size > n - input.startLba) Refuse("range.start_lba + range.size out of valid range");
      start_lba_ = input.startLba;
      end_lba_ = input.startLba + input.size;
      break;
    case kRangeLbaList:
      lba_list_ = input.lbaList;
      for (uint64_t lba : lba_list_) {
        if (xfer_blocks_ > n || lba > n - xfer_blocks_) Refuse("range out of bound");
      }
      if (lba_list_.empty()) Refuse("LBA list is empty");
      start_lba_ = 0;
      end_lba_ = static_cast<uint64_t>(lba_list_.size()) * xfer_blocks_;
      list_index_ = 0;
      break;
    default:
      Refuse("invalid access pattern range type");
  }
  // The list mode reads its positions from the list alone.
  if (workload_ == kAccessLbaList && lba_list_.empty()) Refuse("LBA list is empty");
  // A range smaller than one transfer is moved whole by every I/O: that is the transfer in force, and the one reported.
  if (end_lba_ - start_lba_ < xfer_blocks_) {
    xfer_blocks_ = static_cast<uint32_t>(end_lba_ - start_lba_);
    kyt::LogLine("BasicAccessPatternGenerator: the range is smaller than xferSize " + std::to_string(xfer_size_) +
                 ": every I/O transfers it whole, " + std::to_string(xfer_blocks_ * lba_size_) + " bytes");
    xfer_size_ = xfer_blocks_ * lba_size_;
  }

  cursor_ = start_lba_;
  if (end_lba_ - start_lba_ > xfer_blocks_) random_places_ = RandomPlaces(end_lba_ - start_lba_, xfer_blocks_, alignment_);
  kyt::LogLine("BasicAccessPatternGenerator: start_lba_: " + std::to_string(start_lba_));
  kyt::LogLine("BasicAccessPatternGenerator: end_lba_: " + std::to_string(end_lba_));
}

uint64_t BasicAccessPatternGenerator::PlaceRange(uint64_t blocks) const {
  if (blocks == ns_size_) return 0;
  return Random::Get() % (ns_size_ - blocks) / alignment_ * alignment_;
}

bool BasicAccessPatternGenerator::Next(uint32_t& nsid, uint64_t& lba, uint32_t& blocks, IoDirection& direction,
                                       uint32_t& bytes, uint64_t now) {
  nsid = nsid_;
  direction = ChooseDirection(read_percent_, trim_percent_);
  blocks = xfer_blocks_;
  const uint64_t span = end_lba_ - start_lba_;
  if (workload_ == kAccessLbaList) {
    lba = lba_list_[list_index_];
    list_index_ = static_cast<uint32_t>((list_index_ + 1) % lba_list_.size());
    issued_ += blocks;
  } else if (workload_ == kAccessSequential) {
    lba = cursor_;
    if (cursor_ + blocks >= end_lba_) {
      blocks = static_cast<uint32_t>(end_lba_ - cursor_);
      cursor_ = start_lba_;
    } else {
      cursor_ += blocks;
    }
    issued_ += blocks;
  } else if (span <= blocks) {
    // No room for a random position: the range is one transfer, whole.
    lba = start_lba_;
    issued_ += blocks;
  } else {
    issued_ += blocks;
    lba = start_lba_ + RandomOffset(random_places_, alignment_);
  }
  bytes = blocks * sector_buffer_size_;
  if (start_ticks_ == 0) start_ticks_ = now;
  return IsFinished(now);
}

bool BasicAccessPatternGenerator::IsFinished(uint64_t now) const {
  const unsigned __int128 target = static_cast<unsigned __int128>(end_lba_ - start_lba_) * loops_;
  return issued_ >= target || TimeIsUp(now);
}

void BasicAccessPatternGenerator::GetOutput() {
  output_.loops = loops_;
  output_.readPercent = read_percent_;
  output_.trimPercent = trim_percent_;
  output_.xferSize = xfer_size_;
  output_.startLba = start_lba_;
  output_.size = end_lba_ - start_lba_;
  output_.workload = workload_;
}
