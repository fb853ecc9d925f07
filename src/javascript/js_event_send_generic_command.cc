#include "javascript/js_event_send_generic_command.h"

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
    ParseJsArgBuffer(info[2], "buffer");
    JsHeldBuffer buffer = HoldBuffer(info[2], "argument \"buffer\"");
    const bool host_to_device = ParseJsArgBool(info[3], "isHostToDevice");
    runner_->SetBuffer(buffer.data, static_cast<uint32_t>(buffer.length), host_to_device);
    ParseBdfAndCallback(info, 6);
  });
}

void JsEventSendGenericCommand::CallCallback() { CallbackWithCompletion(runner_->GetCompletion()); }
