#include "runner/workload_generation_runner.h"

#include <cstring>
#include <exception>
#include <stdexcept>

#include "nvme/completion_status.h"
#include "nvme/dma_context.h"
#include "nvme/histogram.h"
#include "nvme/io_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/nvme_queue_manager.h"
#include "nvme/queue_pair_creation_controller.h"
#include "nvme/queue_pair_deletion_controller.h"
#include "nvme/task_scheduler.h"
#include "runner/access_pattern_factory.h"
#include "runner/power_control_runner.h"
#include "spdk/nvme.h"
#include "spdk/env.h"
#include "utility/log_line.h"

namespace {

void Log(const std::string& text) { kyt::LogLine("NVME: WorkloadGenerator: " + text); }

// Trim I/Os carry one range entry in a dataset-management payload of this size.
constexpr uint64_t kMinTrimBuffer = 4096;
constexpr uint32_t kDeallocateAttribute = 4;

}  // namespace

WorkloadGenerationRunner::WorkloadGenerationRunner(std::string device, std::shared_ptr<tyr::HookManager> hooks)
    : TaskBase(kCheckInitialConfig, "WorkloadGen", std::move(device)),
      input(std::make_unique<WorkloadGenerationInput>()),
      output(std::make_unique<WorkloadGenerationOutput>()),
      hooks_(std::move(hooks)) {}

WorkloadGenerationRunner::~WorkloadGenerationRunner() {
  Log("Resetting Controller Pointer");
  controller_.reset();
  Log("Resetting Overlapped Queue");
  overlapped_.reset();
  Log("Resetting Completed Queue");
  completed_.reset();
  Log("Resetting Pattern Generator");
  generator_.reset();
  // The run holds no namespace context of its own (the generator's went with it); the line keeps the teardown's log.
  Log("Resetting Namespace Context");
  Log("Resetting Input");
  input.reset();
  if (output) {
    Log("Resetting Error Tracker");
    output->errorTracker.reset();
    Log("Resetting Read Perf Tracker");
    output->readPerf.reset();
    Log("Resetting Write Perf Tracker");
    output->writePerf.reset();
    Log("Resetting Trim Perf Tracker");
    output->trimPerf.reset();
  }
  Log("Resetting Output");
  output.reset();
  Log("Deleted");
}

// ---- helpers ----

void WorkloadGenerationRunner::Fail(std::string message) {
  SetErrorMessage(std::move(message));
  failed_ = true;
  ChangeState(kPrepareOutput);
}

void WorkloadGenerationRunner::FailQueueMachine(const kyt::nvme::QueuePairController& machine,
                                                const char* timed_out_text, const char* action) {
  if (!machine.TimedOut()) {
    Fail(machine.GetErrorMessage());
    return;
  }
  Fail(timed_out_text);
  SetErrorDetail(machine.GetErrorMessage() + ": its command was not answered within the command time-out", action);
}

kyt::nvme::Admission WorkloadGenerationRunner::InFlight() const {
  return controller_->Admit(kyt::nvme::Action::kInFlight);
}

// A cycle of this run under way covers the device's absence; so does one that failed (its own error then ends the
// run, from the waiting state).
bool WorkloadGenerationRunner::OwnPowerCycle() const {
  return input->powerControlEnabled && power_task_ != nullptr && !power_task_->IsDone();
}

// The device is not usable (`admission` says how). During the run's own power cycle it is meant to go: the run
// waits in `wait_state` for it to come back. Any other way (a removal scan, a failed controller, a device that
// vanished) ends the run.
void WorkloadGenerationRunner::DeviceAway(const kyt::nvme::Admission& admission, uint32_t wait_state) {
  if (OwnPowerCycle()) {
    ChangeState(wait_state);
    return;
  }
  Fail(admission.reason == kyt::nvme::AdmissionReason::kNotAttached ? "Device was detached during the workload"
                                                                     : admission.text);
}

void WorkloadGenerationRunner::AddSegment() {
  if (!segment_open_) return;
  run_ticks_ += pass_ticks_ - segment_start_ticks_;
  segment_open_ = false;
}

