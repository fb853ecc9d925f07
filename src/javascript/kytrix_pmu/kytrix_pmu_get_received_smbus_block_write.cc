#include "javascript/kytrix_pmu/kytrix_pmu_get_received_smbus_block_write.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuGetReceivedSmbusBlockWrite, "kytrixPmu.getReceivedSmbusBlockWrite", 1)

void KytrixPmuGetReceivedSmbusBlockWrite::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  auto controller = FindController(ParseJsArgStdString(info[0], "serial"));
  ReturnJson(info, controller->getReceivedSmbusBlockWrite());
}

}  // namespace tyr::nodejs
