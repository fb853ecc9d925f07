// The USB devices of chosen manufacturers, read once from sysfs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "devices/usb_device.h"
#include "devices/usb_interface.h"

namespace tyr::usb {

class UsbDeviceManager {
 public:
  // Scans the devices directory once, keeping the devices whose lower-cased manufacturer
  // is one of the given names, and prints their interfaces.
  explicit UsbDeviceManager(std::vector<std::string> manufacturers, UsbSysfsPaths paths = UsbSysfsPaths());

  // The interfaces of all devices, device by device.
  std::vector<std::shared_ptr<UsbInterface>> get_interfaces() const;
  // The first interface with exactly that serial number and interface number; empty if none.
  std::shared_ptr<UsbInterface> find_interface(const std::string& serial_number, int interface_number) const;
  // Binds the FTDI serial driver to that interface (see UsbInterface::load_driver).
  bool bind_interface(const std::string& serial_number, int interface_number) const;
  // The first device with exactly that serial number; empty if none.
  std::shared_ptr<UsbDevice> find_device(const std::string& serial_number) const;
  void print_interfaces() const;

 private:
  void scan();

  std::vector<std::string> manufacturers;
  std::string devices_path;
  std::vector<std::shared_ptr<UsbDevice>> devices;
  UsbSysfsPaths paths;
};

}  // namespace tyr::usb
