// Opens, numbers and closes serial ports, by tty path or by USB serial number.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/io_port_device_manager.h"
#include "devices/pollable_manager.h"
#include "devices/port_table.h"
#include "devices/serial_port.h"
#include "devices/usb_device_manager.h"

namespace tyr::serialport {

struct SerialPortInfo {
  uint32_t interfaceNumber = 0;
  std::string devicePath;
  std::string serial;
};

// The characters behind the first occurrence of key up to the next newline; empty when
// the key or the newline is missing.
std::string findStringUntilNewLine(const std::string& text, const std::string& key);

class SerialPortManager : public ioport::IoPortDeviceManager {
 public:
  SerialPortManager(std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager,
                    std::shared_ptr<threading::PollableManager> pollableManager);
  // Closes every port still open (through the table).
  ~SerialPortManager() = default;

  SerialPortManager(const SerialPortManager&) = delete;
  SerialPortManager& operator=(const SerialPortManager&) = delete;

  bool isValidDeviceIndex(uint32_t devIdx) override;
  std::shared_ptr<SerialPort> getDevice(uint32_t devIdx);
  std::shared_ptr<ioport::IoPort> getIoPortDevice(uint32_t devIdx) override;
  // The USB serial interfaces that have a driver bound.
  std::vector<SerialPortInfo> findDevices();
  std::string getDevicePathFromSerial(const std::string& serial, uint32_t interfaceNumber, bool loadDriver);
  bool findDeviceIdFromDevicePath(const std::string& devicePath, uint32_t& devIdx);
  bool findDeviceIdFromSerial(const std::string& serial, uint32_t interfaceNumber, uint32_t& devIdx);
  // Opens the port (or returns the index of the port already open at that path, unless its device has hung up: that
  // port is closed and the path opened anew).
  uint32_t openDevice(std::string devicePath, const std::string& serial, uint32_t interfaceNumber);
  void closeDevice(uint32_t devIdx) override;

 private:
  ioport::PortTable<SerialPort> devices;
  std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager;
  std::unordered_map<std::string, uint32_t> pathMap;
};

}  // namespace tyr::serialport
