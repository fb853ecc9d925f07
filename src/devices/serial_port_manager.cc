#include "devices/serial_port_manager.h"

#include <stdexcept>

#include "utility/log_line.h"

namespace tyr::serialport {

std::string findStringUntilNewLine(const std::string& text, const std::string& key) {
  size_t start = text.find(key);
  if (start == std::string::npos) return "";
  size_t end = text.find('\n', start);
  if (end == std::string::npos) return "";
  start += key.size();
  if (end < start) return "";
  return text.substr(start, end - start);
}

SerialPortManager::SerialPortManager(std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager,
                                     std::shared_ptr<threading::PollableManager> pollableManager)
    : devices(std::move(pollableManager)), usbDeviceManager(std::move(usbDeviceManager)) {}

bool SerialPortManager::isValidDeviceIndex(uint32_t devIdx) { return devices.isValid(devIdx); }

std::shared_ptr<SerialPort> SerialPortManager::getDevice(uint32_t devIdx) { return devices.get(devIdx); }

std::shared_ptr<ioport::IoPort> SerialPortManager::getIoPortDevice(uint32_t devIdx) { return getDevice(devIdx); }

std::vector<SerialPortInfo> SerialPortManager::findDevices() {
  std::vector<SerialPortInfo> result;
  if (!usbDeviceManager) return result;
  for (const auto& interface : usbDeviceManager->get_interfaces()) {
    usb::UsbInterfaceInfo info = interface->get_interface_info();
    if (info.driver_name.empty()) continue;
    SerialPortInfo entry;
    entry.interfaceNumber = info.interface_number;
    entry.devicePath = info.tty_usb_path;
    entry.serial = info.serial_number;
    result.push_back(std::move(entry));
  }
  return result;
}

std::string SerialPortManager::getDevicePathFromSerial(const std::string& serial, uint32_t interfaceNumber,
                                                       bool loadDriver) {
  if (!usbDeviceManager) return "";
  auto interface = usbDeviceManager->find_interface(serial, static_cast<int>(interfaceNumber));
  if (!interface) return "";
  usb::UsbInterfaceInfo info = interface->get_interface_info();
  if (info.driver_name.empty() && loadDriver) {
    kyt::LogLine("SerialPort: Driver not found. Loading Driver");
    interface->load_driver();
    info = interface->get_interface_info();
  }
  return info.tty_usb_path;
}

bool SerialPortManager::findDeviceIdFromDevicePath(const std::string& devicePath, uint32_t& devIdx) {
  auto it = pathMap.find(devicePath);
  if (it == pathMap.end()) return false;
  devIdx = it->second;
  return true;
}

bool SerialPortManager::findDeviceIdFromSerial(const std::string& serial, uint32_t interfaceNumber,
                                               uint32_t& devIdx) {
  std::string path = getDevicePathFromSerial(serial, interfaceNumber, false);
  if (path.empty()) return false;
  return findDeviceIdFromDevicePath(path, devIdx);
}

uint32_t SerialPortManager::openDevice(std::string devicePath, const std::string& serial, uint32_t interfaceNumber) {
  if (devicePath.empty()) {
    if (serial.empty()) throw std::runtime_error("both devicePath and serialPort are empty");
    devicePath = getDevicePathFromSerial(serial, interfaceNumber, true);
    if (devicePath.empty()) {
      std::string message = "Device not found for serial " + serial;
      kyt::LogLine("SerialPort: " + message);
      throw std::runtime_error(message);
    }
  }

  auto open = pathMap.find(devicePath);
  if (open != pathMap.end()) {
    const uint32_t openIndex = open->second;
    if (!devices.get(openIndex)->isGone()) {
      kyt::LogLine("SerialPort: Serial port at " + devicePath + " is already open");
      return openIndex;
    }
    // The device behind the open port hung up (a board that was unplugged and came back under the same path): that
    // port can never be read again, so it is replaced.
    kyt::LogLine("SerialPort: Serial port at " + devicePath + " has hung up; opening it again");
    closeDevice(openIndex);
  }

  auto port = std::make_shared<SerialPort>();
  if (!port->open(devicePath)) {
    std::string message = "Failed to open serial port device at " + devicePath + ". Error: " + port->getErrorCodeString();
    kyt::LogLine("SerialPort: " + message);
    port.reset();
    throw std::runtime_error(message);
  }

  uint32_t index = 0;
  if (!devices.store(port, index)) {
    kyt::LogLine("SerialPort: Failed to allocate a new device ID");
    port.reset();
    throw std::runtime_error("Unexpected Internal Error");
  }
  kyt::LogLine("SerialPort: Successfully opened device. Device ID:" + std::to_string(index));
  devices.startPolling(port);
  pathMap[devicePath] = index;
  return index;
}

void SerialPortManager::closeDevice(uint32_t devIdx) {
  const std::shared_ptr<SerialPort> port = devices.get(devIdx);
  devices.remove(devIdx);
  // A holder that outlives the close (a write in flight, a PMU controller) keeps the object, not the line.
  port->releaseLine();
  for (auto it = pathMap.begin(); it != pathMap.end();) {
    if (it->second == devIdx)
      it = pathMap.erase(it);
    else
      ++it;
  }
}

}  // namespace tyr::serialport
