#include "javascript/kytrix_pmu/kytrix_pmu_send_smbus_block_write.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuSendSmbusBlockWrite, "kytrixPmu.sendSmbusBlockWrite", 4)

void KytrixPmuSendSmbusBlockWrite::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const std::string serial = ParseJsArgStdString(info[0], "serial");
  const uint32_t address = ParseJsArgUint32(info[1], "address");
  const uint32_t command = ParseJsArgUint32(info[2], "command");
  const std::vector<uint8_t> payload = ParseJsArgBufferToVector(info[3], "payload");
  FindController(serial)->sendSmbusBlockWrite(static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>(command & 0xFF),
                                              payload);
}

}  // namespace tyr::nodejs
