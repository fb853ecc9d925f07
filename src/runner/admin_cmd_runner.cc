#include "runner/admin_cmd_runner.h"

#include <cstring>
#include <stdexcept>

#include "nvme/completion_status.h"
#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_queue_manager.h"
#include "nvme/nvme_admin_ctx.h"
#include "nvme/queue_pair_creation_controller.h"
#include "nvme/queue_pair_deletion_controller.h"

AdminCmdRunner::AdminCmdRunner(std::string device, std::string command_name)
    : ControllerRunner("NvmeCmd-" + command_name, std::move(device)) {
  std::memset(&input_, 0, sizeof(input_));
  std::memset(&output_, 0, sizeof(output_));
}

AdminCmdRunner::~AdminCmdRunner() {
  admin_ctx_.reset();
  deletion_.reset();
  creation_.reset();
}

void AdminCmdRunner::HandleState(uint32_t state) {
  Dispatch<kProcessPostCompletion>(this, state,
           &AdminCmdRunner::HandleLookUpAdmitted, &AdminCmdRunner::HandleCreateCommand,
            &AdminCmdRunner::HandleWaitForCompletion, &AdminCmdRunner::HandleWaitForQueueCreation,
            &AdminCmdRunner::HandleWaitForQueueDeletion, &AdminCmdRunner::HandleProcessPostCompletion);
}

void AdminCmdRunner::AbortOutstanding(const std::string& message) {
  // A format given up on may have run, in part or whole: its namespaces' validation starts afresh.
  if (admin_ctx_ && input_.code == kAdminCmdFormatNvm) controller_->ForgetValidation(input_.params.format.nsid);
  Abort(message);
}

// From now on the script reads this runner's records: a completion still to come must not reach them. The queue-pair
// machines hold their queue command's context too.
void AdminCmdRunner::LetGoOfCommand() {
  admin_ctx_.reset();
  deletion_.reset();
  creation_.reset();
}

bool AdminCmdRunner::SameAttachment() const { return controller_->GetControllerCtx().get() == attachment_; }

void AdminCmdRunner::HandleCreateCommand() {
  if (!Require(kyt::nvme::Action::kCommand)) return;
  NvmeControllerCtx& ctx = *controller_->GetControllerCtx();
  attachment_ = &ctx;
  switch (input_.code) {
    case kAdminCmdNamespaceManagement:
      controller_->SendNamespaceManagement(input_, output_);
      ChangeState(kStateDone);
      return;
    case kAdminCmdNamespaceAttachment:
      controller_->SendNamespaceAttachement(input_, output_);
      ChangeState(kStateDone);
      return;
    case kAdminCmdFormatNvm: {
      admin_ctx_ = kyt::nvme::MakeCommandContext<NvmeAdminCtx>();
      admin_ctx_->input = &input_;
      admin_ctx_->output = &output_;
      const int rc = controller_->SendFormatNvmAsync(admin_ctx_.get());
      if (rc != 0) {
        // Refused: no completion will come, so the task ends here with the queue manager's text for the error.
        Abort("Unexpected Internal Error, Error Code: " +
              kyt::nvme::NvmeQueueManager::GetErrorMessageFromOpsStatus(
                  kyt::nvme::NvmeQueueManager::GetOpsStatusFromSpdkStatus(rc)));
        return;
      }
      ChangeState(kWaitForCompletion);
      return;
    }
    case kAdminCmdCreateQueuePair:
      try {
        creation_ = ctx.MakeQueuePairCreationController();
      } catch (const std::runtime_error& e) {
        Abort(e.what());
        return;
      }
      ChangeState(kWaitForQueueCreation);
      return;
    case kAdminCmdDeleteQueuePair:
      try {
        deletion_ = ctx.MakeQueuePairDeletionController(input_.params.format.qid);
      } catch (const std::runtime_error& e) {
        Abort(e.what());
        return;
      }
      ChangeState(kWaitForQueueDeletion);
      return;
    default:
      ChangeState(kStateAborted);  // unknown code: the initial message "aborted"
      return;
  }
}

