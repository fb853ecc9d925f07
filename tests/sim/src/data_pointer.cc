#include "kyt_sim/data_pointer.h"

#include <algorithm>
#include <cstring>

namespace kyt::sim {

Status DataPointer::Add(uint64_t address, uint64_t len, HostMemory& memory) {
  auto* ptr = static_cast<uint8_t*>(memory.Translate(address, len));
  if (!ptr) return Status::Of(sct::kGeneric, sc::kDataTransferError);
  if (!segments_.empty()) {
    Segment& last = segments_.back();
    if (last.ptr + last.len == ptr) {
      last.len += len;
      length_ += len;
      return Status::Success();
    }
  }
  segments_.emplace_back();  // filled in place: a copy made on the stack first costs a stall per command
  segments_.back().ptr = ptr;
  segments_.back().len = len;
  length_ += len;
  return Status::Success();
}

Status DataPointer::Build(uint64_t prp1, uint64_t prp2, uint64_t length, uint32_t page_size, HostMemory& memory) {
  segments_.clear();
  length_ = 0;
  Rewind();
  if (length == 0) return Status::Success();
  const uint64_t mask = page_size - 1;
  const Status bad_offset = Status::Of(sct::kGeneric, sc::kInvalidPrpOffset);

  // PRP1: any dword-aligned offset; it covers up to the end of its page.
  if (prp1 & 3) return bad_offset;
  uint64_t first = std::min<uint64_t>(page_size - (prp1 & mask), length);
  Status st = Add(prp1, first, memory);
  if (!st.ok()) return st;
  uint64_t remaining = length - first;
  if (remaining == 0) return Status::Success();

  // PRP2 is the second page itself when that is all that is left.
  if (remaining <= page_size) {
    if (prp2 & mask) return bad_offset;
    return Add(prp2, remaining, memory);
  }

  // Otherwise PRP2 points at a PRP list, which may start inside a page (qword aligned); the last entry of a list page
  // points at the next list page when more pages follow than the page has entries left.
  uint64_t list = prp2;
  if (list & 7) return bad_offset;
  while (remaining > 0) {
    const uint64_t entries = (page_size - (list & mask)) / 8;
    const uint64_t pages = (remaining + page_size - 1) / page_size;
    const bool chained = pages > entries;
    const uint64_t used = chained ? entries : pages;
    auto* table = static_cast<const volatile uint64_t*>(memory.Translate(list, used * 8));
    if (!table) return Status::Of(sct::kGeneric, sc::kDataTransferError);
    const uint64_t data_entries = chained ? used - 1 : used;
    for (uint64_t i = 0; i < data_entries; ++i) {
      uint64_t entry = table[i];
      if (entry & mask) return bad_offset;
      uint64_t len = std::min<uint64_t>(page_size, remaining);
      st = Add(entry, len, memory);
      if (!st.ok()) return st;
      remaining -= len;
    }
    if (chained) {
      list = table[used - 1];
      if (list & mask) return bad_offset;
    }
  }
  return Status::Success();
}

Status DataPointer::BuildContiguous(uint64_t address, uint64_t length, HostMemory& memory) {
  segments_.clear();
  length_ = 0;
  Rewind();
  if (length == 0) return Status::Success();
  if (address & 3) return Status::Of(sct::kGeneric, sc::kInvalidField);
  return Add(address, length, memory);
}

template <typename Fn>
void DataPointer::Walk(uint64_t n, Fn fn) {
  uint64_t done = 0;
  while (n > 0 && seg_ < segments_.size()) {
    Segment& s = segments_[seg_];
    uint64_t take = std::min(n, s.len - seg_off_);
    fn(s.ptr + seg_off_, done, take);
    done += take;
    n -= take;
    seg_off_ += take;
    if (seg_off_ == s.len) {
      ++seg_;
      seg_off_ = 0;
    }
  }
}

void DataPointer::ToHost(const void* src, uint64_t n) {
  auto* from = static_cast<const uint8_t*>(src);
  Walk(n, [from](uint8_t* host, uint64_t at, uint64_t len) { std::memcpy(host, from + at, len); });
}

void DataPointer::FromHost(void* dst, uint64_t n) {
  auto* to = static_cast<uint8_t*>(dst);
  Walk(n, [to](uint8_t* host, uint64_t at, uint64_t len) { std::memcpy(to + at, host, len); });
}

void DataPointer::ZeroToHost(uint64_t n) {
  Walk(n, [](uint8_t* host, uint64_t, uint64_t len) { std::memset(host, 0, len); });
}

void DataPointer::Skip(uint64_t n) {
  Walk(n, [](uint8_t*, uint64_t, uint64_t) {});
}

}  // namespace kyt::sim