std::string WorkloadGenerationRunner::FatalMessage(const std::string& text, uint32_t io_type, uint32_t nsid,
                                                   uint64_t start_lba, uint32_t num_blocks, uint16_t sct,
                                                   uint16_t sc) {
  const char* cmd = io_type == kIoDirectionRead    ? "Read"
                    : io_type == kIoDirectionWrite ? "Write"
                    : io_type == kIoDirectionTrim  ? "Trim"
                                                   : "Unknown";
  return text + " (Details: Cmd=" + cmd + " Nsid=" + std::to_string(nsid) + " StartLba=" + std::to_string(start_lba) +
         " NumBlks=" + std::to_string(num_blocks) + " SCT/SC=" + std::to_string(sct) + "/" + std::to_string(sc) +
         ")";
}

// The histogram of the options (and its raw data, when asked for) within the limits a workload can hold and
// deliver; otherwise the error text says what it would need.
bool WorkloadGenerationRunner::HistogramFits() {
  const uint64_t buckets =
      Histogram::BucketCountFor(input->histogramStartUs, input->histogramEndUs, input->histogramPrecisions);
  const std::string what = "options.features.histogram with precisions " +
                           std::to_string(input->histogramPrecisions) + " from " +
                           std::to_string(input->histogramStartUs) + " to " + std::to_string(input->histogramEndUs) +
                           " us has " + std::to_string(buckets) + " buckets (" + std::to_string(buckets * 8) +
                           " bytes per I/O direction)";
  if (buckets > Histogram::kMaxBuckets) {
    SetErrorMessage(what + "; at most " + std::to_string(Histogram::kMaxBuckets) +
                    " are kept: lower the precisions or narrow the range");
    return false;
  }
  if (input->histogramRawData && buckets > Histogram::kMaxRawBuckets) {
    SetErrorMessage(what + "; rawData delivers at most " + std::to_string(Histogram::kMaxRawBuckets) +
                    ": lower the precisions, narrow the range or leave rawData off");
    return false;
  }
  return true;
}

// ---- dispatch ----

void WorkloadGenerationRunner::FetchStates() {
  try {
    Dispatch();
  } catch (const std::exception& e) {
    // A failure below (the generator, a device-layer check) ends the run like any other error, so that the output
    // step still releases the I/O contexts.
    const uint32_t state = GetState();
    if (IsFinalState(state)) return;
    SetErrorMessage(e.what());
    failed_ = true;
    if (state == kCheckInitialConfig || state == kPrepareOutput || state == kReleaseQueuePair) {
      deletion_.reset();
      ReleaseContexts();
      ChangeState(kStateAborted);
    } else {
      ChangeState(kPrepareOutput);
    }
  }
}

void WorkloadGenerationRunner::Dispatch() {
  switch (GetState()) {
    case kCheckInitialConfig: HandleCheckInitialConfig(); break;
    case kCreateQueuePair: HandleCreateQueuePair(); break;
    case kFillInitialIo: HandleFillInitialIo(); break;
    case kProcessIo: HandleProcessIo(); break;
    case kDrainIo: HandleDrainIo(); break;
    case kDeleteQueuePair: HandleDeleteQueuePair(); break;
    case kPrepareOutput: HandlePrepareOutput(); break;
    case kWaitForUninitToRestart: HandleWaitForUninitToRestart(); break;
    case kWaitForDeviceReadyToRestart: HandleWaitForDeviceReadyToRestart(); break;
    case kWaitForUninitToTerminate: HandleWaitForUninitToTerminate(); break;
    case kWaitForDeviceReadyToTerminate: HandleWaitForDeviceReadyToTerminate(); break;
    case kWaitForPendingEvents: HandleWaitForPendingEvents(); break;
    case kReleaseQueuePair: HandleReleaseQueuePair(); break;
    default: break;
  }
}

// ---- kCheckInitialConfig ----

