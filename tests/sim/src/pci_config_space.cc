#include "kyt_sim/pci_config_space.h"

#include <cstring>

namespace kyt::sim {

namespace {
constexpr uint32_t kBar0 = 0x10;
constexpr uint32_t kBar1 = 0x14;
constexpr uint32_t kPmCap = 0x40;
constexpr uint32_t kPcieCap = 0x50;

void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
}  // namespace

PciConfigSpace::PciConfigSpace(const Identity& id, uint64_t bar0_size, uint64_t bar0_address) : bar0_size_(bar0_size) {
  Put16(space_ + 0x00, id.vendor_id);
  Put16(space_ + 0x02, id.device_id);
  Put16(space_ + 0x06, 0x0010);  // status: capabilities list
  space_[0x08] = id.revision;
  space_[0x09] = 0x02;  // programming interface: NVM Express
  space_[0x0A] = 0x08;  // subclass: non-volatile memory controller
  space_[0x0B] = 0x01;  // class: mass storage
  space_[0x0E] = 0x00;  // header type 0, single function
  Put16(space_ + 0x2C, id.subsystem_vendor_id);
  Put16(space_ + 0x2E, id.subsystem_id);
  space_[0x34] = kPmCap;
  space_[0x3D] = 0x01;  // interrupt pin INTA

  // Power management capability, version 3, D0.
  space_[kPmCap + 0] = 0x01;
  space_[kPmCap + 1] = kPcieCap;
  Put16(space_ + kPmCap + 2, 0x0003);
  Put16(space_ + kPmCap + 4, 0x0008);  // PMCSR: no soft reset on D3hot->D0
  // PCI Express capability, version 2, endpoint; function level reset is not offered.
  space_[kPcieCap + 0] = 0x10;
  space_[kPcieCap + 1] = 0x00;
  Put16(space_ + kPcieCap + 2, 0x0002);
  Put32(space_ + kPcieCap + 4, 0x00000001);       // device capabilities: max payload 256 bytes
  Put16(space_ + kPcieCap + 8, 0x2810);           // device control: relaxed ordering, MPS 128, MRRS 512
  Put32(space_ + kPcieCap + 0x0C, 0x00400043);    // link capabilities: 8 GT/s x4
  Put16(space_ + kPcieCap + 0x12, 0x0043);        // link status: 8 GT/s x4

  // Writable bits: command register (memory space, bus master, parity, SERR, interrupt disable), cache line size,
  // latency timer, interrupt line, BAR0/BAR1 address bits, PM control, PCIe device control.
  Put16(writable_ + kCommand, 0x0546);
  writable_[0x0C] = 0xFF;
  writable_[0x0D] = 0xFF;
  writable_[0x3C] = 0xFF;
  Put32(writable_ + kBar0, static_cast<uint32_t>(~(bar0_size - 1)) & 0xFFFFFFF0u);
  Put32(writable_ + kBar1, 0xFFFFFFFFu);
  Put16(writable_ + kPmCap + 4, 0x0003);
  Put16(writable_ + kPcieCap + 8, 0x7CFF);

  Put32(space_ + kBar0, (static_cast<uint32_t>(bar0_address) & 0xFFFFFFF0u) | 0x4);  // 64-bit, non-prefetchable
  Put32(space_ + kBar1, static_cast<uint32_t>(bar0_address >> 32));
  Put16(space_ + kCommand, kCommandMemory);  // firmware enabled memory decoding
  command_ = kCommandMemory;
}

uint32_t PciConfigSpace::Dword(uint32_t offset) const {
  uint32_t v;
  std::memcpy(&v, space_ + offset, 4);
  return v;
}

bool PciConfigSpace::Read(uint32_t offset, uint32_t len, void* value) {
  if ((len != 1 && len != 2 && len != 4) || offset >= kSize || offset + len > kSize) return false;
  std::lock_guard<std::mutex> lock(mu_);
  if (all_ones_) {
    std::memset(value, 0xFF, len);
  } else {
    std::memcpy(value, space_ + offset, len);
  }
  return true;
}

void PciConfigSpace::WriteDword(uint32_t offset, uint32_t value, uint32_t byte_mask) {
  uint32_t writable;
  std::memcpy(&writable, writable_ + offset, 4);
  uint32_t mask = writable & byte_mask;
  uint32_t now = (Dword(offset) & ~mask) | (value & mask);
  std::memcpy(space_ + offset, &now, 4);
}

bool PciConfigSpace::Write(uint32_t offset, uint32_t len, const void* value) {
  if ((len != 1 && len != 2 && len != 4) || offset >= kSize || offset + len > kSize) return false;
  std::lock_guard<std::mutex> lock(mu_);
  if (all_ones_) return true;
  // Work on the enclosing dword(s) with a byte mask so that partial writes of BARs behave like hardware.
  uint32_t base = offset & ~3u;
  uint8_t bytes[8] = {};
  std::memcpy(bytes + (offset - base), value, len);
  uint32_t lo, hi;
  std::memcpy(&lo, bytes, 4);
  std::memcpy(&hi, bytes + 4, 4);
  uint64_t byte_mask64 = ((uint64_t(1) << (len * 8)) - 1) << ((offset - base) * 8);
  WriteDword(base, lo, static_cast<uint32_t>(byte_mask64));
  if ((byte_mask64 >> 32) && base + 4 < kSize) WriteDword(base + 4, hi, static_cast<uint32_t>(byte_mask64 >> 32));
  uint16_t cmd;
  std::memcpy(&cmd, space_ + kCommand, 2);
  command_.store(cmd, std::memory_order_relaxed);
  return true;
}

void PciConfigSpace::PowerOnReset() {
  std::lock_guard<std::mutex> lock(mu_);
  all_ones_ = false;
  Put32(space_ + kBar0, 0x4);
  Put32(space_ + kBar1, 0);
  Put16(space_ + kCommand, 0);
  command_ = 0;
  Put16(space_ + kPmCap + 4, 0x0008);
  Put16(space_ + kPcieCap + 8, 0x2810);
  space_[0x0C] = space_[0x0D] = space_[0x3C] = 0;
}

void PciConfigSpace::SetAllOnes(bool all_ones) {
  std::lock_guard<std::mutex> lock(mu_);
  all_ones_ = all_ones;
}

uint64_t PciConfigSpace::bar0_address() {
  std::lock_guard<std::mutex> lock(mu_);
  return (uint64_t(Dword(kBar1)) << 32) | (Dword(kBar0) & 0xFFFFFFF0u);
}

}  // namespace kyt::sim
