// Script method formatNvm(nsid, lbaFormat[, options], callback): Format NVM; options mset (0-1), pi (0-7),
// pil (0-1), ses (0-7). The callback gets the completion object, or Error("command error") carrying it.
#ifndef KYT_JAVASCRIPT_JS_EVENT_ADMIN_FORMAT_NVM_H
#define KYT_JAVASCRIPT_JS_EVENT_ADMIN_FORMAT_NVM_H

#include "javascript/js_event_admin_base.h"

class JsEventAdminFormatNvm : public JsEventAdminBase {
 public:
  JsEventAdminFormatNvm(std::string bdf, v8::Isolate* isolate);
  ~JsEventAdminFormatNvm() override;

  bool ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_ADMIN_FORMAT_NVM_H