void WorkloadGenerationRunner::HandleCheckInitialConfig() {
  const auto& manager = GetNvmeControllerManager();
  if (!manager) {
    SetErrorMessage("NVME: WorkloadGenerator: ASSERT: runner started without a controller manager");
    ChangeState(kStateAborted);
    return;
  }
  controller_ = manager->GetController(GetDevice());
  // Refused before anything is sent, with the texts of the queue pair's creation (the run's first command).
  const kyt::nvme::Admission admission = controller_->Admit(kyt::nvme::Action::kQueuePairCreation);
  if (!admission.Admitted()) {
    SetErrorMessage(admission.text);
    if (admission.reason == kyt::nvme::AdmissionReason::kTimedOut) {
      SetErrorDetail("an earlier command passed the command time-out: the controller takes no command until a reset, "
                     "so the run sent nothing",
                     "reset the controller (resetController), then start the workload again");
    }
    ChangeState(kStateAborted);
    return;
  }
  queue_depth_ = controller_->GetAdjustedQueueDepth(input->queueDepth);
  overlapped_ = std::make_unique<CircularQueue<NvmeIoCtx*>>(queue_depth_ + 1);
  completed_ = std::make_unique<CircularQueue<NvmeIoCtx*>>(queue_depth_ + 1);

  if (input->histogramEnabled && !HistogramFits()) {
    MarkArgumentRefused();
    ChangeState(kStateAborted);
    return;
  }
  output->accessPatternOutput = std::make_unique<AccessPatternOutput>();
  try {
    generator_ = AccessPatternGeneratorFactory::Create(controller_, input->accessPattern, *output->accessPatternOutput);
  } catch (const std::runtime_error& e) {
    generator_.reset();
    output->accessPatternOutput.reset();
    SetErrorMessage(e.what());
    MarkArgumentRefused();  // the pattern cannot be run on this device: nothing was sent
    ChangeState(kStateAborted);
    return;
  }

  output->errorTracker = std::make_unique<ErrorTracker>();

  const uint64_t hz = spdk_get_ticks_hz();
  auto make_tracker = [&]() {
    std::unique_ptr<Histogram> histogram;
    if (input->histogramEnabled) {
      histogram = std::make_unique<Histogram>(input->histogramStartUs, input->histogramEndUs,
                                              input->histogramPrecisions);
    }
    return std::make_unique<PerformanceTracker>(input->intervalStatsEnabled, input->delay, input->interval, hz,
                                                std::move(histogram));
  };
  output->readPerf = make_tracker();
  output->writePerf = make_tracker();
  output->trimPerf = make_tracker();
  ChangeState(kCreateQueuePair);
}

// ---- kCreateQueuePair ----

void WorkloadGenerationRunner::HandleCreateQueuePair() {
  // A creation under way is a call in flight; one not begun yet (or a given queue pair about to be used) is the
  // run's first command.
  const kyt::nvme::Admission admission =
      controller_->Admit(creation_ ? kyt::nvme::Action::kInFlight : kyt::nvme::Action::kQueuePairCreation);
  if (admission.reason == kyt::nvme::AdmissionReason::kPowerOffNotified) {
    creation_.reset();  // it works on the attachment that is going away
    ChangeState(kWaitForUninitToRestart);
    return;
  }
  if (!admission.Admitted()) {
    creation_.reset();
    if (admission.reason == kyt::nvme::AdmissionReason::kTimedOut ||
        admission.reason == kyt::nvme::AdmissionReason::kResetting) {
      Fail(admission.text);  // nothing of the creation was sent: refused like any command
      if (admission.reason == kyt::nvme::AdmissionReason::kTimedOut) {
        SetErrorDetail("another command passed the command time-out: the controller takes no command until a "
                       "reset, so the run's queue pair was not created",
                       "reset the controller (resetController), then start the workload again");
      }
      return;
    }
    DeviceAway(admission, kWaitForDeviceReadyToRestart);
    return;
  }
  NvmeControllerCtx& ctx = *controller_->GetControllerCtx();
  if (input->qid != 0 && !restarted_) {
    qid_ = static_cast<uint16_t>(input->qid & 0xFFFF);
    if (ctx.GetQueueManager().IsValidQueueId(qid_)) {
      Log("Found an existing queue. QID = " + std::to_string(qid_));
      ChangeState(kFillInitialIo);
    } else {
      MarkArgumentRefused();
      Fail("Invalid qid");
    }
    return;
  }
  if (creation_) {
    // The machine finds its queue dropped once a reset is over.
    if (admission.reason == kyt::nvme::AdmissionReason::kResetting) return;
    creation_->Run();
    if (!creation_->IsCompleted()) return;
    std::shared_ptr<kyt::nvme::QueuePairCreationController> done = std::move(creation_);
    if (done->HasError()) {
      FailQueueMachine(*done, kyt::nvme::kTextCreateQueueTimedOut,
                       "reset the controller (resetController): the drive may hold the queue until then");
    } else {
      qid_ = static_cast<uint16_t>(done->GetQid());
      ctx.GetQueueManager().ClaimQueue(qid_, this);  // the script cannot delete it under the run
      ChangeState(kFillInitialIo);
    }
    return;
  }
  creation_ = ctx.MakeQueuePairCreationController();
}

