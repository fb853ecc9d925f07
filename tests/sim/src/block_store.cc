#include "kyt_sim/block_store.h"

#include <algorithm>
#include <cstring>

namespace kyt::sim {

namespace {
// The largest flat table: 2^20 chunks (16 MiB of chunk records).
constexpr uint64_t kMaxTableChunks = uint64_t(1) << 20;
}  // namespace

BlockStore::BlockStore(uint32_t block_bytes, bool first_8_only)
    : block_bytes_(block_bytes), first_8_only_(first_8_only) {
  Configure(block_bytes, 0);
}

void BlockStore::Configure(uint32_t block_bytes, uint64_t blocks) {
  block_bytes_ = block_bytes;
  stored_ = first_8_only_ ? std::min<uint32_t>(8, block_bytes) : block_bytes;
  // Aim for chunks of about 32 KiB, between 1 and 64 blocks.
  uint32_t per_chunk = 1;
  while (per_chunk < 64 && uint64_t(per_chunk) * 2 * stored_ <= 32768) per_chunk *= 2;
  chunk_shift_ = 0;
  while ((1u << chunk_shift_) < per_chunk) ++chunk_shift_;
  const uint64_t table_chunks = (blocks + per_chunk - 1) >> chunk_shift_;
  table_.clear();
  if (table_chunks <= kMaxTableChunks) table_.resize(table_chunks);
}

void BlockStore::Reset(uint32_t block_bytes, uint64_t blocks) {
  chunks_.clear();
  allocated_ = 0;
  Configure(block_bytes, blocks);
}

BlockStore::Chunk* BlockStore::Lookup(uint64_t key) {
  if (key < table_.size()) return &table_[key];
  auto it = chunks_.find(key);
  return it == chunks_.end() ? nullptr : &it->second;
}

const uint8_t* BlockStore::Find(uint64_t lba) const {
  const Chunk* chunk = Lookup(lba >> chunk_shift_);
  if (!chunk) return nullptr;
  uint64_t index = lba & ((uint64_t(1) << chunk_shift_) - 1);
  if (!(chunk->present >> index & 1)) return nullptr;
  return chunk->data.get() + index * stored_;
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
  const uint64_t key = lba >> chunk_shift_;
  Chunk& chunk = key < table_.size() ? table_[key] : chunks_[key];
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
  if (count == 0 || allocated_ == 0) return;
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
  uint64_t first_key = lba >> chunk_shift_;
  const uint64_t last_key = (end - 1) >> chunk_shift_;
  // The table's chunks keep their memory; only the hashed ones are released when they empty.
  for (; first_key <= last_key && first_key < table_.size(); ++first_key) clear_in(first_key, table_[first_key]);
  if (first_key > last_key || chunks_.empty()) return;
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
  uint64_t index = lba & ((uint64_t(1) << chunk_shift_) - 1);
  Lookup(lba >> chunk_shift_)->data[index * stored_ + offset] ^= mask;
  return true;
}

}  // namespace kyt::sim
