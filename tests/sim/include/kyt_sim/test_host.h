/*
 * A minimal NVMe host for tests of the simulated controller and of anything built on it: it reaches the controller
 * only the way a driver would (configuration space, a mapping of BAR0, queues in DMA memory, doorbells, completion
 * phase tags), never through the controller's internals.
 *
 * DMA memory comes from the environment library when it starts (kyt_env_test_init); otherwise from a private arena
 * whose bus addresses equal its virtual addresses. Hand TestHost::Translator() to the controller so that both agree.
 */
#ifndef KYT_SIM_TEST_HOST_H
#define KYT_SIM_TEST_HOST_H

#include <cstdint>
#include <memory>
#include <vector>

#include "kyt_sim/data_pointer.h"
#include "kyt_sim/nvme_defs.h"
#include "kyt_sim/sim_controller.h"

namespace kyt::sim {

class TestHost {
 public:
  struct Buffer {
    uint8_t* ptr = nullptr;
    uint64_t iova = 0;
    size_t size = 0;
  };
  struct Queue {
    uint16_t qid = 0;
    uint32_t size = 0;
    Buffer sq;
    Buffer cq;
    uint32_t sq_tail = 0;
    uint32_t cq_head = 0;
    bool phase = true;
    uint16_t next_cid = 0;
    bool auto_head_doorbell = true;  // write the CQ head doorbell after each reaped completion
  };

  // The translation the controller must use to reach this host's memory.
  static TranslateFn Translator();
  // Whether DMA memory comes from the environment library.
  static bool UsesEnvironmentMemory();

  // Maps BAR0 through the controller's shared-memory descriptor and enables memory decoding and bus mastering in
  // configuration space, as a driver does after claiming a device. The host's DMA memory is freed with it: destroy
  // (or disable) the controller first, so that nothing is posted into freed memory. The destructor touches neither
  // the controller nor its registers.
  explicit TestHost(SimController& controller);
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // Zeroed DMA memory, released with the host.
  Buffer Alloc(size_t size, size_t align = 4096);

  // Registers through the host's own mapping.
  uint32_t Read32(uint32_t offset);
  uint64_t Read64(uint32_t offset);
  void Write32(uint32_t offset, uint32_t value);
  void Write64(uint32_t offset, uint64_t value);
  // Waits until (CSTS & mask) == value; false after timeout_ms of the environment's test clock.
  bool WaitCsts(uint32_t mask, uint32_t value, int timeout_ms = 2000);
  // Configuration space through the controller's bus interface.
  uint32_t Config32(uint32_t offset);
  void SetConfig32(uint32_t offset, uint32_t value);

  // Set up the admin queue (AQA, ASQ, ACQ), write CC (EN, IOSQES 6, IOCQES 4, MPS, AMS) and wait for RDY.
  bool Enable(uint32_t admin_entries = 32, uint32_t mps = 0, uint32_t ams = 0);
  // CC.EN = 0 and wait for RDY 0. The controller forgets every queue; the host's Queue objects stay valid (their
  // memory lives as long as the host) but are no longer served.
  bool Disable();
  // CC.SHN = 01b and wait for SHST 10b.
  bool Shutdown();
  uint32_t page_size() const { return page_size_; }

  Queue& admin() { return admin_; }
  // Place a command (its CID is assigned and returned) without ringing the doorbell.
  uint16_t Push(Queue& q, Command cmd);
  void Ring(Queue& q);
  // Reap one completion (waiting up to timeout_ms of the test clock); false on timeout.
  bool Reap(Queue& q, Completion* out, int timeout_ms = 2000);
  // Whether a completion is waiting, without consuming it.
  bool Peek(Queue& q);
  // Write the CQ head doorbell now (with auto_head_doorbell off).
  void RingHead(Queue& q);
  // Push, ring and reap the completion of that command (other completions reaped meanwhile are dropped).
  bool Submit(Queue& q, const Command& cmd, Completion* out, int timeout_ms = 2000);

  // Create an I/O completion queue and submission queue with the same identifier and size (and SQ priority 0-3).
  Status CreateIoQueuePair(uint16_t qid, uint32_t entries, Queue** out, uint8_t priority = 0);
  Status DeleteIoQueuePair(Queue* q);

  // Data pointers for [iova, iova + len) of a buffer of this host: PRP1, PRP2 and, when needed, a PRP list (chained
  // across list pages as required) in memory allocated here.
  void BuildPrps(uint64_t iova, uint64_t len, uint64_t* prp1, uint64_t* prp2);

  // Convenience: admin commands with a 4096-byte data buffer, I/O block commands.
  Status Identify(uint8_t cns, uint32_t nsid, Buffer* data, uint16_t cntid = 0);
  Status AdminCommand(const Command& cmd, Completion* out = nullptr);
  // The data pointers describe nlb x block_bytes bytes from `offset` into `data` (none when data is empty).
  Status Io(Queue& q, uint8_t opcode, uint32_t nsid, uint64_t slba, uint32_t nlb, const Buffer& data,
            uint64_t offset = 0, Completion* out = nullptr, uint32_t block_bytes = 512);

  static Status StatusOf(const Completion& c) { return Status{c.sct(), c.sc(), c.more(), c.dnr()}; }

 private:
  volatile uint32_t* Reg(uint32_t offset) { return reinterpret_cast<volatile uint32_t*>(bar_ + offset); }
  volatile uint32_t* Doorbell(uint16_t qid, bool completion);

  SimController& ctrl_;
  uint8_t* bar_ = nullptr;
  uint64_t bar_size_ = 0;
  uint32_t stride_;
  uint32_t page_size_ = 4096;
  Queue admin_;
  std::vector<std::unique_ptr<Queue>> io_;
  std::vector<void*> allocations_;
};

}  // namespace kyt::sim

#endif  // KYT_SIM_TEST_HOST_H
