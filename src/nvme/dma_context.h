// One zero-filled DMA-safe buffer (512-byte aligned unless asked otherwise) with its size. The process-wide byte count
// of all live buffers is kept in DmaContext::total_allocated_ (atomic: buffers are made on the worker and on the
// script's thread).
#ifndef KYT_NVME_DMA_CONTEXT_H
#define KYT_NVME_DMA_CONTEXT_H

#include <atomic>
#include <cstdint>

class DmaContext {
 public:
  static constexpr uint64_t kAlignment = 512;

  // Size 0 allocates nothing. A failed allocation leaves a null buffer and records size 0.
  explicit DmaContext(uint64_t size, uint64_t alignment = kAlignment);
  ~DmaContext();

  DmaContext(const DmaContext&) = delete;
  DmaContext& operator=(const DmaContext&) = delete;

  void* GetBuffer() const { return buffer_; }
  uint64_t GetSize() const { return size_; }

  static uint64_t GetTotalAllocated() { return total_allocated_.load(std::memory_order_relaxed); }

  static std::atomic<uint64_t> total_allocated_;

 private:
  void* buffer_ = nullptr;
  uint64_t size_ = 0;
};

#endif  // KYT_NVME_DMA_CONTEXT_H
