#include "nvme/nvme_reset_controller.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "nvme/nvme_queue_manager.h"
#include "nvme/nvme_register_manager.h"
#include "nvme/time_bounds.h"
#include "nvme_internal.h"

namespace kyt {
namespace nvme {

namespace {

constexpr uint32_t kCcEn = 1u << 0;
constexpr uint32_t kCstsRdy = 1u << 0;
constexpr uint32_t kCstsCfs = 1u << 1;

// What a reset says about a device that does not answer: only a new attachment can bring it back.
std::runtime_error NotResponding(const std::string& what) {
  return std::runtime_error(what + ": the device is not responding (removed or powered off); scan for removal and "
                                   "attachment");
}

}  // namespace

NvmeResetController::NvmeResetController(spdk_nvme_ctrlr* ctrlr, NvmeRegisterManager& register_manager,
                                         NvmeQueueManager& queue_manager)
    : ControllerMachine(ctrlr, register_manager, queue_manager) {}

void NvmeResetController::OnStart() {
  std::cout << "NVME: Starting Controller Reset" << std::endl;
  if (on_progress_) on_progress_(Progress::kStarted);
}

void NvmeResetController::ClearError() {
  if (state_ != kStateError) return;
  error_.clear();
  ctrlr_->is_resetting = false;
  state_ = kStateIdle;
}

uint32_t NvmeResetController::ReadRegister(uint32_t offset, const char* name) {
  try {
    return register_manager_.ReadReg4(offset, name);
  } catch (const std::runtime_error& e) {
    nvme_ctrlr_fail(ctrlr_, true);
    throw NotResponding(e.what());
  }
}

void NvmeResetController::Reset() {
  // After a power loss the device has forgotten its PCI programming: it is written again first. A device whose
  // configuration space does not answer is gone.
  if (nvme_transport_ctrlr_restore_pci_config(ctrlr_) != 0) {
    nvme_ctrlr_fail(ctrlr_, true);
    throw NotResponding("Failed to restore the PCI configuration");
  }
  const uint32_t cc = ReadRegister(NvmeRegisterManager::kCcOffset, "CC");
  register_manager_.WriteReg4(NvmeRegisterManager::kCcOffset, cc & ~kCcEn, "CC");
  // It answers: whatever failed it before, the reset starts it afresh.
  ctrlr_->is_failed = false;
  ctrlr_->is_removed = false;
}

bool NvmeResetController::IsResetComplete() {
  const uint32_t cc = ReadRegister(NvmeRegisterManager::kCcOffset, "CC");
  const uint32_t csts = ReadRegister(NvmeRegisterManager::kCstsOffset, "CSTS");
  return (cc & kCcEn) == 0 && (csts & kCstsRdy) == 0;
}

void NvmeResetController::InitControllerStart() {
  // Every wait of the re-initialisation, the waits for CSTS.RDY included, is bounded by the admin time-out.
  const uint64_t ready_ms = std::min<uint64_t>(ReadyWaitMs(ctrlr_->cap.bits.to), ctrlr_->opts.admin_timeout_ms);
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
  const uint32_t csts = ReadRegister(NvmeRegisterManager::kCstsOffset, "CSTS");
  if (csts == 0xFFFFFFFFu) {
    nvme_ctrlr_fail(ctrlr_, true);
    throw NotResponding("Controller init failed");
  }
  if ((csts & kCstsCfs) != 0) {
    throw std::runtime_error(
        "Controller init failed: the controller reports a fatal status (CSTS.CFS) after the reset; power-cycle the "
        "drive, or scan for removal and attachment");
  }
  if (nvme_ctrlr_process_init(ctrlr_) != 0) {
    throw std::runtime_error("Controller init failed");
  }
  return ctrlr_->state == NVME_CTRLR_STATE_READY;
}

void NvmeResetController::Step() {
  switch (state_) {
    case 0:
      ctrlr_->is_resetting = true;
      Reset();
      deadline_ = spdk_get_ticks() + ctrlr_->opts.admin_timeout_ms * spdk_get_ticks_hz() / 1000;
      state_ = 1;
      break;
    case 1:
      if (!IsResetComplete()) {
        if (spdk_get_ticks() > deadline_) throw std::runtime_error("Controller reset timed out: CSTS.RDY stayed 1");
        break;
      }
      std::cout << "NVME: CSTS is 0" << std::endl;
      state_ = 2;
      break;
    case 2:
      // The device is disabled: what it held (admin commands, I/O queues) is ended before the rings start again.
      std::cout << "NVME: Cleaning up all queues" << std::endl;
      queue_manager_.FreeAll();
      state_ = 3;
      break;
    case 3:
      std::cout << "NVME: Starting controller initialization" << std::endl;
      nvme_transport_ctrlr_start_dma(ctrlr_);
      InitControllerStart();
      state_ = 4;
      break;
    case 4:
      if (!IsControllerInitDone()) break;
      std::cout << "NVME: Controller initialization is done" << std::endl;
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
