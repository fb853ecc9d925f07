/*
 * A hand-played NVMe function for driver tests: a software PCI function whose BAR0 is a memfd the test maps too,
 * whose configuration space is an array the test reads and writes, and whose queues the test inspects and answers
 * directly (submission entries byte for byte, completions with the device's phase tag).
 */
#ifndef KYT_TESTS_NVME_PART1_FAKE_DEVICE_H
#define KYT_TESTS_NVME_PART1_FAKE_DEVICE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <map>
#include <string>
#include <vector>

#include "nvme_internal.h"

namespace kyt::test {

class FakeDevice {
 public:
  struct Options {
    uint8_t bus = 0x40;
    uint64_t bar_size = 64 * 1024;
    uint64_t bar_phys = 0xC0000000ull;
    bool bar0_programmed = true;  // config dword 0x10 holds the BAR address (false: lost in a power cycle)
    uint64_t cap = 0;             // 0: a default CAP (MQES 1023, CQR, TO 0x20, CSS NVM, MPSMIN 0)
    uint32_t vs = 0x00010400;
    uint32_t cmbsz = 0;
    uint32_t cmbloc = 0;
    uint16_t vendor = 0x1b36;
    uint16_t device = 0x0010;
  };

  explicit FakeDevice(const Options& opts);
  FakeDevice() : FakeDevice(Options()) {}
  ~FakeDevice();
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  // Construct the driver's controller over this function; nullptr on failure.
  spdk_nvme_ctrlr* Construct();
  // Default controller options used by Construct (tests may change them first).
  spdk_nvme_ctrlr_opts& opts() { return opts_; }
  spdk_nvme_ctrlr* ctrlr() const { return ctrlr_; }
  // Destruct the controller (if any).
  void Destroy();

  // BAR0 as the device sees it.
  uint32_t Reg32(uint32_t offset) const;
  uint64_t Reg64(uint32_t offset) const;
  void SetReg32(uint32_t offset, uint32_t value);
  void SetReg64(uint32_t offset, uint64_t value);
  uint8_t* bar() const { return bar_; }
  // Make BAR0 vanish: accesses through any mapping raise SIGBUS.
  void Vanish();

  // Configuration space.
  uint32_t Cfg32(uint32_t offset) const;
  uint16_t Cfg16(uint32_t offset) const;
  void SetCfg32(uint32_t offset, uint32_t value);
  // Config writes the driver made: (offset, length).
  const std::vector<std::pair<uint32_t, uint32_t>>& cfg_writes() const { return cfg_writes_; }

  // Doorbells of queue qid.
  uint32_t SqDoorbell(uint16_t qid) const;
  uint32_t CqDoorbell(uint16_t qid) const;

  // The submission entry in slot `slot` of a queue pair.
  static spdk_nvme_cmd SqEntry(spdk_nvme_qpair* qpair, uint16_t slot);
  // Post a completion to a queue pair's CQ at the device's tail, with the device's phase.
  void Post(spdk_nvme_qpair* qpair, uint16_t cid, uint8_t sct = 0, uint8_t sc = 0, uint32_t cdw0 = 0,
            bool dnr = false);
  // Post a success for every command the driver placed since the last call (by SQ slot order).
  int PostAllPending(spdk_nvme_qpair* qpair);
  // Host memory a bus address refers to.
  static void* Dma(uint64_t iova, uint64_t len);
  void ForgetQueue(spdk_nvme_qpair* qpair) { queues_.erase(qpair); }

  spdk_pci_device* pci_device() const { return dev_; }
  const std::string& address() const { return address_; }

 private:
  struct DevQueue {
    uint16_t cq_tail = 0;
    uint8_t phase = 1;
    uint16_t sq_seen = 0;
  };
  static int CfgRead(void* ctx, void* value, uint32_t len, uint32_t offset);
  static int CfgWrite(void* ctx, const void* value, uint32_t len, uint32_t offset);
  static int EnumCb(void* ctx, spdk_pci_device* dev);

  Options o_;
  std::string address_;
  spdk_pci_addr addr_{};
  int fd_ = -1;
  uint8_t* bar_ = nullptr;
  uint8_t cfg_[4096] = {};
  std::vector<std::pair<uint32_t, uint32_t>> cfg_writes_;
  spdk_pci_device* dev_ = nullptr;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
  spdk_nvme_ctrlr_opts opts_{};
  std::map<spdk_nvme_qpair*, DevQueue> queues_;
};

// A device thread that answers the admin queue: the handler sees each command (and may fill its data through
// FakeDevice::Dma) and returns the status code to complete it with (type generic).
class AdminResponder {
 public:
  using Handler = std::function<uint8_t(const spdk_nvme_cmd&)>;
  AdminResponder(FakeDevice* dev, spdk_nvme_ctrlr* ctrlr, Handler handler);
  ~AdminResponder();
  std::vector<spdk_nvme_cmd> Seen();

 private:
  void Run();
  FakeDevice* dev_;
  spdk_nvme_ctrlr* ctrlr_;
  Handler handler_;
  std::mutex mu_;
  std::vector<spdk_nvme_cmd> seen_;
  std::atomic<bool> stop_{false};
  uint32_t start_tail_;  // commands placed before the device started are not its business
  std::thread thread_;
};

// Records every completion a callback receives.
struct CplLog {
  std::vector<spdk_nvme_cpl> cpls;
  static void Cb(void* arg, const spdk_nvme_cpl* cpl) { static_cast<CplLog*>(arg)->cpls.push_back(*cpl); }
};

// I/O queue pair options for the two-step creation.
spdk_nvme_io_qpair_opts IoOpts(uint32_t entries, uint32_t requests = 0, bool delay_doorbell = false);

}  // namespace kyt::test

#endif
