// Per-namespace data validation state: one generation tag per LBA and one pending bit per LBA.
//
// Tags: 255 = untracked (nothing known), 254 = deallocated (must read as zero), 0..252 = generation of the last
// completed validated write. A validated write stamps (LBA << 8) | NextTag(tag) into the first 8 bytes of every block;
// its completion advances the tag. A pending bit marks an LBA with a validated I/O in flight, so at most one validated
// I/O touches an LBA at a time. A block size of 0 means disabled.
//
// Layout: the map is a run of 64-byte lines, each holding the tags of 56 consecutive LBAs and, in its last 8 bytes,
// their pending bits, so that one I/O's bookkeeping is one cache line (two when its range straddles a line). A tag
// byte holds tag + 1 (mod 256): the zero byte means untracked. The map is reserved as address space only
// (anonymous memory, not reserved against the commit limit): enabling answers at once whatever the namespace's size,
// and a unit of the map (a 4 KiB page; 2 MiB on large pages for a map of 64 MiB to 1 GiB that the process could hold
// twice over, which spares a random I/O its translation miss) takes memory when a write or a deallocation first needs
// it (or a read across the edge of a held unit). A bit per unit says which units are held; a unit not held is all
// zeros, every LBA of it untracked and not pending. So a read whose blocks all lie in units not held has nothing to compare and
// nothing to hold off: it claims nothing and is not validated (ClaimRead), and never touches the map, which keeps
// the first pass over a fresh large namespace at the speed of a small one. A unit's first access is a store, so
// that the kernel gives it a page for writing at once. Before a unit is taken, the validator checks that the
// memory is there (the process's validators hold at most what the process has room for, see MemoryRoom); a refused
// unit refuses the I/O (kClaimNoMemory) instead of letting the system run out. 64/56 bytes (1.14) of map per LBA
// touched, plus one bit per unit of map.
// Worker thread only; no locks.
#ifndef KYT_NVME_DATA_VALIDATOR_H
#define KYT_NVME_DATA_VALIDATOR_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nvme/memory_room.h"

namespace kyt {
namespace nvme {

using DataValidatorStatus = uint32_t;
constexpr DataValidatorStatus kDataValidatorOk = 0;
constexpr DataValidatorStatus kDataValidatorOutOfRange = 1;
constexpr DataValidatorStatus kDataValidatorNoMemory = 5;

constexpr uint8_t kTagDeallocated = 254;
constexpr uint8_t kTagUntracked = 255;

class DataValidator {
 public:
  static constexpr uint64_t kLbasPerLine = 56;
  static constexpr uint64_t kLineBytes = 64;
  static constexpr uint64_t kPageBytes = 4096;
  static constexpr uint64_t kLinesPerPage = kPageBytes / kLineBytes;

  struct alignas(64) Line {
    uint8_t tags[kLbasPerLine];  // tag + 1: 0 untracked
    uint64_t pending;            // bit i: LBA i of the line has a validated I/O in flight
  };
  static_assert(sizeof(Line) == kLineBytes, "one line per cache line");

  // Outcome of ClaimPending and ClaimRead. kClaimUntracked (ClaimRead only): every block of the range is untracked
  // and on a unit not held; nothing was claimed.
  enum Claim : uint32_t { kClaimed = 0, kClaimBusy = 1, kClaimInvalid = 2, kClaimNoMemory = 3, kClaimUntracked = 4 };

  // What the validators of the process hold and may still take; filled by the last refusal (LastShortfall).
  struct MemoryReport {
    uint64_t needed = 0;       // bytes the refused operation needed
    uint64_t held = 0;         // bytes of map pages all validators hold
    uint64_t cap = 0;          // the cap set with SetMemoryCap; 0 none
    MemoryRoom::Limit limit;   // the limit with the least room when asked (kUnknown: address space refused)
  };

  DataValidator() = default;
  ~DataValidator();
  DataValidator(const DataValidator&) = delete;
  DataValidator& operator=(const DataValidator&) = delete;

  // next(t) = (t + 1) mod 253 for t < 254; 0 for 254 and 255.
  static uint8_t NextTag(uint8_t tag) { return tag < kTagDeallocated ? static_cast<uint8_t>((tag + 1u) % 253u) : 0; }
  // The 64-bit word a block at `lba` with tag `tag` carries in its first 8 bytes.
  static uint64_t StampWord(uint64_t lba, uint8_t tag) { return (lba << 8) | tag; }
  // Bytes of map (address space) a validator of `num_lbas` blocks reserves: what it holds when every LBA is touched.
  static uint64_t MapBytes(uint64_t num_lbas);

