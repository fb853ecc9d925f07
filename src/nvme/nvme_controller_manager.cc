#include "nvme/nvme_controller_manager.h"

#include "nvme/data_validator_manager.h"

NvmeControllerManager::NvmeControllerManager()
    : data_validator_manager_(std::make_shared<kyt::nvme::DataValidatorManager>()) {}

NvmeControllerManager::~NvmeControllerManager() { Teardown(); }

std::shared_ptr<NvmeController> NvmeControllerManager::GetController(const std::string& pci_address) {
  auto it = controllers_.find(pci_address);
  if (it != controllers_.end()) {
    return it->second;
  }
  auto controller = std::make_shared<NvmeController>(pci_address, data_validator_manager_);
  controllers_.emplace(pci_address, controller);
  return controller;
}

std::shared_ptr<kyt::nvme::DataValidatorManager> NvmeControllerManager::GetDataValidatorManager() const {
  return data_validator_manager_;
}

void NvmeControllerManager::Teardown() {
  if (torn_down_) return;
  for (auto& entry : controllers_) {
    entry.second->Teardown();
  }
  controllers_.clear();
  data_validator_manager_.reset();
  torn_down_ = true;
}
