#include "javascript/kytrix_pmu/kytrix_pmu_get_pmu_info.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuGetPmuInfo, "kytrixPmu.getPmuInfo", 1)

void KytrixPmuGetPmuInfo::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  auto controller = FindController(ParseJsArgStdString(info[0], "serial"));
  ReturnJson(info, controller->getPmuInfo());
}

}  // namespace tyr::nodejs
