#include "devices/pmu/power_controller.h"

#include <stdexcept>

namespace tyr::pmu {

PowerController::PowerController(std::shared_ptr<KytControllerManager> kytControllerManager,
                                 std::shared_ptr<DorvanControllerManager> dorvanControllerManager)
    : kytControllerManager(std::move(kytControllerManager)),
      dorvanControllerManager(std::move(dorvanControllerManager)) {}

void PowerController::requireInitialized() const {
  if (type == kTypeNone) throw std::runtime_error("PowerController is not initialized yet");
}

void PowerController::init(PowerControllerInitParams params) {
  switch (params.type) {
    case kTypePmu: {
      uint32_t id = kytControllerManager->openController(params.serial, params.interfaceNumber, params.baudRate);
      // Recorded before the board is asked for its identity: when that exchange fails, the board stays set up.
      type = kTypePmu;
      kytControllerId = id;
      kytControllerManager->getController(id)->init();
      break;
    }
    case kTypeRelayBox:
      dorvanControllerManager->open(params.dorvanOptions);
      type = kTypeRelayBox;
      break;
    default:
      throw std::runtime_error("PowerController::init, Internal Error");
  }
}

void PowerController::uninit() {
  requireInitialized();
  if (type == kTypePmu)
    kytControllerManager->closeController(kytControllerId);
  else
    dorvanControllerManager->close();
  type = kTypeNone;
}

void PowerController::switchPower(bool on) {
  requireInitialized();
  if (type == kTypePmu) {
    kytControllerManager->getController(kytControllerId)->changePower("12V", on ? "ON" : "OFF");
    return;
  }
  std::shared_ptr<DorvanController> box = dorvanControllerManager->getActiveController();
  // The box can be gone only if the relay box manager was closed behind this controller's back.
  if (!box) throw std::runtime_error("PowerController: no relay power box is open");
  if (on)
    box->powerOn();
  else
    box->powerOff();
}

void PowerController::powerOn() { switchPower(true); }

void PowerController::powerOff() { switchPower(false); }

void PowerController::enablePowerMonitor(std::string filepath, uint32_t intervalMs) {
  requireInitialized();
  if (type == kTypeRelayBox) throw std::runtime_error("enablePowerMonitor is not supported");
  kytControllerManager->getController(kytControllerId)->enablePowerMonitor(filepath, intervalMs);
}

void PowerController::disablePowerMonitor() {
  requireInitialized();
  if (type == kTypeRelayBox) throw std::runtime_error("disablePowerMonitor is not supported");
  kytControllerManager->getController(kytControllerId)->disablePowerMonitor();
}

void PowerController::powerCycle() { requireInitialized(); }

}  // namespace tyr::pmu
