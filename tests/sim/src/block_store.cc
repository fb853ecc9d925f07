#include "kyt_sim/block_store.h"

#include <sys/mman.h>

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
  flat_.reset();
  flat_blocks_ = 0;
  if (table_chunks > kMaxTableChunks) return;
  table_.resize(table_chunks);
  if (!first_8_only_ || table_chunks == 0) return;
  // The table's first-8-bytes blocks lie side by side in one mapping (at most 512 MiB of address space, backed only
  // where written, in large pages where the system offers them): a block's bytes follow from its LBA alone.
  const size_t bytes = size_t(table_chunks << chunk_shift_) * stored_;
  void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (at == MAP_FAILED) return;  // then each chunk has its own memory
  madvise(at, bytes, MADV_HUGEPAGE);
  flat_ = std::unique_ptr<uint8_t, Unmap>(static_cast<uint8_t*>(at), Unmap{bytes});
  flat_blocks_ = table_chunks << chunk_shift_;
}

void BlockStore::Unmap::operator()(uint8_t* at) const { munmap(at, bytes); }

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
  return BlockAt(lba, *chunk);
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
  if (lba >= flat_blocks_ && !chunk.data) chunk.data.reset(new uint8_t[size_t(stored_) << chunk_shift_]);
  return chunk;
}

void BlockStore::Write(uint64_t lba, const uint8_t* in) {
  Chunk& chunk = ChunkFor(lba);
  uint64_t index = lba & ((uint64_t(1) << chunk_shift_) - 1);
  if (!(chunk.present >> index & 1)) {
    chunk.present |= uint64_t(1) << index;
    ++allocated_;
  }
  std::memcpy(BlockAt(lba, chunk), in, stored_);
}

void BlockStore::ReadHeads(uint64_t lba, uint32_t count, uint8_t* host, uint32_t stride) const {
  const uint64_t last = (uint64_t(1) << chunk_shift_) - 1;
  while (count) {
    // One look-up per chunk the run touches.
    const Chunk* chunk = Lookup(lba >> chunk_shift_);
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, last + 1 - (lba & last)));
    if (chunk && chunk->present) {
      const uint64_t present = chunk->present >> (lba & last);
      const uint8_t* stored = BlockAt(lba, *chunk);
      for (uint32_t i = 0; i < n; ++i, host += stride) {
        uint64_t head = 0;
        if (present >> i & 1) std::memcpy(&head, stored + i * 8, 8);
        std::memcpy(host, &head, 8);
      }
    } else {
      for (uint32_t i = 0; i < n; ++i, host += stride) std::memset(host, 0, 8);
    }
    lba += n;
    count -= n;
  }
}

void BlockStore::WriteHeads(uint64_t lba, uint32_t count, const uint8_t* host, uint32_t stride) {
  const uint64_t last = (uint64_t(1) << chunk_shift_) - 1;
  while (count) {
    Chunk& chunk = ChunkFor(lba);
    const uint64_t index = lba & last;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, last + 1 - index));
    const uint64_t run = (n == 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1) << index;
    if (const uint64_t fresh = run & ~chunk.present) {
      allocated_ += __builtin_popcountll(fresh);
      chunk.present |= fresh;
    }
    uint8_t* stored = BlockAt(lba, chunk);
    for (uint32_t i = 0; i < n; ++i, host += stride) std::memcpy(stored + i * 8, host, 8);
    lba += n;
    count -= n;
  }
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
    std::memset(BlockAt(lba, chunk), 0, stored_);
    chunk.present |= uint64_t(1) << (lba & ((uint64_t(1) << chunk_shift_) - 1));
    ++allocated_;
  }
  BlockAt(lba, *Lookup(lba >> chunk_shift_))[offset] ^= mask;
  return true;
}

}  // namespace kyt::sim
