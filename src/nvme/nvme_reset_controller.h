// Polled controller reset: CC.EN <- 0, wait for CC.EN = CSTS.RDY = 0, drop every queue, then run the driver's
// initialisation again from its enable step up to ready. I/O queue pairs are not re-created.
#ifndef KYT_NVME_NVME_RESET_CONTROLLER_H
#define KYT_NVME_NVME_RESET_CONTROLLER_H

#include <functional>

#include "nvme/controller_machine.h"

namespace kyt {
namespace nvme {

class NvmeResetController : public ControllerMachine<NvmeResetController> {
 public:
  NvmeResetController(spdk_nvme_ctrlr* ctrlr, NvmeRegisterManager& register_manager, NvmeQueueManager& queue_manager);

  // Only in state 6: empties the error text, clears the driver's resetting flag and returns to idle.
  void ClearError();

  // Called once the controller is ready again after a reset (the context refreshes its namespaces there: the driver
  // may have replaced its namespace records). An exception from it ends the reset in error.
  void SetOnReinitialized(std::function<void()> on_reinitialized) { on_reinitialized_ = std::move(on_reinitialized); }

  // Register helpers; each throws std::runtime_error on a register access failure.
  void Reset();
  bool IsResetComplete();
  void InitControllerStart();
  bool IsControllerInitDone();

 private:
  friend class ControllerMachine<NvmeResetController>;
  void OnStart();
  void Step();
  void OnFinishedRun() {}

  std::function<void()> on_reinitialized_;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_NVME_RESET_CONTROLLER_H
