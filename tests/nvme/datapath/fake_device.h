/*
 * A hand-played NVMe function for driver tests: a software PCI function whose BAR0 is a memfd the test maps too,
 * whose configuration space is an array the test reads and writes, and whose queues the test inspects and answers
 * directly (submission entries byte for byte, completions with the device's phase tag).
 */
#ifndef KYT_TESTS_NVME_DATAPATH_FAKE_DEVICE_H
#define KYT_TESTS_NVME_DATAPATH_FAKE_DEVICE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nvme_internal.h"

namespace kyt::test {

class FakeDevice {
 public:
  struct Options {
    uint64_t bar_size = 64 * 1024;
    uint64_t bar_phys = 0xC0000000ull;
    bool bar0_programmed = true;  // config dword 0x10 holds the BAR address (false: lost in a power cycle)
    uint64_t cap = 0;             // 0: a default CAP (MQES 1023, CQR, TO 0x20, CSS NVM, MPSMIN 0)
    uint32_t cmbsz = 0;
    uint32_t cmbloc = 0;
  };

  explicit FakeDevice(const Options& opts);
  FakeDevice() : FakeDevice(Options()) {}
  ~FakeDevice();
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  // Construct the driver's controller over this function; nullptr on failure.
  spdk_nvme_ctrlr* Construct();
  void Destroy();

  // BAR0 as the device sees it; Vanish makes accesses through any mapping raise SIGBUS.
  template <typename T>
  T* Bar(uint32_t offset) const { return reinterpret_cast<T*>(bar_ + offset); }
  uint32_t Reg32(uint32_t offset) const { return __atomic_load_n(Bar<uint32_t>(offset), __ATOMIC_SEQ_CST); }
  uint64_t Reg64(uint32_t offset) const { return __atomic_load_n(Bar<uint64_t>(offset), __ATOMIC_SEQ_CST); }
  void SetReg32(uint32_t offset, uint32_t value) { __atomic_store_n(Bar<uint32_t>(offset), value, __ATOMIC_SEQ_CST); }
  void SetReg64(uint32_t offset, uint64_t value) { __atomic_store_n(Bar<uint64_t>(offset), value, __ATOMIC_SEQ_CST); }
  void Vanish();

  // Configuration space, and the offsets of the config writes the driver made.
  uint32_t Cfg32(uint32_t offset) const { return *reinterpret_cast<const uint32_t*>(&cfg_[offset]); }
  void SetCfg32(uint32_t offset, uint32_t value) { *reinterpret_cast<uint32_t*>(&cfg_[offset]) = value; }
  bool WroteCfg(uint32_t offset) const;

  // Doorbells of queue qid, CAP.DSTRD apart.
  uint32_t SqDoorbell(uint16_t qid) const { return Reg32(0x1000 + (2u * qid) * (4u << ((Reg64(0) >> 32) & 0xF))); }
  uint32_t CqDoorbell(uint16_t qid) const { return Reg32(0x1000 + (2u * qid + 1) * (4u << ((Reg64(0) >> 32) & 0xF))); }

  // The submission entry in slot `slot` of a queue pair.
  static spdk_nvme_cmd SqEntry(spdk_nvme_qpair* qpair, uint16_t slot);
  // Post a completion to a queue pair's CQ at the device's tail, with the device's phase.
  void Post(spdk_nvme_qpair* qpair, uint16_t cid, uint8_t sct = 0, uint8_t sc = 0, uint32_t cdw0 = 0);
  // Host memory a bus address refers to.
  static void* Dma(uint64_t iova, uint64_t len);
  void ForgetQueue(spdk_nvme_qpair* qpair) { cq_.erase(qpair); }

 private:
  static int CfgRead(void* ctx, void* value, uint32_t len, uint32_t offset);
  static int CfgWrite(void* ctx, const void* value, uint32_t len, uint32_t offset);

  Options o_;
  spdk_pci_addr addr_{};
  int fd_ = -1;
  uint8_t* bar_ = nullptr;
  alignas(4) uint8_t cfg_[4096] = {};
  std::vector<uint32_t> cfg_writes_;
  spdk_pci_device* dev_ = nullptr;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
  spdk_nvme_ctrlr_opts opts_{};
  std::map<spdk_nvme_qpair*, std::pair<uint16_t, uint8_t>> cq_;  // device's CQ tail and phase per queue
};

// Records every completion a callback receives.
struct CplLog {
  std::vector<spdk_nvme_cpl> cpls;
  static void Cb(void* arg, const spdk_nvme_cpl* cpl) { static_cast<CplLog*>(arg)->cpls.push_back(*cpl); }
};

// I/O queue pair options for the two-step creation.
spdk_nvme_io_qpair_opts IoOpts(uint32_t entries, bool delay_doorbell = false);

// A constructed controller over a fresh fake device, a DMA buffer of 520 pages, and I/O queue pairs deleted at the end.
class DevTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  spdk_nvme_qpair* MakeQueue(uint32_t entries, bool delay = false, uint16_t qid = 1);
  void Drop(spdk_nvme_qpair* q);
  // A command of `opc` (nsid 1, lba 0x1000, len/512 blocks) with `len` bytes at `data`.
  int Io(spdk_nvme_qpair* q, uint8_t opc, void* data, uint32_t len, CplLog* log);
  uint16_t AdminTail() const { return nvme_pcie_qpair(ctrlr_->adminq)->sq_tail; }
  // The admin entry placed last, and its completion.
  spdk_nvme_cmd LastAdmin() const { return FakeDevice::SqEntry(ctrlr_->adminq, (uint16_t)(AdminTail() + 127) % 128); }
  void CompleteLastAdmin(uint8_t sc = 0, uint32_t cdw0 = 0);
  static uint64_t Phys(const void* p) { return spdk_vtophys(const_cast<void*>(p), nullptr); }
  static int Count(nvme_request* first);

  std::unique_ptr<FakeDevice> dev_;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
  uint8_t* buf_ = nullptr;
  std::vector<spdk_nvme_qpair*> qpairs_;
};

}  // namespace kyt::test

#endif
