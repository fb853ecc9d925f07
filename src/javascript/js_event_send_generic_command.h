// Script method sendGenericCommand(qid, command, buffer, isHostToDevice[, options], callback): one raw NVMe command
// built by the script ({nsid, opc, cdw10..cdw15}) on the admin queue (qid 0) or an I/O queue, moving the Buffer's
// bytes in the given direction. Argument errors carry the prefix "sendAdminCommand : ".
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
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_SEND_GENERIC_COMMAND_H
