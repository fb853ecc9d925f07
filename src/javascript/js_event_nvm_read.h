// Script method read(startLba, numBlocks[, options], callback): one read through the NVM command runner.
// options: nsid (0: first active namespace), qid (0: first I/O queue pair), bdf.
#ifndef KYT_JAVASCRIPT_JS_EVENT_NVM_READ_H
#define KYT_JAVASCRIPT_JS_EVENT_NVM_READ_H

#include "javascript/js_event_nvm_base.h"

class JsEventNvmRead : public JsEventNvmBase {
 public:
  JsEventNvmRead(std::string bdf, v8::Isolate* isolate);
  ~JsEventNvmRead() override;

  bool ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_NVM_READ_H
