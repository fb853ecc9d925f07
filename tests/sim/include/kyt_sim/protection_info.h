/*
 * End-to-end data protection of the NVM command set: the 8-byte protection information tuple kept in a block's
 * metadata (guard CRC, application tag, reference tag; big endian) and its generation and checks.
 */
#ifndef KYT_SIM_PROTECTION_INFO_H
#define KYT_SIM_PROTECTION_INFO_H

#include <cstddef>
#include <cstdint>

#include "kyt_sim/nvme_defs.h"

namespace kyt::sim {

// CRC-16 T10-DIF (polynomial 0x8BB7, initial value 0, not reflected) over `len` bytes.
uint16_t Crc16T10Dif(const uint8_t* data, size_t len);

class ProtectionInfo {
 public:
  // What a command asks: PRACT, PRCHK (bit 2 guard, bit 1 application tag, bit 0 reference tag) and the expected
  // initial reference tag and application tag with its mask (CDW14, CDW15).
  ProtectionInfo(uint8_t pi_type, const Command& cmd)
      : type_(pi_type),
        pract_((cmd.cdw12 >> 29) & 1),
        prchk_((cmd.cdw12 >> 26) & 7),
        ref_(cmd.cdw14),
        app_(cmd.cdw15 & 0xFFFF),
        app_mask_(cmd.cdw15 >> 16) {}

  bool enabled() const { return type_ != 0; }
  bool pract() const { return type_ && pract_; }
  uint8_t prchk() const { return type_ ? prchk_ : 0; }
  // Type 1 ties the reference tag to the LBA: a command whose initial reference tag is not the low 32 bits of its
  // starting LBA is refused (Invalid Protection Information) when it checks or generates reference tags.
  bool RefTagValid(uint64_t slba) const {
    return type_ != 1 || !((prchk_ & 1) || pract_) || ref_ == static_cast<uint32_t>(slba);
  }
  // The tuple for block `index` of the command, over its `data_size` bytes of data.
  void Generate(const uint8_t* data, uint32_t data_size, uint32_t index, uint8_t* tuple) const;
  // Checks the tuple of block `index` as PRCHK asks: success or SCT 2h with the guard, application or reference tag
  // check error. A tuple with application tag FFFFh (and for type 3 reference tag FFFFFFFFh) is not checked.
  Status Check(const uint8_t* data, uint32_t data_size, uint32_t index, const uint8_t* tuple) const;

 private:
  uint32_t ExpectedRef(uint32_t index) const { return type_ == 3 ? ref_ : ref_ + index; }

  uint8_t type_;
  bool pract_;
  uint8_t prchk_;
  uint32_t ref_;
  uint16_t app_;
  uint16_t app_mask_;
};

}  // namespace kyt::sim

#endif  // KYT_SIM_PROTECTION_INFO_H
