#include "nvme/queue_pair_creation_controller.h"

#include <iostream>
#include <string>

#include "nvme/nvme_queue_manager.h"

namespace kyt {
namespace nvme {

namespace {

void Log(const std::string& line) { std::cout << "NVME: QueuePairCreationController: " << line << std::endl; }

}  // namespace

QueuePairCreationController::QueuePairCreationController(NvmeRegisterManager& register_manager,
                                                         NvmeQueueManager& queue_manager)
    : register_manager_(register_manager), queue_manager_(queue_manager) {}

void QueuePairCreationController::RunInternal() {
  switch (state_) {
    case kStateNotStarted:
      Log("Starting a new queue pair creation");
      state_ = kCreateMeta;
      break;

    case kCreateMeta: {
      Log("Creating NvmeQueueCtx");
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

    case kSubmitCreateCq: {
      Log("Submitting CreateIoCompletionQueue command");
      const uint32_t rc = queue_manager_.SubmitCreateIoCompletionQueueCommand(ctx_);
      if (rc != kQueueOpsSuccess) {
        error_ = NvmeQueueManager::GetErrorMessageFromOpsStatus(rc);
        state_ = kDeleteMeta;
        break;
      }
      Log("Waiting for completion of CreateIoCompletionQueue command");
      state_ = kWaitCreateCq;
      break;
    }

    case kWaitCreateCq:
      queue_manager_.ProcessAdminCompletions();
      if (!ctx_->status.done) break;
      if (ctx_->Failed()) {
        error_ = "Failed to create completion queue";
        state_ = kDeleteMeta;
        break;
      }
      Log("CreateIoCompletionQueue command is completed successfully");
      state_ = kSubmitCreateSq;
      break;

    case kSubmitCreateSq: {
      Log("Submitting CreateIoSubmissionQueue command");
      const uint32_t rc = queue_manager_.SubmitCreateIoSubmissionQueueCommand(ctx_);
      if (rc != kQueueOpsSuccess) {
        // The completion queue exists on the device: take it down before the host structures go.
        error_ = NvmeQueueManager::GetErrorMessageFromOpsStatus(rc);
        state_ = kSubmitDeleteCq;
        break;
      }
      Log("Waiting for completion of CreateIoSubmissionQueue command");
      state_ = kWaitCreateSq;
      break;
    }

    case kWaitCreateSq:
      queue_manager_.ProcessAdminCompletions();
      if (!ctx_->status.done) break;
      if (ctx_->Failed()) {
        error_ = "Failed to create submission queue";
        state_ = kSubmitDeleteCq;
        break;
      }
      Log("CreateIoSubmissionQueue command is completed successfully");
      state_ = kRegister;
      break;

    case kRegister:
      Log("Initializing queue pair data structure");
      queue_manager_.ResetQueuePair(ctx_);
      Log("Registering the queue pair for QID " + std::to_string(ctx_->qid));
      queue_manager_.AddQueuePair(ctx_);
      Log("Successfully created a new queue pair");
      state_ = kStateFinished;
      break;

    case kSubmitDeleteCq: {
      Log("Submitting DeleteIoCompletionQueue command");
      const uint32_t rc = queue_manager_.SubmitDeleteIoCompletionQueueCommand(ctx_);
      if (rc != kQueueOpsSuccess) {
        error_ = NvmeQueueManager::GetErrorMessageFromOpsStatus(rc);
        state_ = kDeleteMeta;
        break;
      }
      Log("Waiting for completion of DeleteIoCompletionQueue command");
      state_ = kWaitDeleteCq;
      break;
    }

    case kWaitDeleteCq:
      queue_manager_.ProcessAdminCompletions();
      if (!ctx_->status.done) break;
      Log("DeleteIoCompletionQueue command is completed successfully");
      state_ = kDeleteMeta;
      break;

    case kDeleteMeta:
      Log("Deleting queue pair data structure");
      queue_manager_.DeleteQueuePairMeta(ctx_);
      state_ = kStateError;
      break;

    default:
      break;
  }
}

}  // namespace nvme
}  // namespace kyt
