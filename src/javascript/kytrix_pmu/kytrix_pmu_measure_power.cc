#include "javascript/kytrix_pmu/kytrix_pmu_measure_power.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuMeasurePower, "kytrixPmu.measurePower", 1)

void KytrixPmuMeasurePower::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  auto controller = FindController(ParseJsArgStdString(info[0], "serial"));
  ReturnJson(info, controller->measurePower(true));
}

}  // namespace tyr::nodejs
