#include "javascript/kytrix_pmu/kytrix_pmu_get_fan_speed.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuGetFanSpeed, "kytrixPmu.getFanSpeed", 1)

void KytrixPmuGetFanSpeed::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  auto controller = FindController(ParseJsArgStdString(info[0], "serial"));
  info.GetReturnValue().Set(static_cast<uint32_t>(controller->getFanSpeed()));
}

}  // namespace tyr::nodejs
