// A PMU board on a pseudo-terminal, reached through a serial port polled by a poll thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "devices/ftdi_device_manager.h"
#include "devices/pmu/kyt_controller.h"
#include "devices/pollable_manager.h"
#include "devices/serial_port.h"
#include "devices/usb_device_manager.h"
#include "pmu_board_peer.h"
#include "test_support.h"

namespace pmutest {

// Records the GPIO pauses instead of sleeping them.
class SleepRecorder {
 public:
  SleepRecorder() {
    tyr::pmu::KytController::setSleepFunction([this](std::chrono::milliseconds d) {
      std::lock_guard<std::mutex> lock(mutex);
      sleeps.push_back(d.count());
    });
  }
  ~SleepRecorder() { tyr::pmu::KytController::setSleepFunction(nullptr); }
  std::vector<long> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(sleeps, {});
  }

 private:
  std::mutex mutex;
  std::vector<long> sleeps;
};

struct BoardFixture {
  BoardFixture() {
    sysfs.addDevice("1-1", "FTDI", "PMU0001", "0403", "6010");
    usb = std::make_shared<tyr::usb::UsbDeviceManager>(std::vector<std::string>{"ftdi"}, sysfs.paths());
    polls = std::make_shared<tyr::threading::PollableManager>();
    ftdi = std::make_shared<tyr::ftdi::FtdiDeviceManager>(polls);
    port = std::make_shared<tyr::serialport::SerialPort>();
    EXPECT_TRUE(port->open(peer.slavePath()));
    EXPECT_TRUE(port->setBaudRate(115200));
    polls->addPollable(port);
    controller = std::make_shared<tyr::pmu::KytController>(port, ftdi, usb, "PMU0001", 1);
    polls->addPollable(controller);
    controller->getClient().setTimeoutMs(300);
  }
  ~BoardFixture() {
    polls->removePollable(controller);
    polls->removePollable(port);
  }

  pmupeers::PmuBoardPeer peer;
  portstest::SysfsTree sysfs;
  std::shared_ptr<tyr::usb::UsbDeviceManager> usb;
  std::shared_ptr<tyr::threading::PollableManager> polls;
  std::shared_ptr<tyr::ftdi::FtdiDeviceManager> ftdi;
  std::shared_ptr<tyr::serialport::SerialPort> port;
  std::shared_ptr<tyr::pmu::KytController> controller;
};

}  // namespace pmutest
