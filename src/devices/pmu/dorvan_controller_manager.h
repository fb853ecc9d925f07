// Holds the one active relay power box, opening its serial port through the serial port manager and closing it again.
#pragma once

#include <memory>

#include "devices/pmu/dorvan_controller.h"
#include "devices/serial_port_manager.h"

namespace tyr::pmu {

class DorvanControllerManager {
 public:
  explicit DorvanControllerManager(std::shared_ptr<serialport::SerialPortManager> serialPortManager);
  // Closes the active box, if any.
  ~DorvanControllerManager();

  DorvanControllerManager(const DorvanControllerManager&) = delete;
  DorvanControllerManager& operator=(const DorvanControllerManager&) = delete;

  // Opens the box's serial port by USB serial number and interface and makes it the active box. Does nothing while a
  // box is active. Errors of the serial port manager pass through; a refused baud rate closes the port again and
  // throws "Failed to set baud rate". Nothing becomes active on failure.
  void open(const DorvanControllerInitOptions& options);
  // Closes the active box's serial port and drops the box; nothing happens without one.
  void close();
  // The active box, or an empty pointer.
  std::shared_ptr<DorvanController> getActiveController() const { return activeController; }

 private:
  std::shared_ptr<serialport::SerialPortManager> serialPortManager;
  std::shared_ptr<DorvanController> activeController;
};

}  // namespace tyr::pmu
