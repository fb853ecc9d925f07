// One I/O workload against one device, run on the worker: takes its settings from `input`, makes (or adopts) an I/O
// queue pair, keeps a fixed number of I/Os in flight whose addresses and kinds come from an access-pattern
// generator, measures them per direction, records failed completions, ends on a fatal status or a data mismatch,
// rides through power cycles that a PowerControlRunner drives during the run, deletes its own queue pair and fills
// `output`.
//
// The script side fills `input` before the task is handed over and reads `output` once it is final; everything else
// is the worker's. When the run ends (state 7) every I/O context is let go of: the idle ones are freed, the ones a
// device still has stay with the queue manager until it is done with them (CommandContext), and their completions no
// longer reach the runner. A power cycle still under way at the end is freed by the worker once it is over.
//
// The run ends with an error, and the statistics it has, when one of its own commands times out, the controller
// fails, the device goes away outside the run's own power cycle (removal scan, power loss, removal), or its queue pair
// goes (deleted, or dropped by a reset). Another command's time-out lets its I/O go on to its end, but refuses its
// closing queue-pair deletion: the pair is left for the reset. A queue pair the run made is claimed: the script
// cannot delete it while the run uses it.
#ifndef KYT_RUNNER_WORKLOAD_GENERATION_RUNNER_H
#define KYT_RUNNER_WORKLOAD_GENERATION_RUNNER_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "nvme/controller_state.h"
#include "nvme/nvme_io_ctx.h"
#include "runner/access_pattern_generator.h"
#include "runner/circular_queue.h"
#include "runner/workload_generation_records.h"
#include "utility/hook_manager.h"
#include "utility/task_base.h"

class NvmeController;
class PowerControlRunner;
namespace kyt {
namespace nvme {
class QueuePairController;
class QueuePairCreationController;
class QueuePairDeletionController;
}  // namespace nvme
}  // namespace kyt

class WorkloadGenerationRunner : public TaskBase {
 public:
  enum State : uint32_t {
    kCheckInitialConfig = 1,
    kCreateQueuePair = 2,
    kFillInitialIo = 3,
    kProcessIo = 4,
    kDrainIo = 5,
    kDeleteQueuePair = 6,
    kPrepareOutput = 7,
    kWaitForUninitToRestart = 8,
    kWaitForDeviceReadyToRestart = 9,
    kWaitForUninitToTerminate = 10,
    kWaitForDeviceReadyToTerminate = 11,
    kWaitForPendingEvents = 12,
    kReleaseQueuePair = 13,  // a failed run deletes its own queue pair before it ends
  };

  WorkloadGenerationRunner(std::string device, std::shared_ptr<tyr::HookManager> hooks);
  ~WorkloadGenerationRunner() override;

  std::unique_ptr<WorkloadGenerationInput> input;
  std::unique_ptr<WorkloadGenerationOutput> output;

  // Completion routine of every I/O context of the run.
  static void HandleIoCtxCallback(NvmeIoCtx* ctx, const spdk_nvme_cpl* cpl);

  // The fatal-status message for a failed I/O: "<text> (Details: Cmd=Read Nsid=1 StartLba=2048 NumBlks=8 SCT/SC=2/129)".
  static std::string FatalMessage(const std::string& text, uint32_t io_type, uint32_t nsid, uint64_t start_lba,
                                  uint32_t num_blocks, uint16_t sct, uint16_t sc);

  // Diagnostics for tests.
  uint32_t GetOutstanding() const { return outstanding_; }
  uint16_t GetQid() const { return qid_; }
  size_t GetLiveContexts() const { return contexts_.size(); }

 protected:
  void FetchStates() override;

 private:
  void Dispatch();
  void HandleCheckInitialConfig();
  void HandleCreateQueuePair();
  void HandleFillInitialIo();
  void HandleProcessIo();
  void HandleDrainIo();
  void HandleDeleteQueuePair();
  void HandlePrepareOutput();
  void HandleWaitForUninitToRestart();
  void HandleWaitForDeviceReadyToRestart();
  void HandleWaitForUninitToTerminate();
  void HandleWaitForDeviceReadyToTerminate();
  void HandleWaitForPendingEvents();
  void HandleReleaseQueuePair();

