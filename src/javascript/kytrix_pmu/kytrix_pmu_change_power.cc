#include "javascript/kytrix_pmu/kytrix_pmu_change_power.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuChangePower, "kytrixPmu.changePower", 3)

void KytrixPmuChangePower::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const std::string serial = ParseJsArgStdString(info[0], "serial");
  const std::string power = ParseJsArgStdString(info[1], "power");
  const std::string state = ParseJsArgStdString(info[2], "state");
  FindController(serial)->changePower(power, state);
}

}  // namespace tyr::nodejs
