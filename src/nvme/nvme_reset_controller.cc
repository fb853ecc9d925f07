#include "nvme/nvme_reset_controller.h"

#include <iostream>
#include <stdexcept>

#include "nvme/nvme_queue_manager.h"
#include "nvme/nvme_register_manager.h"
#include "nvme_internal.h"

namespace kyt {
namespace nvme {

namespace {

constexpr uint32_t kCcEn = 1u << 0;
constexpr uint32_t kCstsRdy = 1u << 0;

}  // namespace

NvmeResetController::NvmeResetController(spdk_nvme_ctrlr* ctrlr, NvmeRegisterManager& register_manager,
                                         NvmeQueueManager& queue_manager)
    : ControllerMachine(ctrlr, register_manager, queue_manager) {}

void NvmeResetController::OnStart() { std::cout << "NVME: Starting Controller Reset" << std::endl; }

void NvmeResetController::ClearError() {
  if (state_ != kStateError) return;
  error_.clear();
  ctrlr_->is_resetting = false;
  state_ = kStateIdle;
}

void NvmeResetController::Reset() {
  const uint32_t cc = register_manager_.ReadReg4(NvmeRegisterManager::kCcOffset, "CC");
  register_manager_.WriteReg4(NvmeRegisterManager::kCcOffset, cc & ~kCcEn, "CC");
}

bool NvmeResetController::IsResetComplete() {
  const uint32_t cc = register_manager_.ReadReg4(NvmeRegisterManager::kCcOffset, "CC");
  const uint32_t csts = register_manager_.ReadReg4(NvmeRegisterManager::kCstsOffset, "CSTS");
  return (cc & kCcEn) == 0 && (csts & kCstsRdy) == 0;
}

void NvmeResetController::InitControllerStart() {
  ctrlr_->state = NVME_CTRLR_STATE_ENABLE;
  const uint64_t to = ctrlr_->cap.bits.to;
  ctrlr_->state_timeout_tsc = spdk_get_ticks() + to * 500 * spdk_get_ticks_hz() / 1000;
}

bool NvmeResetController::IsControllerInitDone() {
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
      state_ = 1;
      break;
    case 1:
      if (!IsResetComplete()) break;
      std::cout << "NVME: CSTS is 0" << std::endl;
      state_ = 2;
      break;
    case 2:
      std::cout << "NVME: Cleaning up all queues" << std::endl;
      queue_manager_.FreeAll();
      state_ = 3;
      break;
    case 3:
      std::cout << "NVME: Starting controller initialization" << std::endl;
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
      break;
    default:
      break;
  }
}

}  // namespace nvme
}  // namespace kyt
