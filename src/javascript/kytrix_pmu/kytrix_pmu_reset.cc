#include "javascript/kytrix_pmu/kytrix_pmu_reset.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuReset, "kytrixPmu.reset", 1)

void KytrixPmuReset::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  FindController(ParseJsArgStdString(info[0], "serial"))->reset();
}

}  // namespace tyr::nodejs
