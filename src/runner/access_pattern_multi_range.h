// Several weighted ranges, possibly on different namespaces, each with its own access mode, read/trim mix,
// alignment and weighted transfer sizes. Works on the completed copy of its input that the factory leaves in the
// output record (AccessPatternOutput::multiRange). Worker thread only.
#ifndef KYT_RUNNER_ACCESS_PATTERN_MULTI_RANGE_H
#define KYT_RUNNER_ACCESS_PATTERN_MULTI_RANGE_H

#include <cstdint>
#include <memory>

#include "runner/access_pattern_generator.h"

class NvmeController;

class MultiRangeAccessPatternGenerator : public AccessPatternGenerator {
 public:
  // `pattern` is the output copy; the factory completes it (Prepare) before the first Next. It must outlive the
  // generator.
  MultiRangeAccessPatternGenerator(std::shared_ptr<NvmeController> controller, MultiRangeAccessPatternInput& pattern);

  // Completes the copy: namespaces, cumulative weights, cursors and limits, and checks every range. Throws
  // std::runtime_error with the refusal's text (the copy stays as far as it got).
  void Prepare();

  bool Next(uint32_t& nsid, uint64_t& lba, uint32_t& blocks, IoDirection& direction, uint32_t& bytes,
            uint64_t now) override;
  bool TimeIsUp(uint64_t now) const override { return limit_ticks_ != 0 && now - start_ticks_ >= limit_ticks_; }
  uint32_t GetMaxDataSize() const override { return pattern_.maxXferSize; }
  uint32_t GetMaxMetaSize() const override { return max_meta_size_; }  // separate metadata of the largest transfer
  void GetOutput() override {}

  uint64_t GetTotalSize() const { return total_size_; }  // blocks of all ranges
  uint64_t GetIssuedBlocks() const { return issued_; }

 private:
  MultiRangeAccessPatternInput& pattern_;
  std::shared_ptr<NvmeController> controller_;
  uint64_t issued_ = 0;
  uint64_t start_ticks_ = 0;
  uint64_t limit_ticks_ = 0;  // the time limit in ticks (taken at the first I/O); 0: none
  uint64_t total_size_ = 0;
  uint32_t max_meta_size_ = 0;
  uint64_t duration_ = 0;
  uint64_t loops_ = 0;
};

#endif  // KYT_RUNNER_ACCESS_PATTERN_MULTI_RANGE_H
