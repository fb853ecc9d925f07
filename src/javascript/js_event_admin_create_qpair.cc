#include "javascript/js_event_admin_create_qpair.h"

JsEventAdminCreateQpair::JsEventAdminCreateQpair(std::string bdf, v8::Isolate* isolate)
    : JsEventAdminBase(std::move(bdf), isolate, "CreateQueuePair", kAdminCmdCreateQueuePair) {}

JsEventAdminCreateQpair::~JsEventAdminCreateQpair() = default;

bool JsEventAdminCreateQpair::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("createQueuePair : ", [&] { ParseBdfAndCallback(info, 2); });
}

void JsEventAdminCreateQpair::CallCallback() {
  v8::HandleScope scope(isolate());
  if (!HasCallback() || CallbackIfAborted()) return;
  InvokeCallback(v8::Null(isolate()), v8::Integer::NewFromUnsigned(isolate(), runner_->GetOutput().qid));
}
