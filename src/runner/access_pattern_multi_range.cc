#include "runner/access_pattern_multi_range.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "nvme/namespace_ctx.h"
#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "runner/access_pattern_random.h"
#include "spdk/env.h"

MultiRangeAccessPatternGenerator::MultiRangeAccessPatternGenerator(std::shared_ptr<NvmeController> controller,
                                                                   MultiRangeAccessPatternInput& pattern)
    : pattern_(pattern), controller_(std::move(controller)) {}

void MultiRangeAccessPatternGenerator::Prepare() {
  const std::shared_ptr<NvmeControllerCtx> ctx = controller_ ? controller_->GetControllerCtx() : nullptr;
  duration_ = pattern_.duration;
  loops_ = pattern_.loops;
  total_size_ = 0;
  max_meta_size_ = 0;
  uint32_t range_weights = 0;
  uint32_t max_xfer = 0;
  for (MultiRangeAccessPatternRange& range : pattern_.ranges) {
    if (ctx && range.nsid == 0) range.nsid = ctx->GetNamespaceManager().GetFirstActiveNamespaceId();
    range.ns = nullptr;
    if (ctx) {
      try {
        range.ns = ctx->GetNamespaceManager().GetNamespace(range.nsid);
      } catch (const std::out_of_range&) {
        // No entry for this NSID: refused below like an inactive one.
      }
    }
    if (!range.ns || !range.ns->IsActive()) {
      throw std::runtime_error("invalid namespace id, " + std::to_string(range.nsid));
    }
    range.sectorBufferSize = range.ns->GetSectorBufferSize();

    uint32_t xfer_weights = 0;
    uint32_t range_max_xfer = 0;
    for (MultiRangeAccessPatternXfer& xfer : range.xfers) {
      if (xfer.size % range.sectorBufferSize != 0) {
        throw std::runtime_error("xfer.size must be multiples of LBA size, which is " +
                                 std::to_string(range.sectorBufferSize));
      }
      // An empty transfer would be an I/O of no blocks.
      if (xfer.size == 0) throw std::runtime_error("xfer.size must be greater than 0");
      const uint32_t max_blocks = range.ns->GetMaxXferBlocks();
      if (xfer.size / range.sectorBufferSize > max_blocks) {
        throw std::runtime_error("xfer.size must be at most " + std::to_string(max_blocks * range.sectorBufferSize) +
                                 ", the largest transfer of namespace " + std::to_string(range.nsid));
      }
      xfer_weights += xfer.probability;
      xfer.cumulativeProbability = xfer_weights;
      range_max_xfer = std::max(range_max_xfer, xfer.size);
    }

    // The cumulative weights must rise for the range look-up (a binary search): they may not wrap.
    if (range.probability > UINT32_MAX - range_weights) {
      throw std::runtime_error("the ranges' probabilities must add up to at most 4294967295");
    }
    range_weights += range.probability;
    range.cumulativeProbability = range_weights;
    range.xferTotalProbability = xfer_weights;
    range.maxXferSize = range_max_xfer;
    max_meta_size_ = std::max(max_meta_size_, range_max_xfer / range.sectorBufferSize * range.ns->GetMetaBufferSize());
    total_size_ += range.size;
    range.currentLba = range.startLba;
    range.endLba = range.startLba + range.size;

    const uint64_t ns_size = range.ns->GetSize();
    if (range.startLba >= ns_size) throw std::runtime_error("range.start_lba is out of valid range");
    if (range.size > ns_size - range.startLba) {
      throw std::runtime_error("range.start_lba + range.size is out of valid range");
    }

    uint64_t a = range.alignment != 0 ? range.alignment : range.maxXferSize / range.sectorBufferSize;
    // A range without transfers has no natural alignment; it fails at its first selection instead.
    if (a == 0) a = 1;
    const std::string because = std::to_string(a) + " because alignment is " + std::to_string(a);
    if (range.startLba % a != 0) throw std::runtime_error("range.start_lba must be multiples of " + because);
    if (range.size % a != 0) throw std::runtime_error("range.size must be multiples of " + because);

    max_xfer = std::max(max_xfer, range.maxXferSize);
  }
  pattern_.totalProbability = range_weights;
  pattern_.maxXferSize = max_xfer;
}

bool MultiRangeAccessPatternGenerator::Next(uint32_t& nsid, uint64_t& lba, uint32_t& blocks, IoDirection& direction,
                                            uint32_t& bytes, uint64_t now) {
  if (pattern_.totalProbability == 0) throw std::runtime_error("failed to select a range");
  const uint32_t r = static_cast<uint32_t>(Random::Get()) % pattern_.totalProbability;
  // The first range whose cumulative weight passes r: a binary search, since a list may hold a million ranges.
  const auto found = std::upper_bound(
      pattern_.ranges.begin(), pattern_.ranges.end(), r,
      [](uint32_t value, const MultiRangeAccessPatternRange& range) { return value < range.cumulativeProbability; });
  if (found == pattern_.ranges.end()) throw std::runtime_error("failed to select a range");
  MultiRangeAccessPatternRange* range = &*found;

  if (range->xferTotalProbability == 0) throw std::runtime_error("failed to select a xfer");
  const uint32_t x = static_cast<uint32_t>(Random::Get()) % range->xferTotalProbability;
  const MultiRangeAccessPatternXfer* xfer = nullptr;
  for (const MultiRangeAccessPatternXfer& candidate : range->xfers) {
    if (candidate.cumulativeProbability > x) {
      xfer = &candidate;
      break;
    }
  }
  if (xfer == nullptr) throw std::runtime_error("failed to select a xfer");

  nsid = range->nsid;
  direction = ChooseDirection(range->readPercent, range->trimPercent);
  blocks = xfer->size / range->sectorBufferSize;
  if (range->workload == kAccessSequential) {
    lba = range->currentLba;
    if (range->currentLba + blocks >= range->endLba) {
      blocks = static_cast<uint32_t>(range->endLba - range->currentLba);
      range->currentLba = range->startLba;
    } else {
      range->currentLba += blocks;
    }
  } else if (range->size <= blocks) {
    // No room for a random position: the one I/O that fits is the whole range.
    blocks = static_cast<uint32_t>(range->size);
    lba = range->startLba;
  } else {
    // Alignment 0 stands for the range's largest transfer, the alignment its start and size were checked against.
    const uint64_t a = range->alignment != 0 ? range->alignment : range->maxXferSize / range->sectorBufferSize;
    lba = range->startLba + RandomOffset(range->size, blocks, a);
  }
  bytes = blocks * range->sectorBufferSize;
  issued_ += blocks;

  if (start_ticks_ == 0) {
    start_ticks_ = now;
    limit_ticks_ = LimitTicks(duration_, spdk_get_ticks_hz());
  }
  return issued_ >= static_cast<unsigned __int128>(loops_) * total_size_ || TimeIsUp(now);
}