void AdminCmdRunner::HandleWaitForCompletion() {
  if (!admin_ctx_->done || !kyt::nvme::CompletionStatus(output_.cpl).HostTimedOut()) {
    const std::string failure = PollFailure(SameAttachment(), input_.qid);
    if (!failure.empty()) {
      AbortOutstanding(failure);
      return;
    }
    if (admin_ctx_->has_error) {
      AbortOutstanding(admin_ctx_->error);
      return;
    }
    if (!admin_ctx_->done) return;
  }
  // Ended by the host (time-out, failed controller): the driver no longer writes into the context.
  if (kyt::nvme::CompletionStatus(output_.cpl).Failed() && !Require(kyt::nvme::Action::kInFlight)) {
    if (input_.code == kAdminCmdFormatNvm) controller_->ForgetValidation(input_.params.format.nsid);
    return;
  }
  ChangeState(kProcessPostCompletion);
}

template <typename Machine>
bool AdminCmdRunner::StepQueueMachine(std::shared_ptr<Machine>& machine) {
  if (!SameAttachment()) {
    machine.reset();
    Abort("device not initialized");
    return false;
  }
  // A machine under way is a call in flight. While a reset re-initialises the controller it waits (the reset's own
  // steps are bounded); once the reset is over the machine finds its queue dropped and says so.
  if (controller_->Admit(kyt::nvme::Action::kInFlight).reason == kyt::nvme::AdmissionReason::kResetting) return false;
  machine->Run();
  if (!machine->IsCompleted()) return false;
  if (machine->HasError()) {
    // A drive that went away fails the queue commands in ways that do not say so: the text says what happened.
    if (controller_->Admit(kyt::nvme::Action::kInFlight).Admitted() &&
        !controller_->GetControllerCtx()->IsResponsive()) {
      controller_->GetControllerCtx()->SetDeviceToRemoved();
    }
    const kyt::nvme::Admission after = controller_->Admit(kyt::nvme::Action::kInFlight);
    if (!after.Admitted()) {
      Abort(after.text);
    } else if (machine->TimedOut()) {
      // The script matches the time-out; which command it was, and what the drive may still hold, is told beside.
      SetErrorDetail(machine->GetErrorMessage() + ": its command was not answered within the command time-out",
                     "reset the controller (resetController): the reset drops every I/O queue pair the drive may "
                     "still hold");
      Abort(kyt::nvme::kTextTimedOut);
    } else {
      Abort(machine->GetErrorMessage());
    }
    return false;
  }
  return true;
}

void AdminCmdRunner::HandleWaitForQueueCreation() {
  if (!StepQueueMachine(creation_)) return;
  output_.qid = static_cast<uint16_t>(creation_->GetQid());
  output_.qpair = controller_->GetControllerCtx()->GetQueueManager().GetQpair(output_.qid);
  ChangeState(kStateDone);
}

void AdminCmdRunner::HandleWaitForQueueDeletion() {
  if (!StepQueueMachine(deletion_)) return;
  ChangeState(kStateDone);
}

void AdminCmdRunner::HandleProcessPostCompletion() {
  if (input_.code == kAdminCmdFormatNvm) {
    if (!kyt::nvme::CompletionStatus(output_.cpl).Failed() && SameAttachment()) {
      uint32_t cdw10 = 0;
      std::memcpy(&cdw10, &input_.params.format.format, sizeof(cdw10));
      controller_->GetControllerCtx()->GetNamespaceManager().ChangeFormat(cdw10, input_.params.format.nsid);
    }
    // Done, the blocks were never written since; timed out or ended with an error status, what the drive did is
    // not known: either way the validators of its namespaces start afresh.
    controller_->ForgetValidation(input_.params.format.nsid);
  }
  ChangeState(kStateDone);
}
