// A bench for the relay box and power controller tests: a sysfs-like USB tree with two FTDI serial adapters whose
// ttys lead to simulated relay boxes, and the poll, USB and serial port managers over it.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "devices/pollable_manager.h"
#include "devices/serial_port_manager.h"
#include "devices/usb_device_manager.h"
#include "relay_box_peer.h"
#include "test_support.h"

namespace powertest {

class PowerTestBench {
 public:
  // Adapter "RB0001" (interface 0, ttyUSB0) leads to a box of model firstModel, adapter "RB0002" (interface 1,
  // ttyUSB1) to one of model secondModel.
  // With a PMU board's tty, adapter "PMU001" (interface 0, ttyUSB2) leads to it.
  explicit PowerTestBench(int firstModel = 0, int secondModel = 1, const std::string& pmuTty = "")
      : first(firstModel), second(secondModel) {
    addAdapter("1-1", "RB0001", 0, "ttyUSB0", first.slavePath());
    addAdapter("1-2", "RB0002", 1, "ttyUSB1", second.slavePath());
    if (!pmuTty.empty()) addAdapter("1-3", "PMU001", 0, "ttyUSB2", pmuTty);
    poller = std::make_shared<tyr::threading::PollableManager>();
    usb = std::make_shared<tyr::usb::UsbDeviceManager>(std::vector<std::string>{"ftdi"}, tree.paths());
    serial = std::make_shared<tyr::serialport::SerialPortManager>(usb, poller);
  }

  void addAdapter(const std::string& device, const std::string& serialNumber, int interfaceNumber,
                  const std::string& tty, const std::string& target) {
    tree.addDevice(device, "FTDI", serialNumber);
    tree.addInterface(device, device + ":1." + std::to_string(interfaceNumber), "0" + std::to_string(interfaceNumber),
                      "ftdi_sio", tty);
    (void)!symlink(target.c_str(), (tree.devDir() + tty).c_str());
  }

  bool ok() const { return first.ok() && second.ok(); }
  std::string firstTty() const { return tree.devDir() + "ttyUSB0"; }

  portstest::SysfsTree tree;
  RelayBoxPeer first;
  RelayBoxPeer second;
  std::shared_ptr<tyr::threading::PollableManager> poller;
  std::shared_ptr<tyr::usb::UsbDeviceManager> usb;
  std::shared_ptr<tyr::serialport::SerialPortManager> serial;
};

}  // namespace powertest
