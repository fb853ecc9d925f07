// powerControllerInit(manufacturer, options): chooses and opens the bench power controller.
//   "tyrvane": the PMU board; options.serial, options.interfaceNumber, options.baudRate.
//   "dorvan":  a relay power box; the same three and options.model ("pmu", "pmu-norvik" or "pmu-brask").
#ifndef KYT_JAVASCRIPT_JS_POWER_CONTROLLER_INIT_H
#define KYT_JAVASCRIPT_JS_POWER_CONTROLLER_INIT_H

#include "javascript/js_power_controller_call.h"

namespace tyr {

class JsPowerControllerInit : public JsPowerControllerCall {
 public:
  JsPowerControllerInit(v8::Isolate* isolate, std::shared_ptr<pmu::PowerController> powerController);

  // Fills the set-up record from the two arguments (no device is touched).
  pmu::PowerControllerInitParams ParseParams(const v8::FunctionCallbackInfo<v8::Value>& info);

 protected:
  void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_POWER_CONTROLLER_INIT_H
