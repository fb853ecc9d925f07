#include "nvme/queue_pair_controller.h"

#include "nvme/nvme_queue_manager.h"
#include "utility/log_line.h"

namespace kyt {
namespace nvme {

void QueuePairController::Log(const std::string& line) const { LogLine(log_prefix_ + line); }

void QueuePairController::NoteResetCount() { reset_count_ = queue_manager_.GetResetCount(); }

bool QueuePairController::ResetSinceClaim() const { return queue_manager_.GetResetCount() != reset_count_; }

void QueuePairController::SubmitStep(const char* command, SubmitFn submit, uint32_t wait_state,
                                     uint32_t fail_state) {
  Log(std::string("Submitting ") + command + " command");
  const uint32_t rc = (queue_manager_.*submit)(ctx_);
  if (rc != kQueueOpsSuccess) {
    error_ = NvmeQueueManager::GetErrorMessageFromOpsStatus(rc);
    state_ = fail_state;
    return;
  }
  Log(std::string("Waiting for completion of ") + command + " command");
  state_ = wait_state;
}

void QueuePairController::WaitStep(const char* command, const char* failure, uint32_t next_state,
                                   uint32_t fail_state) {
  queue_manager_.ProcessAdminCompletions();
  if (!ctx_->status.done) return;
  unanswered_ = ctx_->Status().HostTimedOut();
  if (failure != nullptr && ctx_->Status().IsError()) {
    error_ = failure;
    timed_out_ = unanswered_;
    Log(std::string(command) + " command failed" +
        (unanswered_ ? ": it was not answered within the command time-out (only a reset settles it)" : ""));
    state_ = fail_state;
    return;
  }
  Log(std::string(command) + " command is completed successfully");
  state_ = next_state;
}

}  // namespace nvme
}  // namespace kyt
