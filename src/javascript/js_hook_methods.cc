#include "javascript/js_hook_methods.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace tyr {

JsHookMethod::JsHookMethod(const char* name, v8::Isolate* isolate, std::shared_ptr<JsHookManager> manager)
    : JsBase(name, isolate), manager_(std::move(manager)) {}

HookHandlerType JsHookMethod::ParseType(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return static_cast<HookHandlerType>(static_cast<int32_t>(ParseJsArgUint32(info[0], "type")));
}

JsHookManager& JsHookMethod::Manager() {
  if (!manager_) throw std::runtime_error("hook manager is not available");
  return *manager_;
}

JsMethodSetCallback::JsMethodSetCallback(v8::Isolate* isolate, std::shared_ptr<JsHookManager> manager)
    : JsHookMethod("setHookHandlerCallback", isolate, std::move(manager)) {}

void JsMethodSetCallback::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const HookHandlerType type = ParseType(info);
  if (!info[1]->IsFunction()) throw std::runtime_error("argument \"callback\" must be a Function");
  const bool taken = Manager().SetCallback(type, info[1].As<v8::Function>());
  info.GetReturnValue().Set(taken);
}

JsMethodSetError::JsMethodSetError(v8::Isolate* isolate, std::shared_ptr<JsHookManager> manager)
    : JsHookMethod("setHookHandlerError", isolate, std::move(manager)) {}

void JsMethodSetError::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const HookHandlerType type = ParseType(info);
  const std::string message = ParseJsArgStdString(info[1], "message");
  Manager().SetError(type, message);
}

JsMethodSetStatus::JsMethodSetStatus(v8::Isolate* isolate, std::shared_ptr<JsHookManager> manager)
    : JsHookMethod("setHookHandlerStatus", isolate, std::move(manager)) {}

void JsMethodSetStatus::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const HookHandlerType type = ParseType(info);
  const auto status = static_cast<HookHandlerStatus>(static_cast<int32_t>(ParseJsArgUint32(info[1], "status")));
  info.GetReturnValue().Set(Manager().SetStatus(type, status));
}

}  // namespace tyr
