#include "runner/generic_function_runner.h"

#include <cerrno>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "nvme/data_validator.h"
#include "nvme/data_validator_manager.h"
#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/nvme_reset_controller.h"
#include "nvme/nvme_shutdown_controller.h"
#include "utility/log_line.h"

GenericFunctionRunner::GenericFunctionRunner(std::string device, std::string function_name)
    : ControllerRunner("GenericFunction-" + function_name, std::move(device)) {}

GenericFunctionRunner::~GenericFunctionRunner() = default;

std::string GenericFunctionRunner::GetLogPrefix() const { return "NVME: Task: " + GetName() + ": "; }

void GenericFunctionRunner::HandleState(uint32_t state) {
  Dispatch<kWaitDone>(this, state,
           &GenericFunctionRunner::HandleGetDevice, &GenericFunctionRunner::HandleRunFunction,
            &GenericFunctionRunner::HandleWaitDone);
}

void GenericFunctionRunner::HandleGetDevice() {
  LookUpController();
  if (device_check_ && !Require(kyt::nvme::Action::kUseAttachment)) return;
  ChangeState(kRunFunction);
}

bool GenericFunctionRunner::EnableDataValidator(uint32_t nsid) {
  auto& namespaces = controller_->GetControllerCtx()->GetNamespaceManager();
  if (nsid == 0 || nsid > namespaces.GetMaxNamespaceId()) {
    Abort("Invalid namespace ID " + std::to_string(nsid));
    return false;
  }
  auto ns = namespaces.GetNamespace(nsid);
  if (!ns->IsActive()) {
    Abort("Namespace " + std::to_string(nsid) + " is not active");
    return false;
  }
  // The validator's block size places the stamps: blocks lie that far apart in the data buffer, metadata interleaved
  // with the data included.
  const auto status =
      GetNvmeControllerManager()->GetDataValidatorManager()->Enable(nsid, ns->GetSize(), ns->GetSectorBufferSize());
  if (status == kyt::nvme::kDataValidatorNoMemory) {
    Abort("Failed to allocate memory: data validation of NSID " + std::to_string(nsid) + " (" +
          std::to_string(ns->GetSize()) + " blocks) needs " +
          std::to_string(kyt::nvme::DataValidator::MapBytes(ns->GetSize())) + " bytes of address space");
    return false;
  }
  return true;
}

void GenericFunctionRunner::RunEnableDataValidator() {
  if (nsid_ == 0) {
    Abort("Invalid namespace ID 0");
    return;
  }
  try {
    if (nsid_ != kAllNamespaces) {
      if (EnableDataValidator(nsid_)) ChangeState(kStateDone);
      return;
    }
    kyt::LogLine(GetLogPrefix() + "Enabling data validators for all active namespaces");
    auto& namespaces = controller_->GetControllerCtx()->GetNamespaceManager();
    auto validators = GetNvmeControllerManager()->GetDataValidatorManager();
    const uint32_t max = namespaces.GetMaxNamespaceId();
    std::vector<uint32_t> enabled_here;
    for (uint32_t nsid = 1; nsid <= max; ++nsid) {
      if (!namespaces.GetNamespace(nsid)->IsActive()) continue;
      auto validator = validators->GetDataValidator(nsid);
      const bool was_enabled = validator && validator->IsEnabled();
      if (!EnableDataValidator(nsid)) {
        // A failed call leaves nothing behind: what it enabled is given back.
        for (uint32_t done : enabled_here) validators->Disable(done);
        return;
      }
      if (!was_enabled) enabled_here.push_back(nsid);
    }
    ChangeState(kStateDone);
  } catch (const std::exception& e) {
    Abort(e.what());
  }
}

void GenericFunctionRunner::RunDisableDataValidator() {
  try {
    auto validators = GetNvmeControllerManager()->GetDataValidatorManager();
    if (nsid_ != kAllNamespaces) {
      validators->Disable(nsid_);
    } else {
      validators->DisableAll();
    }
  } catch (const std::runtime_error& e) {
    Abort(e.what());
    return;
  }
  ChangeState(kStateDone);
}

// A machine that failed reports its own text when it has one, else the text of its exception. Its error is cleared
// so that a later call can start it again.
void GenericFunctionRunner::AbortMachine(const std::string& fallback) {
  auto& ctx = *controller_->GetControllerCtx();
  if (code_ == kFunctionResetController) {
    auto& machine = ctx.GetResetController();
    AbortWith(machine, fallback);
    machine.ClearError();
  } else {
    AbortWith(ctx.GetShutdownController(), fallback);
  }
}

template <typename Machine>
void GenericFunctionRunner::AbortWith(const Machine& machine, const std::string& fallback) {
  SetErrorDetail(machine.GetErrorCause(), machine.GetErrorAction());
  Abort(machine.GetErrorMessage().empty() ? fallback : machine.GetErrorMessage());
}

