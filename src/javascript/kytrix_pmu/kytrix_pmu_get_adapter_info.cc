#include "javascript/kytrix_pmu/kytrix_pmu_get_adapter_info.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuGetAdapterInfo, "kytrixPmu.getAdapterInfo", 1)

void KytrixPmuGetAdapterInfo::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  auto controller = FindController(ParseJsArgStdString(info[0], "serial"));
  ReturnJson(info, controller->getAdapterInfo());
}

}  // namespace tyr::nodejs
