// Polled deletion of one registered I/O queue pair: Delete I/O SQ, Delete I/O CQ, then unregistration and release of
// the host structures. A failed command (the first failure is reported) leaves the pair registered: the drive may
// still hold it, and a later deletion takes up where this one stopped. A pair claimed by another task is not deleted.
#ifndef KYT_NVME_QUEUE_PAIR_DELETION_CONTROLLER_H
#define KYT_NVME_QUEUE_PAIR_DELETION_CONTROLLER_H

#include <cstdint>

#include "nvme/queue_pair_controller.h"

namespace kyt {
namespace nvme {

class QueuePairDeletionController : public QueuePairController {
 public:
  // `requester`: the task that asks (the owner of a pair it claimed), null for the script.
  QueuePairDeletionController(uint16_t qid, const void* requester, NvmeRegisterManager& register_manager,
                              NvmeQueueManager& queue_manager);
  ~QueuePairDeletionController() = default;

  uint16_t GetQid() const { return qid_; }

 protected:
  void RunInternal() override;

 private:
  enum State : uint32_t {
    kSubmitDeleteCq = 3,
    kWaitDeleteCq = 4,
    kSubmitDeleteSq = 5,
    kWaitDeleteSq = 6,
    kRelease = 7,
  };

  uint16_t qid_;
  const void* requester_;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_QUEUE_PAIR_DELETION_CONTROLLER_H
