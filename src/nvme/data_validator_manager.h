// The data validators of the process: one slot per namespace id (slot i is NSID i + 1), shared by every controller.
// Slots are added by Resize (after every attachment, with the controller's maximum NSID) and never removed.
// Worker thread only.
#ifndef KYT_NVME_DATA_VALIDATOR_MANAGER_H
#define KYT_NVME_DATA_VALIDATOR_MANAGER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "nvme/data_validator.h"

namespace kyt {
namespace nvme {

class DataValidatorManager {
 public:
  DataValidatorManager() = default;

  // Grows to `count` slots, each with a new disabled validator; a smaller or equal count does nothing.
  void Resize(uint32_t count);
  uint32_t GetSize() const { return static_cast<uint32_t>(validators_.size()); }

  // The slot's validator (enabled or not); empty for NSID 0 or above the number of slots.
  std::shared_ptr<DataValidator> GetDataValidator(uint32_t nsid) const;
  // The same validator without a new owner, for the I/O path (validators live as long as the manager).
  DataValidator* Find(uint32_t nsid) const {
    return nsid == 0 || nsid > validators_.size() ? nullptr : validators_[nsid - 1].get();
  }

  // Enables validation of `num_lbas` blocks of `block_size` bytes. Same size and block size again: nothing changes.
  // Another size keeps the tags of the LBAs that remain. Throws std::runtime_error "Invalid namespace ID <nsid>".
  DataValidatorStatus Enable(uint32_t nsid, uint64_t num_lbas, uint32_t block_size);
  // Like Enable, without the shortcut and without the log line.
  DataValidatorStatus Reset(uint32_t nsid, uint64_t num_lbas, uint32_t block_size);
  // Empties the validator in place (it stays in its slot). Throws like Enable.
  void Disable(uint32_t nsid);
  // Forgets everything known of the namespace's blocks (e.g. after a format): every tag untracked, no pending bit,
  // the map's memory given back, a new epoch (I/Os in flight no longer match); it stays enabled at its size.
  // Nothing for a disabled validator. Throws like Enable.
  void Forget(uint32_t nsid);
  void DisableAll();

 private:
  DataValidator& Slot(uint32_t nsid) const;

  std::vector<std::shared_ptr<DataValidator>> validators_;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_DATA_VALIDATOR_MANAGER_H
