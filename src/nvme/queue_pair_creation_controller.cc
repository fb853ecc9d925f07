#include "nvme/queue_pair_creation_controller.h"

#include <string>

#include "nvme/nvme_queue_manager.h"

namespace kyt {
namespace nvme {

namespace {
constexpr const char* kTextCutByReset =
    "A controller reset cut the queue pair's creation short (the reset drops every I/O queue pair): create it again";
}  // namespace

QueuePairCreationController::QueuePairCreationController(NvmeRegisterManager& register_manager,
                                                         NvmeQueueManager& queue_manager)
    : QueuePairController("NVME: QueuePairCreationController: ", register_manager, queue_manager) {}

void QueuePairCreationController::RunInternal() {
  if (state_ > kCreateMeta && ResetSinceClaim()) {
    // The reset disabled the device (no queue of this machine exists there any more) and ended its commands.
    Log("A controller reset cut the creation short");
    queue_manager_.ForgetQueuePairMeta(ctx_);
    error_ = kTextCutByReset;
    state_ = kStateError;
    return;
  }
  switch (state_) {
    case kStateNotStarted:
      Log("Starting a new queue pair creation");
      state_ = kCreateMeta;
      break;

    case kCreateMeta: {
      Log("Creating NvmeQueueCtx");
      NoteResetCount();
      ctx_ = queue_manager_.MakeCreateQueueCtx();
      Log("Creating queue pair data structure");
      const uint32_t rc = queue_manager_.CreateQueuePairMeta(ctx_);
      if (rc != kQueueOpsSuccess) {
        error_ = NvmeQueueManager::GetErrorMessageFromOpsStatus(rc);
        Log("Failed to create queue pair data structure");
        Log("Reason: " + error_);
        state_ = kStateError;
        break;
      }
      Log("Using QID " + std::to_string(ctx_->qid) + " for a new queue pair");
      state_ = kSubmitCreateCq;
      break;
    }

    case kSubmitCreateCq:
      SubmitStep("CreateIoCompletionQueue", &NvmeQueueManager::SubmitCreateIoCompletionQueueCommand, kWaitCreateCq,
                 kDeleteMeta);
      break;

    case kWaitCreateCq:
      WaitStep("CreateIoCompletionQueue", "Failed to create completion queue", kSubmitCreateSq, kDeleteMeta);
      // Unanswered, the completion queue may exist at the device all the same: it is deleted first.
      if (state_ == kDeleteMeta && unanswered_) state_ = kSubmitDeleteCq;
      break;

    // From here on the completion queue exists on the device: a failure takes it down before the host structures go.
    case kSubmitCreateSq:
      SubmitStep("CreateIoSubmissionQueue", &NvmeQueueManager::SubmitCreateIoSubmissionQueueCommand, kWaitCreateSq,
                 kSubmitDeleteCq);
      break;

    case kWaitCreateSq:
      WaitStep("CreateIoSubmissionQueue", "Failed to create submission queue", kRegister, kSubmitDeleteCq);
      // Unanswered, the submission queue may exist at the device all the same: it goes before its completion queue.
      if (state_ == kSubmitDeleteCq && unanswered_) state_ = kSubmitDeleteSq;
      break;

    case kSubmitDeleteSq:
      device_may_hold_ = true;
      SubmitStep("DeleteIoSubmissionQueue", &NvmeQueueManager::SubmitDeleteIoSubmissionQueueCommand, kWaitDeleteSq,
                 kDeleteMeta);
      break;

    case kWaitDeleteSq:
      WaitStep("DeleteIoSubmissionQueue", nullptr, kSubmitDeleteCq, kSubmitDeleteCq);
      // A submission queue not known to be gone keeps its completion queue (and the pair's memory) taken; one the
      // drive never made ("Invalid Queue Identifier") is gone.
      if (state_ == kSubmitDeleteCq && ctx_->Status().IsError() &&
          !ctx_->Status().Is(SPDK_NVME_SCT_COMMAND_SPECIFIC, SPDK_NVME_SC_INVALID_QUEUE_IDENTIFIER)) {
        state_ = kDeleteMeta;
      }
      break;

    case kRegister:
      Log("Initializing queue pair data structure");
      queue_manager_.ResetQueuePair(ctx_);
      Log("Registering the queue pair for QID " + std::to_string(ctx_->qid));
      queue_manager_.AddQueuePair(ctx_);
      Log("Successfully created a new queue pair");
      state_ = kStateFinished;
      break;

    case kSubmitDeleteCq:
      device_may_hold_ = true;
      SubmitStep("DeleteIoCompletionQueue", &NvmeQueueManager::SubmitDeleteIoCompletionQueueCommand, kWaitDeleteCq,
                 kDeleteMeta);
      break;

    case kWaitDeleteCq:
      // The roll-back goes on whatever the deletion's status; the error text stays the first failure's.
      WaitStep("DeleteIoCompletionQueue", nullptr, kDeleteMeta, kDeleteMeta);
      if (state_ == kDeleteMeta) device_may_hold_ = ctx_->Status().IsError();
      break;

    case kDeleteMeta:
      if (device_may_hold_) {
        // The completion queue was not deleted: the device may still write into its memory.
        queue_manager_.StrandQueuePairMeta(ctx_);
      } else {
        Log("Deleting queue pair data structure");
        queue_manager_.DeleteQueuePairMeta(ctx_);
      }
      state_ = kStateError;
      break;

    default:
      break;
  }
}

}  // namespace nvme
}  // namespace kyt
