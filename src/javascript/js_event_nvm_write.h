// Script method write(startLba, numBlocks[, options], callback): one write through the NVM command runner.
// options: nsid, qid, bdf, dataPattern (a Buffer whose size is a multiple of 8: its 64-bit words fill every block of
// an unvalidated write).
#ifndef KYT_JAVASCRIPT_JS_EVENT_NVM_WRITE_H
#define KYT_JAVASCRIPT_JS_EVENT_NVM_WRITE_H

#include "javascript/js_event_nvm_base.h"

class JsEventNvmWrite : public JsEventNvmBase {
 public:
  JsEventNvmWrite(std::string bdf, v8::Isolate* isolate);
  ~JsEventNvmWrite() override;

  bool ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_NVM_WRITE_H
