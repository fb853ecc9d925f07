// Script method createQueuePair([options,] callback): creates an I/O queue pair; the callback gets its queue id.
#ifndef KYT_JAVASCRIPT_JS_EVENT_ADMIN_CREATE_QPAIR_H
#define KYT_JAVASCRIPT_JS_EVENT_ADMIN_CREATE_QPAIR_H

#include "javascript/js_event_admin_base.h"

class JsEventAdminCreateQpair : public JsEventAdminBase {
 public:
  JsEventAdminCreateQpair(std::string bdf, v8::Isolate* isolate);
  ~JsEventAdminCreateQpair() override;

  bool ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
  void CallCallback() override;
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_ADMIN_CREATE_QPAIR_H
