#include "javascript/kytrix_pmu/kytrix_pmu_close_controller.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuCloseController, "kytrixPmu.closeController", 1)

void KytrixPmuCloseController::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const std::string serial = ParseJsArgStdString(info[0], "serial");
  uint32_t id = 0;
  if (!manager->findControllerId(serial, 0, id)) throw std::runtime_error("PPC is not initialized");
  manager->closeController(id);
}

}  // namespace tyr::nodejs
