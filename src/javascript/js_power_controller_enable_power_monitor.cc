#include "javascript/js_power_controller_enable_power_monitor.h"

namespace tyr {

JsPowerControllerEnablePowerMonitor::JsPowerControllerEnablePowerMonitor(
    v8::Isolate* isolate, std::shared_ptr<pmu::PowerController> powerController)
    : JsPowerControllerCall("enablePowerMonitor", isolate, std::move(powerController)) {}

void JsPowerControllerEnablePowerMonitor::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  requireArgumentCount(info, 1);
  std::string filepath = ParseJsArgStdString(info[0], "filepath");
  powerController->enablePowerMonitor(filepath, kIntervalMs);
}

}  // namespace tyr
