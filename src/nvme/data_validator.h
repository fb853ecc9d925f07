// Per-namespace data validation state: one generation tag per LBA and one pending bit per LBA.
//
// Tags: 255 = untracked (nothing known), 254 = deallocated (must read as zero), 0..252 = generation of the last
// completed validated write. A validated write stamps (LBA << 8) | NextTag(tag) into the first 8 bytes of every block;
// its completion advances the tag. A pending bit marks an LBA with a validated I/O in flight, so at most one validated
// I/O touches an LBA at a time. A block size of 0 means disabled.
// Worker thread only; no locks.
#ifndef KYT_NVME_DATA_VALIDATOR_H
#define KYT_NVME_DATA_VALIDATOR_H

#include <cstddef>
#include <cstdint>
#include <vector>

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
  DataValidator() = default;

  // next(t) = (t + 1) mod 253 for t < 254; 0 for 254 and 255.
  static uint8_t NextTag(uint8_t tag) { return tag < kTagDeallocated ? static_cast<uint8_t>((tag + 1u) % 253u) : 0; }
  // The 64-bit word a block at `lba` with tag `tag` carries in its first 8 bytes.
  static uint64_t StampWord(uint64_t lba, uint8_t tag) { return (lba << 8) | tag; }

  uint32_t GetBlockSize() const { return block_size_; }
  bool IsEnabled() const { return block_size_ != 0; }
  uint64_t GetNumLbas() const { return tags_.size(); }
  size_t GetNumPendingWords() const { return pending_.size(); }
  // The tag of one LBA; kTagUntracked beyond the map.
  uint8_t GetTag(uint64_t lba) const { return lba < tags_.size() ? tags_[lba] : kTagUntracked; }
  // The tags from `first` on, for a range the caller has checked (IsValidRange); valid until the map changes size.
  const uint8_t* TagsFrom(uint64_t first) const { return tags_.data() + first; }
  // Changes whenever tracked state is thrown away (disable, or a shrink): an I/O attached under another epoch no
  // longer matches the validator at its completion.
  uint64_t GetEpoch() const { return epoch_; }

  // count >= 1 and first + count <= number of tags.
  bool IsValidRange(uint64_t first, uint64_t count) const {
    return count != 0 && first < tags_.size() && count <= tags_.size() - first;
  }

  // Range operations: kDataValidatorOutOfRange (and nothing changed) for an invalid range.
  DataValidatorStatus UpdateMap(uint64_t first, uint64_t count);       // tag <- NextTag(tag)
  DataValidatorStatus RemovePending(uint64_t first, uint64_t count);   // clear pending bits
  DataValidatorStatus AddPending(uint64_t first, uint64_t count);      // set pending bits
  DataValidatorStatus MarkDeallocated(uint64_t first, uint64_t count); // tag <- 254
  DataValidatorStatus MarkUntracked(uint64_t first, uint64_t count);   // tag <- 255
  DataValidatorStatus CopyTags(uint64_t first, uint64_t count, std::vector<uint8_t>& out) const;
  // Any pending bit of the range set; false for an invalid range.
  bool IsPending(uint64_t first, uint64_t count) const;
  // Sets the range's pending bits when none of them is set (the range is free): true. False, with nothing changed,
  // when one is set or the range is invalid.
  bool ClaimPending(uint64_t first, uint64_t count);

  // Resizes the tag map (new tags 255, a smaller count cuts) and the pending set (new words 0), then sets the block
  // size. kDataValidatorNoMemory when memory runs out: what was resized stays, the block size is unchanged.
  DataValidatorStatus Resize(uint64_t num_lbas, uint32_t block_size);
  // Empties tags and pending bits and disables.
  void Clear();

 private:
  DataValidatorStatus SetTags(uint64_t first, uint64_t count, uint8_t tag);
  void ChangePending(uint64_t first, uint64_t count, bool set);

  uint32_t block_size_ = 0;
  std::vector<uint8_t> tags_;
  std::vector<uint64_t> pending_;
  uint64_t epoch_ = 0;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_DATA_VALIDATOR_H
