#include "nvme/nvme_controller.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "nvme/data_validator_manager.h"
#include "nvme/namespace_manager.h"
#include "nvme/nvme_admin_ctx.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_reset_controller.h"
#include "kyt/env.h"
#include "nvme_internal.h"
#include "spdk/env.h"
#include "spdk/nvme.h"
#include "utility/admin_cmd_records.h"
#include "utility/log_line.h"

tyr::CommandTracker* NvmeController::command_tracker_ = nullptr;

namespace {

constexpr uint32_t kRequestedIoQueueSize = 65536;

}  // namespace

NvmeController::NvmeController(std::string name,
                               std::shared_ptr<kyt::nvme::DataValidatorManager> data_validator_manager)
    : name_(std::move(name)),
      data_validator_manager_(std::move(data_validator_manager)),
      ticks_hz_(spdk_get_ticks_hz()) {}

NvmeController::~NvmeController() { AbandonAttachement(); }

void NvmeController::ScanAttachement(uint32_t timeout_ms) {
  if (!StartAttachement(timeout_ms)) return;
  while (PollAttachement() == AttachProgress::kPending) {
  }
}

bool NvmeController::StartAttachement(uint32_t timeout_ms) {
  if (state_ != kyt::nvme::ControllerState::kDetached) return false;
  if (probe_ctx_ != nullptr) return true;  // under way already: the caller polls it too

  std::memset(&probe_trid_, 0, sizeof(probe_trid_));
  const std::string text = "trtype:PCIe traddr:" + name_;
  spdk_nvme_transport_id_parse(&probe_trid_, text.c_str());

  if (timeout_ms != 0) {
    command_timeout_us_ = static_cast<uint64_t>(timeout_ms) * 1000;
  }
  probe_ = ProbeRecord();
  probe_.admin_timeout_ms = static_cast<uint32_t>(std::max<uint64_t>(command_timeout_us_ / 1000, 1));
  probe_ctx_ = spdk_nvme_probe_async(&probe_trid_, &probe_, Probed, Attached, nullptr);
  if (probe_ctx_ == nullptr) {
    attach_error_ = kyt_env_pci_error();
    return false;
  }
  return true;
}

NvmeController::AttachProgress NvmeController::PollAttachement() {
  if (probe_ctx_ == nullptr) {
    return state_ != kyt::nvme::ControllerState::kDetached ? AttachProgress::kAttached : AttachProgress::kFailed;
  }
  // One step of the driver's initialisation: its waits (the start delay, CSTS.RDY within CAP.TO, each admin
  // command within the command time-out) are deadlines checked here, so the worker goes on with its other work.
  const int rc = spdk_nvme_probe_poll_async(probe_ctx_);
  if (rc == -EAGAIN) return AttachProgress::kPending;
  probe_ctx_ = nullptr;  // freed by the driver
  attach_error_ = probe_.attached ? "" : kyt_env_pci_error();
  if (!probe_.attached) return AttachProgress::kFailed;
  // A drive that answers Identify Controller with nothing but zeros (no vendor, no serial, no queue sizes) is not
  // one to drive: every later answer of it would be taken on trust.
  const auto* cdata = reinterpret_cast<const uint8_t*>(&probe_.ctrlr->cdata);
  if (std::all_of(cdata, cdata + sizeof(probe_.ctrlr->cdata), [](uint8_t b) { return b == 0; })) {
    kyt::LogLine("NVME: Identify Controller data is all zeros: the device is not attached");
    spdk_nvme_detach(probe_.ctrlr);
    attach_error_ = "the device answered Identify Controller with all zeros";
    return AttachProgress::kFailed;
  }

  kyt::LogLine("NVME: Device Attachment Detected with TO: " + std::to_string(command_timeout_us_));
  spdk_nvme_ctrlr_register_timeout_callback(probe_.ctrlr, command_timeout_us_, TimedOut, this);
  spdk_nvme_ctrlr_register_fail_callback(probe_.ctrlr, Failed, this);
  ctx_ = std::make_shared<NvmeControllerCtx>(probe_.ctrlr, probe_trid_, data_validator_manager_, command_timeout_us_);
  // The context's reset machine tells the controller how a reset goes; it lives no longer than the context.
  ctx_->GetResetController().SetOnProgress([this](kyt::nvme::NvmeResetController::Progress progress) {
    using P = kyt::nvme::NvmeResetController::Progress;
    if (progress == P::kStarted) {
      ResetStarted();
    } else {
      ResetEnded(progress == P::kDone);
    }
  });
  ChangeState(kyt::nvme::ControllerState::kLive);
  kyt::LogLine("NVME: Device Initialized");
  if (data_validator_manager_) {
    data_validator_manager_->Resize(ctx_->GetNamespaceManager().GetMaxNamespaceId());
  }
  return AttachProgress::kAttached;
}

void NvmeController::AbandonAttachement() {
  if (probe_ctx_ == nullptr) return;
  kyt::LogLine("NVME: Attachment given up");
  spdk_nvme_probe_abort_async(probe_ctx_);
  probe_ctx_ = nullptr;
}

