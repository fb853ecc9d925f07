#include "javascript/js_event_nvm_read.h"

JsEventNvmRead::JsEventNvmRead(std::string bdf, v8::Isolate* isolate)
    : JsEventNvmBase(std::move(bdf), isolate, "Read", kNvmCmdRead) {}

JsEventNvmRead::~JsEventNvmRead() = default;

bool JsEventNvmRead::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("read : ", [&] {
    ParseReadWriteArgs(info);
    ParseBdfAndCallback(info, 4);
  });
}
