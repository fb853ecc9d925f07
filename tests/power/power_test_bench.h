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
  explicit PowerTestBench(int firstModel = 0, int secondModel = 1) : first(firstModel), second(secondModel) {
    tree.addDevice("1-1", "FTDI", "RB0001");
    tree.addInterface("1-1", "1-1:1.0", "00", "ftdi_sio", "ttyUSB0");
    tree.addDevice("1-2", "FTDI", "RB0002");
    tree.addInterface("1-2", "1-2:1.1", "01", "ftdi_sio", "ttyUSB1");
    (void)!symlink(first.slavePath().c_str(), (tree.devDir() + "ttyUSB0").c_str());
    (void)!symlink(second.slavePath().c_str(), (tree.devDir() + "ttyUSB1").c_str());
    poller = std::make_shared<tyr::threading::PollableManager>();
    usb = std::make_shared<tyr::usb::UsbDeviceManager>(std::vector<std::string>{"ftdi"}, tree.paths());
    serial = std::make_shared<tyr::serialport::SerialPortManager>(usb, poller);
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
