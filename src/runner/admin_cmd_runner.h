// AdminCmdRunner: the task that performs one administrative operation on an attached controller: Format NVM,
// namespace management, namespace attachment, or the creation or deletion of an I/O queue pair (the two-step queue
// operation, stepped through the queue-pair machines).
#ifndef KYT_RUNNER_ADMIN_CMD_RUNNER_H
#define KYT_RUNNER_ADMIN_CMD_RUNNER_H

#include <cstdint>
#include <memory>
#include <string>

#include "nvme/command_context.h"
#include "runner/controller_runner.h"
#include "utility/admin_cmd_records.h"

struct NvmeAdminCtx;
namespace kyt {
namespace nvme {
class QueuePairCreationController;
class QueuePairDeletionController;
}  // namespace nvme
}  // namespace kyt

class AdminCmdRunner : public ControllerRunner {
 public:
  AdminCmdRunner(std::string device, std::string command_name);
  ~AdminCmdRunner() override;

  // The runner's own states, after kStateLookUp, in the order of its handlers.
  enum State : uint32_t {
    kCreateCommand = kStateFirstStep,  // start the operation
    kWaitForCompletion = 3,            // wait for the Format NVM's completion
    kWaitForQueueCreation = 4,         // step the queue-pair creation
    kWaitForQueueDeletion = 5,         // step the queue-pair deletion
    kProcessPostCompletion = 6,        // after a Format NVM
  };

  // Input, filled by the creator before the hand-over; output, read by the owner once the task is final.
  AdminCmdInput& GetInput() { return input_; }
  const AdminCmdInput& GetInput() const { return input_; }
  const AdminCmdOutput& GetOutput() const { return output_; }

 protected:
  void HandleState(uint32_t state) override;
  void LetGoOfCommand() override;

 private:
  void HandleCreateCommand();
  void HandleWaitForCompletion();
  void HandleWaitForQueueCreation();
  void HandleWaitForQueueDeletion();
  void HandleProcessPostCompletion();
  // The attachment seen when the operation started is still the controller's: the queue-pair machines refer to
  // its managers, so they must not be stepped once the device went away or was attached anew.
  bool SameAttachment() const;
  // One step of a queue-pair machine: true once it completed without error; else false, the task aborted when the
  // machine failed or the attachment is gone.
  template <typename Machine>
  bool StepQueueMachine(std::shared_ptr<Machine>& machine);
  void AbortOutstanding(const std::string& message);

  AdminCmdInput input_{};
  AdminCmdOutput output_{};
  kyt::nvme::CommandContextPtr<NvmeAdminCtx> admin_ctx_;
  std::shared_ptr<kyt::nvme::QueuePairCreationController> creation_;
  std::shared_ptr<kyt::nvme::QueuePairDeletionController> deletion_;
  const void* attachment_ = nullptr;
};

#endif  // KYT_RUNNER_ADMIN_CMD_RUNNER_H