  // I/O loop.
  NvmeIoCtx* AllocContext(uint8_t index);
  // Asks the generator for the context's next I/O (sets stop_ with the pattern's last one).
  void ChooseIo(NvmeIoCtx* ctx);
  // Sends the I/O the context holds; false when it was not sent (refused, or its range busy: then queued to retry).
  bool SubmitSingleIo(NvmeIoCtx* ctx);
  void ProcessIoComplete(NvmeIoCtx* ctx, const spdk_nvme_cpl* cpl);
  // Lets go of the context (the queue manager keeps it while the device has it).
  void DestroyContext(NvmeIoCtx* ctx);
  void DrainOverlapped();
  void DrainCompleted();
  // Lets go of every context.
  void ReleaseContexts();

  // Power cycles.
  void StartPowerTask();
  // Takes an aborted sub-task's message, fails the run and deletes the sub-task.
  void FailPowerTask();
  void DeletePowerTask();
  // kWaitForUninitToRestart and kWaitForUninitToTerminate: on to `next` once the device is gone (or the notice was
  // cleared by a new attachment). A notice that no cycle of this run will follow up ends the run with "power off
  // notified". True when the state changed.
  bool WaitForUninit(uint32_t next);

  bool HistogramFits();
  void Fail(std::string message);
  // Fails the run with the error of its queue-pair machine: a command the drive did not answer within the command
  // time-out with `timed_out_text`, the machine's text and `action` going to err.data; any other error with the
  // machine's text.
  void FailQueueMachine(const kyt::nvme::QueuePairController& machine, const char* timed_out_text,
                        const char* action);
  // Whether the run's I/O (and any queue-pair machine it has under way) may go on: the controller's answer for a
  // call in flight (its reason tells a power-off notice or a reset apart).
  kyt::nvme::Admission InFlight() const;
  // A power cycle of this run is under way (or failed): the device is meant to go away and come back.
  bool OwnPowerCycle() const;
  void DeviceAway(const kyt::nvme::Admission& admission, uint32_t wait_state);
  // The queue pair in use is the one this run made (and claimed) on the current attachment.
  bool OwnsQueuePair() const;
  void AddSegment();

  std::unique_ptr<AccessPatternGenerator> generator_;
  uint16_t qid_ = 0;
  bool stop_ = false;
  bool failed_ = false;
  bool restarted_ = false;
  uint32_t outstanding_ = 0;
  uint32_t queue_depth_ = 0;
  uint64_t segment_start_ticks_ = 0;
  bool segment_open_ = false;  // a stretch of I/O began and its time is not yet in run_ticks_
  uint64_t run_ticks_ = 0;
  // The one tick reading of the pass (kFillInitialIo to kDrainIo): the I/Os' submission and completion stamps, the
  // generator's time limit, the trackers' slices and the run time all use it.
  uint64_t pass_ticks_ = 0;
  PowerControlRunner* power_task_ = nullptr;
  std::shared_ptr<kyt::nvme::QueuePairCreationController> creation_;
  std::shared_ptr<kyt::nvme::QueuePairDeletionController> deletion_;
  std::shared_ptr<NvmeController> controller_;
  std::unique_ptr<CircularQueue<NvmeIoCtx*>> overlapped_;
  std::unique_ptr<CircularQueue<NvmeIoCtx*>> completed_;
  std::shared_ptr<tyr::HookManager> hooks_;
  // Every live context of the run (made in kFillInitialIo).
  std::unordered_map<NvmeIoCtx*, kyt::nvme::CommandContextPtr<NvmeIoCtx>> contexts_;
};

#endif  // KYT_RUNNER_WORKLOAD_GENERATION_RUNNER_H
