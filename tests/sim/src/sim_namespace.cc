#include "kyt_sim/sim_namespace.h"

#include <cstring>
#include <iterator>
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
      pi_type_(config.pi_type),
      pi_first_(config.pi_first),
      uuid_(uuid),
      store_(4096, first_8_only) {
  if (!ValidFormat(config.lba_format))
    throw std::invalid_argument("namespace " + std::to_string(config.nsid) + ": LBA format " +
                                std::to_string(config.lba_format) + " does not exist (0-" +
                                std::to_string(kLbaFormats.size() - 1) + ")");
  if (!ValidProtection(config.lba_format, config.pi_type))
    throw std::invalid_argument("namespace " + std::to_string(config.nsid) + ": protection information type " +
                                std::to_string(config.pi_type) + " needs a format with 8 bytes of metadata");
  if (config.blocks == 0)
    throw std::invalid_argument("namespace " + std::to_string(config.nsid) + ": size must be at least one block");
  store_.Reset(block_bytes(), nsze_);
}

void SimNamespace::Format(uint8_t lbaf, bool extended, uint8_t pi_type, bool pi_first) {
  pi_type_ = pi_type;
  pi_first_ = pi_first;
  uint64_t bytes = nsze_ * data_size();
  uint64_t cap_bytes = ncap_ * data_size();
  lbaf_ = lbaf;
  extended_ = extended;
  nsze_ = bytes / data_size();
  ncap_ = cap_bytes / data_size();
  store_.Reset(block_bytes(), nsze_);
  uncorrectable_.clear();
}

void SimNamespace::MarkUncorrectable(uint64_t lba, uint64_t count) {
  if (count == 0) return;
  ClearUncorrectable(lba, count);
  uint64_t start = lba, end = lba + count;
  // Merge with touching neighbours.
  auto next = uncorrectable_.find(end);
  if (next != uncorrectable_.end()) {
    end = next->second;
    uncorrectable_.erase(next);
  }
  auto it = uncorrectable_.lower_bound(start);
  if (it != uncorrectable_.begin()) {
    auto prev = std::prev(it);
    if (prev->second == start) {
      start = prev->first;
      uncorrectable_.erase(prev);
    }
  }
  uncorrectable_[start] = end;
}

void SimNamespace::ClearUncorrectable(uint64_t lba, uint64_t count) {
  if (count == 0 || uncorrectable_.empty()) return;
  const uint64_t end = lba + count;
  auto it = uncorrectable_.lower_bound(lba);
  if (it != uncorrectable_.begin() && std::prev(it)->second > lba) --it;
  while (it != uncorrectable_.end() && it->first < end) {
    const uint64_t s = it->first, e = it->second;
    it = uncorrectable_.erase(it);
    if (s < lba) uncorrectable_[s] = lba;
    if (e > end) uncorrectable_[end] = e;
  }
}

bool SimNamespace::FindUncorrectable(uint64_t lba, uint64_t count, uint64_t* first) const {
  if (uncorrectable_.empty()) return false;
  auto it = uncorrectable_.upper_bound(lba);
  if (it != uncorrectable_.begin() && std::prev(it)->second > lba) {
    *first = lba;
    return true;
  }
  if (it != uncorrectable_.end() && it->first < lba + count) {
    *first = it->first;
    return true;
  }
  return false;
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
  out[28] = 0x1F;                               // DPC: types 1-3, first or last 8 bytes of metadata
  out[29] = static_cast<uint8_t>(pi_type_ | (pi_type_ && pi_first_ ? 0x08 : 0));  // DPS
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
