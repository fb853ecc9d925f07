#include "runner/get_device_info_runner.h"

#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"

GetDeviceInfoRunner::GetDeviceInfoRunner(std::string device) : TaskBase(1, "GetDeviceInfo", std::move(device)) {}

GetDeviceInfoRunner::~GetDeviceInfoRunner() { controller_.reset(); }

void GetDeviceInfoRunner::FetchStates() {
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
