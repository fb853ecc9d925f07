// Base of the NVM command events (read, write, datasetManagement): owns the NVM command runner and turns its
// completion entry into the script's result by the completion rule.
#ifndef KYT_JAVASCRIPT_JS_EVENT_NVM_BASE_H
#define KYT_JAVASCRIPT_JS_EVENT_NVM_BASE_H

#include <string>

#include "javascript/js_event.h"
#include "runner/nvm_cmd_runner.h"

class JsEventNvmBase : public JsEvent {
 public:
  JsEventNvmBase(std::string bdf, v8::Isolate* isolate, const std::string& command_name, uint32_t code);
  ~JsEventNvmBase() override;

  void CallCallback() override;
  NvmCmdRunner* GetNvmRunner() const { return runner_; }

 protected:
  // Reads (startLba, numBlocks, options) of read and write; returns the options object.
  v8::Local<v8::Object> ParseReadWriteArgs(const v8::FunctionCallbackInfo<v8::Value>& info);

  NvmCmdRunner* runner_;
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_NVM_BASE_H