bool NvmeController::Probed(void* cb_ctx, const spdk_nvme_transport_id* /*trid*/, spdk_nvme_ctrlr_opts* opts) {
  opts->io_queue_size = kRequestedIoQueueSize;
  // The wait for CSTS.RDY is the drive's own CAP.TO (a register the drive answers with its promise).
  opts->override_cap_to = 0;
  opts->admin_timeout_ms = static_cast<NvmeController::ProbeRecord*>(cb_ctx)->admin_timeout_ms;
  return true;
}

void NvmeController::Attached(void* cb_ctx, const spdk_nvme_transport_id* /*trid*/, spdk_nvme_ctrlr* ctrlr,
                              const spdk_nvme_ctrlr_opts* /*opts*/) {
  ProbeRecord* probe = static_cast<NvmeController::ProbeRecord*>(cb_ctx);
  probe->ctrlr = ctrlr;
  probe->attached = true;
}

void NvmeController::TimedOut(void* cb_arg, spdk_nvme_ctrlr* /*ctrlr*/, spdk_nvme_qpair* qpair, uint16_t cid) {
  static_cast<NvmeController*>(cb_arg)->OnTimedOut(qpair, cid);
}

// What a command past its deadline means: it is aborted (the driver then ends it for its caller); an Abort that
// itself passed its deadline means the controller no longer works, so it is failed and every wait on it ends. A
// command the drive never had (held back by an error injection) needs no Abort.
void NvmeController::OnTimedOut(spdk_nvme_qpair* qpair, uint16_t cid) {
  ChangeState(kyt::nvme::ControllerState::kTimedOut);
  std::ostringstream line;
  line << "NvmeController::TimedOut - command timed out, qpair = " << static_cast<const void*>(qpair)
       << ", cid = " << cid;
  kyt::LogLine(line.str());
  if (!ctx_) return;
  spdk_nvme_ctrlr* ctrlr = ctx_->GetHandle();
  const int opc = nvme_pcie_qpair_outstanding_opc(qpair != nullptr ? qpair : ctrlr->adminq, cid);
  if (opc < 0) {
    kyt::LogLine("NVME: The command never reached the device: no Abort is sent");
    return;
  }
  if (qpair == nullptr && opc == SPDK_NVME_OPC_ABORT) {
    kyt::LogLine("NVME: Abort command timed out: the controller has failed");
    nvme_ctrlr_fail(ctrlr, false);
    return;
  }
  const int rc = spdk_nvme_ctrlr_cmd_abort(ctrlr, qpair, cid, nullptr, nullptr);
  if (rc != 0) {
    kyt::LogLine("NVME: Failed to send Abort for cid " + std::to_string(cid) + ", Error Code: " + std::to_string(rc));
  }
}

void NvmeController::Failed(void* cb_arg, spdk_nvme_ctrlr* /*ctrlr*/, bool removed) {
  auto* self = static_cast<NvmeController*>(cb_arg);
  self->ChangeState(removed ? kyt::nvme::ControllerState::kRemoved : kyt::nvme::ControllerState::kFailed);
}

void NvmeController::ReleaseAttachment() {
  if (ctx_) spdk_nvme_ctrlr_register_fail_callback(ctx_->GetHandle(), nullptr, nullptr);
  ctx_.reset();
  ChangeState(kyt::nvme::ControllerState::kDetached);
}

void NvmeController::ScanRemoval(bool force) {
  if (state_ == kyt::nvme::ControllerState::kDetached) return;
  const bool responsive = ctx_->IsResponsive();
  if (responsive && !force) return;
  kyt::LogLine(force ? "NVME: Detaching the device forcibily" : "NVME: Device Removal Detected");
  ctx_->SetDeviceToRemoved();
  ReleaseAttachment();
}

void NvmeController::NotifyPowerOff() {
  ChangeState(kyt::nvme::ControllerState::kPowerOffNotified);
  kyt::LogLine("NVME: Power Off Notified");
}

bool NvmeController::ChangeState(kyt::nvme::ControllerState to) {
  if (state_ == to) return true;
  if (!kyt::nvme::IsAllowedTransition(state_, to)) {
    kyt::LogLine(std::string("NVME: Controller state stays ") + kyt::nvme::ControllerStateName(state_) + " (not " +
                 kyt::nvme::ControllerStateName(to) + ")");
    return false;
  }
  kyt::LogLine(std::string("NVME: Controller state: ") + kyt::nvme::ControllerStateName(state_) + " -> " +
               kyt::nvme::ControllerStateName(to));
  state_ = to;
  return true;
}

void NvmeController::ResetStarted() { ChangeState(kyt::nvme::ControllerState::kResetting); }

void NvmeController::ResetEnded(bool ok) {
  using S = kyt::nvme::ControllerState;
  if (ok) {
    ChangeState(S::kLive);
    return;
  }
  // A reset that failed leaves a controller that takes no commands: failed, unless the driver found its device
  // gone meanwhile.
  if (state_ == S::kResetting) ChangeState(S::kFailed);
}

