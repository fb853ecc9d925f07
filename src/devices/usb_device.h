// One USB device found in sysfs, with its interfaces.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "devices/usb_interface.h"

namespace tyr::usb {

class UsbDevice {
 public:
  // Reads the device directory at path; name is its directory name (as in 1-2).
  UsbDevice(std::string name, const std::string& path, UsbSysfsPaths paths = UsbSysfsPaths());

  std::string get_serial_number() const { return serial_number; }
  std::string get_manufacturer() const { return manufacturer; }
  std::string get_vendor_id() const { return vendor_id; }
  std::string get_product_id() const { return product_id; }
  const std::vector<std::shared_ptr<UsbInterface>>& get_interfaces() const { return interfaces; }

 private:
  static std::string parse_serial_number(const std::string& path);
  static std::string parse_manufacturer(const std::string& path);
  static std::string parse_vendor_id(const std::string& path);
  static std::string parse_product_id(const std::string& path);
  void scan_interfaces(const std::string& path, const UsbSysfsPaths& paths);

  std::string name;
  std::string serial_number;
  std::string manufacturer;
  std::string vendor_id;
  std::string product_id;
  std::vector<std::shared_ptr<UsbInterface>> interfaces;
};

}  // namespace tyr::usb
