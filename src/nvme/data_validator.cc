#include "nvme/data_validator.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace kyt {
namespace nvme {

namespace {

constexpr uint64_t kPage = DataValidator::kPageBytes;
// Pages asked of the system at a time: the memory it has is read once per this much map growth, not per page.
constexpr uint64_t kGrantPages = (64ull << 20) / kPage;
// No map beyond this many LBAs (its size would not fit the address space).
constexpr uint64_t kMaxLbas = uint64_t(1) << 52;

// Mask of bits [lo, hi] of one word (0 <= lo <= hi <= 63).
inline uint64_t BitMask(uint64_t lo, uint64_t hi) {
  const uint64_t upper = hi == 63 ? ~0ULL : ((1ULL << (hi + 1)) - 1);
  return upper & ~((1ULL << lo) - 1);
}

inline uint8_t Encode(uint8_t tag) { return static_cast<uint8_t>(tag + 1u); }

uint64_t RoundToPage(uint64_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }
uint64_t RoundTo(uint64_t bytes, uint64_t unit) { return (bytes + unit - 1) / unit * unit; }
constexpr uint32_t kSmallUnitShift = 12;
constexpr uint32_t kLargeUnitShift = 21;
constexpr uint64_t kLargeUnit = uint64_t(1) << kLargeUnitShift;
// Maps from 64 MiB to 1 GiB (2^26 to 2^30 blocks), when the machine could hold them twice over, are taken in 2 MiB
// units backed by large pages where the system offers them: a random I/O then misses one cache line, not a
// translation entry as well. Larger maps stay on 4 KiB units: a unit's first touch zeroes it on the worker, and a
// sparse run over a large namespace would hold far more than it touched.
constexpr uint64_t kLargeUnitMinMap = 64ull << 20;
constexpr uint64_t kLargeUnitMaxMap = 1ull << 30;
uint64_t LinesFor(uint64_t lbas) { return (lbas + DataValidator::kLbasPerLine - 1) / DataValidator::kLbasPerLine; }
uint64_t BitmapBytes(uint64_t map_bytes) { return RoundToPage((map_bytes / kPage + 63) / 64 * 8); }

void* MapZeroed(uint64_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// A zeroed mapping held in 4 KiB pages: where the system puts every anonymous mapping on large pages, a map counted
// in 4 KiB units would otherwise take 2 MiB at each first touch, 512 times what it accounts for.
void* MapSmall(uint64_t bytes) {
  void* p = MapZeroed(bytes);
  if (p != nullptr) madvise(p, bytes, MADV_NOHUGEPAGE);
  return p;
}

// A zeroed mapping starting on a 2 MiB boundary, advised to use large pages.
void* MapLarge(uint64_t bytes) {
  uint8_t* p = static_cast<uint8_t*>(MapZeroed(bytes + kLargeUnit));
  if (p == nullptr) return nullptr;
  const uint64_t head = (kLargeUnit - reinterpret_cast<uintptr_t>(p) % kLargeUnit) % kLargeUnit;
  if (head != 0) munmap(p, head);
  if (kLargeUnit - head != 0) munmap(p + head + bytes, kLargeUnit - head);
  madvise(p + head, bytes, MADV_HUGEPAGE);
  return p + head;
}

// What the validators of the process hold and what the system granted them. Worker thread only.
struct Budget {
  uint64_t held_pages = 0;
  uint64_t granted_pages = 0;  // held may grow to this without asking the system again
  uint64_t cap_bytes = 0;
  MemoryRoom room;
  DataValidator::MemoryReport last;

  bool Acquire(uint64_t pages) {
    if (held_pages + pages <= granted_pages && (cap_bytes == 0 || (held_pages + pages) * kPage <= cap_bytes)) {
      held_pages += pages;
      return true;
    }
    const MemoryRoom::Limit limit = room.Read();
    uint64_t room_pages = limit.Room() == UINT64_MAX ? UINT64_MAX : limit.Room() / kPage;
    if (cap_bytes != 0) {
      const uint64_t cap_pages = cap_bytes / kPage;
      room_pages = std::min(room_pages, cap_pages > held_pages ? cap_pages - held_pages : 0);
    }
    if (pages > room_pages) {
      last.needed = pages * kPage;
      last.held = held_pages * kPage;
      last.cap = cap_bytes;
      last.limit = limit;
      return false;
    }
    granted_pages = held_pages + std::min(room_pages, std::max(pages, kGrantPages));
    held_pages += pages;
    return true;
  }

  void Release(uint64_t pages) {
    held_pages -= std::min(held_pages, pages);
    granted_pages = held_pages;  // growing again asks the system again
  }
};

Budget& TheBudget() {
  static Budget budget;
  return budget;
}

std::string Bytes(uint64_t n) {
  char text[64];
  if (n >= (1ull << 30)) {
    std::snprintf(text, sizeof(text), "%llu bytes (%.1f GiB)", static_cast<unsigned long long>(n), n / double(1ull << 30));
  } else {
    std::snprintf(text, sizeof(text), "%llu bytes (%.1f MiB)", static_cast<unsigned long long>(n), n / double(1ull << 20));
  }
  return text;
}

}  // namespace

uint64_t DataValidator::MapBytes(uint64_t num_lbas) {
  return RoundToPage(std::max<uint64_t>(LinesFor(std::min(num_lbas, kMaxLbas)), 1) * kLineBytes);
}

DataValidator::~DataValidator() { Unmap(); }

const DataValidator::MemoryReport& DataValidator::LastShortfall() { return TheBudget().last; }

uint64_t DataValidator::GetProcessHeldBytes() { return TheBudget().held_pages * kPage; }

void DataValidator::SetMemoryCap(uint64_t bytes) {
  Budget& budget = TheBudget();
  budget.cap_bytes = bytes;
  budget.granted_pages = std::min(budget.granted_pages, budget.held_pages);
}

void DataValidator::SetMemoryRoot(const std::string& root) {
  Budget& budget = TheBudget();
  budget.room = MemoryRoom(root);
  budget.granted_pages = std::min(budget.granted_pages, budget.held_pages);
}

std::string DataValidator::DescribeShortfall() {
  const MemoryReport& r = TheBudget().last;
  std::ostringstream text;
  text << "needs " << Bytes(r.needed) << " more (data validation holds " << Bytes(r.held);
  if (r.cap != 0) text << ", limited to " << Bytes(r.cap);
  if (r.limit.source == MemoryRoom::kMachine) {
    text << "; the machine has " << Bytes(r.limit.available) << " available and keeps " << Bytes(r.limit.reserve)
         << " free";
  } else if (r.limit.source == MemoryRoom::kGroup) {
    text << "; the process's memory control group, limited to " << Bytes(r.limit.size) << ", has "
         << Bytes(r.limit.available) << " available and keeps " << Bytes(r.limit.reserve) << " free";
  }
  text << ")";
  return text.str();
}

bool DataValidator::Touch(uint64_t first_line, uint64_t last_line) {
  const uint64_t first_unit = UnitOf(first_line);
  const uint64_t last_unit = UnitOf(last_line);
  uint64_t missing = 0;
  for (uint64_t u = first_unit; u <= last_unit; ++u) missing += IsTouched(u) ? 0 : 1;
  if (missing == 0) return true;
  if (!TheBudget().Acquire(missing * PagesPerUnit())) return false;
  for (uint64_t u = first_unit; u <= last_unit; ++u) {
    if (IsTouched(u)) continue;
    // A unit not held is all zeros. Its first access is a store of zero to each of its pages: a read first would
    // have the kernel map its shared zero page, and the store that follows would fault again to copy it (and
    // shoot the old mapping down on every core).
    for (uint64_t line = u * LinesPerUnit(); line < (u + 1) * LinesPerUnit(); line += kLinesPerPage) {
      __atomic_store_n(&lines_[line].pending, 0, __ATOMIC_RELAXED);
    }
    touched_[u / 64] |= uint64_t(1) << (u % 64);
  }
  held_pages_ += missing * PagesPerUnit();
  return true;
}

// Calls fn(line, mask of the range's LBAs in it) for every line of a valid range. With `touch`, the range's pages
// are taken first (kDataValidatorNoMemory, nothing changed, when they cannot be); without, lines of pages never
// touched are skipped (they hold nothing: every tag untracked, no pending bit).
template <class Fn>
DataValidatorStatus DataValidator::ForEachLine(uint64_t first, uint64_t count, Fn&& fn) {
  const uint64_t last = first + count - 1;
  const uint64_t first_line = first / kLbasPerLine;
  const uint64_t last_line = last / kLbasPerLine;
  for (uint64_t l = first_line; l <= last_line; ++l) {
    const uint64_t lo = l == first_line ? first % kLbasPerLine : 0;
    const uint64_t hi = l == last_line ? last % kLbasPerLine : kLbasPerLine - 1;
    fn(lines_[l], lo, hi);
  }
  return kDataValidatorOk;
}

DataValidatorStatus DataValidator::UpdateMap(uint64_t first, uint64_t count) {
  if (!IsValidRange(first, count)) return kDataValidatorOutOfRange;
  if (!Touch(first / kLbasPerLine, (first + count - 1) / kLbasPerLine)) return kDataValidatorNoMemory;
  return ForEachLine(first, count, [](Line& line, uint64_t lo, uint64_t hi) {
    for (uint64_t i = lo; i <= hi; ++i) line.tags[i] = Encode(NextTag(static_cast<uint8_t>(line.tags[i] - 1u)));
  });
}

DataValidatorStatus DataValidator::SetTags(uint64_t first, uint64_t count, uint8_t tag) {
  if (!IsValidRange(first, count)) return kDataValidatorOutOfRange;
  const uint8_t stored = Encode(tag);
  if (stored != 0 && !Touch(first / kLbasPerLine, (first + count - 1) / kLbasPerLine)) return kDataValidatorNoMemory;
  return ForEachLine(first, count, [this, stored](Line& line, uint64_t lo, uint64_t hi) {
    if (stored == 0 && !IsTouched(UnitOf(static_cast<uint64_t>(&line - lines_)))) return;
    std::memset(line.tags + lo, stored, hi - lo + 1);
  });
}

DataValidatorStatus DataValidator::MarkDeallocated(uint64_t first, uint64_t count) {
  return SetTags(first, count, kTagDeallocated);
}

DataValidatorStatus DataValidator::MarkUntracked(uint64_t first, uint64_t count) {
  return SetTags(first, count, kTagUntracked);
}

DataValidatorStatus DataValidator::CopyTags(uint64_t first, uint64_t count, std::vector<uint8_t>& out) const {
  if (!IsValidRange(first, count)) return kDataValidatorOutOfRange;
  out.assign(count, kTagUntracked);
  for (uint64_t i = 0; i < count; ++i) out[i] = GetTag(first + i);
  return kDataValidatorOk;
}

DataValidatorStatus DataValidator::RemovePending(uint64_t first, uint64_t count) {
  if (!IsValidRange(first, count)) return kDataValidatorOutOfRange;
  return ForEachLine(first, count, [this](Line& line, uint64_t lo, uint64_t hi) {
    if (IsTouched(UnitOf(static_cast<uint64_t>(&line - lines_)))) line.pending &= ~BitMask(lo, hi);
  });
}

DataValidatorStatus DataValidator::AddPending(uint64_t first, uint64_t count) {
  if (!IsValidRange(first, count)) return kDataValidatorOutOfRange;
  if (!Touch(first / kLbasPerLine, (first + count - 1) / kLbasPerLine)) return kDataValidatorNoMemory;
  return ForEachLine(first, count, [](Line& line, uint64_t lo, uint64_t hi) { line.pending |= BitMask(lo, hi); });
}

bool DataValidator::IsPending(uint64_t first, uint64_t count) const {
  if (!IsValidRange(first, count)) return false;
  const uint64_t last = first + count - 1;
  const uint64_t first_line = first / kLbasPerLine;
  const uint64_t last_line = last / kLbasPerLine;
  for (uint64_t l = first_line; l <= last_line; ++l) {
    if (!IsTouched(UnitOf(l))) continue;
    const uint64_t lo = l == first_line ? first % kLbasPerLine : 0;
    const uint64_t hi = l == last_line ? last % kLbasPerLine : kLbasPerLine - 1;
    if ((lines_[l].pending & BitMask(lo, hi)) != 0) return true;
  }
  return false;
}

DataValidator::Claim DataValidator::ClaimSlow(uint64_t first, uint64_t count, bool read) {
  if (!IsValidRange(first, count)) return kClaimInvalid;
  const uint64_t first_line = first / kLbasPerLine;
  const uint64_t last_line = (first + count - 1) / kLbasPerLine;
  if (read) {
    bool held = false;
    for (uint64_t u = UnitOf(first_line); u <= UnitOf(last_line) && !held; ++u) held = IsTouched(u);
    if (!held) return kClaimUntracked;
    // A range partly on held units is claimed whole (rare: it straddles a unit's edge): its completion then finds
    // what it must compare and release in the map.
  }
  if (!Touch(first_line, last_line)) return kClaimNoMemory;
  if (IsPending(first, count)) return kClaimBusy;
  ForEachLine(first, count, [](Line& line, uint64_t lo, uint64_t hi) { line.pending |= BitMask(lo, hi); });
  return kClaimed;
}

DataValidatorStatus DataValidator::Resize(uint64_t num_lbas, uint32_t block_size) {
  auto refuse = [&](uint64_t needed) {
    MemoryReport& r = TheBudget().last;
    r = MemoryReport();
    r.needed = needed;
    r.held = TheBudget().held_pages * kPage;
    r.cap = TheBudget().cap_bytes;
    return kDataValidatorNoMemory;
  };
  if (num_lbas > kMaxLbas) return refuse(MapBytes(num_lbas));
  if (lines_ == nullptr) {
    uint32_t unit_shift = kSmallUnitShift;
    const uint64_t small_bytes = MapBytes(num_lbas);
    if (small_bytes >= kLargeUnitMinMap && small_bytes <= kLargeUnitMaxMap) {
      const uint64_t room = TheBudget().room.Read().Room();
      if (room != UINT64_MAX && small_bytes <= room / 2) unit_shift = kLargeUnitShift;
    }
    const uint64_t map_bytes = RoundTo(small_bytes, uint64_t(1) << unit_shift);
    const uint64_t bitmap_bytes = BitmapBytes(map_bytes);
    void* lines = unit_shift == kLargeUnitShift ? MapLarge(map_bytes) : MapSmall(map_bytes);
    void* bitmap = lines != nullptr ? MapZeroed(bitmap_bytes) : nullptr;
    if (bitmap == nullptr) {
      if (lines != nullptr) munmap(lines, map_bytes);
      return refuse(map_bytes);
    }
    lines_ = static_cast<Line*>(lines);
    touched_ = static_cast<uint64_t*>(bitmap);
    map_bytes_ = map_bytes;
    touched_bytes_ = bitmap_bytes;
    unit_shift_ = unit_shift;
  } else if (num_lbas < num_lbas_) {
    ++epoch_;
    // The cut LBAs of the new last line go back to untracked and not pending (a later growth finds them so), and
    // so do the lines after it in its unit.
    const uint64_t last_line = LinesFor(num_lbas) - 1;
    if (IsTouched(UnitOf(last_line))) {
      if (num_lbas % kLbasPerLine != 0) {
        Line& line = lines_[last_line];
        const uint64_t keep = num_lbas % kLbasPerLine;
        std::memset(line.tags + keep, 0, kLbasPerLine - keep);
        line.pending &= BitMask(0, keep - 1);
      }
      const uint64_t unit_end = (UnitOf(last_line) + 1) * LinesPerUnit();
      if (last_line + 1 < unit_end) {
        std::memset(static_cast<void*>(&lines_[last_line + 1]), 0, (unit_end - last_line - 1) * kLineBytes);
      }
    }
    // Units past the new end are given back; so are their bits. The mappings keep their size.
    const uint64_t keep_units = UnitOf(last_line) + 1;
    const uint64_t units = map_bytes_ >> unit_shift_;
    uint64_t released = 0;
    for (uint64_t u = keep_units; u < units; ++u) {
      if (IsTouched(u)) {
        released += PagesPerUnit();
        touched_[u / 64] &= ~(uint64_t(1) << (u % 64));
      }
    }
    const uint64_t keep_bytes = keep_units << unit_shift_;
    if (keep_bytes < map_bytes_) {
      madvise(reinterpret_cast<uint8_t*>(lines_) + keep_bytes, map_bytes_ - keep_bytes, MADV_DONTNEED);
    }
    held_pages_ -= released;
    TheBudget().Release(released);
  } else {
    const uint64_t map_bytes = RoundTo(MapBytes(num_lbas), GetUnitBytes());
    const uint64_t bitmap_bytes = BitmapBytes(map_bytes);
    if (map_bytes > map_bytes_) {
      void* lines = mremap(lines_, map_bytes_, map_bytes, MREMAP_MAYMOVE);
      if (lines == MAP_FAILED) return refuse(map_bytes);
      void* bitmap = bitmap_bytes > touched_bytes_
                         ? mremap(touched_, touched_bytes_, bitmap_bytes, MREMAP_MAYMOVE)
                         : static_cast<void*>(touched_);
      if (bitmap == MAP_FAILED) {
        // Back to the old size (a shrink, which keeps the contents).
        void* back = mremap(lines, map_bytes, map_bytes_, MREMAP_MAYMOVE);
        lines_ = static_cast<Line*>(back == MAP_FAILED ? lines : back);
        if (back == MAP_FAILED) map_bytes_ = map_bytes;
        return refuse(map_bytes);
      }
      // A map that moved off a 2 MiB boundary is kept on small pages: a 2 MiB unit then never takes more than
      // the 2 MiB it is counted for.
      if (unit_shift_ == kLargeUnitShift && reinterpret_cast<uintptr_t>(lines) % kLargeUnit != 0) {
        madvise(lines, map_bytes, MADV_NOHUGEPAGE);
      }
      lines_ = static_cast<Line*>(lines);
      touched_ = static_cast<uint64_t*>(bitmap);
      map_bytes_ = map_bytes;
      touched_bytes_ = std::max(touched_bytes_, bitmap_bytes);
    }
  }
  num_lbas_ = num_lbas;
  block_size_ = block_size;
  return kDataValidatorOk;
}

void DataValidator::Forget() {
  if (lines_ != nullptr) {
    madvise(lines_, map_bytes_, MADV_DONTNEED);
    madvise(touched_, touched_bytes_, MADV_DONTNEED);
  }
  TheBudget().Release(held_pages_);
  held_pages_ = 0;
  ++epoch_;
}

void DataValidator::Unmap() {
  if (lines_ != nullptr) {
    munmap(lines_, map_bytes_);
    munmap(touched_, touched_bytes_);
  }
  TheBudget().Release(held_pages_);
  held_pages_ = 0;
  lines_ = nullptr;
  touched_ = nullptr;
  map_bytes_ = 0;
  touched_bytes_ = 0;
}

void DataValidator::Clear() {
  Unmap();
  num_lbas_ = 0;
  block_size_ = 0;
  ++epoch_;
}

}  // namespace nvme
}  // namespace kyt
