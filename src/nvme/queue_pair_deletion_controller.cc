#include "nvme/queue_pair_deletion_controller.h"

#include <iostream>
#include <string>

#include "nvme/nvme_queue_manager.h"

namespace kyt {
namespace nvme {

namespace {

void Log(const std::string& line) { std::cout << "NVME: QueuePairDeletionController: " << line << std::endl; }

}  // namespace

QueuePairDeletionController::QueuePairDeletionController(uint16_t qid, NvmeRegisterManager& register_manager,
                                                         NvmeQueueManager& queue_manager)
    : qid_(qid), register_manager_(register_manager), queue_manager_(queue_manager) {}

void QueuePairDeletionController::RunInternal() {
  switch (state_) {
    case kStateNotStarted:
      Log("Starting queue pair deletion of QID " + std::to_string(qid_));
      Log("Creating NvmeQueueCtx");
      ctx_ = queue_manager_.MakeDeleteQueueCtx(qid_);
      if (!ctx_) {
        error_ = "Invalid QID " + std::to_string(qid_);
        state_ = kStateError;
        break;
      }
      state_ = kSubmitDeleteSq;
      break;

    case kSubmitDeleteSq: {
      Log("Submitting DeleteIoSubmissionQueue command");
      const uint32_t rc = queue_manager_.SubmitDeleteIoSubmissionQueueCommand(ctx_);
      if (rc != kQueueOpsSuccess) {
        error_ = NvmeQueueManager::GetErrorMessageFromOpsStatus(rc);
        state_ = kRelease;
        break;
      }
      Log("Waiting for completion of DeleteIoSubmissionQueue command");
      state_ = kWaitDeleteSq;
      break;
    }

    case kWaitDeleteSq:
      queue_manager_.ProcessAdminCompletions();
      if (!ctx_->status.done) break;
      if (ctx_->Failed()) {
        error_ = "Failed to delete submission queue";
        state_ = kRelease;
        break;
      }
      Log("DeleteIoSubmissionQueue command is completed successfully");
      state_ = kSubmitDeleteCq;
      break;

    case kSubmitDeleteCq: {
      Log("Submitting DeleteIoCompletionQueue command");
      const uint32_t rc = queue_manager_.SubmitDeleteIoCompletionQueueCommand(ctx_);
      if (rc != kQueueOpsSuccess) {
        error_ = NvmeQueueManager::GetErrorMessageFromOpsStatus(rc);
        state_ = kRelease;
        break;
      }
      Log("Waiting for completion of DeleteIoCompletionQueue command");
      state_ = kWaitDeleteCq;
      break;
    }

    case kWaitDeleteCq:
      queue_manager_.ProcessAdminCompletions();
      if (!ctx_->status.done) break;
      if (ctx_->Failed()) {
        error_ = "Failed to delete completion queue";
        state_ = kRelease;
        break;
      }
      Log("DeleteIoCompletionQueue command is completed successfully");
      state_ = kRelease;
      break;

    case kRelease: {
      const std::string qid = std::to_string(ctx_->qid);
      Log("Removing queue pair " + qid + " from queue manager");
      queue_manager_.RemoveQueuePair(ctx_);
      Log("Deleting queue pair data structure");
      queue_manager_.DeleteQueuePairMeta(ctx_);
      Log("Successfully delete queue pair " + qid);
      state_ = error_.empty() ? kStateFinished : kStateError;
      break;
    }

    default:
      break;
  }
}

}  // namespace nvme
}  // namespace kyt
