#include "runner/get_device_info_runner.h"

#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "spdk/nvme.h"

GetDeviceInfoRunner::GetDeviceInfoRunner(std::string device) : ControllerRunner("GetDeviceInfo", std::move(device)) {}

GetDeviceInfoRunner::~GetDeviceInfoRunner() = default;

void GetDeviceInfoRunner::HandleState(uint32_t state) {
  Dispatch<kGetInfo>(this, state, &GetDeviceInfoRunner::HandleLookUpAttached, &GetDeviceInfoRunner::HandleStateGetInfo);
}

void GetDeviceInfoRunner::HandleStateGetInfo() {
  if (!Require(kyt::nvme::Action::kUseAttachment)) return;
  max_namespace_id_ = controller_->GetControllerCtx()->GetNamespaceManager().GetMaxNamespaceId();
  max_xfer_size_ = controller_->GetMaxXferSize();
  max_queue_depth_ = controller_->GetMaxQueueDepth();
  ignored_completions_ = spdk_nvme_ctrlr_get_ignored_completions(controller_->GetControllerCtx()->GetHandle());
  ChangeState(kStateDone);
}
