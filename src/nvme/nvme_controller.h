// One NVMe device known by its PCI address: attaches it through the driver's probe, notices its removal, keeps the
// controller's one state (controller_state.h: attached, timed out, resetting, power-off notified, failed, removed)
// with the admission check every runner makes before it submits, and forwards the operations that work on the whole
// controller.
// While attached it holds one NvmeControllerCtx with the per-attachment machinery (namespaces, queues, registers,
// I/O, queue-pair, reset and shutdown machines); releasing the context detaches the device.
// All operations run on the worker thread except Teardown at the driver's destruction.
#ifndef KYT_NVME_NVME_CONTROLLER_H
#define KYT_NVME_NVME_CONTROLLER_H

#include <cstdint>
#include <memory>
#include <string>

#include "nvme/controller_state.h"
#include "spdk/nvme.h"
#include "nvme/time_bounds.h"
#include "utility/command_tracker.h"

struct spdk_nvme_ctrlr;
struct spdk_nvme_ctrlr_opts;
struct spdk_nvme_qpair;
struct spdk_nvme_probe_ctx;
struct AdminCmdInput;
struct AdminCmdOutput;
struct NvmeAdminCtx;
class NvmeControllerCtx;

namespace kyt {
namespace nvme {
class DataValidatorManager;
}  // namespace nvme
}  // namespace kyt

class NvmeController {
 public:
  static constexpr uint64_t kDefaultCommandTimeoutUs = kyt::nvme::kDefaultCommandTimeoutUs;

  NvmeController(std::string name, std::shared_ptr<kyt::nvme::DataValidatorManager> data_validator_manager);
  ~NvmeController();

  NvmeController(const NvmeController&) = delete;
  NvmeController& operator=(const NvmeController&) = delete;

  const std::string& GetName() const { return name_; }

  // Attaches the device when not attached, waiting for the attachment's end. A non-zero time-out (milliseconds)
  // becomes the command time-out, also when no device answers. On an attached controller nothing happens.
  void ScanAttachement(uint32_t timeout_ms);
  // The same as polled steps, so that the worker serves its other queues and controllers meanwhile. Start: false
  // when attached already, or when no attachment could begin (GetAttachError says why); true while one is under
  // way (also one started by another caller). Poll: one step of it. Abandon: gives an attachment under way up.
  enum class AttachProgress { kPending, kAttached, kFailed };
  bool StartAttachement(uint32_t timeout_ms);
  AttachProgress PollAttachement();
  void AbandonAttachement();
  bool IsAttaching() const { return probe_ctx_ != nullptr; }

  // Read by the probe callback and written by the attach callback during one attachment.
  struct ProbeRecord {
    uint32_t admin_timeout_ms = 0;  // the command time-out, which bounds the admin steps of the initialisation too
    spdk_nvme_ctrlr* ctrlr = nullptr;
    bool attached = false;
  };
  // Detaches when the device no longer responds (BAR0 gone, CSTS all ones, not ready), or always with `force`.
  // Does nothing while not attached.
  void ScanRemoval(bool force);
  // Records that the device's power is about to go away.
  void NotifyPowerOff();

  // Why the last attachment scan found no controller, as the environment logged it (the address is claimed by
  // another process, no device there, not bound to a user-space driver...); empty when it gave no reason.
  const std::string& GetAttachError() const { return attach_error_; }

  // The controller's one state. What the driver finds (a fatal status, a device that stopped answering) reaches it
  // as an event (the driver's failure callback), when it happens.
  kyt::nvme::ControllerState GetState() const { return state_; }
  // The one question a runner asks before it acts: whether the action may go on on the controller as it stands, the
  // condition that decided, and the script's text when it may not.
  kyt::nvme::Admission Admit(kyt::nvme::Action action) const { return kyt::nvme::AdmissionFor(state_, action); }
  // A reset of the attachment starts / ended (successfully or not); the attachment's reset machine calls them.
  void ResetStarted();
  void ResetEnded(bool ok);

