// Builds a small sysfs-like USB tree in a temporary folder for discovery tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "devices/usb_interface.h"
#include "test_support.h"

namespace portstest {

class SysfsTree {
 public:
  SysfsTree() {
    mkdir(devices().c_str(), 0755);
    mkdir((dir_.path() + "/drivers").c_str(), 0755);
    mkdir((dir_.path() + "/drivers/ftdi_sio").c_str(), 0755);
    mkdir((dir_.path() + "/dev").c_str(), 0755);
    writeFile(bindFile(), "");
  }

  std::string devices() const { return dir_.path() + "/devices"; }
  std::string bindFile() const { return dir_.path() + "/drivers/ftdi_sio/bind"; }
  std::string devDir() const { return dir_.path() + "/dev/"; }
  std::string root() const { return dir_.path(); }

  tyr::usb::UsbSysfsPaths paths(std::chrono::milliseconds wait = std::chrono::milliseconds(5)) const {
    tyr::usb::UsbSysfsPaths p;
    p.devicesPath = devices();
    p.bindPath = bindFile();
    p.devPrefix = devDir();
    p.ttyWaitPeriod = wait;
    return p;
  }

  void addDevice(const std::string& name, const std::string& manufacturer, const std::string& serial,
                 const std::string& vendor = "0403", const std::string& product = "6010") {
    std::string d = devices() + "/" + name;
    mkdir(d.c_str(), 0755);
    writeFile(d + "/manufacturer", manufacturer + "\n");
    if (!serial.empty()) writeFile(d + "/serial", serial + "\n");
    writeFile(d + "/idVendor", vendor + "\n");
    writeFile(d + "/idProduct", product + "\n");
  }

  // An interface directory under its device; driver empty = no driver link.
  std::string addInterface(const std::string& device, const std::string& name, const std::string& number,
                           const std::string& driver, const std::string& tty, const std::string& description = "") {
    std::string d = devices() + "/" + device + "/" + name;
    mkdir(d.c_str(), 0755);
    if (!number.empty()) writeFile(d + "/bInterfaceNumber", number + "\n");
    if (!description.empty()) writeFile(d + "/interface", description + "\n");
    if (!driver.empty()) symlink(("../../../bus/usb/drivers/" + driver).c_str(), (d + "/driver").c_str());
    if (!tty.empty()) addTty(device, name, tty);
    return d;
  }

  void addTty(const std::string& device, const std::string& interface, const std::string& tty) {
    mkdir((devices() + "/" + device + "/" + interface + "/" + tty).c_str(), 0755);
  }

  // Makes <devDir>/<name> a link to target (a pseudo-terminal, say).
  void linkDevNode(const std::string& name, const std::string& target) {
    symlink(target.c_str(), (devDir() + name).c_str());
  }

 private:
  TempDir dir_;
};

}  // namespace portstest
