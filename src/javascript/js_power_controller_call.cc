#include "javascript/js_power_controller_call.h"

#include <stdexcept>

namespace tyr {

JsPowerControllerCall::JsPowerControllerCall(const std::string& operation, v8::Isolate* isolate,
                                             std::shared_ptr<pmu::PowerController> powerController)
    : JsBase("powerController." + operation, isolate), powerController(std::move(powerController)) {}

void JsPowerControllerCall::requireArgumentCount(const v8::FunctionCallbackInfo<v8::Value>& info, int count) {
  if (info.Length() != count) throw std::runtime_error("Wrong number of arguments");
}

#define KYT_POWER_CONTROLLER_PLAIN_CALL(Class, operation)                                                   \
  Class::Class(v8::Isolate* isolate, std::shared_ptr<pmu::PowerController> powerController)                \
      : JsPowerControllerCall(#operation, isolate, std::move(powerController)) {}                          \
  void Class::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {                               \
    requireArgumentCount(info, 0);                                                                         \
    powerController->operation();                                                                          \
  }

KYT_POWER_CONTROLLER_PLAIN_CALL(JsPowerControllerPowerOff, powerOff)
KYT_POWER_CONTROLLER_PLAIN_CALL(JsPowerControllerPowerOn, powerOn)
KYT_POWER_CONTROLLER_PLAIN_CALL(JsPowerControllerUninit, uninit)
KYT_POWER_CONTROLLER_PLAIN_CALL(JsPowerControllerDisablePowerMonitor, disablePowerMonitor)

#undef KYT_POWER_CONTROLLER_PLAIN_CALL

}  // namespace tyr
