#include "runner/get_device_info_runner.h"

#include <exception>

#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"

GetDeviceInfoRunner::GetDeviceInfoRunner(std::string device) : TaskBase(1, "GetDeviceInfo", std::move(device)) {}

GetDeviceInfoRunner::~GetDeviceInfoRunner() { controller_.reset(); }

void GetDeviceInfoRunner::FetchStates() {
  // A handler never lets an exception reach the worker loop: an unexpected failure of the device layer ends
  // the task with its text.
  try {
    switch (GetState()) {
      case 1:
        HandleStateGetDevice();
        break;
      case 2:
        HandleStateGetInfo();
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    if (!IsComplete()) {
      SetErrorMessage(std::string("ASSERT: ") + e.what());
      ChangeState(100);
    }
  }
}

void GetDeviceInfoRunner::HandleStateGetDevice() {
  controller_ = GetNvmeControllerManager()->GetController(GetDevice());
  if (!controller_->IsInitialized()) {
    SetErrorMessage("device not initialized");
    ChangeState(100);
    return;
  }
  ChangeState(2);
}

void GetDeviceInfoRunner::HandleStateGetInfo() {
  if (!controller_->IsInitialized()) {
    SetErrorMessage("device not initialized");
    ChangeState(100);
    return;
  }
  max_namespace_id_ = controller_->GetControllerCtx()->GetNamespaceManager().GetMaxNamespaceId();
  max_xfer_size_ = controller_->GetMaxXferSize();
  max_queue_depth_ = controller_->GetMaxQueueDepth();
  ChangeState(0);
}
