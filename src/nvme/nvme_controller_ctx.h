// The per-attachment context of a controller: owns its reset and shutdown machines, register, queue, namespace and
// I/O managers. Releasing the last reference frees the I/O queue pairs (deleting them at the device, with short
// waits), stops the device's DMA and detaches it. Worker thread only.
#ifndef KYT_NVME_NVME_CONTROLLER_CTX_H
#define KYT_NVME_NVME_CONTROLLER_CTX_H

#include <cstdint>
#include <memory>
#include <string>

#include "nvme/io_manager.h"
#include "nvme/namespace_manager.h"
#include "nvme/nvme_queue_manager.h"
#include "nvme/nvme_register_manager.h"
#include "nvme/nvme_reset_controller.h"
#include "nvme/nvme_shutdown_controller.h"
#include "nvme/queue_pair_creation_controller.h"
#include "nvme/queue_pair_deletion_controller.h"
#include "spdk/nvme.h"

namespace kyt {
namespace nvme {
class DataValidatorManager;
}  // namespace nvme
}  // namespace kyt

class NvmeControllerCtx {
 public:
  // `command_timeout_us`: the controller's command time-out, which bounds the waits of the attachment's reset.
  NvmeControllerCtx(spdk_nvme_ctrlr* ctrlr, spdk_nvme_transport_id trid,
                    std::shared_ptr<kyt::nvme::DataValidatorManager> data_validator_manager,
                    uint64_t command_timeout_us);
  ~NvmeControllerCtx();

  NvmeControllerCtx(const NvmeControllerCtx&) = delete;
  NvmeControllerCtx& operator=(const NvmeControllerCtx&) = delete;

  kyt::nvme::NvmeResetController& GetResetController() { return reset_controller_; }
  kyt::nvme::NvmeShutdownController& GetShutdownController() { return shutdown_controller_; }
  kyt::nvme::NvmeRegisterManager& GetRegisterManager() { return register_manager_; }
  kyt::nvme::NvmeQueueManager& GetQueueManager() { return queue_manager_; }
  kyt::nvme::NamespaceManager& GetNamespaceManager() { return namespace_manager_; }
  kyt::nvme::IoManager& GetIoManager() { return io_manager_; }
  spdk_nvme_ctrlr* GetHandle() const { return ctrlr_; }
  const spdk_nvme_transport_id& GetTransportId() const { return trid_; }

  // Re-reads the namespaces and sizes the data validators to the new highest NSID.
  void RefreshNamespaces();

  uint32_t GetMaxXferSize() const;
  // The I/O queue size the driver settled at attachment.
  uint32_t GetMaxQueueDepth() const;
  // Logs "NVME: Ctrl Max Transfer Size: <max>"; the request unless it is 0 or above the maximum, else the maximum.
  uint32_t GetAdjustedXferSize(uint32_t requested) const;
  // The maximum for 0, otherwise the smaller of the request and the maximum.
  uint32_t GetAdjustedQueueDepth(uint32_t requested) const;

  // BAR0 still programmed, CSTS readable and RDY set; logs what it finds otherwise.
  bool IsResponsive() const;
  void SetDeviceToRemoved();
  void SetDeviceToFailed();

  // Arms the driver's error injection for `opc` on queue `qid` (0 = admin). -ENXIO when the QID has no queue pair;
  // otherwise the driver's result.
  int InjectCommandError(uint16_t qid, uint8_t opc, bool do_not_submit, uint64_t timeout_us, uint32_t count,
                         uint8_t sct, uint8_t sc);

  std::shared_ptr<kyt::nvme::QueuePairCreationController> MakeQueuePairCreationController();
  // `requester`: the task that claimed the pair for itself, null for the script.
  std::shared_ptr<kyt::nvme::QueuePairDeletionController> MakeQueuePairDeletionController(
      uint16_t qid, const void* requester = nullptr);

 private:
  kyt::nvme::NvmeResetController reset_controller_;
  kyt::nvme::NvmeShutdownController shutdown_controller_;
  kyt::nvme::NvmeRegisterManager register_manager_;
  kyt::nvme::NvmeQueueManager queue_manager_;
  kyt::nvme::NamespaceManager namespace_manager_;
  kyt::nvme::IoManager io_manager_;
  spdk_nvme_ctrlr* ctrlr_;
  spdk_nvme_transport_id trid_;
  std::shared_ptr<kyt::nvme::DataValidatorManager> data_validator_manager_;
};

#endif  // KYT_NVME_NVME_CONTROLLER_CTX_H
