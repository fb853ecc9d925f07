#include "nvme/nvme_controller_ctx.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "nvme/data_validator_manager.h"
#include "nvme/time_bounds.h"
#include "nvme_internal.h"
#include "utility/log_line.h"

namespace {

// The lower-case hexadecimal digits of `value`, at least `width` of them.
std::string HexText(uint32_t value, int width = 1) {
  char text[16];
  std::snprintf(text, sizeof(text), "%0*x", width, value);
  return text;
}

}  // namespace

NvmeControllerCtx::NvmeControllerCtx(spdk_nvme_ctrlr* ctrlr, spdk_nvme_transport_id trid,
                                     std::shared_ptr<kyt::nvme::DataValidatorManager> data_validator_manager,
                                     uint64_t command_timeout_us)
    : reset_controller_(ctrlr, register_manager_, queue_manager_, command_timeout_us / 1000),
      shutdown_controller_(ctrlr, register_manager_, queue_manager_),
      register_manager_(ctrlr),
      queue_manager_(ctrlr),
      namespace_manager_(ctrlr),
      io_manager_(namespace_manager_, queue_manager_, data_validator_manager),
      ctrlr_(ctrlr),
      trid_(trid),
      data_validator_manager_(std::move(data_validator_manager)) {
  namespace_manager_.RefreshNamespaces();
  // A reset re-runs the driver's initialisation, which may rebuild its namespace records.
  reset_controller_.SetOnReinitialized([this]() { RefreshNamespaces(); });
}

void NvmeControllerCtx::RefreshNamespaces() {
  namespace_manager_.RefreshNamespaces();
  if (data_validator_manager_) {
    data_validator_manager_->Resize(namespace_manager_.GetMaxNamespaceId());
  }
}

NvmeControllerCtx::~NvmeControllerCtx() {
  // A drive that stops answering must not hold the teardown (and so the end of the process) for a whole command
  // time-out: each wait is short; a queue the device does not delete fails the controller, which frees the rest on
  // the host side only.
  ctrlr_->opts.admin_timeout_ms = std::min(ctrlr_->opts.admin_timeout_ms, kyt::nvme::kTeardownWaitMs);
  queue_manager_.FreeIoQueuePairs(true);
  // The admin queue's memory goes with the driver's controller, and commands may still be at the device (event
  // requests, a command that timed out): it must not write there any more.
  nvme_transport_ctrlr_stop_dma(ctrlr_);
  kyt::LogLine("NVME: Detaching Device");
  spdk_nvme_detach(ctrlr_);
}

uint32_t NvmeControllerCtx::GetMaxXferSize() const { return spdk_nvme_ctrlr_get_max_xfer_size(ctrlr_); }

uint32_t NvmeControllerCtx::GetMaxQueueDepth() const { return ctrlr_->opts.io_queue_size; }

uint32_t NvmeControllerCtx::GetAdjustedXferSize(uint32_t requested) const {
  const uint32_t max = GetMaxXferSize();
  kyt::LogLine("NVME: Ctrl Max Transfer Size: " + std::to_string(max));
  return requested != 0 && requested <= max ? requested : max;
}

uint32_t NvmeControllerCtx::GetAdjustedQueueDepth(uint32_t requested) const {
  const uint32_t max = GetMaxQueueDepth();
  if (requested == 0) return max;
  return requested < max ? requested : max;
}

bool NvmeControllerCtx::IsResponsive() const {
  uint32_t bar0 = 0;
  spdk_pci_device* dev = nvme_ctrlr_proc_get_devhandle(ctrlr_);
  // A configuration read that fails (device off the bus) counts as a vanished BAR0.
  if (dev == nullptr || spdk_pci_device_cfg_read32(dev, &bar0, 0x10) != 0) {
    bar0 = 0;
  }
  if ((bar0 & 0xFFFFC000u) == 0) {
    kyt::LogLine("NVME: Bar0 = 0x" + HexText(bar0));
    kyt::LogLine("NVME: Bar0 Disappeared");
    return false;
  }
  const uint32_t csts = spdk_nvme_ctrlr_get_regs_csts(ctrlr_);
  if (csts == 0xFFFFFFFFu) {
    kyt::LogLine("NVME: CSTS = 0x" + HexText(csts));
    kyt::LogLine("NVME: Failed to read CSTS register");
    return false;
  }
  if ((csts & 1u) != 0) {
    return true;
  }
  kyt::LogLine("NVME: CSTS = 0x" + HexText(csts));
  kyt::LogLine("NVME: Controller is not ready");
  return false;
}

void NvmeControllerCtx::SetDeviceToRemoved() { nvme_ctrlr_fail(ctrlr_, true); }

void NvmeControllerCtx::SetDeviceToFailed() { nvme_ctrlr_fail(ctrlr_, false); }

int NvmeControllerCtx::InjectCommandError(uint16_t qid, uint8_t opc, bool do_not_submit, uint64_t timeout_us,
                                          uint32_t count, uint8_t sct, uint8_t sc) {
  spdk_nvme_qpair* qpair = nullptr;
  if (qid != 0) {
    qpair = queue_manager_.GetQpair(qid);
    if (qpair == nullptr) return -ENXIO;
  }
  kyt::LogLine("NVME: InjectCommandError: OPC=0x" + HexText(opc, 2) + ", SCT=0x" + HexText(sct, 2) + ", SC=0x" +
               HexText(sc, 2));
  return spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, qpair, opc, do_not_submit, timeout_us, count, sct, sc);
}

std::shared_ptr<kyt::nvme::QueuePairCreationController> NvmeControllerCtx::MakeQueuePairCreationController() {
  return std::make_shared<kyt::nvme::QueuePairCreationController>(register_manager_, queue_manager_);
}

std::shared_ptr<kyt::nvme::QueuePairDeletionController> NvmeControllerCtx::MakeQueuePairDeletionController(
    uint16_t qid, const void* requester) {
  return std::make_shared<kyt::nvme::QueuePairDeletionController>(qid, requester, register_manager_, queue_manager_);
}
