#include "javascript/js_event_nvm_write.h"

JsEventNvmWrite::JsEventNvmWrite(std::string bdf, v8::Isolate* isolate)
    : JsEventNvmBase(std::move(bdf), isolate, "Write", kNvmCmdWrite) {}

JsEventNvmWrite::~JsEventNvmWrite() = default;

bool JsEventNvmWrite::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("write : ", [&] {
    v8::Local<v8::Object> options = ParseReadWriteArgs(info);
    const JsHeldBuffer pattern = ParseJsDataPattern(options);
    runner_->SetDataPattern(pattern.data, pattern.length);
    ParseBdfAndCallback(info, 4);
  });
}