// ---- kFillInitialIo ----

NvmeIoCtx* WorkloadGenerationRunner::AllocContext(uint8_t index) {
  const uint64_t data_size = generator_->GetMaxDataSize();
  const uint64_t meta_size = generator_->GetMaxMetaSize();
  kyt::nvme::CommandContextPtr<NvmeIoCtx> owned = kyt::nvme::MakeCommandContext<NvmeIoCtx>();
  NvmeIoCtx* ctx = owned.get();
  // A trim carries its range in a payload of dsm_buffer_size bytes: every buffer holds at least that much.
  ctx->data = std::make_unique<DmaContext>(data_size == 0 ? 0 : std::max<uint64_t>(data_size, kMinTrimBuffer));
  ctx->meta = std::make_unique<DmaContext>(meta_size);
  if (ctx->data->GetBuffer() == nullptr || ctx->data->GetSize() == 0) return nullptr;
  ctx->nsid = 0;
  ctx->user_ctx = this;
  ctx->callback = HandleIoCtxCallback;
  ctx->pass_ticks = &pass_ticks_;
  ctx->qid = qid_;
  ctx->pattern = input->dataPattern;
  ctx->pattern_size = input->dataPatternSize;
  if (input->dataPatternSize == 0) std::memset(ctx->data->GetBuffer(), index, ctx->data->GetSize());
  contexts_.emplace(ctx, std::move(owned));
  return ctx;
}

void WorkloadGenerationRunner::HandleFillInitialIo() {
  const kyt::nvme::Admission admission = InFlight();
  if (admission.reason == kyt::nvme::AdmissionReason::kPowerOffNotified) {
    ChangeState(kWaitForUninitToRestart);
    return;
  }
  if (!admission.Admitted()) {
    DeviceAway(admission, kWaitForDeviceReadyToRestart);
    return;
  }
  segment_start_ticks_ = pass_ticks_ = spdk_get_ticks();
  segment_open_ = true;
  if (queue_depth_ != 0) {
    for (uint32_t i = queue_depth_; i-- > 0;) {
      if (stop_) break;
      NvmeIoCtx* ctx = AllocContext(static_cast<uint8_t>(i % 256));
      if (ctx == nullptr) {
        Log("Memory allocation failure");
        Log("Total allocated buffers = " + std::to_string(DmaContext::GetTotalAllocated()));
        Log("Queue depth requested = " + std::to_string(queue_depth_) +
            ", Max data size = " + std::to_string(generator_->GetMaxDataSize()));
        Fail("Memory allocation failure");
        return;
      }
      ChooseIo(ctx);
      SubmitSingleIo(ctx);
      if (IsFinalState(GetState()) || GetState() == kPrepareOutput) return;
    }
  }
  ChangeState(kProcessIo);
}

void WorkloadGenerationRunner::ChooseIo(NvmeIoCtx* ctx) {
  IoDirection direction = kIoDirectionRead;
  stop_ = generator_->Next(ctx->nsid, ctx->start_lba, ctx->num_blocks, direction, ctx->xfer_size, pass_ticks_);
  ctx->io_type = direction;
  if (ctx->io_type == kIoDirectionTrim) {
    ctx->dsm_attributes = kDeallocateAttribute;
    ctx->SetSingleRange();
  }
}

bool WorkloadGenerationRunner::SubmitSingleIo(NvmeIoCtx* ctx) {
  // A run that has failed submits nothing more: what is in flight only drains.
  if (failed_) return false;
  const std::shared_ptr<NvmeControllerCtx>& cctx = controller_->GetControllerCtx();
  kyt::nvme::IoOpsStatus status;
  // The context is reused: nothing of its previous I/O's outcome may stick to this one.
  ctx->completed = false;
  ctx->failed = false;
  ctx->data_mismatch = false;
  if (!cctx) {
    ctx->error = "device not initialized";
    status = kyt::nvme::kIoOpsDriverError;
  } else {
    kyt::nvme::IoManager& io = cctx->GetIoManager();
    switch (ctx->io_type) {
      case kIoDirectionWrite: status = io.SendWriteAsync(ctx); break;
      case kIoDirectionTrim: status = io.SendDsmAsync(ctx); break;
      case kIoDirectionRead: status = io.SendReadAsync(ctx); break;
      default:
        ctx->completed = true;
        Fail("Internal Error: Unexpected IO type");
        return false;
    }
  }
  if (status == kyt::nvme::kIoOpsSubmitted) {
    ++outstanding_;
    return true;
  }
  ctx->completed = true;  // nothing was sent: the context is not in flight
  if (status == kyt::nvme::kIoOpsRangeBusy) {
    if (!ctx->overlapped) overlapped_->Push(ctx, "overlapped_->Push(io_ctx)");
    return false;
  }
  Fail(ctx->error);
  return false;
}

