// Polled creation of one I/O queue pair: host structures, Create I/O CQ, Create I/O SQ, reset and registration,
// with roll-back of what was made when a step fails. One step per Run(); waits never block.
#ifndef KYT_NVME_QUEUE_PAIR_CREATION_CONTROLLER_H
#define KYT_NVME_QUEUE_PAIR_CREATION_CONTROLLER_H

#include <cstdint>

#include "nvme/queue_pair_controller.h"

namespace kyt {
namespace nvme {

class QueuePairCreationController : public QueuePairController {
 public:
  QueuePairCreationController(NvmeRegisterManager& register_manager, NvmeQueueManager& queue_manager);
  ~QueuePairCreationController() = default;

  // The QID of the new pair; meaningful once the machine has picked one (0 before that).
  uint32_t GetQid() const { return ctx_ ? ctx_->qid : 0; }

 protected:
  void RunInternal() override;

 private:
  enum State : uint32_t {
    kCreateMeta = 3,
    kSubmitCreateCq = 4,
    kWaitCreateCq = 5,
    kSubmitCreateSq = 6,
    kWaitCreateSq = 7,
    kRegister = 8,
    kSubmitDeleteCq = 9,
    kWaitDeleteCq = 10,
    kDeleteMeta = 11,
    kSubmitDeleteSq = 12,  // a Create SQ that timed out: the drive may still make the queue, so it is deleted first
    kWaitDeleteSq = 13,
  };
  // The roll-back began and the completion queue is not known to be gone from the device.
  bool device_may_hold_ = false;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_QUEUE_PAIR_CREATION_CONTROLLER_H
