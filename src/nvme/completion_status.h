// The status word of a completion entry (its last 16 bits: phase 0, status code 1-8, status code type 9-11, more 14,
// do not retry 15), read in one place. A value of those 16 bits, decoded inline: it costs on the I/O path what a mask
// costs, and allocates nothing.
#ifndef KYT_NVME_COMPLETION_STATUS_H
#define KYT_NVME_COMPLETION_STATUS_H

#include <cstdint>

#include "spdk/nvme_spec.h"

namespace kyt {
namespace nvme {

class CompletionStatus {
 public:
  constexpr explicit CompletionStatus(uint16_t raw) : raw_(raw) {}
  explicit CompletionStatus(const spdk_nvme_cpl& cpl) : raw_(cpl.status_raw) {}

  constexpr uint16_t Raw() const { return raw_; }
  constexpr uint16_t Type() const { return (raw_ >> 9) & 0x7; }  // SCT
  constexpr uint16_t Code() const { return (raw_ >> 1) & 0xFF; }  // SC
  constexpr bool Phase() const { return (raw_ & 1u) != 0; }
  constexpr bool More() const { return (raw_ >> 14 & 1u) != 0; }
  constexpr bool DoNotRetry() const { return (raw_ >> 15 & 1u) != 0; }
  constexpr bool Is(uint16_t type, uint16_t code) const { return Type() == type && Code() == code; }

  // Failed as the script counts it: a non-zero status code. A status code type with code 0 alone does not count.
  constexpr bool Failed() const { return (raw_ & kCodeBits) != 0; }
  // An error as the driver counts it: a non-zero status code or status code type.
  constexpr bool IsError() const { return (raw_ & (kCodeBits | kTypeBits)) != 0; }
  // Ended by the host at the command's deadline (path related, aborted by host): the device may still execute it.
  constexpr bool HostTimedOut() const { return Is(SPDK_NVME_SCT_PATH, SPDK_NVME_SC_ABORTED_BY_HOST); }

 private:
  static constexpr uint16_t kCodeBits = 0xFF << 1;
  static constexpr uint16_t kTypeBits = 0x7 << 9;

  uint16_t raw_;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_COMPLETION_STATUS_H
