#include "kyt_sim/host_memory.h"

#include <atomic>

#include "kyt/env_test.h"

namespace kyt::sim {

HostMemory::HostMemory(TranslateFn translate)
    : translate_(translate), releases_(kyt_env_dma_release_count()), pages_(kPages) {}

void HostMemory::Revalidate() {
  // The caller's register or doorbell reads come before the count's.
  std::atomic_thread_fence(std::memory_order_acquire);
  const uint64_t releases = kyt_env_dma_release_count();
  if (releases == releases_) return;
  releases_ = releases;
  pages_.assign(kPages, Page{});
}

void* HostMemory::Reach(uint64_t iova, uint64_t len) {
  const uint64_t offset = iova & kPageMask;
  if (offset + len > kPageMask + 1) return translate_(iova, len);  // more than a page: asked every time
  auto* at = static_cast<uint8_t*>(translate_(iova - offset, kPageMask + 1));
  if (!at) return translate_(iova, len);  // the page is not wholly host memory: perhaps the range is
  Page& page = pages_[(iova >> kPageShift) % kPages];
  page.number = iova >> kPageShift;
  page.at = at;
  return at + offset;
}

}  // namespace kyt::sim
