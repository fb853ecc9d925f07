// powerControllerEnablePowerMonitor(filepath): starts the PMU board's power-monitor log, one line every 50 ms.
#ifndef KYT_JAVASCRIPT_JS_POWER_CONTROLLER_ENABLE_POWER_MONITOR_H
#define KYT_JAVASCRIPT_JS_POWER_CONTROLLER_ENABLE_POWER_MONITOR_H

#include "javascript/js_power_controller_call.h"

namespace tyr {

class JsPowerControllerEnablePowerMonitor : public JsPowerControllerCall {
 public:
  // The log interval; scripts cannot choose it.
  static constexpr uint32_t kIntervalMs = 50;

  JsPowerControllerEnablePowerMonitor(v8::Isolate* isolate, std::shared_ptr<pmu::PowerController> powerController);

 protected:
  void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_POWER_CONTROLLER_ENABLE_POWER_MONITOR_H
