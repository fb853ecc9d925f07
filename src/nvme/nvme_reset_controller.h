// Polled controller reset: PCI programming restored (after a power loss), CC.EN <- 0, wait for CC.EN = CSTS.RDY = 0,
// end every admin command and drop every queue, then run the driver's initialisation again from its enable step up
// to ready. Every wait is bounded by the controller's command time-out, the waits for CSTS.RDY = 1 also by CAP.TO.
// I/O queue pairs are not re-created. A reset that fails leaves the controller failed, and says what it met (its
// cause and what to do); one whose device does not answer says to scan for removal and attachment.
#ifndef KYT_NVME_NVME_RESET_CONTROLLER_H
#define KYT_NVME_NVME_RESET_CONTROLLER_H

#include <functional>

#include "nvme/controller_machine.h"

namespace kyt {
namespace nvme {

class NvmeResetController : public ControllerMachine<NvmeResetController> {
 public:
  // `command_timeout_ms`: the controller's command time-out, the bound of every wait of the reset.
  NvmeResetController(spdk_nvme_ctrlr* ctrlr, NvmeRegisterManager& register_manager, NvmeQueueManager& queue_manager,
                      uint64_t command_timeout_ms);

  // The steps after kStateIdle (which clears CC.EN), in order; then kStateFinished.
  enum Step : uint32_t {
    kWaitForDisabled = 1,  // wait for CC.EN = CSTS.RDY = 0
    kFreeQueues = 2,       // end every admin command and drop every queue
    kStartInit = 3,        // start the driver's initialisation from its enable step
    kWaitForInit = 4,      // step the initialisation until the controller is ready
  };
  static_assert(kWaitForInit + 1 == kStateFinished, "the last step leads to kStateFinished");

  // Only in kStateError: empties the error text, clears the driver's resetting flag and returns to idle.
  void ClearError();

  // Called once the controller is ready again after a reset (the context refreshes its namespaces there: the driver
  // may have replaced its namespace records). An exception from it ends the reset in error.
  void SetOnReinitialized(std::function<void()> on_reinitialized) { on_reinitialized_ = std::move(on_reinitialized); }
  // Told when a reset starts (kStarted), ends ready (kDone) or ends in error (kFailed, after the controller was
  // failed): the controller's state follows the reset through it.
  enum class Progress { kStarted, kDone, kFailed };
  void SetOnProgress(std::function<void(Progress)> on_progress) { on_progress_ = std::move(on_progress); }

  // Register helpers; each throws std::runtime_error on a register access failure (the device is then marked gone).
  void Reset();
  bool IsResetComplete();
  void InitControllerStart();
  bool IsControllerInitDone();

 private:
  friend class ControllerMachine<NvmeResetController>;
  void OnStart();
  void Step();
  void OnFinishedRun() {}
  void OnError();
  // A register the reset cannot do without; one that does not answer fails the controller as removed, and the reset
  // with the register's text and `cause`.
  uint32_t ReadRegister(uint32_t offset, const char* name, const char* cause);

  std::function<void()> on_reinitialized_;
  std::function<void(Progress)> on_progress_;
  const uint64_t command_timeout_ms_;
  uint64_t deadline_ = 0;  // of the wait for CSTS.RDY = 0
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_NVME_RESET_CONTROLLER_H
