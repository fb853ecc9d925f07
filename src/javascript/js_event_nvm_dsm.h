// Script method datasetManagement(ranges, attributes, nsid, qid[, options], callback): one Dataset Management
// command whose ranges are the 16-byte entries of the `ranges` Buffer.
#ifndef KYT_JAVASCRIPT_JS_EVENT_NVM_DSM_H
#define KYT_JAVASCRIPT_JS_EVENT_NVM_DSM_H

#include "javascript/js_event_nvm_base.h"

class JsEventNvmDsm : public JsEventNvmBase {
 public:
  JsEventNvmDsm(std::string bdf, v8::Isolate* isolate);
  ~JsEventNvmDsm() override;

  bool ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;

 private:
  uint32_t range_entry_size_ = 16;
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_NVM_DSM_H
