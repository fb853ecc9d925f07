#include "javascript/kytrix_pmu/kytrix_pmu_get_debug_board_info.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuGetDebugBoardInfo, "kytrixPmu.getDebugBoard", 1)

void KytrixPmuGetDebugBoardInfo::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  auto controller = FindController(ParseJsArgStdString(info[0], "serial"));
  ReturnJson(info, controller->getDebugBoardInfo());
}

}  // namespace tyr::nodejs
