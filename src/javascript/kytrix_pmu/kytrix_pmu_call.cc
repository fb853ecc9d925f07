#include "javascript/kytrix_pmu/kytrix_pmu_call.h"

#include <cmath>
#include <stdexcept>

namespace tyr::nodejs {

KytrixPmuCall::KytrixPmuCall(std::string name, v8::Isolate* isolate,
                             std::shared_ptr<pmu::KytControllerManager> manager, int argumentCount)
    : JsBase(std::move(name), isolate), manager(std::move(manager)), argumentCount(argumentCount) {}

KytrixPmuCall::~KytrixPmuCall() = default;

void KytrixPmuCall::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() != argumentCount) throw std::runtime_error("Wrong number of arguments");
  try {
    Work(info);
  } catch (const nlohmann::json::exception&) {
    // The methods check the board's answers themselves; the library's own texts are no message for a script.
    throw std::runtime_error("the board's answer has an unexpected form");
  }
}

std::shared_ptr<pmu::KytController> KytrixPmuCall::FindController(const std::string& serial) {
  uint32_t id = 0;
  if (!manager->findControllerId(serial, 0, id)) throw std::runtime_error("PPC is not initialized");
  return manager->getController(id);
}

uint32_t KytrixPmuCall::ParseJsArgUpTo(v8::Local<v8::Value> value, const std::string& n, uint32_t max) {
  const uint32_t converted = ParseJsArgUint32(value, n);  // the type check and its message
  const double whole = std::trunc(value.As<v8::Number>()->Value());
  if (!(whole >= 0 && whole <= max)) {
    throw std::runtime_error("argument \"" + n + "\" must be from 0 to " + std::to_string(max));
  }
  return converted;
}

void KytrixPmuCall::ReturnJson(const v8::FunctionCallbackInfo<v8::Value>& info, const nlohmann::json& value) {
  // Compact text, UTF-8 kept as it is; invalid UTF-8 is refused by the library.
  const std::string text = value.dump();
  v8::Local<v8::Value> result;
  v8::TryCatch tryCatch(GetIsolate());  // the parser's own SyntaxError is replaced by ours
  if (!v8::JSON::Parse(Context(), CreateJsString(text)).ToLocal(&result)) {
    throw std::runtime_error("Unexpected internal error");
  }
  info.GetReturnValue().Set(result);
}

}  // namespace tyr::nodejs