  // Bytes from one block's start to the next in a data buffer: data plus the metadata a namespace interleaves with it.
  uint32_t GetBlockSize() const { return block_size_; }
  bool IsEnabled() const { return block_size_ != 0; }
  uint64_t GetNumLbas() const { return num_lbas_; }
  // The tag of one LBA; kTagUntracked beyond the map.
  uint8_t GetTag(uint64_t lba) const {
    return lba < num_lbas_ && IsTouched(UnitOf(lba / kLbasPerLine)) ? TagAt(lba) : kTagUntracked;
  }
  // The tag of an LBA the caller knows to be inside the map, on a page an I/O has claimed.
  uint8_t TagAt(uint64_t lba) const {
    return static_cast<uint8_t>(lines_[lba / kLbasPerLine].tags[lba % kLbasPerLine] - 1u);
  }
  // Starts bringing in what a claim of an LBA inside the map reads: its line (for writing) and the word of the
  // held-unit bitmap that covers it. Changes nothing.
  void Prefetch(uint64_t lba) const {
    const uint64_t line = lba / kLbasPerLine;
    __builtin_prefetch(&lines_[line], 1);
    __builtin_prefetch(&touched_[UnitOf(line) / 64], 0);
    // GCC judges a function made only of prefetches free of effects and drops the calls to it (and to whatever
    // merely led to it): the empty volatile statement keeps them.
    asm volatile("");
  }
  // Changes whenever tracked state is thrown away (disable, forget, or a shrink): an I/O attached under another
  // epoch no longer matches the validator at its completion.
  uint64_t GetEpoch() const { return epoch_; }
  // Bytes of map pages this validator holds (touched by I/O since it was enabled or forgotten).
  uint64_t GetHeldBytes() const { return held_pages_ * kPageBytes; }
  // Bytes of map taken at a time: 4 KiB, or 2 MiB (large pages) for a map the machine can easily hold.
  uint64_t GetUnitBytes() const { return uint64_t(1) << unit_shift_; }

  // count >= 1 and first + count <= number of tags.
  bool IsValidRange(uint64_t first, uint64_t count) const {
    return count != 0 && first < num_lbas_ && count <= num_lbas_ - first;
  }

  // Range operations: kDataValidatorOutOfRange (and nothing changed) for an invalid range; kDataValidatorNoMemory
  // (and nothing changed) when a page of the range was never touched and the memory for it is not there.
  DataValidatorStatus UpdateMap(uint64_t first, uint64_t count);       // tag <- NextTag(tag)
  DataValidatorStatus RemovePending(uint64_t first, uint64_t count);   // clear pending bits
  DataValidatorStatus AddPending(uint64_t first, uint64_t count);      // set pending bits
  DataValidatorStatus MarkDeallocated(uint64_t first, uint64_t count); // tag <- 254
  DataValidatorStatus MarkUntracked(uint64_t first, uint64_t count);   // tag <- 255
  DataValidatorStatus CopyTags(uint64_t first, uint64_t count, std::vector<uint8_t>& out) const;
  // Any pending bit of the range set; false for an invalid range.
  bool IsPending(uint64_t first, uint64_t count) const;
  // Sets the range's pending bits when none of them is set (the range is free): kClaimed. Otherwise nothing
  // changes: kClaimBusy (a bit was set), kClaimInvalid, or kClaimNoMemory (see LastShortfall). A range within one
  // line of a held unit, the usual I/O, is decided here.
  Claim ClaimPending(uint64_t first, uint64_t count) { return TryClaim(first, count, false); }
  // ClaimPending for a read: a range that lies wholly in units not held answers kClaimUntracked and takes no memory
  // (its read compares nothing, and a write that overlaps it while it is in flight cannot make it wrong).
  Claim ClaimRead(uint64_t first, uint64_t count) { return TryClaim(first, count, true); }

