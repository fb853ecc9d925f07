/*
 * One namespace of a simulated controller: its geometry (size, LBA format, metadata placement), whether it is attached
 * to the controller, its identifiers, its stored blocks and its Identify Namespace data.
 */
#ifndef KYT_SIM_SIM_NAMESPACE_H
#define KYT_SIM_SIM_NAMESPACE_H

#include <array>
#include <cstdint>

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
  const std::array<uint8_t, 16>& uuid() const { return uuid_; }

  BlockStore& store() { return store_; }
  const BlockStore& store() const { return store_; }

  // Format NVM: new LBA format and metadata placement; the byte capacity is kept, so the block counts change; every
  // block reads as zeros afterwards.
  void Format(uint8_t lbaf, bool extended);

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
  std::array<uint8_t, 16> uuid_;
  BlockStore store_;
};

}  // namespace kyt::sim

#endif  // KYT_SIM_SIM_NAMESPACE_H
