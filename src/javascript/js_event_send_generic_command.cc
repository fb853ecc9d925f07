#include "javascript/js_event_send_generic_command.h"

#include "nvme/completion_status.h"

JsEventSendGenericCommand::JsEventSendGenericCommand(std::string bdf, v8::Isolate* isolate)
    : JsEvent(bdf, isolate), runner_(new GenericCmdRunner(bdf)) {
  set_runner(runner_);
}

JsEventSendGenericCommand::~JsEventSendGenericCommand() { delete runner_; }

void JsEventSendGenericCommand::ParseCommand(v8::Local<v8::Value> value) {
  v8::Local<v8::Object> command = ParseJsArgObject(value, "command");
  spdk_nvme_cmd& cmd = runner_->GetCommand();
  cmd.nsid = ParseJsPropUint32(command, "command", "nsid");
  cmd.opc = ParseJsPropUint32(command, "command", "opc") & 0xFF;
  cmd.cdw10 = ParseJsPropUint32(command, "command", "cdw10", 0);
  cmd.cdw11 = ParseJsPropUint32(command, "command", "cdw11", 0);
  cmd.cdw12 = ParseJsPropUint32(command, "command", "cdw12", 0);
  cmd.cdw13 = ParseJsPropUint32(command, "command", "cdw13", 0);
  cmd.cdw14 = ParseJsPropUint32(command, "command", "cdw14", 0);
  cmd.cdw15 = ParseJsPropUint32(command, "command", "cdw15", 0);
}

bool JsEventSendGenericCommand::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("sendAdminCommand : ", [&] {
    runner_->SetQueueId(static_cast<uint16_t>(ParseJsArgUint32(info[0], "qid")));
    ParseCommand(info[1]);
    // No command moves more than the runner's limit: the rest of a longer Buffer is never copied.
    buffer_ = ParseJsArgBuffer(info[2], "buffer", GenericCmdRunner::kMaxTransferBytes);
    host_to_device_ = ParseJsArgBool(info[3], "isHostToDevice");
    runner_->SetBuffer(buffer_.data, static_cast<uint32_t>(buffer_.whole), host_to_device_);
    ParseBdfAndCallback(info, 6);
  });
}

void JsEventSendGenericCommand::CallCallback() {
  // The worker filled the event's copy of the buffer; the script's Buffer gets it here, on the script's thread, and
  // only when it still has the length it had at the call.
  const bool returned = !host_to_device_ && buffer_.length > 0 && !runner_->IsAborted() &&
                        !kyt::nvme::CompletionStatus(runner_->GetCompletion()).HostTimedOut();
  if (returned && !CopyBack(buffer_)) {
    v8::HandleScope scope(isolate());
    if (!HasCallback()) return;
    v8::Local<v8::Value> error = v8::Exception::Error(
        CreateJsString("argument \"buffer\" changed its length while the command ran: its data were not returned"));
    SetJsPropObject(error.As<v8::Object>(), "data", MakeCompletionResult(runner_->GetCompletion()));
    InvokeCallback(error, v8::Null(isolate()));
    return;
  }
  CallbackWithCompletion(runner_->GetCompletion());
}
