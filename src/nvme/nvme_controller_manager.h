// Registry of the NVMe controllers of the process, keyed by PCI address text exactly as a task gives it.
// Every task receives the driver's one manager; the manager also owns the process-wide data validators.
#ifndef KYT_NVME_NVME_CONTROLLER_MANAGER_H
#define KYT_NVME_NVME_CONTROLLER_MANAGER_H

#include <memory>
#include <string>
#include <unordered_map>

#include "nvme/nvme_controller.h"

namespace kyt {
namespace nvme {
class DataValidatorManager;
}  // namespace nvme
}  // namespace kyt

class NvmeControllerManager {
 public:
  NvmeControllerManager();
  // Calls Teardown().
  ~NvmeControllerManager();

  NvmeControllerManager(const NvmeControllerManager&) = delete;
  NvmeControllerManager& operator=(const NvmeControllerManager&) = delete;

  // The controller for this address text (case-sensitive); made empty (not attached) on the first look-up.
  // Never fails, never attaches. Worker thread.
  std::shared_ptr<NvmeController> GetController(const std::string& pci_address);

  // The one set of data validators of the process (shared with every controller and I/O manager).
  std::shared_ptr<kyt::nvme::DataValidatorManager> GetDataValidatorManager() const;

  // Releases every controller's context (detaching attached devices), empties the registry and drops the data
  // validators. Runs once; later calls do nothing. Called by the driver's destructor on the script's thread.
  void Teardown();

  bool IsTornDown() const { return torn_down_; }

 private:
  std::unordered_map<std::string, std::shared_ptr<NvmeController>> controllers_;
  std::shared_ptr<kyt::nvme::DataValidatorManager> data_validator_manager_;
  bool torn_down_ = false;
};

#endif  // KYT_NVME_NVME_CONTROLLER_MANAGER_H