// ---- kProcessIo ----

void WorkloadGenerationRunner::HandleProcessIo() {
  pass_ticks_ = spdk_get_ticks();
  // Another command's time-out does not end the run: its own I/Os end on their own deadlines.
  const kyt::nvme::Admission admission = InFlight();
  if (!admission.Admitted()) {
    AddSegment();
    DeviceAway(admission, kWaitForDeviceReadyToRestart);
    return;
  }
  if (input->powerControlEnabled) {
    if (power_task_ == nullptr) {
      // Cycles follow each other while the run lasts: none starts once its duration has passed (the I/Os of the
      // restart after the last cycle may already have found the pattern finished).
      if (!stop_ && !generator_->TimeIsUp(pass_ticks_)) {
        StartPowerTask();
        return;
      }
      stop_ = true;
    }
    if (power_task_ != nullptr && power_task_->IsComplete()) {
      if (power_task_->IsAborted()) {
        FailPowerTask();
      } else {
        DeletePowerTask();
      }
      return;
    }
  }
  if (stop_) {
    ChangeState(kDrainIo);
    return;
  }
  if (controller_->GetControllerCtx()->GetQueueManager().ProcessIoCompletions(qid_) < 0) {
    // The queue pair is gone (deleted by the script, or dropped by a controller reset).
    Fail("I/O queue pair " + std::to_string(qid_) + " no longer exists");
    return;
  }
  // The next I/Os of the contexts that completed are chosen first, in order, and the state their submission reads
  // (the validator's map line) is fetched for all of them: the cache misses of a batch then overlap instead of
  // stalling each submission in turn. Up to the pattern's last I/O; the contexts after it stay idle.
  const uint32_t ready = completed_->Size();
  uint32_t chosen = 0;
  kyt::nvme::IoManager& io = controller_->GetControllerCtx()->GetIoManager();
  while (chosen < ready && !stop_ && !failed_) {
    NvmeIoCtx* next = completed_->At(chosen++, "completed_->At(chosen)");
    ChooseIo(next);
    io.Prefetch(next);
  }
  NvmeIoCtx* ctx = nullptr;
  while (!overlapped_->IsEmpty()) {
    overlapped_->Get(ctx, "overlapped_->Get(ctx)");
    ctx->overlapped = true;
    if (!SubmitSingleIo(ctx)) break;
    overlapped_->Pop("overlapped_->Pop()");
  }
  for (; chosen != 0 && !failed_; --chosen) {
    completed_->Get(ctx, "completed_->Get(ctx)");
    SubmitSingleIo(ctx);
    completed_->Pop("completed_->Pop()");
  }
}

void WorkloadGenerationRunner::HandleIoCtxCallback(NvmeIoCtx* ctx, const spdk_nvme_cpl* cpl) {
  auto* runner = static_cast<WorkloadGenerationRunner*>(ctx->user_ctx);
  if (runner != nullptr) runner->ProcessIoComplete(ctx, cpl);
}

