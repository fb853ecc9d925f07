#include "javascript/kytrix_pmu/kytrix_pmu_update_firmware.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "devices/pmu/stm32_bootloader.h"

namespace tyr::nodejs {

KYTRIX_PMU_METHOD_SETUP(KytrixPmuUpdateFirmware, "kytrixPmu.UpdateFirmware", 2)

void KytrixPmuUpdateFirmware::Work(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const std::string serial = ParseJsArgStdString(info[0], "serial");
  // No image beyond the largest flash an update writes can be right: refused before it is copied. Whether it fits the
  // board's own chip is the update's check.
  const std::vector<uint8_t> firmware =
      ParseJsArgBufferToVector(info[1], "firmware", pmu::Stm32Bootloader::kFlashSize);
  uint32_t id = 0;
  if (manager->findControllerId(serial, 0, id)) {
    throw std::runtime_error("PPC must be uninitialized before updating the firmware");
  }
  manager->updateFirmware(serial, firmware);
}

}  // namespace tyr::nodejs
