#include "javascript/kytrix_pmu/kytrix_pmu_open_controller.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuOpenController, "kytrixPmu.openController", 2)

void KytrixPmuOpenController::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const std::string serial = ParseJsArgStdString(info[0], "serial");
  const bool bypassInit = ParseJsArgBool(info[1], "bypassInit");
  const uint32_t id = manager->openController(serial, 0, 115200);
  auto controller = manager->getController(id);
  if (!bypassInit) controller->init();
  info.GetReturnValue().Set(id);
}

}  // namespace tyr::nodejs
