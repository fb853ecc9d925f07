// One LBA range of one namespace, walked sequentially, hit at random aligned positions, or visited from a list of
// LBAs; a fixed transfer size and a read/write/trim mix. Worker thread only.
#ifndef KYT_RUNNER_ACCESS_PATTERN_BASIC_H
#define KYT_RUNNER_ACCESS_PATTERN_BASIC_H

#include <cstdint>
#include <memory>
#include <vector>

#include "runner/access_pattern_generator.h"

class NamespaceCtx;

class BasicAccessPatternGenerator : public AccessPatternGenerator {
 public:
  // Validates the input against the namespace and fixes the range in force (a random start is drawn here for range
  // types 1 and 2). Throws std::runtime_error with the refusal's text. `ns` must not be null; `output` must outlive
  // the generator.
  BasicAccessPatternGenerator(std::shared_ptr<const NamespaceCtx> ns, const BasicAccessPatternInput& input,
                              BasicAccessPatternOutput& output);

  bool Next(uint32_t& nsid, uint64_t& lba, uint32_t& blocks, IoDirection& direction, uint32_t& bytes,
            uint64_t now) override;
  bool TimeIsUp(uint64_t now) const override {
    return limit_ticks_ != 0 && start_ticks_ != 0 && now - start_ticks_ >= limit_ticks_;
  }
  uint32_t GetMaxDataSize() const override { return sector_buffer_size_ * xfer_blocks_; }
  uint32_t GetMaxMetaSize() const override { return meta_buffer_size_ * xfer_blocks_; }
  void GetOutput() override;

  uint64_t GetStartLba() const { return start_lba_; }
  uint64_t GetEndLba() const { return end_lba_; }  // exclusive
  uint32_t GetXferBlocks() const { return xfer_blocks_; }
  uint32_t GetAlignment() const { return alignment_; }
  uint64_t GetIssuedBlocks() const { return issued_; }

 private:
  // Start of a range of `blocks` blocks placed at a random aligned position of the namespace.
  uint64_t PlaceRange(uint64_t blocks) const;
  bool IsFinished(uint64_t now) const;

  std::shared_ptr<const NamespaceCtx> ns_;
  BasicAccessPatternOutput& output_;
  uint32_t nsid_;
  uint64_t ns_size_;
  uint64_t start_lba_ = 0;
  uint64_t end_lba_ = 0;
  uint32_t workload_;
  uint32_t read_percent_;
  uint32_t trim_percent_;
  uint32_t sector_buffer_size_;
  uint32_t meta_buffer_size_;
  uint32_t lba_size_;
  uint32_t xfer_size_;
  uint32_t loops_;
  uint64_t limit_ticks_;  // the time limit in ticks; 0: none
  uint32_t xfer_blocks_ = 0;
  uint32_t alignment_ = 0;
  uint64_t random_places_ = 0;  // aligned offsets of a whole transfer in the range (random access)
  uint64_t start_ticks_ = 0;
  uint64_t issued_ = 0;
  uint64_t cursor_ = 0;
  uint32_t list_index_ = 0;
  std::vector<uint64_t> lba_list_;
};

#endif  // KYT_RUNNER_ACCESS_PATTERN_BASIC_H
