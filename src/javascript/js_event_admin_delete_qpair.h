// Script method deleteQueuePair(qid[, options], callback): deletes an I/O queue pair; the callback gets true.
#ifndef KYT_JAVASCRIPT_JS_EVENT_ADMIN_DELETE_QPAIR_H
#define KYT_JAVASCRIPT_JS_EVENT_ADMIN_DELETE_QPAIR_H

#include "javascript/js_event_admin_base.h"

class JsEventAdminDeleteQpair : public JsEventAdminBase {
 public:
  JsEventAdminDeleteQpair(std::string bdf, v8::Isolate* isolate);
  ~JsEventAdminDeleteQpair() override;

  bool ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
  void CallCallback() override;
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_ADMIN_DELETE_QPAIR_H