void WorkloadGenerationRunner::ProcessIoComplete(NvmeIoCtx* ctx, const spdk_nvme_cpl* cpl) {
  --outstanding_;
  if (IsAborted()) return;
  const kyt::nvme::CompletionStatus status(*cpl);
  if (failed_) {
    // The run has failed (an earlier completion of the same pass): this one only drains.
    DestroyContext(ctx);
    return;
  }
  const uint16_t sct = status.Type();
  const uint16_t sc = status.Code();
  // Under a power-off notice the statuses of I/Os cut short by the power loss are neither recorded nor fatal.
  const kyt::nvme::Admission admission = InFlight();
  const bool initialized = admission.Admitted();
  const bool recorded =
      initialized && admission.reason != kyt::nvme::AdmissionReason::kPowerOffNotified && status.IsError();
  if (recorded) {
    output->errorTracker->Record(StatusKey(sct, sc),
                                 command_info{ctx->io_type, ctx->nsid, ctx->start_lba, ctx->num_blocks});
  }
  if (status.HostTimedOut()) {
    // Ended by its time-out: the device may still be executing it (its context stays with the queue manager until
    // the queue goes). Unless the run's own power cycle cut it short, the run ends, whatever the ignore list says.
    DrainOverlapped();
    if (recorded && !failed_) {
      Fail("IO Command Timeout");
      SetErrorDetail(FatalMessage("the I/O passed the command time-out", ctx->io_type, ctx->nsid, ctx->start_lba,
                                  ctx->num_blocks, sct, sc),
                     "reset the controller (resetController): no command is taken until then");
    }
    DestroyContext(ctx);
    return;
  }
  if (recorded) {
    if (const error_mask* fatal = FindFatalStatus(sct, sc, input->ignoreError)) {
      DrainOverlapped();
      std::string message = FatalMessage(fatal->text, ctx->io_type, ctx->nsid, ctx->start_lba, ctx->num_blocks, sct, sc);
      DestroyContext(ctx);
      Fail(std::move(message));
      return;
    }
  }
  // A read that failed transferred nothing trustworthy: only a successful read can show a data mismatch.
  if (ctx->data_mismatch && !status.IsError()) {
    output->mismatch = std::make_unique<DataMismatchRecord>(
        DataMismatchRecord{ctx->mismatch_lba, ctx->mismatch_expected, ctx->mismatch_found});
    DestroyContext(ctx);
    DrainOverlapped();
    Fail("data mismatch");
    return;
  }
  ctx->overlapped = false;
  const uint64_t latency = ctx->complete_ticks - ctx->submit_ticks;
  switch (ctx->io_type) {
    case kIoDirectionRead: output->readPerf->Track(latency, ctx->xfer_size, segment_start_ticks_, pass_ticks_); break;
    case kIoDirectionWrite: output->writePerf->Track(latency, ctx->xfer_size, segment_start_ticks_, pass_ticks_); break;
    case kIoDirectionTrim: output->trimPerf->Track(latency, ctx->xfer_size, segment_start_ticks_, pass_ticks_); break;
    default:
      SetErrorMessage("Internal Error: Unexpected IO type");
      failed_ = true;
      ChangeState(kPrepareOutput);
      break;
  }
  if (initialized && !stop_ && !completed_->IsFull()) {
    completed_->Push(ctx, "completed_->Push(io_ctx)");
    return;
  }
  ctx->callback = nullptr;
  DestroyContext(ctx);
  DrainOverlapped();
  DrainCompleted();
}

void WorkloadGenerationRunner::DestroyContext(NvmeIoCtx* ctx) { contexts_.erase(ctx); }

void WorkloadGenerationRunner::DrainOverlapped() {
  NvmeIoCtx* ctx = nullptr;
  while (overlapped_ && !overlapped_->IsEmpty()) {
    overlapped_->Get(ctx, "overlapped_->Get(ctx)");
    if (ctx != nullptr) DestroyContext(ctx);
    overlapped_->Pop("overlapped_->Pop()");
  }
}

void WorkloadGenerationRunner::DrainCompleted() {
  NvmeIoCtx* ctx = nullptr;
  while (completed_ && !completed_->IsEmpty()) {
    completed_->Get(ctx, "completed_->Get(ctx)");
    if (ctx != nullptr) DestroyContext(ctx);
    completed_->Pop("completed_->Pop()");
  }
}

void WorkloadGenerationRunner::ReleaseContexts() {
  DrainOverlapped();
  DrainCompleted();
  contexts_.clear();
  outstanding_ = 0;
}

// ---- kDrainIo and kDeleteQueuePair ----

void WorkloadGenerationRunner::HandleDrainIo() {
  pass_ticks_ = spdk_get_ticks();
  const kyt::nvme::Admission admission = InFlight();
  if (!admission.Admitted()) {
    AddSegment();
    DeviceAway(admission, kWaitForDeviceReadyToTerminate);
    return;
  }
  if (outstanding_ == 0) {
    AddSegment();
    ChangeState(kDeleteQueuePair);
    return;
  }
  controller_->GetControllerCtx()->GetQueueManager().ProcessIoCompletions(qid_);
}

