#include "runner/get_namespace_info_runner.h"

#include <exception>

#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"

GetNamespaceInfoRunner::GetNamespaceInfoRunner(std::string device)
    : TaskBase(1, "GetNamespaceInfo", std::move(device)) {}

GetNamespaceInfoRunner::~GetNamespaceInfoRunner() { controller_.reset(); }

void GetNamespaceInfoRunner::FetchStates() {
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

void GetNamespaceInfoRunner::HandleStateGetDevice() {
  controller_ = GetNvmeControllerManager()->GetController(GetDevice());
  if (!controller_->IsInitialized()) {
    SetErrorMessage("device not initialized");
    ChangeState(100);
    return;
  }
  ChangeState(2);
}

void GetNamespaceInfoRunner::HandleStateGetInfo() {
  if (!controller_->IsInitialized()) {
    SetErrorMessage("device not initialized");
    ChangeState(100);
    return;
  }
  auto ns = controller_->GetControllerCtx()->GetNamespaceManager().GetNamespace(nsid_);
  active_ = ns->IsActive();
  if (active_) {
    lba_size_ = ns->GetLbaSize();
    meta_size_ = ns->GetMetaSize();
    size_ = ns->GetSize();
  }
  ChangeState(0);
}
