#include "devices/usb_device.h"

#include <dirent.h>

#include "devices/fs_util.h"

namespace tyr::usb {

UsbDevice::UsbDevice(std::string name, const std::string& path, UsbSysfsPaths paths) : name(std::move(name)) {
  serial_number = parse_serial_number(path);
  manufacturer = parse_manufacturer(path);
  vendor_id = parse_vendor_id(path);
  product_id = parse_product_id(path);
  scan_interfaces(path, paths);
}

std::string UsbDevice::parse_serial_number(const std::string& path) { return fs::read_file(path + "/serial"); }

std::string UsbDevice::parse_manufacturer(const std::string& path) {
  return fs::to_lower_case(fs::read_file(path + "/manufacturer"));
}

std::string UsbDevice::parse_vendor_id(const std::string& path) {
  return fs::to_lower_case(fs::read_file(path + "/idVendor"));
}

std::string UsbDevice::parse_product_id(const std::string& path) {
  return fs::to_lower_case(fs::read_file(path + "/idProduct"));
}

void UsbDevice::scan_interfaces(const std::string& path, const UsbSysfsPaths& paths) {
  std::string prefix = name + ":";
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string entryName = entry->d_name;
    if (entryName == "." || entryName == "..") continue;
    if (entryName.compare(0, prefix.size(), prefix) != 0) continue;
    interfaces.push_back(
        std::make_shared<UsbInterface>(entryName, path + "/" + entryName, manufacturer, serial_number, paths));
  }
  ::closedir(dir);
}

}  // namespace tyr::usb