void GenericFunctionRunner::RunStartMachine() {
  if (!Require(kyt::nvme::Action::kUseAttachment)) return;  // it acts on the attachment's context
  auto& ctx = *controller_->GetControllerCtx();
  machine_ctx_ = &ctx;
  try {
    if (code_ == kFunctionResetController) {
      ctx.GetResetController().Start();
    } else {
      ctx.GetShutdownController().Start();
    }
  } catch (const std::exception& e) {
    AbortMachine(e.what());
    return;
  }
  ChangeState(kWaitDone);
}

void GenericFunctionRunner::RunErrorInjection() {
  if (!Require(kyt::nvme::Action::kUseAttachment)) return;  // it acts on the attachment's context
  const int rc =
      controller_->GetControllerCtx()->InjectCommandError(qid_, opc_, do_not_submit_, timeout_us_, count_, sct_, sc_);
  if (rc == -ENXIO) {
    Abort("Invalid Queue ID");  // no such I/O queue pair: nothing would ever see the injection
    return;
  }
  if (rc < 0) {
    Abort("Failed to inject command error, Error Code: " + std::to_string(rc));
    return;
  }
  ChangeState(kStateDone);
}

void GenericFunctionRunner::HandleRunFunction() {
  switch (code_) {
    case kFunctionEnableDataValidator:
      RunEnableDataValidator();
      return;
    case kFunctionDisableDataValidator:
      RunDisableDataValidator();
      return;
    case kFunctionEnableCommandTracker:
      Finish(NvmeController::EnableCommandTracker() == 0, "file must be set before enabling command tracker.");
      return;
    case kFunctionDisableCommandTracker:
      Finish(NvmeController::DisableCommandTracker() == 0, "failed to flush file while disabling command tracker.");
      return;
    case kFunctionSetCommandTrackerLog:
      Finish(NvmeController::SetCommandTrackerLog(log_path_) == 0, "failed to create command tracker log.");
      return;
    case kFunctionScanAttachment:
      // The attachment goes on as a polled step (kWaitDone): the worker serves everything else meanwhile.
      if (controller_->StartAttachement(scan_timeout_ms_)) {
        ChangeState(kWaitDone);
        return;
      }
      FinishAttachment();
      return;
    case kFunctionScanRemoval:
      controller_->ScanRemoval(true);
      Finish(!controller_->Admit(kyt::nvme::Action::kUseAttachment).Admitted(), "failed to remove the controller.");
      return;
    case kFunctionResetController:
    case kFunctionShutdown:
      RunStartMachine();
      return;
    case kFunctionSetErrorInjection:
      RunErrorInjection();
      return;
    default:
      Abort("ASSERT: invalid input.type");
      return;
  }
}

void GenericFunctionRunner::FinishAttachment() {
  const std::string& cause = controller_->GetAttachError();
  Finish(controller_->Admit(kyt::nvme::Action::kUseAttachment).Admitted(),
         "failed to initialize the controller." + (cause.empty() ? "" : " " + cause));
}

void GenericFunctionRunner::HandleWaitDone() {
  if (code_ == kFunctionScanAttachment) {
    if (controller_->PollAttachement() == NvmeController::AttachProgress::kPending) return;
    FinishAttachment();
    return;
  }
  if (code_ != kFunctionResetController && code_ != kFunctionShutdown) {
    Abort("ASSERT: invalid input.type");
    return;
  }
  // The machine lives in the attachment's context: if the device went away meanwhile, so did the machine.
  if (controller_->GetControllerCtx().get() != machine_ctx_) {
    SetErrorDetail(std::string("the controller was detached (a removal scan, or a device that went away) while the ") +
                       (code_ == kFunctionResetController ? "reset" : "shutdown") + " ran, which ended it",
                   "scan for attachment (scanAttachment), then create queue pairs anew");
    Abort(kyt::nvme::kTextNotAttached);
    return;
  }
  auto& ctx = *controller_->GetControllerCtx();
  bool done = false;
  bool failed = false;
  try {
    if (code_ == kFunctionResetController) {
      done = ctx.GetResetController().IsDone();
      failed = ctx.GetResetController().HasError();
    } else {
      done = ctx.GetShutdownController().IsDone();
      failed = ctx.GetShutdownController().HasError();
    }
  } catch (const std::exception& e) {
    AbortMachine(e.what());
    return;
  }
  if (done) {
    // The controller works again: the reset machine made it live, so earlier time-outs no longer refuse commands.
    ChangeState(kStateDone);
  } else if (failed) {
    AbortMachine("Unexpected error encountered while resetting NVM controller.");
  }
}
