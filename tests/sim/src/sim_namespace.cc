#include "kyt_sim/sim_namespace.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace kyt::sim {

namespace {
void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
void Put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
uint8_t Log2(uint32_t v) {
  uint8_t r = 0;
  while ((1u << r) < v) ++r;
  return r;
}
}  // namespace

SimNamespace::SimNamespace(const NamespaceConfig& config, const std::array<uint8_t, 16>& uuid, bool first_8_only)
    : nsid_(config.nsid),
      attached_(config.active),
      nsze_(config.blocks),
      ncap_(config.blocks),
      lbaf_(config.lba_format),
      extended_(config.extended_lba),
      uuid_(uuid),
      store_(4096, first_8_only) {
  if (!ValidFormat(config.lba_format))
    throw std::invalid_argument("namespace " + std::to_string(config.nsid) + ": LBA format " +
                                std::to_string(config.lba_format) + " does not exist (0-" +
                                std::to_string(kLbaFormats.size() - 1) + ")");
  if (config.pi_type != 0)
    throw std::invalid_argument("namespace " + std::to_string(config.nsid) + ": protection information is not supported");
  if (config.blocks == 0)
    throw std::invalid_argument("namespace " + std::to_string(config.nsid) + ": size must be at least one block");
  store_.Reset(block_bytes());
}

void SimNamespace::Format(uint8_t lbaf, bool extended) {
  uint64_t bytes = nsze_ * data_size();
  uint64_t cap_bytes = ncap_ * data_size();
  lbaf_ = lbaf;
  extended_ = extended;
  nsze_ = bytes / data_size();
  ncap_ = cap_bytes / data_size();
  store_.Reset(block_bytes());
}

void SimNamespace::FillIdentify(uint8_t* out, int format_remaining_percent) const {
  std::memset(out, 0, 4096);
  Put64(out + 0, nsze_);                        // NSZE
  Put64(out + 8, ncap_);                        // NCAP
  Put64(out + 16, store_.allocated_blocks());   // NUSE
  out[24] = 0x01;                               // NSFEAT: thin provisioning (NUSE is what holds data)
  out[25] = static_cast<uint8_t>(kLbaFormats.size() - 1);  // NLBAF, zero-based
  out[26] = static_cast<uint8_t>(lbaf_ | (extended_ ? 0x10 : 0));  // FLBAS
  out[27] = 0x03;                               // MC: extended LBA and separate metadata buffer
  out[28] = 0x00;                               // DPC: no protection information
  out[29] = 0x00;                               // DPS
  out[30] = 0x00;                               // NMIC: private namespace
  out[32] = format_remaining_percent >= 0 ? static_cast<uint8_t>(0x80 | format_remaining_percent) : 0x80;  // FPI
  out[33] = 0x09;                               // DLFEAT: deallocated blocks read zeros; Write Zeroes may deallocate
  // NVMCAP (16 bytes, little endian): bytes of capacity.
  Put64(out + 48, capacity_bytes());
  std::memcpy(out + 104, uuid_.data(), 16);     // NGUID
  for (size_t i = 0; i < kLbaFormats.size(); ++i) {
    uint8_t* f = out + 128 + 4 * i;
    Put16(f, kLbaFormats[i].metadata_size);     // MS
    f[2] = Log2(kLbaFormats[i].data_size);      // LBADS
    f[3] = kLbaFormats[i].data_size == 4096 ? 0 : 2;  // RP: 4 KiB best, 512 B good
  }
}

void SimNamespace::FillDescriptors(uint8_t* out) const {
  std::memset(out, 0, 4096);
  // NGUID (type 2) then UUID (type 3), each: NIDT, NIDL, 2 reserved bytes, the identifier.
  out[0] = 2;
  out[1] = 16;
  std::memcpy(out + 4, uuid_.data(), 16);
  out[20] = 3;
  out[21] = 16;
  std::memcpy(out + 24, uuid_.data(), 16);
}

}  // namespace kyt::sim
