/*
 * Host memory as a simulated controller reaches it: bus addresses turned into pointers by a translation function.
 * The pages reached are remembered (direct-mapped by page number), so that commands on buffers the host reuses cost
 * a look-up in a table rather than a translation each. Everything remembered is forgotten once the environment
 * reports DMA memory given back (kyt_env_dma_release_count), so that memory which stopped being the host's is not
 * reached through an old translation. Not synchronised: the controller uses it under its lock.
 */
#ifndef KYT_SIM_HOST_MEMORY_H
#define KYT_SIM_HOST_MEMORY_H

#include <cstdint>
#include <vector>

namespace kyt::sim {

// Turns a bus address range into a pointer in this process, or null when the range is not host memory.
using TranslateFn = void* (*)(uint64_t iova, uint64_t len);

class HostMemory {
 public:
  explicit HostMemory(TranslateFn translate);

  // [iova, iova + len) in this process, or null when that is not host memory.
  void* Translate(uint64_t iova, uint64_t len) {
    const Page& page = pages_[(iova >> kPageShift) % kPages];
    if (page.number == iova >> kPageShift && (iova & kPageMask) + len <= kPageMask + 1)
      return page.at + (iova & kPageMask);
    return Reach(iova, len);
  }
  // Forgets the pages when DMA memory was given back since the last call. Called after reading the register or
  // doorbell that announced the work about to be served, before translating for it: memory given back before the
  // host announced the work is then never reached through an old translation.
  void Revalidate();

 private:
  static constexpr uint32_t kPageShift = 12;
  static constexpr uint64_t kPageMask = (uint64_t(1) << kPageShift) - 1;
  static constexpr uint32_t kPages = 1024;  // enough for the buffers a deep queue of 4 KiB commands cycles through
  struct Page {
    uint64_t number = ~uint64_t(0);  // bus address >> kPageShift; all ones: empty
    uint8_t* at = nullptr;
  };
  void* Reach(uint64_t iova, uint64_t len);

  TranslateFn translate_;
  uint64_t releases_;       // the environment's release count the remembered pages were reached under
  std::vector<Page> pages_;
};

}  // namespace kyt::sim

#endif  // KYT_SIM_HOST_MEMORY_H
