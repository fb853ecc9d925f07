#include "devices/pmu/dorvan_controller_manager.h"

#include <stdexcept>

namespace tyr::pmu {

DorvanControllerManager::DorvanControllerManager(std::shared_ptr<serialport::SerialPortManager> serialPortManager)
    : serialPortManager(std::move(serialPortManager)) {}

DorvanControllerManager::~DorvanControllerManager() {
  try {
    close();
  } catch (...) {
    // A destructor must not throw; the serial port manager closes whatever is left when it goes.
  }
}

void DorvanControllerManager::open(const DorvanControllerInitOptions& options) {
  if (activeController) return;
  uint32_t id = serialPortManager->openDevice("", options.serial, options.interfaceNumber);
  std::shared_ptr<DorvanController> controller;
  try {
    std::shared_ptr<serialport::SerialPort> port = serialPortManager->getDevice(id);
    if (!port->setBaudRate(options.baudRate)) throw std::runtime_error("Failed to set baud rate");
    controller = std::make_shared<DorvanController>(port, id, options.model);
  } catch (...) {
    serialPortManager->closeDevice(id);
    throw;
  }
  activeController = std::move(controller);
}

void DorvanControllerManager::close() {
  if (!activeController) return;
  std::shared_ptr<DorvanController> controller = std::move(activeController);
  activeController.reset();
  // The script may have closed the box's port itself, and its index may since belong to another port: close the
  // index only while it still holds the box's own port.
  uint32_t id = controller->getDeviceId();
  if (serialPortManager->isValidDeviceIndex(id) && serialPortManager->getDevice(id) == controller->getPort())
    serialPortManager->closeDevice(id);
}

}  // namespace tyr::pmu
