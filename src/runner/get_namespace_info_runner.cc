#include "runner/get_namespace_info_runner.h"

#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"

GetNamespaceInfoRunner::GetNamespaceInfoRunner(std::string device)
    : ControllerRunner("GetNamespaceInfo", std::move(device)) {}

GetNamespaceInfoRunner::~GetNamespaceInfoRunner() = default;

void GetNamespaceInfoRunner::HandleState(uint32_t state) {
  Dispatch<kGetInfo>(this, state, &GetNamespaceInfoRunner::HandleLookUpAttached,
                     &GetNamespaceInfoRunner::HandleStateGetInfo);
}

void GetNamespaceInfoRunner::HandleStateGetInfo() {
  if (!Require(kyt::nvme::Action::kUseAttachment)) return;
  auto ns = controller_->GetControllerCtx()->GetNamespaceManager().GetNamespace(nsid_);
  active_ = ns->IsActive();
  if (active_) {
    lba_size_ = ns->GetLbaSize();
    meta_size_ = ns->GetMetaSize();
    size_ = ns->GetSize();
  }
  ChangeState(kStateDone);
}
