#include "runner/admin_cmd_runner.h"

#include <cstring>
#include <exception>
#include <stdexcept>

#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/nvme_queue_manager.h"
#include "nvme/nvme_admin_ctx.h"
#include "nvme/queue_pair_creation_controller.h"
#include "nvme/queue_pair_deletion_controller.h"
#include "runner/orphaned_commands.h"

namespace {

// A Format NVM whose runner gave up while the command was outstanding: the completion callback still writes into
// the context's output record, so the context carries its own copy of the records from then on.
struct OrphanedAdminCommand {
  std::unique_ptr<NvmeAdminCtx> ctx;
  AdminCmdInput input;
  AdminCmdOutput output;
};

}  // namespace

AdminCmdRunner::AdminCmdRunner(std::string device, std::string command_name)
    : TaskBase(1, "NvmeCmd-" + command_name, std::move(device)) {
  std::memset(&input_, 0, sizeof(input_));
  std::memset(&output_, 0, sizeof(output_));
}

AdminCmdRunner::~AdminCmdRunner() {
  admin_ctx_.reset();
  deletion_.reset();
  creation_.reset();
  controller_.reset();
}

void AdminCmdRunner::FetchStates() {
  // A handler never lets an exception reach the worker loop: an unexpected failure of the device layer ends
  // the task with its text.
  try {
    switch (GetState()) {
      case 1:
        HandleGetDevice();
        break;
      case 2:
        HandleCreateCommand();
        break;
      case 3:
        HandleWaitForCompletion();
        break;
      case 4:
        HandleWaitForQueueCreation();
        break;
      case 5:
        HandleWaitForQueueDeletion();
        break;
      case 6:
        HandleProcessPostCompletion();
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

void AdminCmdRunner::Abort(const std::string& message) {
  SetErrorMessage(message);
  ChangeState(100);
}

void AdminCmdRunner::AbortOutstanding(const std::string& message) {
  if (admin_ctx_ && !admin_ctx_->done) {
    auto orphan = std::make_shared<OrphanedAdminCommand>();
    orphan->input = input_;
    orphan->output = output_;
    orphan->ctx = std::move(admin_ctx_);
    orphan->ctx->input = &orphan->input;
    orphan->ctx->output = &orphan->output;
    NvmeAdminCtx* raw = orphan->ctx.get();
    OrphanedCommands::Adopt(orphan, [raw] { return raw->done; });
  }
  Abort(message);
}

bool AdminCmdRunner::CheckController() {
  if (controller_->IsPowerOffNotified()) {
    Abort("power off notified");
    return false;
  }
  if (!controller_->IsInitialized()) {
    Abort("device not initialized");
    return false;
  }
  return true;
}

bool AdminCmdRunner::SameAttachment() const {
  return controller_->IsInitialized() && controller_->GetControllerCtx().get() == attachment_;
}

void AdminCmdRunner::HandleGetDevice() {
  OrphanedCommands::Sweep();
  controller_ = GetNvmeControllerManager()->GetController(GetDevice());
  if (!CheckController()) return;
  ChangeState(2);
}

void AdminCmdRunner::HandleCreateCommand() {
  if (!CheckController()) return;
  NvmeControllerCtx& ctx = *controller_->GetControllerCtx();
  attachment_ = &ctx;
  switch (input_.code) {
    case kAdminCmdNamespaceManagement:
      controller_->SendNamespaceManagement(input_, output_);
      ChangeState(0);
      return;
    case kAdminCmdNamespaceAttachment:
      controller_->SendNamespaceAttachement(input_, output_);
      ChangeState(0);
      return;
    case kAdminCmdFormatNvm: {
      admin_ctx_ = std::make_unique<NvmeAdminCtx>();
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
      ChangeState(3);
      return;
    }
    case kAdminCmdCreateQueuePair:
      try {
        creation_ = ctx.MakeQueuePairCreationController();
      } catch (const std::runtime_error& e) {
        Abort(e.what());
        return;
      }
      ChangeState(4);
      return;
    case kAdminCmdDeleteQueuePair:
      try {
        deletion_ = ctx.MakeQueuePairDeletionController(input_.params.format.qid);
      } catch (const std::runtime_error& e) {
        Abort(e.what());
        return;
      }
      ChangeState(5);
      return;
    default:
      ChangeState(100);  // unknown code: the initial message "aborted"
      return;
  }
}

void AdminCmdRunner::HandleWaitForCompletion() {
  if (controller_->IsTimedOut()) {
    AbortOutstanding("Command Timed Out");
    return;
  }
  if (!SameAttachment()) {
    AbortOutstanding("device not initialized");
    return;
  }
  auto& queues = controller_->GetControllerCtx()->GetQueueManager();
  const int rc = input_.qid != 0 ? queues.ProcessIoCompletions(input_.qid) : queues.ProcessAdminCompletions();
  if (rc < 0) {
    AbortOutstanding("Unexpected Internal Error");
    return;
  }
  if (!admin_ctx_) return;
  if (admin_ctx_->done) {
    ChangeState(6);
  } else if (admin_ctx_->has_error) {
    AbortOutstanding(admin_ctx_->error);
  }
}

void AdminCmdRunner::HandleWaitForQueueCreation() {
  if (!SameAttachment()) {
    creation_.reset();
    Abort("device not initialized");
    return;
  }
  creation_->Run();
  if (!creation_->IsCompleted()) return;
  if (creation_->HasError()) {
    Abort(creation_->GetErrorMessage());
    return;
  }
  output_.qid = static_cast<uint16_t>(creation_->GetQid());
  output_.qpair = controller_->GetControllerCtx()->GetQueueManager().GetQpair(output_.qid);
  ChangeState(0);
}

void AdminCmdRunner::HandleWaitForQueueDeletion() {
  if (!SameAttachment()) {
    deletion_.reset();
    Abort("device not initialized");
    return;
  }
  deletion_->Run();
  if (!deletion_->IsCompleted()) return;
  if (deletion_->HasError()) {
    Abort(deletion_->GetErrorMessage());
    return;
  }
  ChangeState(0);
}

void AdminCmdRunner::HandleProcessPostCompletion() {
  if (input_.code == kAdminCmdFormatNvm && (output_.cpl.status_raw & 0x1FE) == 0 && controller_->IsInitialized()) {
    uint32_t cdw10 = 0;
    std::memcpy(&cdw10, &input_.params.format.format, sizeof(cdw10));
    controller_->GetControllerCtx()->GetNamespaceManager().ChangeFormat(static_cast<uint8_t>(cdw10 & 0xF),
                                                                        input_.params.format.nsid);
  }
  ChangeState(0);
}
