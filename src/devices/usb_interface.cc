#include "devices/usb_interface.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "devices/fs_util.h"
#include "utility/log_line.h"

namespace tyr::usb {

UsbInterface::UsbInterface(std::string name, std::string path, std::string manufacturer,
                           std::string serial_number, UsbSysfsPaths paths)
    : name(std::move(name)),
      path(std::move(path)),
      manufacturer(std::move(manufacturer)),
      serial_number(std::move(serial_number)),
      paths(std::move(paths)) {
  update_info();
}

uint32_t UsbInterface::parse_interface_number(const std::string& path) {
  std::string text = fs::read_file(path + "/bInterfaceNumber");
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || value < 0) return 0;
  return static_cast<uint32_t>(value);
}

std::string UsbInterface::parse_driver_name(const std::string& path) {
  char target[256];
  ssize_t n = ::readlink((path + "/driver").c_str(), target, 255);
  if (n <= 0) return "";
  return fs::get_basename(std::string(target, static_cast<size_t>(n)));
}

std::string UsbInterface::parse_interface_description(const std::string& path) {
  return fs::read_file(path + "/interface");
}

std::string UsbInterface::parse_tty_usb_path(const std::string& path) const {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return "";
  std::string result;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string entryName = entry->d_name;
    if (entryName.compare(0, 6, "ttyUSB") == 0) {
      result = paths.devPrefix + entryName;
      break;
    }
  }
  ::closedir(dir);
  return result;
}

void UsbInterface::update_info() {
  interface_number = parse_interface_number(path);
  driver_name = parse_driver_name(path);
  interface_description = parse_interface_description(path);
  tty_usb_path = parse_tty_usb_path(path);
}

UsbInterfaceInfo UsbInterface::get_interface_info() {
  update_info();
  UsbInterfaceInfo info;
  info.name = name;
  info.interface_number = interface_number;
  info.driver_name = driver_name;
  info.interface_description = interface_description;
  info.manufacturer = manufacturer;
  info.serial_number = serial_number;
  info.tty_usb_path = tty_usb_path;
  return info;
}

bool UsbInterface::load_driver() {
  if (!driver_name.empty()) return true;
  if (manufacturer != "ftdi") {
    kyt::LogLine("USB: Driver already loaded or unsupported manufacturer.");
    return false;
  }
  kyt::LogLine("USB: Loading driver for " + name + " (" + serial_number + ", " + std::to_string(interface_number) +
               ")");
  int fd = ::open(paths.bindPath.c_str(), O_WRONLY | O_SYNC | O_CLOEXEC);
  if (fd < 0) {
    kyt::LogLine("USB: Failed to open bind attribute from sysfs");
    return false;
  }
  ssize_t written = ::write(fd, name.data(), name.size());
  ::close(fd);
  if (written < 0) {
    kyt::LogLine("USB: Failed to load driver");
    return false;
  }
  kyt::LogLine("USB: Successfully loaded driver");
  wait_for_tty_path();
  return true;
}

void UsbInterface::wait_for_tty_path() {
  for (int round = 0; round < 10; ++round) {
    kyt::LogLine("USB: Checking for TTY path");
    std::string tty = parse_tty_usb_path(path);
    if (!tty.empty()) {
      tty_usb_path = tty;
      kyt::LogLine("USB: Found TTY " + tty);
      return;
    }
    kyt::LogLine("USB: TTY path not found. Waiting " + std::to_string(paths.ttyWaitPeriod.count()) + "ms");
    std::this_thread::sleep_for(paths.ttyWaitPeriod);
  }
}

void UsbInterface::print() const {
  kyt::LogLine("USB: Interface Path: " + name);
  kyt::LogLine("USB: Serial Number: " + serial_number);
  kyt::LogLine("USB: Interface Number: " + std::to_string(interface_number));
  kyt::LogLine("USB: Description: " + interface_description);
  kyt::LogLine("USB: Manufacturer: " + manufacturer);
  kyt::LogLine("USB: Serial Port: " + tty_usb_path);
}

}  // namespace tyr::usb
