#include "javascript/kytrix_pmu/kytrix_pmu_set_fan_speed.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuSetFanSpeed, "kytrixPmu.setFanSpeed", 2)

void KytrixPmuSetFanSpeed::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const std::string serial = ParseJsArgStdString(info[0], "serial");
  const uint32_t speed = ParseJsArgUpTo(info[1], "speed", 100);
  FindController(serial)->setFanSpeed(static_cast<uint8_t>(speed));
}

}  // namespace tyr::nodejs
