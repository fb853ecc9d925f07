/*
 * PCI configuration space of the simulated NVMe function (4096 bytes): header type 0, class 01:08:02, a 64-bit
 * non-prefetchable memory BAR0 that answers the all-ones size probe, a command register, and a capability list with
 * power management and PCI Express endpoint capabilities. Thread safe: the environment calls it from any thread.
 */
#ifndef KYT_SIM_PCI_CONFIG_SPACE_H
#define KYT_SIM_PCI_CONFIG_SPACE_H

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kyt::sim {

class PciConfigSpace {
 public:
  static constexpr uint32_t kSize = 4096;
  static constexpr uint32_t kCommand = 0x04;
  static constexpr uint16_t kCommandMemory = 1u << 1;
  static constexpr uint16_t kCommandBusMaster = 1u << 2;
  static constexpr uint16_t kCommandIntxDisable = 1u << 10;

  struct Identity {
    uint16_t vendor_id, device_id, subsystem_vendor_id, subsystem_id;
    uint8_t revision;
  };

  // bar0_size: a power of two; bar0_address: the bus address firmware assigned.
  PciConfigSpace(const Identity& id, uint64_t bar0_size, uint64_t bar0_address);

  // Config accesses of 1, 2 or 4 bytes within the 4096 bytes; false when out of range or of another width.
  bool Read(uint32_t offset, uint32_t len, void* value);
  bool Write(uint32_t offset, uint32_t len, const void* value);

  // Power-on state: BAR0 unassigned (reads 0 in its address bits), command register 0.
  void PowerOnReset();
  // Answer every read with all ones and drop writes (a function that fell off the link).
  void SetAllOnes(bool all_ones);

  uint16_t command() const { return command_.load(std::memory_order_relaxed); }
  uint64_t bar0_address();
  bool bus_master() const { return command() & kCommandBusMaster; }

 private:
  uint32_t Dword(uint32_t offset) const;
  void WriteDword(uint32_t offset, uint32_t value, uint32_t byte_mask);

  std::mutex mu_;
  uint8_t space_[kSize] = {};
  uint8_t writable_[kSize] = {};  // bits the host may change
  uint64_t bar0_size_;
  bool all_ones_ = false;
  std::atomic<uint16_t> command_{0};  // mirror of the command register for lock-free checks
};

}  // namespace kyt::sim

#endif  // KYT_SIM_PCI_CONFIG_SPACE_H
