#include "kyt_sim/test_host.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "kyt/env_test.h"
#include "kyt_sim/test_clock.h"
#include "spdk/env.h"

namespace kyt::sim {

namespace {

// Fallback DMA memory: one reserved region whose bus addresses are its virtual addresses.
struct Arena {
  static constexpr size_t kSize = size_t(1) << 30;
  uint8_t* base = nullptr;
  size_t used = 0;
  std::mutex mu;

  Arena() {
    void* p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("cannot reserve host memory for the test host");
    base = static_cast<uint8_t*>(p);
  }
  void* Alloc(size_t size, size_t align) {
    std::lock_guard<std::mutex> lock(mu);
    size_t at = (used + align - 1) / align * align;
    if (at + size > kSize) throw std::runtime_error("test host memory exhausted");
    used = at + size;
    std::memset(base + at, 0, size);
    return base + at;
  }
  void Free(void* p, size_t size) {
    // Give the pages back; the address range is not reused.
    uintptr_t start = (reinterpret_cast<uintptr_t>(p) + 4095) & ~uintptr_t(4095);
    uintptr_t end = (reinterpret_cast<uintptr_t>(p) + size) & ~uintptr_t(4095);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
  }
};

Arena& TheArena() {
  static Arena* arena = new Arena();
  return *arena;
}

void* ArenaTranslate(uint64_t iova, uint64_t len) {
  Arena& a = TheArena();
  uint64_t base = reinterpret_cast<uint64_t>(a.base);
  if (iova < base || len > Arena::kSize || iova - base > Arena::kSize - len) return nullptr;
  return reinterpret_cast<void*>(iova);
}

bool DecideEnvironmentMemory() {
  const char* mode = std::getenv("KYT_SIM_HOST_MEMORY");
  if (mode && std::strcmp(mode, "arena") == 0) return false;
  if (kyt_env_test_init("kyt_sim_test") != 0) return false;
  uint64_t phys = 0;
  void* probe = spdk_dma_zmalloc(4096, 4096, &phys);
  if (!probe) return false;
  bool ok = kyt_env_iova_to_vaddr(spdk_vtophys(probe, nullptr), 4096) == probe;
  spdk_dma_free(probe);
  return ok;
}


}  // namespace

bool TestHost::UsesEnvironmentMemory() {
  static const bool env = DecideEnvironmentMemory();
  return env;
}

TranslateFn TestHost::Translator() { return UsesEnvironmentMemory() ? nullptr : &ArenaTranslate; }

TestHost::TestHost(SimController& controller) : ctrl_(controller), stride_(controller.doorbell_stride()) {
  UsesEnvironmentMemory();
  int fd = controller.bar0_fd();
  if (fd < 0) throw std::runtime_error("the controller is not on the bus");
  bar_size_ = controller.bar0_size();
  void* p = mmap(nullptr, bar_size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) throw std::runtime_error("cannot map BAR0");
  bar_ = static_cast<uint8_t*>(p);
  uint32_t command = Config32(PciConfigSpace::kCommand);
  SetConfig32(PciConfigSpace::kCommand,
              command | PciConfigSpace::kCommandMemory | PciConfigSpace::kCommandBusMaster |
                  PciConfigSpace::kCommandIntxDisable);
}

TestHost::~TestHost() {
  if (bar_) munmap(bar_, bar_size_);
  for (void* p : allocations_) {
    if (UsesEnvironmentMemory()) {
      spdk_dma_free(p);
    } else {
      size_t size;
      std::memcpy(&size, static_cast<uint8_t*>(p) - 64, sizeof(size));
      TheArena().Free(static_cast<uint8_t*>(p) - 64, size + 64);
    }
  }
}

TestHost::Buffer TestHost::Alloc(size_t size, size_t align) {
  Buffer b;
  b.size = size;
  if (UsesEnvironmentMemory()) {
    uint64_t phys = 0;
    b.ptr = static_cast<uint8_t*>(spdk_dma_zmalloc(size, align, &phys));
    if (!b.ptr) throw std::runtime_error("DMA allocation failed");
    b.iova = spdk_vtophys(b.ptr, nullptr);
  } else {
    // A 64-byte header before the block remembers its size for the release.
    if (align < 64) align = 64;
    uint8_t* raw = static_cast<uint8_t*>(TheArena().Alloc(size + align, align));
    b.ptr = raw + align;
    std::memcpy(b.ptr - 64, &size, sizeof(size));
    b.iova = reinterpret_cast<uint64_t>(b.ptr);
  }
  allocations_.push_back(b.ptr);
  return b;
}

uint32_t TestHost::Read32(uint32_t offset) { return *Reg(offset); }
uint64_t TestHost::Read64(uint32_t offset) { return *Reg(offset) | uint64_t(*Reg(offset + 4)) << 32; }
void TestHost::Write32(uint32_t offset, uint32_t value) { *Reg(offset) = value; }
void TestHost::Write64(uint32_t offset, uint64_t value) {
  *Reg(offset) = static_cast<uint32_t>(value);
  *Reg(offset + 4) = static_cast<uint32_t>(value >> 32);
}

bool TestHost::WaitCsts(uint32_t mask, uint32_t value, int timeout_ms) {
  return PollOnTestClock([] { std::this_thread::yield(); }, [&] { return (Read32(reg::kCsts) & mask) == value; },
                         timeout_ms / 1000.0);
}

uint32_t TestHost::Config32(uint32_t offset) {
  uint32_t v = 0xFFFFFFFFu;
  if (!ctrl_.ConfigRead(offset, 4, &v)) return 0xFFFFFFFFu;
  return v;
}

void TestHost::SetConfig32(uint32_t offset, uint32_t value) { ctrl_.ConfigWrite(offset, 4, &value); }

volatile uint32_t* TestHost::Doorbell(uint16_t qid, bool completion) {
  return Reg(reg::kDoorbellBase + (2u * qid + (completion ? 1 : 0)) * stride_);
}

bool TestHost::Enable(uint32_t admin_entries, uint32_t mps, uint32_t ams) {
  page_size_ = 4096u << mps;
  admin_ = Queue{};
  admin_.qid = 0;
  admin_.size = admin_entries;
  admin_.sq = Alloc(size_t(admin_entries) * 64, page_size_);
  admin_.cq = Alloc(size_t(admin_entries) * 16, page_size_);
  Write32(reg::kAqa, (admin_entries - 1) | (admin_entries - 1) << 16);
  Write64(reg::kAsq, admin_.sq.iova);
  Write64(reg::kAcq, admin_.cq.iova);
  Write32(reg::kCc, cc::kEn | (mps << 7) | (ams << 11) | (6u << 16) | (4u << 20));
  return WaitCsts(csts::kRdy, csts::kRdy);
}

bool TestHost::Disable() {
  Write32(reg::kCc, Read32(reg::kCc) & ~cc::kEn);
  return WaitCsts(csts::kRdy, 0);
}

bool TestHost::Shutdown() {
  Write32(reg::kCc, (Read32(reg::kCc) & ~(3u << 14)) | (1u << 14));
  return WaitCsts(csts::kShstMask, csts::kShstComplete);
}

uint16_t TestHost::Push(Queue& q, Command cmd) {
  const uint16_t cid = q.next_cid++;
  cmd.cdw0 = (cmd.cdw0 & 0xFFFF) | uint32_t(cid) << 16;
  std::memcpy(q.sq.ptr + size_t(q.sq_tail) * 64, &cmd, 64);
  q.sq_tail = (q.sq_tail + 1) % q.size;
  return cid;
}

void TestHost::Ring(Queue& q) {
  std::atomic_thread_fence(std::memory_order_release);
  *Doorbell(q.qid, false) = q.sq_tail;
}

bool TestHost::Peek(Queue& q) {
  auto* entry = reinterpret_cast<volatile Completion*>(q.cq.ptr + size_t(q.cq_head) * 16);
  return ((entry->status & 1) != 0) == q.phase;
}

void TestHost::RingHead(Queue& q) { *Doorbell(q.qid, true) = q.cq_head; }

bool TestHost::Reap(Queue& q, Completion* out, int timeout_ms) {
  if (!PollOnTestClock([] { std::this_thread::yield(); }, [&] { return Peek(q); }, timeout_ms / 1000.0)) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  std::memcpy(out, q.cq.ptr + size_t(q.cq_head) * 16, 16);
  if (++q.cq_head == q.size) {
    q.cq_head = 0;
    q.phase = !q.phase;
  }
  if (q.auto_head_doorbell) RingHead(q);
  return true;
}

bool TestHost::Submit(Queue& q, const Command& cmd, Completion* out, int timeout_ms) {
  const uint16_t cid = Push(q, cmd);
  Ring(q);
  Completion c;
  while (Reap(q, &c, timeout_ms)) {
    if (c.cid == cid && c.sqid == q.qid) {
      *out = c;
      return true;
    }
  }
  return false;
}

Status TestHost::AdminCommand(const Command& cmd, Completion* out) {
  Completion c{};
  if (!Submit(admin_, cmd, &c)) return Status::Of(sct::kVendor, 0xFF);  // no completion
  if (out) *out = c;
  return StatusOf(c);
}

Status TestHost::CreateIoQueuePair(uint16_t qid, uint32_t entries, Queue** out, uint8_t priority) {
  auto q = std::make_unique<Queue>();
  q->qid = qid;
  q->size = entries;
  q->sq = Alloc(size_t(entries) * 64, page_size_);
  q->cq = Alloc(size_t(entries) * 16, page_size_);
  Command c{};
  c.cdw0 = admin_opc::kCreateIoCq;
  c.prp1 = q->cq.iova;
  c.cdw10 = qid | (entries - 1) << 16;
  c.cdw11 = 1;  // physically contiguous, no interrupts
  Status st = AdminCommand(c);
  if (!st.ok()) return st;
  c = Command{};
  c.cdw0 = admin_opc::kCreateIoSq;
  c.prp1 = q->sq.iova;
  c.cdw10 = qid | (entries - 1) << 16;
  c.cdw11 = 1 | uint32_t(priority & 3) << 1 | uint32_t(qid) << 16;
  st = AdminCommand(c);
  if (!st.ok()) {
    Command d{};
    d.cdw0 = admin_opc::kDeleteIoCq;
    d.cdw10 = qid;
    AdminCommand(d);
    return st;
  }
  *out = q.get();
  io_.push_back(std::move(q));
  return st;
}

Status TestHost::DeleteIoQueuePair(Queue* q) {
  Command c{};
  c.cdw0 = admin_opc::kDeleteIoSq;
  c.cdw10 = q->qid;
  Status st = AdminCommand(c);
  if (!st.ok()) return st;
  c.cdw0 = admin_opc::kDeleteIoCq;
  return AdminCommand(c);
}

void TestHost::BuildPrps(uint64_t iova, uint64_t len, uint64_t* prp1, uint64_t* prp2) {
  const uint64_t mask = page_size_ - 1;
  *prp1 = iova;
  *prp2 = 0;
  const uint64_t first = std::min<uint64_t>(page_size_ - (iova & mask), len);
  if (len <= first) return;
  uint64_t next = (iova & ~mask) + page_size_;
  const uint64_t pages = (len - first + page_size_ - 1) / page_size_;
  if (pages == 1) {
    *prp2 = next;
    return;
  }
  const uint64_t per_list = page_size_ / 8;
  Buffer list = Alloc(page_size_, page_size_);
  *prp2 = list.iova;
  uint64_t left = pages;
  auto* entries = reinterpret_cast<uint64_t*>(list.ptr);
  while (left > 0) {
    if (left <= per_list) {
      for (uint64_t i = 0; i < left; ++i, next += page_size_) entries[i] = next;
      left = 0;
    } else {
      for (uint64_t i = 0; i < per_list - 1; ++i, next += page_size_) entries[i] = next;
      left -= per_list - 1;
      Buffer more = Alloc(page_size_, page_size_);
      entries[per_list - 1] = more.iova;
      entries = reinterpret_cast<uint64_t*>(more.ptr);
    }
  }
}

Status TestHost::Identify(uint8_t cns, uint32_t nsid, Buffer* data, uint16_t cntid) {
  if (!data->ptr) *data = Alloc(4096);
  Command c{};
  c.cdw0 = admin_opc::kIdentify;
  c.nsid = nsid;
  c.prp1 = data->iova;
  c.cdw10 = cns | uint32_t(cntid) << 16;
  return AdminCommand(c);
}

Status TestHost::Io(Queue& q, uint8_t opcode, uint32_t nsid, uint64_t slba, uint32_t nlb, const Buffer& data,
                    uint64_t offset, Completion* out, uint32_t block_bytes) {
  Command c{};
  c.cdw0 = opcode;
  c.nsid = nsid;
  c.cdw10 = static_cast<uint32_t>(slba);
  c.cdw11 = static_cast<uint32_t>(slba >> 32);
  c.cdw12 = nlb - 1;
  if (data.ptr) BuildPrps(data.iova + offset, uint64_t(nlb) * block_bytes, &c.prp1, &c.prp2);
  Completion done{};
  if (!Submit(q, c, &done)) return Status::Of(sct::kVendor, 0xFF);
  if (out) *out = done;
  return StatusOf(done);
}

}  // namespace kyt::sim
