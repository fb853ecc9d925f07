#include "javascript/kytrix_pmu/kytrix_pmu_get_version.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuGetVersion, "kytrixPmu.getVersion", 1)

void KytrixPmuGetVersion::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  auto controller = FindController(ParseJsArgStdString(info[0], "serial"));
  // As a JSON string: the script gets the whole text with its length, NUL characters and all.
  ReturnJson(info, controller->getVersion());
}

}  // namespace tyr::nodejs
