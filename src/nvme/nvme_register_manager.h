// Thin door to one controller's 32-bit registers (byte offsets from BAR0). No caching or checking of its own.
// Worker thread only.
#ifndef KYT_NVME_NVME_REGISTER_MANAGER_H
#define KYT_NVME_NVME_REGISTER_MANAGER_H

#include <cstdint>

struct spdk_nvme_ctrlr;

namespace kyt {
namespace nvme {

class NvmeRegisterManager {
 public:
  static constexpr uint32_t kCapOffset = 0x00;
  static constexpr uint32_t kVsOffset = 0x08;
  static constexpr uint32_t kCcOffset = 0x14;
  static constexpr uint32_t kCstsOffset = 0x1C;
  static constexpr uint32_t kCmbszOffset = 0x3C;

  explicit NvmeRegisterManager(spdk_nvme_ctrlr* ctrlr) : ctrlr_(ctrlr) {}

  // true = the driver reported a failure; false = written.
  bool SetReg4(uint32_t offset, uint32_t value);
  // true = the driver reported a failure (the value is then whatever the driver stored); false = read.
  bool GetReg4(uint32_t offset, uint32_t& value);
  // The same for the controller machines, whose failures are exceptions: std::runtime_error "Failed to read from
  // <name> register" / "Failed to write to <name> register".
  uint32_t ReadReg4(uint32_t offset, const char* name);
  void WriteReg4(uint32_t offset, uint32_t value, const char* name);

  uint64_t GetCapRegister() const;   // cached at attachment
  uint32_t GetCstsRegister() const;  // read now; all ones when the read failed
  uint32_t GetVsRegister() const;    // cached at attachment
  uint32_t GetCmbszRegister() const; // read now; 0 when the read failed

 private:
  spdk_nvme_ctrlr* ctrlr_;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_NVME_REGISTER_MANAGER_H
