#include "nvme/nvme_reset_controller.h"

#include <algorithm>
#include <stdexcept>

#include "nvme/nvme_queue_manager.h"
#include "nvme/nvme_register_manager.h"
#include "nvme/time_bounds.h"
#include "nvme_internal.h"
#include "utility/log_line.h"

namespace kyt {
namespace nvme {

namespace {

constexpr uint32_t kCcEn = 1u << 0;
constexpr uint32_t kCstsRdy = 1u << 0;
constexpr uint32_t kCstsCfs = 1u << 1;

const char* const kActionScan = "scan for removal and attachment (scanRemoval, then scanAttachment)";
const char* const kCauseGone = "the device stopped answering during the reset (removed or powered off): its registers "
                               "read all ones";

const char* const kCauseLeftTheBus =
    "the device left the bus since it was attached (a power loss or a removal): even back on the bus it is a new "
    "device to the host, which only a new attachment reaches";

// What the driver's initialisation met when it gave up in `ctrlr`'s state: no answer within its time limit, an
// answer with an error, or a device that went away.
std::string InitCause(const spdk_nvme_ctrlr* ctrlr, uint64_t ready_ms, uint64_t timeout_ms) {
  if (ctrlr->is_removed) return kCauseGone;
  const std::string step = std::string("\"") + nvme_ctrlr_state_string(ctrlr->state) + "\"";
  switch (ctrlr->state) {
    case NVME_CTRLR_STATE_ENABLE_WAIT_FOR_READY_1:
      return "CSTS.RDY did not become 1 within " + std::to_string(ready_ms) +
             " ms after CC.EN was set (the drive's CAP.TO, at most the command time-out)";
    case NVME_CTRLR_STATE_ERROR:
      return "the drive answered a command of the initialisation with an error, or it could not be sent (the log "
             "shows which)";
    default:
      return "the initialisation's step " + step + " got no answer within the command time-out (" +
             std::to_string(timeout_ms) + " ms)";
  }
}

}  // namespace

NvmeResetController::NvmeResetController(spdk_nvme_ctrlr* ctrlr, NvmeRegisterManager& register_manager,
                                         NvmeQueueManager& queue_manager, uint64_t command_timeout_ms)
    : ControllerMachine(ctrlr, register_manager, queue_manager), command_timeout_ms_(command_timeout_ms) {}

void NvmeResetController::OnStart() {
  LogLine("NVME: Starting Controller Reset");
  if (on_progress_) on_progress_(Progress::kStarted);
}

void NvmeResetController::ClearError() {
  if (state_ != kStateError) return;
  error_.clear();
  ctrlr_->is_resetting = false;
  state_ = kStateIdle;
}

uint32_t NvmeResetController::ReadRegister(uint32_t offset, const char* name, const char* cause) {
  try {
    return register_manager_.ReadReg4(offset, name);
  } catch (const std::runtime_error& e) {
    nvme_ctrlr_fail(ctrlr_, true);
    throw MachineFailure(e.what(), cause, kActionScan);
  }
}

void NvmeResetController::Reset() {
  // After a power loss the device has forgotten its PCI programming: it is written again first. A device whose
  // configuration space does not answer left the bus since it was attached (a power loss or a removal): back on the
  // bus it is a new device to the host, which only a new attachment reaches, and its registers do not answer here.
  const bool restored = nvme_transport_ctrlr_restore_pci_config(ctrlr_) == 0;
  const uint32_t cc = ReadRegister(NvmeRegisterManager::kCcOffset, "CC", restored ? kCauseGone : kCauseLeftTheBus);
  register_manager_.WriteReg4(NvmeRegisterManager::kCcOffset, cc & ~kCcEn, "CC");
  // It answers: whatever failed it before, the reset starts it afresh.
  ctrlr_->is_failed = false;
  ctrlr_->is_removed = false;
}

bool NvmeResetController::IsResetComplete() {
  const uint32_t cc = ReadRegister(NvmeRegisterManager::kCcOffset, "CC", kCauseGone);
  const uint32_t csts = ReadRegister(NvmeRegisterManager::kCstsOffset, "CSTS", kCauseGone);
  return (cc & kCcEn) == 0 && (csts & kCstsRdy) == 0;
}

void NvmeResetController::InitControllerStart() {
  // Every wait of the re-initialisation, the waits for CSTS.RDY included, is bounded by the command time-out.
  const uint64_t ready_ms = std::min<uint64_t>(ReadyWaitMs(ctrlr_->cap.bits.to), command_timeout_ms_);
  ctrlr_->opts.override_cap_to = static_cast<uint32_t>(ready_ms);
  ctrlr_->state = NVME_CTRLR_STATE_ENABLE;
  ctrlr_->state_timeout_tsc = spdk_get_ticks() + ready_ms * spdk_get_ticks_hz() / 1000;
}

void NvmeResetController::OnError() {
  // A reset that failed leaves a controller that takes no commands, which says so at once.
  if (!ctrlr_->is_failed) nvme_ctrlr_fail(ctrlr_, false);
  if (on_progress_) on_progress_(Progress::kFailed);
}

bool NvmeResetController::IsControllerInitDone() {
  // A drive that went away or reports a fatal status would only let every step of the initialisation run into its
  // time-out: the reset ends at once and says what happened.
  const uint32_t csts = spdk_nvme_ctrlr_get_regs_csts(ctrlr_);  // all ones when it cannot be read
  if (csts == 0xFFFFFFFFu) {
    nvme_ctrlr_fail(ctrlr_, true);
    throw MachineFailure("Controller init failed", kCauseGone, kActionScan);
  }
  if ((csts & kCstsCfs) != 0) {
    throw MachineFailure("Controller init failed", "the controller reports a fatal status (CSTS.CFS) after the reset",
                         "power-cycle the drive, or scan for removal and attachment");
  }
  if (nvme_ctrlr_process_init(ctrlr_) != 0) {
    throw MachineFailure("Controller init failed", InitCause(ctrlr_, ctrlr_->opts.override_cap_to, command_timeout_ms_),
                         "reset the controller again, or scan for removal and attachment");
  }
  return ctrlr_->state == NVME_CTRLR_STATE_READY;
}

void NvmeResetController::Step() {
  switch (state_) {
    case kStateIdle:
      ctrlr_->is_resetting = true;
      Reset();
      deadline_ = spdk_get_ticks() + command_timeout_ms_ * spdk_get_ticks_hz() / 1000;
      state_ = kWaitForDisabled;
      break;
    case kWaitForDisabled:
      if (!IsResetComplete()) {
        if (spdk_get_ticks() > deadline_) {
          throw MachineFailure("Controller reset timed out: CSTS.RDY stayed 1",
                               "CSTS.RDY stayed 1 for the command time-out (" + std::to_string(command_timeout_ms_) +
                                   " ms) after CC.EN was cleared",
                               "power-cycle the drive, or scan for removal and attachment");
        }
        break;
      }
      LogLine("NVME: CSTS is 0");
      state_ = kFreeQueues;
      break;
    case kFreeQueues:
      // The device is disabled: what it held (admin commands, I/O queues) is ended before the rings start again.
      LogLine("NVME: Cleaning up all queues");
      queue_manager_.FreeAll();
      state_ = kStartInit;
      break;
    case kStartInit:
      LogLine("NVME: Starting controller initialization");
      nvme_transport_ctrlr_start_dma(ctrlr_);
      InitControllerStart();
      state_ = kWaitForInit;
      break;
    case kWaitForInit:
      if (!IsControllerInitDone()) break;
      LogLine("NVME: Controller initialization is done");
      ctrlr_->is_resetting = false;
      // Re-initialisation may change the number of I/O queues: size the QID table from the controller again.
      queue_manager_.ResizeTable();
      if (on_reinitialized_) on_reinitialized_();
      state_ = kStateFinished;
      if (on_progress_) on_progress_(Progress::kDone);
      break;
    default:
      break;
  }
}

}  // namespace nvme
}  // namespace kyt
