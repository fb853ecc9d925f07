// Base of the power controller's script calls: the call name and the addon's power controller, shared for the call.
#ifndef KYT_JAVASCRIPT_JS_POWER_CONTROLLER_CALL_H
#define KYT_JAVASCRIPT_JS_POWER_CONTROLLER_CALL_H

#include <memory>
#include <string>

#include "devices/pmu/power_controller.h"
#include "javascript/js_base.h"

namespace tyr {

class JsPowerControllerCall : public JsBase {
 public:
  // operation: the part of the call name behind "powerController.".
  JsPowerControllerCall(const std::string& operation, v8::Isolate* isolate,
                        std::shared_ptr<pmu::PowerController> powerController);

 protected:
  // Throws "Wrong number of arguments" unless the call has exactly count arguments.
  static void requireArgumentCount(const v8::FunctionCallbackInfo<v8::Value>& info, int count);

  std::shared_ptr<pmu::PowerController> powerController;
};

// The four calls without arguments, each running one operation of the power controller.
#define KYT_POWER_CONTROLLER_PLAIN_CALL(Class)                                                              \
  class Class : public JsPowerControllerCall {                                                            \
   public:                                                                                                 \
    Class(v8::Isolate* isolate, std::shared_ptr<pmu::PowerController> powerController);                    \
                                                                                                           \
   protected:                                                                                              \
    void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override;                            \
  };

KYT_POWER_CONTROLLER_PLAIN_CALL(JsPowerControllerPowerOff)
KYT_POWER_CONTROLLER_PLAIN_CALL(JsPowerControllerPowerOn)
KYT_POWER_CONTROLLER_PLAIN_CALL(JsPowerControllerUninit)
KYT_POWER_CONTROLLER_PLAIN_CALL(JsPowerControllerDisablePowerMonitor)

#undef KYT_POWER_CONTROLLER_PLAIN_CALL

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_POWER_CONTROLLER_CALL_H
