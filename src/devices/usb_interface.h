// One interface of a USB device as sysfs describes it, with binding of the FTDI serial driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tyr::usb {

// Where discovery looks and writes; the defaults are the system's own paths. Tests point
// them into a private tree.
struct UsbSysfsPaths {
  std::string devicesPath = "/sys/bus/usb/devices";
  std::string bindPath = "/sys/bus/usb/drivers/ftdi_sio/bind";
  std::string devPrefix = "/dev/";
  // Pause between the looks for a tty after binding (ten looks at most).
  std::chrono::milliseconds ttyWaitPeriod{500};
};

struct UsbInterfaceInfo {
  std::string name;
  uint32_t interface_number = 0;
  std::string driver_name;
  std::string interface_description;
  std::string manufacturer;
  std::string serial_number;
  std::string tty_usb_path;
};

class UsbInterface {
 public:
  UsbInterface(std::string name, std::string path, std::string manufacturer, std::string serial_number,
               UsbSysfsPaths paths = UsbSysfsPaths());

  // Re-reads the sysfs-derived members.
  void update_info();
  // Re-reads sysfs and describes the interface.
  UsbInterfaceInfo get_interface_info();
  // Binds the FTDI serial driver when no driver is bound and waits for the tty. True when a
  // driver was already bound or the bind succeeded.
  bool load_driver();
  // Looks for the tty up to ten times, pausing between looks.
  void wait_for_tty_path();
  void print() const;

  const std::string& get_name() const { return name; }

 private:
  static uint32_t parse_interface_number(const std::string& path);
  static std::string parse_driver_name(const std::string& path);
  static std::string parse_interface_description(const std::string& path);
  std::string parse_tty_usb_path(const std::string& path) const;

  std::string name;
  std::string path;
  uint32_t interface_number = 0;
  std::string driver_name;
  std::string interface_description;
  std::string tty_usb_path;
  std::string manufacturer;
  std::string serial_number;
  UsbSysfsPaths paths;
};

}  // namespace tyr::usb