void WorkloadGenerationRunner::HandleDeleteQueuePair() {
  // A deletion under way is a call in flight; one not begun yet is a command of its own.
  const kyt::nvme::Admission admission =
      controller_->Admit(deletion_ ? kyt::nvme::Action::kInFlight : kyt::nvme::Action::kOwnQueuePairDeletion);
  if (!admission.Admitted() && (admission.reason == kyt::nvme::AdmissionReason::kTimedOut ||
                                admission.reason == kyt::nvme::AdmissionReason::kResetting)) {
    // Nothing of the deletion was sent: it is refused like any command. The run's own I/O is over; its queue pair
    // stays on the drive (registered, its identifier taken) until a reset drops it with every other one.
    Fail(admission.text);
    if (admission.reason == kyt::nvme::AdmissionReason::kTimedOut) {
      SetErrorDetail("the run's I/O ended, but another command passed the command time-out meanwhile: the controller "
                     "takes no command until a reset, so queue pair " + std::to_string(qid_) + " was not deleted",
                     "reset the controller (resetController): the reset drops the queue pair");
    }
    return;
  }
  if (admission.reason == kyt::nvme::AdmissionReason::kPowerOffNotified) {
    Log("Power off notification detected while deleting queue pair");
    ChangeState(kWaitForUninitToTerminate);
    return;
  }
  if (!admission.Admitted()) {
    Log("Device removal detected while deleting queue pair");
    DeviceAway(admission, kWaitForDeviceReadyToTerminate);
    return;
  }
  if (input->qid != 0 && !restarted_) {
    Log("Skip deleting the queue when QID > 0 is provided");
    ChangeState(kPrepareOutput);
    return;
  }
  if (deletion_) {
    // The machine finds its queue dropped once a reset is over.
    if (admission.reason == kyt::nvme::AdmissionReason::kResetting) return;
    deletion_->Run();
    if (!deletion_->IsCompleted()) return;
    if (deletion_->HasError()) {
      const kyt::nvme::Admission after = InFlight();
      if (after.reason == kyt::nvme::AdmissionReason::kPowerOffNotified) {
        ChangeState(kWaitForUninitToTerminate);
        return;
      }
      if (!after.Admitted()) {
        ChangeState(kWaitForDeviceReadyToTerminate);
        return;
      }
      std::shared_ptr<kyt::nvme::QueuePairDeletionController> done = std::move(deletion_);
      FailQueueMachine(*done, kyt::nvme::kTextDeleteQueueTimedOut,
                       "reset the controller (resetController): the reset drops the queue pair");
      return;
    }
    deletion_.reset();
    ChangeState(kWaitForPendingEvents);
    return;
  }
  deletion_ = controller_->GetControllerCtx()->MakeQueuePairDeletionController(qid_, this);
}

// ---- kPrepareOutput ----

void WorkloadGenerationRunner::HandlePrepareOutput() {
  // A run that ended with an error in the middle of a stretch of I/O ran until now.
  if (segment_open_) {
    pass_ticks_ = spdk_get_ticks();
    AddSegment();
  }
  const double duration = static_cast<double>(run_ticks_) / static_cast<double>(spdk_get_ticks_hz());
  if (output->accessPatternOutput) {
    output->accessPatternOutput->queueDepth = queue_depth_;
    output->accessPatternOutput->duration = duration;
  }
  if (generator_) generator_->GetOutput();
  ReleaseContexts();
  if (power_task_ != nullptr) {
    // A power cycle under way goes on to its end on the worker, and is freed as the worker lets go of it. (The
    // notice is set late, on the worker that holds the task: the release happens on that thread, or after it
    // stopped.)
    PowerControlRunner* task = power_task_;
    power_task_ = nullptr;
    if (task->IsComplete() && task->IsReleased()) {
      delete task;
    } else {
      task->SetReleaseNotice([task] { delete task; });
    }
  }
  Log("Total allocated buffers = " + std::to_string(DmaContext::GetTotalAllocated()));
  deletion_.reset();
  if (OwnsQueuePair()) {
    if (failed_ && controller_->Admit(kyt::nvme::Action::kOwnQueuePairDeletion).Admitted()) {
      // A run that failed with its own queue pair still on the device gives the pair back before it ends, so that
      // failing runs do not use the controller's queues up.
      deletion_ = controller_->GetControllerCtx()->MakeQueuePairDeletionController(qid_, this);
      ChangeState(kReleaseQueuePair);
      return;
    }
    // Left to the script, which may delete it now.
    controller_->GetControllerCtx()->GetQueueManager().ReleaseClaim(qid_, this);
  }
  ChangeState(failed_ ? kStateAborted : kStateDone);
}