void NvmeController::Teardown() {
  AbandonAttachement();
  ReleaseAttachment();
}

NvmeControllerCtx& NvmeController::RequireCtx() const {
  if (!ctx_) {
    throw std::runtime_error("device not initialized");
  }
  return *ctx_;
}

uint32_t NvmeController::GetMaxXferSize() const { return RequireCtx().GetMaxXferSize(); }

uint32_t NvmeController::GetMaxQueueDepth() const { return RequireCtx().GetMaxQueueDepth(); }

uint32_t NvmeController::GetAdjustedXferSize(uint32_t requested) const {
  return RequireCtx().GetAdjustedXferSize(requested);
}

uint32_t NvmeController::GetAdjustedQueueDepth(uint32_t requested) const {
  return RequireCtx().GetAdjustedQueueDepth(requested);
}

int NvmeController::SendNamespaceManagement(AdminCmdInput& input, AdminCmdOutput& /*output*/) {
  NvmeControllerCtx& ctx = RequireCtx();
  int rc;
  if (input.params.ns_mgmt.nsid != 0) {
    rc = spdk_nvme_ctrlr_delete_ns(ctx.GetHandle(), input.params.ns_mgmt.nsid);
  } else {
    // The driver answers the new namespace id, or 0 when the creation failed.
    const uint32_t nsid = spdk_nvme_ctrlr_create_ns(ctx.GetHandle(), &input.params.ns_mgmt.ns_data);
    rc = nsid != 0 ? static_cast<int>(nsid) : -EIO;
  }
  ctx.RefreshNamespaces();
  return rc;
}

int NvmeController::SendNamespaceAttachement(AdminCmdInput& input, AdminCmdOutput& /*output*/) {
  NvmeControllerCtx& ctx = RequireCtx();
  const int rc = input.params.ns_attach.attach
                     ? spdk_nvme_ctrlr_attach_ns(ctx.GetHandle(), input.params.ns_attach.nsid,
                                                 &input.params.ns_attach.ctrlr_list)
                     : spdk_nvme_ctrlr_detach_ns(ctx.GetHandle(), input.params.ns_attach.nsid,
                                                 &input.params.ns_attach.ctrlr_list);
  ctx.GetNamespaceManager().RefreshNamespaces();
  return rc;
}

int NvmeController::SendFormatNvmAsync(NvmeAdminCtx* admin_ctx) {
  NvmeControllerCtx& ctx = RequireCtx();
  AdminCmdInput& input = *admin_ctx->input;
  return ctx.GetQueueManager().Submit(*admin_ctx, 0, [&] {
    return nvme_ctrlr_cmd_format(ctx.GetHandle(), input.params.format.nsid, &input.params.format.format,
                                 NvmeAdminCtx::Callback, admin_ctx);
  });
}

void NvmeController::ForgetValidation(uint32_t nsid) {
  if (!data_validator_manager_) return;
  const uint32_t first = nsid == kyt::nvme::NamespaceManager::kBroadcastNsid ? 1 : nsid;
  const uint32_t last =
      nsid == kyt::nvme::NamespaceManager::kBroadcastNsid ? data_validator_manager_->GetSize() : nsid;
  for (uint32_t id = first; id != 0 && id <= last; ++id) {
    kyt::nvme::DataValidator* validator = data_validator_manager_->Find(id);
    if (validator == nullptr || !validator->IsEnabled()) continue;
    if (ctx_ && id <= ctx_->GetNamespaceManager().GetMaxNamespaceId()) {
      const auto ns = ctx_->GetNamespaceManager().GetNamespace(id);
      const uint32_t block = ns->GetSectorBufferSize();  // a new metadata placement moves the blocks too
      if (ns->IsActive() && (ns->GetSize() != validator->GetNumLbas() || block != validator->GetBlockSize())) {
        data_validator_manager_->Reset(id, ns->GetSize(), block);
      }
    }
    data_validator_manager_->Forget(id);  // no walk over the map: its pages go back, in-flight I/Os stop matching
    kyt::LogLine("NVME: Format NVM: data validation of NSID " + std::to_string(id) + " starts afresh");
  }
}

void NvmeController::SetCommandTracker(tyr::CommandTracker* tracker) { command_tracker_ = tracker; }

tyr::CommandTrackerStatus NvmeController::SetCommandTrackerLog(std::string path) {
  return command_tracker_ != nullptr ? command_tracker_->SetLog(path) : tyr::kCommandTrackerOk;
}

tyr::CommandTrackerStatus NvmeController::EnableCommandTracker() {
  return command_tracker_ != nullptr ? command_tracker_->Enable() : tyr::kCommandTrackerNoLogFile;
}

tyr::CommandTrackerStatus NvmeController::DisableCommandTracker() {
  return command_tracker_ != nullptr ? command_tracker_->Disable() : tyr::kCommandTrackerOk;
}
