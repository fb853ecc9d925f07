#include "devices/usb_device_manager.h"

#include <dirent.h>

#include <algorithm>

#include "utility/log_line.h"

namespace tyr::usb {

UsbDeviceManager::UsbDeviceManager(std::vector<std::string> manufacturers, UsbSysfsPaths paths)
    : manufacturers(std::move(manufacturers)), devices_path(paths.devicesPath), paths(std::move(paths)) {
  scan();
  print_interfaces();
}

void UsbDeviceManager::scan() {
  kyt::LogLine("USB: Scanning USB devices");
  DIR* dir = ::opendir(devices_path.c_str());
  if (!dir) return;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (name.find(':') != std::string::npos) continue;  // an interface, not a device
    kyt::LogLine("USB: Found USB device " + name);
    auto device = std::make_shared<UsbDevice>(name, devices_path + "/" + name, paths);
    if (std::find(manufacturers.begin(), manufacturers.end(), device->get_manufacturer()) != manufacturers.end())
      devices.push_back(device);
  }
  ::closedir(dir);
}

std::vector<std::shared_ptr<UsbInterface>> UsbDeviceManager::get_interfaces() const {
  std::vector<std::shared_ptr<UsbInterface>> result;
  for (const auto& device : devices)
    result.insert(result.end(), device->get_interfaces().begin(), device->get_interfaces().end());
  return result;
}

std::shared_ptr<UsbInterface> UsbDeviceManager::find_interface(const std::string& serial_number,
                                                               int interface_number) const {
  for (const auto& interface : get_interfaces()) {
    UsbInterfaceInfo info = interface->get_interface_info();
    if (info.serial_number == serial_number && info.interface_number == static_cast<uint32_t>(interface_number))
      return interface;
  }
  return nullptr;
}

bool UsbDeviceManager::bind_interface(const std::string& serial_number, int interface_number) const {
  auto interface = find_interface(serial_number, interface_number);
  if (!interface) {
    kyt::LogLine("USB: Interface not found for the specified serial number and interface number.");
    return false;
  }
  return interface->load_driver();
}

std::shared_ptr<UsbDevice> UsbDeviceManager::find_device(const std::string& serial_number) const {
  for (const auto& device : devices)
    if (device->get_serial_number() == serial_number) return device;
  return nullptr;
}

void UsbDeviceManager::print_interfaces() const {
  auto interfaces = get_interfaces();
  if (interfaces.empty()) return;
  for (const auto& interface : interfaces) {
    kyt::LogLine("USB: ===============================");
    interface->print();
  }
  kyt::LogLine("USB: ===============================");
}

}  // namespace tyr::usb
