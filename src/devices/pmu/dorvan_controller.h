// One relay power box on a serial line: it switches the drive's supply when it receives the on or off command of
// its model. The box's answers are not read here; the poll thread collects them into the port's buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "devices/serial_port.h"

namespace tyr::pmu {

// The box models; the script names them "pmu", "pmu-norvik" and "pmu-brask".
enum class DorvanControllerModel : uint32_t { Pmu = 0, PmuNorvik = 1, PmuBrask = 2 };

struct DorvanControllerInitOptions {
  uint32_t interfaceNumber = 0;  // USB interface of the box's serial adapter
  std::string serial;            // USB serial number of the adapter
  int baudRate = 0;
  DorvanControllerModel model = DorvanControllerModel::Pmu;
};

class DorvanController {
 public:
  // Throws std::invalid_argument for a model outside the table.
  DorvanController(std::shared_ptr<serialport::SerialPort> port, uint32_t deviceId, DorvanControllerModel model);

  DorvanController(const DorvanController&) = delete;
  DorvanController& operator=(const DorvanController&) = delete;

  // The serial port manager's index of the box's port.
  uint32_t getDeviceId() const { return deviceId; }
  DorvanControllerModel getModel() const { return model; }
  const std::shared_ptr<serialport::SerialPort>& getPort() const { return port; }

  // Send the model's command in one write; a write that does not take all of it is an error.
  void powerOn();
  void powerOff();

  // The command bytes, indexed by model.
  static const std::string power_on_cmds_[3];
  static const std::string power_off_cmds_[3];

 private:
  void send(const char* operation, const std::string& command);

  std::shared_ptr<serialport::SerialPort> port;
  uint32_t deviceId;
  DorvanControllerModel model;
};

}  // namespace tyr::pmu
