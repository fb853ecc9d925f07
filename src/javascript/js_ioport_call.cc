#include "javascript/js_ioport_call.h"

#include <stdexcept>

namespace tyr {

JsIoPortCall::JsIoPortCall(std::shared_ptr<ioport::IoPortDeviceManager> manager, const std::string& prefix,
                           const char* operation, v8::Isolate* isolate)
    : JsBase(prefix + "." + operation, isolate), manager(std::move(manager)) {}

void JsIoPortCall::CheckArgumentCount(const v8::FunctionCallbackInfo<v8::Value>& info, int count) {
  if (info.Length() != count) throw std::runtime_error("Wrong number of arguments");
}

}  // namespace tyr
