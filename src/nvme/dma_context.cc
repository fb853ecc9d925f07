#include "nvme/dma_context.h"

#include "spdk/env.h"

std::atomic<uint64_t> DmaContext::total_allocated_{0};

DmaContext::DmaContext(uint64_t size, uint64_t alignment) {
  if (size != 0) {
    buffer_ = spdk_dma_zmalloc(static_cast<size_t>(size), static_cast<size_t>(alignment), nullptr);
    size_ = buffer_ != nullptr ? size : 0;
  }
  total_allocated_.fetch_add(size_, std::memory_order_relaxed);
}

DmaContext::~DmaContext() {
  if (buffer_ != nullptr) {
    spdk_dma_free(buffer_);
  }
  total_allocated_.fetch_sub(size_, std::memory_order_relaxed);
}
