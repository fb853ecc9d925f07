#include "javascript/kytrix_pmu/kytrix_pmu_send_smbus_block_write.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuSendSmbusBlockWrite, "kytrixPmu.sendSmbusBlockWrite", 4)

void KytrixPmuSendSmbusBlockWrite::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const std::string serial = ParseJsArgStdString(info[0], "serial");
  const uint32_t address = ParseJsArgUpTo(info[1], "address", 0x7F);  // a 7-bit SMBus address
  const uint32_t command = ParseJsArgUpTo(info[2], "command", 0xFF);
  // The block's byte count is one byte.
  const std::vector<uint8_t> payload = ParseJsArgBufferToVector(info[3], "payload", 0xFF);
  FindController(serial)->sendSmbusBlockWrite(static_cast<uint8_t>(address), static_cast<uint8_t>(command), payload);
}

}  // namespace tyr::nodejs
