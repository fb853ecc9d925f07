// Polled normal shutdown: CC.SHN <- 01b, drop AERs, the I/O queue pairs and the doorbell buffer, notify again, wait
// for CSTS.SHST = 10b, then drop every queue.
#ifndef KYT_NVME_NVME_SHUTDOWN_CONTROLLER_H
#define KYT_NVME_NVME_SHUTDOWN_CONTROLLER_H

#include "nvme/controller_machine.h"

namespace kyt {
namespace nvme {

class NvmeShutdownController : public ControllerMachine<NvmeShutdownController> {
 public:
  NvmeShutdownController(spdk_nvme_ctrlr* ctrlr, NvmeRegisterManager& register_manager,
                         NvmeQueueManager& queue_manager);

  // The steps after kStateIdle (which notifies the shutdown), in order; then kStateFinished.
  enum Step : uint32_t {
    kDropQueues = 1,       // drop the event requests, the I/O queue pairs and the doorbell buffer
    kNotifyAgain = 2,      // notify the shutdown again
    kWaitForShutdown = 3,  // wait for CSTS.SHST = 10b
    kFreeQueues = 4,       // drop every queue
  };
  static_assert(kFreeQueues + 1 == kStateFinished, "the last step leads to kStateFinished");

  // Only in kStateError: empties the error text and clears the driver's shutdown flag; the machine stays there.
  void ClearError();

  // Register helpers; each throws std::runtime_error on a register access failure.
  void ShutdownNormal();
  bool IsShutdownComplete();

 private:
  friend class ControllerMachine<NvmeShutdownController>;
  void OnStart() {}
  void Step();
  void OnFinishedRun();
  void OnError() {}
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_NVME_SHUTDOWN_CONTROLLER_H
