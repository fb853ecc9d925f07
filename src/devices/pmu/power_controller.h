// The one switch of the drive's supply that scripts use: either the PMU board's 12 V output (switched over JSON-RPC)
// or a relay power box. It can also start and stop the PMU board's power-monitor log.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "devices/pmu/dorvan_controller_manager.h"
#include "devices/pmu/kyt_controller_manager.h"

namespace tyr::pmu {

// Set-up record of PowerController::init. Type 0 reads interfaceNumber, serial and baudRate; type 1 reads
// dorvanOptions; nothing else is looked at.
struct PowerControllerInitParams {
  uint32_t type = 0;  // 0 the PMU board, 1 the relay power box
  uint32_t interfaceNumber = 0;
  std::string serial;
  int32_t baudRate = 0;
  DorvanControllerInitOptions dorvanOptions;
};

class PowerController {
 public:
  static constexpr uint32_t kTypePmu = 0;
  static constexpr uint32_t kTypeRelayBox = 1;
  static constexpr uint32_t kTypeNone = 2;

  PowerController(std::shared_ptr<KytControllerManager> kytControllerManager,
                  std::shared_ptr<DorvanControllerManager> dorvanControllerManager);
  // Closes nothing: the managers close what they hold when they go.
  ~PowerController() = default;

  PowerController(const PowerController&) = delete;
  PowerController& operator=(const PowerController&) = delete;

  // Opens the chosen device and records it; a second init replaces the record without closing anything.
  void init(PowerControllerInitParams params);
  // Closes the recorded device and returns to "not set up"; on a failure to close, the record stays.
  void uninit();
  void powerOn();
  void powerOff();
  // PMU board only.
  void enablePowerMonitor(std::string filepath, uint32_t intervalMs);
  void disablePowerMonitor();
  // Only checks that a device is set up.
  void powerCycle();

  uint32_t getType() const { return type; }
  uint32_t getKytControllerId() const { return kytControllerId; }

 private:
  // Throws "PowerController is not initialized yet" while no device is set up.
  void requireInitialized() const;
  void switchPower(bool on);

  std::shared_ptr<KytControllerManager> kytControllerManager;
  std::shared_ptr<DorvanControllerManager> dorvanControllerManager;
  uint32_t type = kTypeNone;
  uint32_t kytControllerId = 0;
};

}  // namespace tyr::pmu
