#include "nvme/queue_pair_deletion_controller.h"

#include <string>

#include "nvme/nvme_queue_manager.h"

namespace kyt {
namespace nvme {

namespace {
constexpr const char* kTextCutByReset =
    "A controller reset cut the queue pair's deletion short: the reset dropped every I/O queue pair, this one with them";
}  // namespace

QueuePairDeletionController::QueuePairDeletionController(uint16_t qid, const void* requester,
                                                         NvmeRegisterManager& register_manager,
                                                         NvmeQueueManager& queue_manager)
    : QueuePairController("NVME: QueuePairDeletionController: ", register_manager, queue_manager),
      qid_(qid),
      requester_(requester) {}

void QueuePairDeletionController::RunInternal() {
  if (state_ != kStateNotStarted && ctx_ && ResetSinceClaim()) {
    // The reset dropped the pair (its memory and its identifier) together with every other I/O queue pair.
    Log("A controller reset cut the deletion short");
    ctx_->qpair = nullptr;
    error_ = kTextCutByReset;
    state_ = kStateError;
    return;
  }
  switch (state_) {
    case kStateNotStarted:
      Log("Starting queue pair deletion of QID " + std::to_string(qid_));
      Log("Creating NvmeQueueCtx");
      NoteResetCount();
      ctx_ = queue_manager_.MakeDeleteQueueCtx(qid_, requester_);
      if (!ctx_) {
        error_ = "Invalid QID " + std::to_string(qid_);
        state_ = kStateError;
        break;
      }
      // An earlier deletion took the submission queue and failed at the completion queue: that is all there is left.
      state_ = ctx_->sq_deleted ? kSubmitDeleteCq : kSubmitDeleteSq;
      break;

    case kSubmitDeleteSq:
      SubmitStep("DeleteIoSubmissionQueue", &NvmeQueueManager::SubmitDeleteIoSubmissionQueueCommand, kWaitDeleteSq,
                 kRelease);
      break;

    case kWaitDeleteSq:
      WaitStep("DeleteIoSubmissionQueue", "Failed to delete submission queue", kSubmitDeleteCq, kRelease);
      if (state_ == kSubmitDeleteCq) ctx_->sq_deleted = true;
      break;

    case kSubmitDeleteCq:
      SubmitStep("DeleteIoCompletionQueue", &NvmeQueueManager::SubmitDeleteIoCompletionQueueCommand, kWaitDeleteCq,
                 kRelease);
      break;

    case kWaitDeleteCq:
      WaitStep("DeleteIoCompletionQueue", "Failed to delete completion queue", kRelease, kRelease);
      break;

    case kRelease: {
      const std::string qid = std::to_string(ctx_->qid);
      if (!error_.empty()) {
        // The drive refused the deletion or did not answer: it may still hold the queue, so the host keeps it too.
        Log("Keeping queue pair " + qid + ": the drive may still hold it");
        queue_manager_.KeepQueuePair(ctx_);
        state_ = kStateError;
        break;
      }
      Log("Removing queue pair " + qid + " from queue manager");
      queue_manager_.RemoveQueuePair(ctx_);
      Log("Deleting queue pair data structure");
      queue_manager_.DeleteQueuePairMeta(ctx_);
      Log("Successfully delete queue pair " + qid);
      state_ = kStateFinished;
      break;
    }

    default:
      break;
  }
}

}  // namespace nvme
}  // namespace kyt
