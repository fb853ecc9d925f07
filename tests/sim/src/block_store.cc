#include "kyt_sim/block_store.h"

#include <algorithm>
#include <cstring>

namespace kyt::sim {

BlockStore::BlockStore(uint32_t block_bytes, bool first_8_only)
    : block_bytes_(block_bytes), first_8_only_(first_8_only) {
  Configure(block_bytes);
}

void BlockStore::Configure(uint32_t block_bytes) {
  block_bytes_ = block_bytes;
  stored_ = first_8_only_ ? std::min<uint32_t>(8, block_bytes) : block_bytes;
  // Aim for chunks of about 32 KiB, between 1 and 64 blocks.
  uint32_t per_chunk = 1;
  while (per_chunk < 64 && uint64_t(per_chunk) * 2 * stored_ <= 32768) per_chunk *= 2;
  chunk_shift_ = 0;
  while ((1u << chunk_shift_) < per_chunk) ++chunk_shift_;
}

void BlockStore::Reset(uint32_t block_bytes) {
  chunks_.clear();
  allocated_ = 0;
  Configure(block_bytes);
}

const uint8_t* BlockStore::Find(uint64_t lba) const {
  auto it = chunks_.find(lba >> chunk_shift_);
  if (it == chunks_.end()) return nullptr;
  uint64_t index = lba & ((uint64_t(1) << chunk_shift_) - 1);
  if (!(it->second.present >> index & 1)) return nullptr;
  return it->second.data.get() + index * stored_;
}

void BlockStore::Read(uint64_t lba, uint8_t* out) const {
  const uint8_t* block = Find(lba);
  if (!block) {
    std::memset(out, 0, block_bytes_);
    return;
  }
  std::memcpy(out, block, stored_);
  if (stored_ < block_bytes_) std::memset(out + stored_, 0, block_bytes_ - stored_);
}

BlockStore::Chunk& BlockStore::ChunkFor(uint64_t lba) {
  Chunk& chunk = chunks_[lba >> chunk_shift_];
  if (!chunk.data) chunk.data.reset(new uint8_t[size_t(stored_) << chunk_shift_]);
  return chunk;
}

void BlockStore::Write(uint64_t lba, const uint8_t* in) {
  Chunk& chunk = ChunkFor(lba);
  uint64_t index = lba & ((uint64_t(1) << chunk_shift_) - 1);
  if (!(chunk.present >> index & 1)) {
    chunk.present |= uint64_t(1) << index;
    ++allocated_;
  }
  std::memcpy(chunk.data.get() + index * stored_, in, stored_);
}

void BlockStore::Deallocate(uint64_t lba, uint64_t count) {
  if (count == 0 || chunks_.empty()) return;
  const uint64_t per_chunk = uint64_t(1) << chunk_shift_;
  const uint64_t end = lba + count < lba ? UINT64_MAX : lba + count;
  // Walk whichever is smaller: the range's chunks or the stored chunks.
  auto clear_in = [&](uint64_t key, Chunk& chunk) {
    uint64_t first = key * per_chunk;
    uint64_t lo = std::max(first, lba) - first;
    uint64_t hi = std::min(first + per_chunk, end) - first;  // exclusive
    if (lo >= hi) return;
    uint64_t mask = (hi - lo == 64) ? ~uint64_t(0) : ((uint64_t(1) << (hi - lo)) - 1) << lo;
    allocated_ -= __builtin_popcountll(chunk.present & mask);
    chunk.present &= ~mask;
  };
  const uint64_t first_key = lba >> chunk_shift_;
  const uint64_t last_key = (end - 1) >> chunk_shift_;
  if (last_key - first_key + 1 <= chunks_.size()) {
    for (uint64_t key = first_key;; ++key) {
      auto it = chunks_.find(key);
      if (it != chunks_.end()) {
        clear_in(key, it->second);
        if (!it->second.present) chunks_.erase(it);
      }
      if (key == last_key) break;
    }
  } else {
    for (auto it = chunks_.begin(); it != chunks_.end();) {
      if (it->first >= first_key && it->first <= last_key) clear_in(it->first, it->second);
      if (!it->second.present) {
        it = chunks_.erase(it);
      } else {
        ++it;
      }
    }
  }
}

bool BlockStore::Corrupt(uint64_t lba, uint32_t offset, uint8_t mask) {
  if (offset >= stored_) return false;
  if (!Find(lba)) {
    Chunk& chunk = ChunkFor(lba);
    uint64_t index = lba & ((uint64_t(1) << chunk_shift_) - 1);
    std::memset(chunk.data.get() + index * stored_, 0, stored_);
    chunk.present |= uint64_t(1) << index;
    ++allocated_;
  }
  auto it = chunks_.find(lba >> chunk_shift_);
  uint64_t index = lba & ((uint64_t(1) << chunk_shift_) - 1);
  it->second.data[index * stored_ + offset] ^= mask;
  return true;
}

}  // namespace kyt::sim
