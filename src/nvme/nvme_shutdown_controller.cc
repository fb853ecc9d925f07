#include "nvme/nvme_shutdown_controller.h"

#include "nvme/nvme_queue_manager.h"
#include "nvme/nvme_register_manager.h"
#include "nvme_internal.h"

namespace kyt {
namespace nvme {

namespace {

constexpr uint32_t kCcShnMask = 3u << 14;
constexpr uint32_t kCcShnNormal = 1u << 14;
constexpr uint32_t kCstsShstMask = 3u << 2;
constexpr uint32_t kCstsShstComplete = 2u << 2;

}  // namespace

NvmeShutdownController::NvmeShutdownController(spdk_nvme_ctrlr* ctrlr, NvmeRegisterManager& register_manager,
                                               NvmeQueueManager& queue_manager)
    : ControllerMachine(ctrlr, register_manager, queue_manager) {}

void NvmeShutdownController::ClearError() {
  if (state_ != kStateError) return;
  error_.clear();
  ctrlr_->is_shutdown = false;
}

void NvmeShutdownController::ShutdownNormal() {
  const uint32_t cc = register_manager_.ReadReg4(NvmeRegisterManager::kCcOffset, "CC");
  register_manager_.WriteReg4(NvmeRegisterManager::kCcOffset, (cc & ~kCcShnMask) | kCcShnNormal, "CC");
}

bool NvmeShutdownController::IsShutdownComplete() {
  const uint32_t csts = register_manager_.ReadReg4(NvmeRegisterManager::kCstsOffset, "CSTS");
  if ((csts & kCstsShstMask) == kCstsShstComplete) {
    ctrlr_->is_shutdown = true;
    return true;
  }
  return false;
}

void NvmeShutdownController::OnFinishedRun() { ctrlr_->is_shutdown = true; }

void NvmeShutdownController::Step() {
  switch (state_) {
    case kStateIdle:
      ShutdownNormal();
      state_ = kDropQueues;
      break;
    case kDropQueues:
      queue_manager_.AbortAsyncEventRequests();
      queue_manager_.FreeIoQueuePairs(false);
      queue_manager_.FreeDoorbellBuffer();
      state_ = kNotifyAgain;
      break;
    case kNotifyAgain:
      ShutdownNormal();
      state_ = kWaitForShutdown;
      break;
    case kWaitForShutdown:
      if (IsShutdownComplete()) state_ = kFreeQueues;
      break;
    case kFreeQueues:
      queue_manager_.FreeAll();
      state_ = kStateFinished;
      break;
    default:
      break;
  }
}

}  // namespace nvme
}  // namespace kyt
