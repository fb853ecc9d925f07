// Common frame of the queue-pair creation and deletion machines: the context in work, the managers, the machine's
// log line prefix, and the two steps both machines repeat for each of their admin commands (submit it, then wait for
// its completion without blocking).
#ifndef KYT_NVME_QUEUE_PAIR_CONTROLLER_H
#define KYT_NVME_QUEUE_PAIR_CONTROLLER_H

#include <cstdint>
#include <memory>
#include <string>

#include "nvme/base_stateful_controller.h"
#include "nvme/nvme_queue_ctx.h"

namespace kyt {
namespace nvme {

class NvmeRegisterManager;
class NvmeQueueManager;

class QueuePairController : public BaseStatefulController {
 public:
  // The failure that ended the machine was a command the drive did not answer within the command time-out (the
  // error text names the command's failure; the controller has timed out).
  bool TimedOut() const { return timed_out_; }

 protected:
  using SubmitFn = uint32_t (NvmeQueueManager::*)(const std::shared_ptr<NvmeQueueCtx>&);

  // `log_prefix` is the whole prefix of the machine's log lines and must outlive the machine (a literal).
  QueuePairController(const char* log_prefix, NvmeRegisterManager& register_manager, NvmeQueueManager& queue_manager)
      : register_manager_(register_manager), queue_manager_(queue_manager), log_prefix_(log_prefix) {}
  ~QueuePairController() = default;

  // One flushed log line with the machine's prefix.
  void Log(const std::string& line) const;

  // Logs "Submitting <command> command" and submits it for the context in work. Accepted: logs the wait and moves to
  // `wait_state`; refused: the error text becomes the refusal's text and the machine moves to `fail_state`.
  void SubmitStep(const char* command, SubmitFn submit, uint32_t wait_state, uint32_t fail_state);

  // Reaps admin completions; stays while the context's command is not done. A failed command with a `failure` text
  // sets that error text and moves to `fail_state`; otherwise (also a failed command when `failure` is null) logs
  // "<command> command is completed successfully" and moves to `next_state`.
  void WaitStep(const char* command, const char* failure, uint32_t next_state, uint32_t fail_state);

  // Takes note of the controller's reset count when the machine claims its queue identifier.
  void NoteResetCount();
  // A reset ran since NoteResetCount: the device dropped every I/O queue and the identifiers start afresh.
  bool ResetSinceClaim() const;

  std::shared_ptr<NvmeQueueCtx> ctx_;
  // The last command waited for was ended by its time-out, not answered by the device.
  bool unanswered_ = false;
  bool timed_out_ = false;
  uint64_t reset_count_ = 0;
  NvmeRegisterManager& register_manager_;  // held for the machines' owners; the steps do not use it
  NvmeQueueManager& queue_manager_;

 private:
  const char* log_prefix_;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_QUEUE_PAIR_CONTROLLER_H
