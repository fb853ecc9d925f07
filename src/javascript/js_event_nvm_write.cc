#include "javascript/js_event_nvm_write.h"

#include <node_buffer.h>

#include <stdexcept>

JsEventNvmWrite::JsEventNvmWrite(std::string bdf, v8::Isolate* isolate)
    : JsEventNvmBase(std::move(bdf), isolate, "Write", kNvmCmdWrite) {}

JsEventNvmWrite::~JsEventNvmWrite() = default;

bool JsEventNvmWrite::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("write : ", [&] {
    v8::Local<v8::Object> options = ParseReadWriteArgs(info);
    // Read once; the pattern checked is the event's own copy, and that copy is the one written.
    const v8::Local<v8::Value> value = GetJsPropValue(options, "dataPattern");
    if (value->IsUndefined()) {
      runner_->SetDataPattern(nullptr, 0);
    } else {
      if (!node::Buffer::HasInstance(value)) throw std::runtime_error("options.dataPattern must be a Object");
      const JsHeldBuffer pattern = HoldBuffer(value, "options.dataPattern");
      if ((pattern.length & 7) != 0) {
        throw std::runtime_error("options.dataPattern should be a Buffer with size that is multiples of 8.");
      }
      runner_->SetDataPattern(pattern.data, pattern.length);
    }
    ParseBdfAndCallback(info, 4);
  });
}
