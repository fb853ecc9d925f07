#include "kyt_sim/protection_info.h"

#include <array>

namespace kyt::sim {

namespace {

std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x8BB7 : crc << 1);
    table[i] = crc;
  }
  return table;
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

}  // namespace

uint16_t Crc16T10Dif(const uint8_t* data, size_t len) {
  static const std::array<uint16_t, 256> table = MakeTable();
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i) crc = static_cast<uint16_t>(crc << 8 ^ table[(crc >> 8 ^ data[i]) & 0xFF]);
  return crc;
}

void ProtectionInfo::Generate(const uint8_t* data, uint32_t data_size, uint32_t index, uint8_t* tuple) const {
  const uint16_t guard = Crc16T10Dif(data, data_size);
  const uint32_t ref = ExpectedRef(index);
  tuple[0] = static_cast<uint8_t>(guard >> 8);
  tuple[1] = static_cast<uint8_t>(guard);
  tuple[2] = static_cast<uint8_t>(app_ >> 8);
  tuple[3] = static_cast<uint8_t>(app_);
  tuple[4] = static_cast<uint8_t>(ref >> 24);
  tuple[5] = static_cast<uint8_t>(ref >> 16);
  tuple[6] = static_cast<uint8_t>(ref >> 8);
  tuple[7] = static_cast<uint8_t>(ref);
}

Status ProtectionInfo::Check(const uint8_t* data, uint32_t data_size, uint32_t index, const uint8_t* tuple) const {
  const uint16_t app = Be16(tuple + 2);
  const uint32_t ref = Be32(tuple + 4);
  if (app == 0xFFFF && (type_ != 3 || ref == 0xFFFFFFFFu)) return Status::Success();
  if ((prchk_ & 4) && Be16(tuple) != Crc16T10Dif(data, data_size))
    return Status::Of(sct::kMediaError, mesc::kGuardCheckError);
  if ((prchk_ & 2) && (app & app_mask_) != (app_ & app_mask_))
    return Status::Of(sct::kMediaError, mesc::kAppTagCheckError);
  if ((prchk_ & 1) && ref != ExpectedRef(index)) return Status::Of(sct::kMediaError, mesc::kRefTagCheckError);
  return Status::Success();
}

}  // namespace kyt::sim
