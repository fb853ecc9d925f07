#include "javascript/js_event_nvm_write.h"

#include <stdexcept>

JsEventNvmWrite::JsEventNvmWrite(std::string bdf, v8::Isolate* isolate)
    : JsEventNvmBase(std::move(bdf), isolate, "Write", kNvmCmdWrite) {}

JsEventNvmWrite::~JsEventNvmWrite() = default;

bool JsEventNvmWrite::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("write : ", [&] {
    v8::Local<v8::Object> options = ParseReadWriteArgs(info);
    if (IsJsPropUndefined(options, "dataPattern")) {
      runner_->SetDataPattern(nullptr, 0);
    } else {
      JsHeldBuffer pattern = ParseJsPropBuffer(options, "options", "dataPattern");
      if ((pattern.length & 7) != 0) {
        throw std::runtime_error("options.dataPattern should be a Buffer with size that is multiples of 8.");
      }
      pattern = HoldBuffer(GetJsPropValue(options, "dataPattern"), "options.dataPattern");
      runner_->SetDataPattern(pattern.data, pattern.length);
    }
    ParseBdfAndCallback(info, 4);
  });
}
