#include "nvme/data_validator_manager.h"

#include <stdexcept>
#include <string>

#include "utility/log_line.h"

namespace kyt {
namespace nvme {

void DataValidatorManager::Resize(uint32_t count) {
  if (count <= validators_.size()) {
    return;
  }
  LogLine("NVME: DataValidatorManager: Resizing data validators, size: " + std::to_string(count));
  validators_.reserve(count);
  while (validators_.size() < count) {
    validators_.push_back(std::make_shared<DataValidator>());
  }
}

std::shared_ptr<DataValidator> DataValidatorManager::GetDataValidator(uint32_t nsid) const {
  return Find(nsid) != nullptr ? validators_[nsid - 1] : nullptr;
}

DataValidator& DataValidatorManager::Slot(uint32_t nsid) const {
  if (nsid == 0 || nsid > validators_.size()) {
    throw std::runtime_error("Invalid namespace ID " + std::to_string(nsid));
  }
  return *validators_[nsid - 1];
}

DataValidatorStatus DataValidatorManager::Enable(uint32_t nsid, uint64_t num_lbas, uint32_t block_size) {
  DataValidator& validator = Slot(nsid);
  LogLine("NVME: DataValidatorManager: Enabling data validator for NSID " + std::to_string(nsid));
  if (validator.GetNumLbas() == num_lbas && validator.GetBlockSize() == block_size) {
    return kDataValidatorOk;
  }
  return validator.Resize(num_lbas, block_size);
}

DataValidatorStatus DataValidatorManager::Reset(uint32_t nsid, uint64_t num_lbas, uint32_t block_size) {
  return Slot(nsid).Resize(num_lbas, block_size);
}

void DataValidatorManager::Disable(uint32_t nsid) { Slot(nsid).Clear(); }

void DataValidatorManager::Forget(uint32_t nsid) {
  DataValidator& validator = Slot(nsid);
  if (validator.IsEnabled()) validator.Forget();
}

void DataValidatorManager::DisableAll() {
  LogLine("NVME: DataValidatorManager: Disabling all data validators");
  for (size_t i = 0; i < validators_.size(); ++i) {
    LogLine("NVME: DataValidatorManager: Disabling data validator for NSID: " + std::to_string(i + 1));
    validators_[i]->Clear();
  }
}

}  // namespace nvme
}  // namespace kyt