bool WorkloadGenerationRunner::OwnsQueuePair() const {
  return controller_ && controller_->GetControllerCtx() &&
         controller_->GetControllerCtx()->GetQueueManager().IsClaimedBy(qid_, this);
}

void WorkloadGenerationRunner::HandleReleaseQueuePair() {
  const kyt::nvme::Admission admission = InFlight();
  if (admission.Admitted() && admission.reason != kyt::nvme::AdmissionReason::kPowerOffNotified &&
      admission.reason != kyt::nvme::AdmissionReason::kResetting) {
    deletion_->Run();
    if (!deletion_->IsCompleted()) return;
    if (deletion_->HasError()) Log("Failed to delete the queue pair of the failed run: " + deletion_->GetErrorMessage());
  }
  deletion_.reset();
  if (OwnsQueuePair()) controller_->GetControllerCtx()->GetQueueManager().ReleaseClaim(qid_, this);
  ChangeState(failed_ ? kStateAborted : kStateDone);
}

// ---- power cycles and the waiting states ----

void WorkloadGenerationRunner::StartPowerTask() {
  const auto& scheduler = GetTaskScheduler();
  if (!scheduler) throw std::runtime_error("NVME: WorkloadGenerator: ASSERT: no task scheduler for the power cycle");
  auto* task = new PowerControlRunner(GetDevice(), hooks_);
  task->device = GetDevice();
  task->onHoldTimeMs = input->onHoldTimeMs;
  task->offHoldTimeMs = input->offHoldTimeMs;
  task->detectionTimeoutMs = input->detectionTimeoutMs;
  task->removalTimeoutMs = input->removalTimeoutMs;
  power_task_ = task;
  scheduler->Add(task);
}

void WorkloadGenerationRunner::DeletePowerTask() {
  delete power_task_;
  power_task_ = nullptr;
}

void WorkloadGenerationRunner::FailPowerTask() {
  Log("PowerController failed");
  SetErrorMessage(power_task_->GetErrorMessage());
  failed_ = true;
  DeletePowerTask();
  ChangeState(kPrepareOutput);
}

bool WorkloadGenerationRunner::WaitForUninit(uint32_t next) {
  if (!controller_->Admit(kyt::nvme::Action::kOwnPowerCycle).Admitted()) {
    ChangeState(next);  // the device went, or the notice ended
    return true;
  }
  if (power_task_ != nullptr && power_task_->IsAborted()) {
    FailPowerTask();
    return true;
  }
  if (power_task_ == nullptr || power_task_->IsComplete()) {
    // No cycle of this run is under way: the notice was left by an earlier cycle that failed, and the device will
    // not go away on its own. Refuse like the command runners do instead of waiting forever.
    Fail("power off notified");
    return true;
  }
  return false;
}

void WorkloadGenerationRunner::HandleWaitForUninitToRestart() { WaitForUninit(kWaitForDeviceReadyToRestart); }

void WorkloadGenerationRunner::HandleWaitForDeviceReadyToRestart() {
  DrainCompleted();
  if (InFlight().Admitted()) {
    const bool cycle_over = !input->powerControlEnabled || power_task_ == nullptr || power_task_->IsComplete();
    if (cycle_over && !(power_task_ != nullptr && power_task_->IsAborted())) {
      restarted_ = true;
      // The old attachment and its queue pairs are gone: what it still held is released before a fresh set of
      // contexts is made for the new segment.
      ReleaseContexts();
      ChangeState(kCreateQueuePair);
      return;
    }
  }
  if (power_task_ != nullptr && power_task_->IsAborted()) FailPowerTask();
}

void WorkloadGenerationRunner::HandleWaitForUninitToTerminate() { WaitForUninit(kWaitForDeviceReadyToTerminate); }

void WorkloadGenerationRunner::HandleWaitForDeviceReadyToTerminate() {
  DrainCompleted();
  if (InFlight().Admitted()) {
    ChangeState(kWaitForPendingEvents);
    return;
  }
  if (power_task_ != nullptr && power_task_->IsAborted()) FailPowerTask();
}

void WorkloadGenerationRunner::HandleWaitForPendingEvents() {
  if (power_task_ == nullptr) {
    ChangeState(kPrepareOutput);
    return;
  }
  if (!power_task_->IsComplete()) return;
  if (power_task_->IsAborted()) {
    FailPowerTask();
    return;
  }
  DeletePowerTask();
  ChangeState(kPrepareOutput);
}
