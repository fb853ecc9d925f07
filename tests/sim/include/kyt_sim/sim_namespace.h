/*
 * One namespace of a simulated controller: its geometry (size, LBA format, metadata placement), whether it is attached
 * to the controller, its identifiers, its stored blocks and its Identify Namespace data.
 */
#ifndef KYT_SIM_SIM_NAMESPACE_H
#define KYT_SIM_SIM_NAMESPACE_H

#include <array>
#include <cstdint>
#include <map>

#include "kyt_sim/block_store.h"
#include "kyt_sim/sim_config.h"

namespace kyt::sim {

class SimNamespace {
 public:
  // Throws std::invalid_argument for an LBA format index beyond the table or protection information.
  SimNamespace(const NamespaceConfig& config, const std::array<uint8_t, 16>& uuid, bool first_8_only);

  uint32_t nsid() const { return nsid_; }
  bool attached() const { return attached_; }
  void set_attached(bool attached) { attached_ = attached; }

  uint64_t size() const { return nsze_; }          // NSZE in blocks
  uint64_t capacity() const { return ncap_; }      // NCAP in blocks
  void set_capacity(uint64_t blocks) { ncap_ = blocks; }
  uint8_t format_index() const { return lbaf_; }
  bool extended() const { return extended_; }
  uint32_t data_size() const { return kLbaFormats[lbaf_].data_size; }
  uint16_t metadata_size() const { return kLbaFormats[lbaf_].metadata_size; }
  uint32_t block_bytes() const { return data_size() + metadata_size(); }
  uint64_t capacity_bytes() const { return ncap_ * data_size(); }
  // End-to-end protection: type 0 (none) to 3, and whether the 8 bytes sit first in the metadata (else last).
  uint8_t pi_type() const { return pi_type_; }
  bool pi_first() const { return pi_first_; }
  uint32_t pi_offset() const { return pi_first_ ? 0 : metadata_size() - 8u; }
  const std::array<uint8_t, 16>& uuid() const { return uuid_; }

  BlockStore& store() { return store_; }
  const BlockStore& store() const { return store_; }

  // Format NVM: new LBA format, metadata placement and protection; the byte capacity is kept, so the block counts
  // change; every block reads as zeros afterwards. The caller checked that PI has 8 bytes of metadata.
  void Format(uint8_t lbaf, bool extended, uint8_t pi_type = 0, bool pi_first = false);
  // Whether a format can carry protection information of that type.
  static bool ValidProtection(uint8_t lbaf, uint8_t pi_type) {
    return pi_type <= 3 && (pi_type == 0 || kLbaFormats[lbaf].metadata_size >= 8);
  }

  // Blocks that fail reads with an unrecovered read error until they are written, zeroed, deallocated or formatted.
  void MarkUncorrectable(uint64_t lba, uint64_t count);
  void ClearUncorrectable(uint64_t lba, uint64_t count);
  // The first uncorrectable block in [lba, lba + count), if any.
  bool FindUncorrectable(uint64_t lba, uint64_t count, uint64_t* first) const;

  // Identify Namespace (CNS 00h/11h) into 4096 bytes; `format_progress` (0..100, or -1 when not formatting) fills FPI.
  void FillIdentify(uint8_t* out, int format_remaining_percent) const;
  // Namespace identification descriptors (CNS 03h) into 4096 bytes: NGUID and UUID.
  void FillDescriptors(uint8_t* out) const;
  // The data a Namespace Management create would need: NSZE, NCAP, FLBAS.
  static bool ValidFormat(uint8_t lbaf) { return lbaf < kLbaFormats.size(); }

 private:
  uint32_t nsid_;
  bool attached_;
  uint64_t nsze_;
  uint64_t ncap_;
  uint8_t lbaf_;
  bool extended_;
  uint8_t pi_type_;
  bool pi_first_;
  std::array<uint8_t, 16> uuid_;
  BlockStore store_;
  std::map<uint64_t, uint64_t> uncorrectable_;  // disjoint ranges: first block -> end (exclusive)
};

}  // namespace kyt::sim

#endif  // KYT_SIM_SIM_NAMESPACE_H
