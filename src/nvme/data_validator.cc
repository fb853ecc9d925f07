#include "nvme/data_validator.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace kyt {
namespace nvme {

namespace {

// Mask of bits [lo, hi] of one word (0 <= lo <= hi <= 63).
inline uint64_t BitMask(uint64_t lo, uint64_t hi) {
  const uint64_t upper = hi == 63 ? ~0ULL : ((1ULL << (hi + 1)) - 1);
  return upper & ~((1ULL << lo) - 1);
}

// Calls visit(word index, mask of the range's bits in that word) for each word of a one-bit-per-LBA map that the range
// [first, first + count) touches (count > 0), in order, until a call returns true; returns whether one did.
template <class Visit>
inline bool ForEachWord(uint64_t first, uint64_t count, Visit&& visit) {
  const uint64_t last = first + count - 1;
  const uint64_t first_word = first / 64;
  const uint64_t last_word = last / 64;
  for (uint64_t w = first_word; w <= last_word; ++w) {
    const uint64_t lo = w == first_word ? first % 64 : 0;
    const uint64_t hi = w == last_word ? last % 64 : 63;
    if (visit(w, BitMask(lo, hi))) return true;
  }
  return false;
}

}  // namespace

DataValidatorStatus DataValidator::UpdateMap(uint64_t first, uint64_t count) {
  if (!IsValidRange(first, count)) {
    return kDataValidatorOutOfRange;
  }
  for (uint64_t lba = first; lba < first + count; ++lba) {
    tags_[lba] = NextTag(tags_[lba]);
  }
  return kDataValidatorOk;
}

DataValidatorStatus DataValidator::SetTags(uint64_t first, uint64_t count, uint8_t tag) {
  if (!IsValidRange(first, count)) {
    return kDataValidatorOutOfRange;
  }
  std::fill(tags_.begin() + first, tags_.begin() + first + count, tag);
  return kDataValidatorOk;
}

DataValidatorStatus DataValidator::MarkDeallocated(uint64_t first, uint64_t count) {
  return SetTags(first, count, kTagDeallocated);
}

DataValidatorStatus DataValidator::MarkUntracked(uint64_t first, uint64_t count) {
  return SetTags(first, count, kTagUntracked);
}

DataValidatorStatus DataValidator::CopyTags(uint64_t first, uint64_t count, std::vector<uint8_t>& out) const {
  if (!IsValidRange(first, count)) {
    return kDataValidatorOutOfRange;
  }
  out.resize(count, kTagUntracked);
  std::copy(tags_.begin() + first, tags_.begin() + first + count, out.begin());
  return kDataValidatorOk;
}

void DataValidator::ChangePending(uint64_t first, uint64_t count, bool set) {
  ForEachWord(first, count, [this, set](uint64_t w, uint64_t mask) {
    if (set) {
      pending_[w] |= mask;
    } else {
      pending_[w] &= ~mask;
    }
    return false;
  });
}

DataValidatorStatus DataValidator::RemovePending(uint64_t first, uint64_t count) {
  if (!IsValidRange(first, count)) {
    return kDataValidatorOutOfRange;
  }
  ChangePending(first, count, false);
  return kDataValidatorOk;
}

DataValidatorStatus DataValidator::AddPending(uint64_t first, uint64_t count) {
  if (!IsValidRange(first, count)) {
    return kDataValidatorOutOfRange;
  }
  ChangePending(first, count, true);
  return kDataValidatorOk;
}

bool DataValidator::IsPending(uint64_t first, uint64_t count) const {
  if (!IsValidRange(first, count)) {
    return false;
  }
  return ForEachWord(first, count, [this](uint64_t w, uint64_t mask) { return (pending_[w] & mask) != 0; });
}

bool DataValidator::ClaimPending(uint64_t first, uint64_t count) {
  if (!IsValidRange(first, count)) return false;
  const uint64_t word = first / 64;
  const uint64_t last = first + count - 1;
  if (word == last / 64) {
    // One word, the usual case: test and set at once.
    const uint64_t mask = BitMask(first % 64, last % 64);
    if ((pending_[word] & mask) != 0) return false;
    pending_[word] |= mask;
    return true;
  }
  if (IsPending(first, count)) return false;
  ChangePending(first, count, true);
  return true;
}

DataValidatorStatus DataValidator::Resize(uint64_t num_lbas, uint32_t block_size) {
  try {
    if (tags_.size() != num_lbas) {
      if (num_lbas < tags_.size()) {
        ++epoch_;
      }
      tags_.resize(num_lbas, kTagUntracked);
    }
    pending_.resize((num_lbas + 63) / 64, 0);
  } catch (const std::bad_alloc&) {
    return kDataValidatorNoMemory;
  } catch (const std::length_error&) {
    return kDataValidatorNoMemory;
  }
  block_size_ = block_size;
  return kDataValidatorOk;
}

void DataValidator::Clear() {
  std::vector<uint8_t>().swap(tags_);
  std::vector<uint64_t>().swap(pending_);
  block_size_ = 0;
  ++epoch_;
}

}  // namespace nvme
}  // namespace kyt
