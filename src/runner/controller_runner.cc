#include "runner/controller_runner.h"

#include <exception>

#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/nvme_queue_manager.h"
#include "nvme/nvme_reset_controller.h"

ControllerRunner::ControllerRunner(std::string name, std::string device)
    : TaskBase(kStateLookUp, std::move(name), std::move(device)) {}

ControllerRunner::~ControllerRunner() { controller_.reset(); }

void ControllerRunner::FetchStates() {
  try {
    HandleState(GetState());
  } catch (const std::exception& e) {
    if (!IsComplete()) {
      SetErrorMessage(std::string("ASSERT: ") + e.what());
      ChangeState(kStateAborted);
    }
  }
  if (IsComplete()) LetGoOfCommand();
}

void ControllerRunner::Abort(const std::string& message) {
  SetErrorMessage(message);
  ChangeState(kStateAborted);
}

void ControllerRunner::Finish(bool ok, const std::string& failure) {
  if (ok) {
    ChangeState(kStateDone);
  } else {
    Abort(failure);
  }
}

void ControllerRunner::LookUpController() {
  controller_ = GetNvmeControllerManager()->GetController(GetDevice());
}

void ControllerRunner::HandleLookUpAttached() {
  LookUpController();
  if (!Require(kyt::nvme::Action::kUseAttachment)) return;
  ChangeState(kStateFirstStep);
}

void ControllerRunner::HandleLookUpAdmitted() {
  LookUpController();
  if (!Require(kyt::nvme::Action::kCommand)) return;
  ChangeState(kStateFirstStep);
}

bool ControllerRunner::Require(kyt::nvme::Action action) {
  const kyt::nvme::Admission admission = controller_->Admit(action);
  if (admission.Admitted()) return true;
  Abort(admission.text);
  return false;
}

std::string ControllerRunner::PollFailure(bool attached, uint16_t qid) {
  if (!attached) return kyt::nvme::kTextNotAttached;
  const kyt::nvme::Admission in_flight = controller_->Admit(kyt::nvme::Action::kInFlight);
  if (!in_flight.Admitted()) return in_flight.text;
  if (ProcessCompletions(qid) < 0) return CompletionFailure(qid);
  return std::string();
}

const char* ControllerRunner::CompletionFailure(uint16_t qid) const {
  NvmeControllerCtx* ctx = controller_->GetControllerCtx().get();
  if (qid != 0 && ctx != nullptr && !ctx->GetQueueManager().IsValidQueueId(qid) &&
      ctx->GetResetController().GetState() != kyt::nvme::NvmeResetController::kStateIdle) {
    return "Command aborted by a controller reset";
  }
  return "Unexpected Internal Error";
}

int ControllerRunner::ProcessCompletions(uint16_t qid) {
  auto& queues = controller_->GetControllerCtx()->GetQueueManager();
  return qid != 0 ? queues.ProcessIoCompletions(qid) : queues.ProcessAdminCompletions();
}
