#include "kyt_sim/host_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include "kyt/env_test.h"

namespace kyt::sim {
namespace {

// Host memory for this test: one page at bus address kBase, reachable or not.
constexpr uint64_t kBase = 0x200000;
alignas(4096) uint8_t g_page[4096];
bool g_reachable = true;

void* Translate(uint64_t iova, uint64_t len) {
  if (!g_reachable || iova < kBase || iova + len > kBase + sizeof(g_page)) return nullptr;
  return g_page + (iova - kBase);
}

TEST(HostMemoryTest, ForgetsPagesOnceDmaMemoryIsGivenBack) {
  HostMemory memory(Translate);
  EXPECT_EQ(memory.Translate(kBase + 8, 16), g_page + 8);
  g_reachable = false;
  // DMA memory given back anywhere (here: registered, then unregistered): the page is not reached any more.
  constexpr size_t k2M = size_t(2) << 20;
  void* area = mmap(nullptr, 2 * k2M, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(area, MAP_FAILED);
  void* chunk = reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(area) + k2M - 1) & ~uintptr_t(k2M - 1));
  ASSERT_EQ(spdk_mem_register(chunk, k2M), 0);
  ASSERT_EQ(spdk_mem_unregister(chunk, k2M), 0);
  memory.Revalidate();
  EXPECT_EQ(memory.Translate(kBase + 8, 16), nullptr);
  munmap(area, 2 * k2M);
}

}  // namespace
}  // namespace kyt::sim