  // For a range that ClaimPending granted and nothing released since (its units are held): the line of an LBA,
  // the end of the claim, and the advance of its tags (a validated write's completion).
  const Line& LineAt(uint64_t lba) const { return lines_[lba / kLbasPerLine]; }
  void ReleaseClaim(uint64_t first, uint64_t count) {
    const uint64_t lo = first % kLbasPerLine;
    if (lo + count <= kLbasPerLine) {
      lines_[first / kLbasPerLine].pending &= ~Mask(lo, count);
    } else {
      RemovePending(first, count);
    }
  }
  void AdvanceClaimed(uint64_t first, uint64_t count) {
    for (uint64_t lba = first, end = first + count; lba < end;) {
      Line& line = lines_[lba / kLbasPerLine];
      uint64_t i = lba % kLbasPerLine;
      const uint64_t stop = i + (end - lba) < kLbasPerLine ? i + (end - lba) : kLbasPerLine;
      lba += stop - i;
      for (; i < stop; ++i) {
        // Stored tags are tag + 1: 1..253 tracked, 255 deallocated, 0 untracked; the next one of the last two is 0.
        const uint8_t stored = line.tags[i];
        line.tags[i] = static_cast<uint8_t>(stored == 0 || stored >= 254 ? 1 : stored % 253 + 1);
      }
    }
  }

  // Sets the map to `num_lbas` tags (new ones 255, a smaller count cuts) and the block size; reserves address space
  // only. kDataValidatorNoMemory when the address space cannot be had: the validator is then exactly as before (a
  // new map is given back whole).
  DataValidatorStatus Resize(uint64_t num_lbas, uint32_t block_size);
  // Every tag untracked, no pending bit, a new epoch; the map's pages go back to the system. Stays enabled at its
  // size (for a namespace whose content is gone, e.g. formatted).
  void Forget();
  // Gives the map back and disables.
  void Clear();

  // The refusal of the last operation that answered kDataValidatorNoMemory or kClaimNoMemory.
  static const MemoryReport& LastShortfall();
  // "needs N bytes ..." for LastShortfall, in words a user can act on.
  static std::string DescribeShortfall();
  // Bytes all validators of the process hold.
  static uint64_t GetProcessHeldBytes();
  // Limits what all validators of the process may hold (0: only the room the process has limits it).
  static void SetMemoryCap(uint64_t bytes);
  // Where the room the process has is read (see MemoryRoom): "" the system's own files, or a test's directory.
  static void SetMemoryRoot(const std::string& root);

 private:
  // Bits [lo, lo + count) of a line's pending word (lo + count <= kLbasPerLine).
  static uint64_t Mask(uint64_t lo, uint64_t count) { return ((uint64_t(1) << count) - 1) << lo; }
  Claim TryClaim(uint64_t first, uint64_t count, bool read) {
    const uint64_t line = first / kLbasPerLine;
    const uint64_t lo = first % kLbasPerLine;
    if (count != 0 && first < num_lbas_ && count <= num_lbas_ - first && lo + count <= kLbasPerLine) {
      if (!IsTouched(UnitOf(line))) {
        if (read) return kClaimUntracked;
      } else {
        Line& l = lines_[line];
        const uint64_t mask = Mask(lo, count);
        if ((l.pending & mask) != 0) return kClaimBusy;
        l.pending |= mask;
        return kClaimed;
      }
    }
    return ClaimSlow(first, count, read);
  }
  // The rest of TryClaim: ranges across lines, and ranges in units not held.
  Claim ClaimSlow(uint64_t first, uint64_t count, bool read);
  // Makes sure the units of lines [first_line, last_line] are held (accounted before first touch).
  bool Touch(uint64_t first_line, uint64_t last_line);
  uint64_t UnitOf(uint64_t line) const { return line >> (unit_shift_ - 6); }
  uint64_t LinesPerUnit() const { return uint64_t(1) << (unit_shift_ - 6); }
  uint64_t PagesPerUnit() const { return uint64_t(1) << (unit_shift_ - 12); }
  bool IsTouched(uint64_t unit) const { return (touched_[unit / 64] >> (unit % 64)) & 1u; }
  template <class Fn>
  DataValidatorStatus ForEachLine(uint64_t first, uint64_t count, Fn&& fn);
  DataValidatorStatus SetTags(uint64_t first, uint64_t count, uint8_t tag);
  void Unmap();

  uint32_t block_size_ = 0;
  uint64_t num_lbas_ = 0;
  Line* lines_ = nullptr;
  uint64_t map_bytes_ = 0;        // bytes of the lines' mapping
  uint32_t unit_shift_ = 12;      // log2 of the bytes of map taken at a time
  uint64_t* touched_ = nullptr;   // one bit per unit of the lines' mapping
  uint64_t touched_bytes_ = 0;    // bytes of the bitmap's mapping
  uint64_t held_pages_ = 0;
  uint64_t epoch_ = 0;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_DATA_VALIDATOR_H
