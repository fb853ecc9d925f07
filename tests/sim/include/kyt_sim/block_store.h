/*
 * Sparse block storage of one simulated namespace: blocks cost memory only once written. A block that was never
 * written or was deallocated reads as zeros. Chunks of consecutive blocks are allocated together on first write.
 * When the namespace's block count is known and small enough, its chunks are found by index in a flat table (one
 * load, no hashing: the zero-latency mode serves a block with it); blocks beyond that table, or of a namespace too
 * large for one, are found by hash. In the first-8-bytes mode the table's blocks lie in one mapping, found from the
 * LBA alone.
 */
#ifndef KYT_SIM_BLOCK_STORE_H
#define KYT_SIM_BLOCK_STORE_H

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace kyt::sim {

class BlockStore {
 public:
  // block_bytes: data plus metadata of one block; first_8_only: keep only the first 8 bytes of each block (then only
  // ReadHeads and WriteHeads move data, and Read fills the rest of a block with zeros).
  BlockStore(uint32_t block_bytes, bool first_8_only);

  uint32_t block_bytes() const { return block_bytes_; }
  bool first_8_only() const { return first_8_only_; }

  // Copy one block out (block_bytes bytes); unwritten blocks read as zeros.
  void Read(uint64_t lba, uint8_t* out) const;
  // Store one block (block_bytes bytes).
  void Write(uint64_t lba, const uint8_t* in);
  // Pointer to a stored block's bytes, or null when it reads as zeros (never written or deallocated).
  const uint8_t* Find(uint64_t lba) const;
  // First-8-bytes mode: the first 8 bytes of blocks [lba, lba + count) to or from host + i * stride, block i (zeros
  // for blocks that hold none); the rest of each block's bytes are not touched.
  void ReadHeads(uint64_t lba, uint32_t count, uint8_t* host, uint32_t stride) const;
  void WriteHeads(uint64_t lba, uint32_t count, const uint8_t* host, uint32_t stride);
  // Forget blocks [lba, lba + count): they read as zeros again. Releases hashed chunks that become empty.
  void Deallocate(uint64_t lba, uint64_t count);
  // Forget everything and change the block size and, when known (not 0), the namespace's block count (Format NVM).
  void Reset(uint32_t block_bytes, uint64_t blocks = 0);
  // XOR `mask` into byte `offset` of a block (offset below the stored size); an unwritten block becomes written.
  // Returns false when the offset lies outside what is stored.
  bool Corrupt(uint64_t lba, uint32_t offset, uint8_t mask);

  // Blocks that hold data.
  uint64_t allocated_blocks() const { return allocated_; }
  // Bytes kept per block.
  uint32_t stored_bytes() const { return stored_; }

 private:
  struct Chunk {
    uint64_t present = 0;             // bit i: block i of the chunk holds data
    std::unique_ptr<uint8_t[]> data;  // blocks_per_chunk_ * stored_ bytes (none for chunks in the flat mapping)
  };
  struct Unmap {
    size_t bytes;
    void operator()(uint8_t* at) const;
  };
  // Where a block's bytes are kept (its chunk holds data).
  uint8_t* BlockAt(uint64_t lba, const Chunk& chunk) const {
    return lba < flat_blocks_ ? flat_.get() + lba * stored_
                              : chunk.data.get() + (lba & ((uint64_t(1) << chunk_shift_) - 1)) * stored_;
  }
  Chunk& ChunkFor(uint64_t lba);
  Chunk* Lookup(uint64_t key);
  const Chunk* Lookup(uint64_t key) const { return const_cast<BlockStore*>(this)->Lookup(key); }
  void Configure(uint32_t block_bytes, uint64_t blocks);

  uint32_t block_bytes_;
  bool first_8_only_;
  uint32_t stored_ = 0;            // bytes kept per block
  uint32_t chunk_shift_ = 0;       // log2 of blocks per chunk (at most 64 blocks)
  uint64_t allocated_ = 0;
  std::vector<Chunk> table_;                    // chunks 0 .. table_.size() - 1, by index
  std::unique_ptr<uint8_t, Unmap> flat_;        // first-8-bytes mode: the table's blocks, by LBA
  uint64_t flat_blocks_ = 0;                    // blocks in flat_
  std::unordered_map<uint64_t, Chunk> chunks_;  // chunks beyond the table, by hash
};

}  // namespace kyt::sim

#endif  // KYT_SIM_BLOCK_STORE_H