  // The command time-out: this controller's one value, handed down to the driver at attachment (the admin steps of
  // the initialisation, blocking waits, every command's deadline) and to the attachment's reset.
  uint64_t GetCommandTimeoutUs() const { return command_timeout_us_; }
  uint64_t GetTicksHz() const { return ticks_hz_; }

  // Releases the context (detaching the device); the state becomes detached.
  void Teardown();

  // The per-attachment context; empty while not attached.
  const std::shared_ptr<NvmeControllerCtx>& GetControllerCtx() const { return ctx_; }

  // Forwarded to the context; only valid while initialized (throws std::runtime_error otherwise).
  uint32_t GetMaxXferSize() const;
  uint32_t GetMaxQueueDepth() const;
  uint32_t GetAdjustedXferSize(uint32_t requested) const;
  uint32_t GetAdjustedQueueDepth(uint32_t requested) const;

  // Namespace create (nsid 0) / delete, then the namespace table is refreshed. Returns the driver's result
  // (for a create, the new namespace id; otherwise 0) or a negative error number.
  int SendNamespaceManagement(AdminCmdInput& input, AdminCmdOutput& output);
  // Namespace attach / detach for the input's controller list, then refresh. Returns the driver's result.
  int SendNamespaceAttachement(AdminCmdInput& input, AdminCmdOutput& output);
  // Submits Format NVM for the input's namespace id and dword on the admin queue; NvmeAdminCtx::Callback completes
  // the context. Returns 0 or the driver's negative error number.
  int SendFormatNvmAsync(NvmeAdminCtx* admin_ctx);

  // A Format NVM of `nsid` (or of every namespace for 0xFFFFFFFF) was submitted and has ended: whatever its outcome
  // (done, timed out, interrupted by a reset, a detach or a failed controller), the blocks of the namespaces it
  // formatted no longer hold what their validators expect. Their tags become untracked (as after enabling the
  // validator: never written by it); a validator whose namespace changed its size or block size follows it.
  void ForgetValidation(uint32_t nsid);

  // Driver callbacks.
  static bool Probed(void* cb_ctx, const spdk_nvme_transport_id* trid, spdk_nvme_ctrlr_opts* opts);
  static void Attached(void* cb_ctx, const spdk_nvme_transport_id* trid, spdk_nvme_ctrlr* ctrlr,
                       const spdk_nvme_ctrlr_opts* opts);
  static void TimedOut(void* cb_arg, spdk_nvme_ctrlr* ctrlr, spdk_nvme_qpair* qpair, uint16_t cid);

  // Command tracker, shared by all controllers; set once by the driver's start.
  static void SetCommandTracker(tyr::CommandTracker* tracker);
  static tyr::CommandTrackerStatus SetCommandTrackerLog(std::string path);
  static tyr::CommandTrackerStatus EnableCommandTracker();
  static tyr::CommandTrackerStatus DisableCommandTracker();

 private:
  NvmeControllerCtx& RequireCtx() const;
  // Moves to `to` when the transition is allowed (logging the change); false, and no change, otherwise.
  bool ChangeState(kyt::nvme::ControllerState to);
  void OnTimedOut(spdk_nvme_qpair* qpair, uint16_t cid);
  // The driver's report that the controller failed, or that its device is gone.
  static void Failed(void* cb_arg, spdk_nvme_ctrlr* ctrlr, bool removed);
  // Releases the attachment: the driver reports nothing more to this controller, which becomes detached.
  void ReleaseAttachment();

  std::string name_;
  std::shared_ptr<NvmeControllerCtx> ctx_;
  std::shared_ptr<kyt::nvme::DataValidatorManager> data_validator_manager_;
  std::string attach_error_;
  kyt::nvme::ControllerState state_ = kyt::nvme::ControllerState::kDetached;
  spdk_nvme_probe_ctx* probe_ctx_ = nullptr;  // the attachment under way
  ProbeRecord probe_;
  spdk_nvme_transport_id probe_trid_{};
  uint64_t command_timeout_us_ = kDefaultCommandTimeoutUs;
  uint64_t ticks_hz_;

  static tyr::CommandTracker* command_tracker_;
};

#endif  // KYT_NVME_NVME_CONTROLLER_H
