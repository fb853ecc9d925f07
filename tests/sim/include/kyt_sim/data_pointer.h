/*
 * The data of one command as the controller sees it: the host memory described by PRP1, PRP2 and PRP lists, resolved
 * into a list of host segments once, then copied to or from in order. Built without allocation once the segment list
 * has grown to the largest transfer seen.
 */
#ifndef KYT_SIM_DATA_POINTER_H
#define KYT_SIM_DATA_POINTER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kyt_sim/host_memory.h"
#include "kyt_sim/nvme_defs.h"

namespace kyt::sim {

class DataPointer {
 public:
  struct Segment {
    uint8_t* ptr;
    uint64_t len;
  };

  // Resolve `length` bytes described by prp1/prp2 with memory page size `page_size`. Success, or SCT 0 with
  // Invalid PRP Offset (a misaligned entry) or Data Transfer Error (memory that is not the host's).
  Status Build(uint64_t prp1, uint64_t prp2, uint64_t length, uint32_t page_size, HostMemory& memory);
  // A single contiguous range (the metadata pointer): it must be dword aligned.
  Status BuildContiguous(uint64_t address, uint64_t length, HostMemory& memory);

  const std::vector<Segment>& segments() const { return segments_; }
  uint64_t length() const { return length_; }

  // Sequential copies from the start of the data: each call continues where the previous one stopped.
  void Rewind() { seg_ = 0, seg_off_ = 0; }
  void ToHost(const void* src, uint64_t n);
  void FromHost(void* dst, uint64_t n);
  void ZeroToHost(uint64_t n);
  // Skip bytes without copying.
  void Skip(uint64_t n);
  // The host memory of the next n bytes when they lie in one segment (then they count as passed), else null.
  uint8_t* Take(uint64_t n) {
    if (seg_ >= segments_.size() || segments_[seg_].len - seg_off_ < n) return nullptr;
    uint8_t* at = segments_[seg_].ptr + seg_off_;
    seg_off_ += n;
    if (seg_off_ == segments_[seg_].len) ++seg_, seg_off_ = 0;
    return at;
  }

 private:
  Status Add(uint64_t address, uint64_t len, HostMemory& memory);
  template <typename Fn>
  void Walk(uint64_t n, Fn fn);

  std::vector<Segment> segments_;
  uint64_t length_ = 0;
  size_t seg_ = 0;
  uint64_t seg_off_ = 0;
};

}  // namespace kyt::sim

#endif  // KYT_SIM_DATA_POINTER_H
