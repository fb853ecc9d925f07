// Script method sendGenericCommand(qid, command, buffer, isHostToDevice[, options], callback): one raw NVMe command
// built by the script ({nsid, opc, cdw10..cdw15}) on the admin queue (qid 0) or an I/O queue, moving the Buffer's
// bytes in the given direction. Argument errors carry the prefix "sendAdminCommand : ".
// The command works on the event's copy of the Buffer; data from the device reach the script's Buffer in the callback,
// (also after a detach or transfer of a fixed-length one); a resizable one whose length changed meanwhile is left as
// it is and the callback gets an Error.
#ifndef KYT_JAVASCRIPT_JS_EVENT_SEND_GENERIC_COMMAND_H
#define KYT_JAVASCRIPT_JS_EVENT_SEND_GENERIC_COMMAND_H

#include "javascript/js_event.h"
#include "runner/generic_cmd_runner.h"

class JsEventSendGenericCommand : public JsEvent {
 public:
  JsEventSendGenericCommand(std::string bdf, v8::Isolate* isolate);
  ~JsEventSendGenericCommand() override;

  bool ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
  void CallCallback() override;
  void ParseCommand(v8::Local<v8::Value> value);

  GenericCmdRunner* GetGenericRunner() const { return runner_; }

 private:
  GenericCmdRunner* runner_;
  JsHeldBuffer buffer_;  // the event's copy of the script's Buffer, which the worker reads or fills
  bool host_to_device_ = false;
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_SEND_GENERIC_COMMAND_H
