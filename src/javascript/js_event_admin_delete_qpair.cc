#include "javascript/js_event_admin_delete_qpair.h"

JsEventAdminDeleteQpair::JsEventAdminDeleteQpair(std::string bdf, v8::Isolate* isolate)
    : JsEventAdminBase(std::move(bdf), isolate, "DeleteQueuePair", kAdminCmdDeleteQueuePair) {}

JsEventAdminDeleteQpair::~JsEventAdminDeleteQpair() = default;

bool JsEventAdminDeleteQpair::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("deleteQueuePair : ", [&] {
    runner_->GetInput().params.format.qid = static_cast<uint16_t>(ParseJsArgUint32(info[0], "qid"));
    ParseBdfAndCallback(info, 3);
  });
}

void JsEventAdminDeleteQpair::CallCallback() {
  v8::HandleScope scope(isolate());
  if (!HasCallback() || CallbackIfAborted()) return;
  InvokeCallback(v8::Null(isolate()), v8::True(isolate()));
}
