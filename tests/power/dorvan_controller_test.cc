#include <gtest/gtest.h>

#include <stdexcept>

#include "devices/pmu/dorvan_controller_manager.h"
#include "power_test_bench.h"

using powertest::PowerTestBench;
using tyr::pmu::DorvanController;
using tyr::pmu::DorvanControllerInitOptions;
using tyr::pmu::DorvanControllerManager;
using tyr::pmu::DorvanControllerModel;

namespace {

DorvanControllerInitOptions options(const std::string& serial, uint32_t interfaceNumber, int baudRate, int model) {
  DorvanControllerInitOptions o;
  o.serial = serial;
  o.interfaceNumber = interfaceNumber;
  o.baudRate = baudRate;
  o.model = static_cast<DorvanControllerModel>(model);
  return o;
}

}  // namespace

using Commands = std::vector<std::string>;

// Each model's box understands the commands sent to it, and gets nothing else.
TEST(DorvanController, EachModelSwitchesItsOwnBox) {
  for (int model = 0; model < 3; ++model) {
    SCOPED_TRACE(model);
    PowerTestBench bench(model, 0);
    ASSERT_TRUE(bench.ok());
    DorvanControllerManager manager(bench.serial);
    manager.open(options("RB0001", 0, 9600, model));
    auto box = manager.getActiveController();
    ASSERT_TRUE(box);
    box->powerOn();
    box->powerOff();
    box->powerOn();
    EXPECT_EQ(bench.first.commands(3), (Commands{"on", "off", "on"}));
  }
}

// A box that did not get its whole command has not switched: that is an error, not a success.
TEST(DorvanController, ACommandThePortDoesNotTakeIsAnErrorAndAnUnknownModelIsRefused) {
  DorvanController box(std::make_shared<tyr::serialport::SerialPort>(), 0, DorvanControllerModel::PmuNorvik);
  EXPECT_EQ(portstest::errorOf([&] { box.powerOff(); }),
            "powerOff: the relay power box did not get its command: the serial port is closed");
  EXPECT_THROW(DorvanController(nullptr, 0, static_cast<DorvanControllerModel>(3)), std::invalid_argument);
}

// While a box is open, another open changes nothing, whatever its options; close releases the port for another box.
TEST(DorvanControllerManager, OpenWhileActiveChangesNothingAndCloseAllowsAnotherBox) {
  PowerTestBench bench(1, 2);
  ASSERT_TRUE(bench.ok());
  DorvanControllerManager manager(bench.serial);
  manager.close();  // nothing active: nothing happens
  manager.open(options("RB0001", 0, 9600, 1));
  auto first = manager.getActiveController();
  manager.open(options("RB0002", 1, 19200, 2));
  manager.open(options("NOPE", 7, 1234, 0));
  EXPECT_EQ(manager.getActiveController(), first);
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(1));
  manager.getActiveController()->powerOn();
  EXPECT_EQ(bench.first.commands(1), Commands{"on"});

  manager.close();
  EXPECT_FALSE(manager.getActiveController());
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
  manager.open(options("RB0002", 1, 57600, 2));
  EXPECT_EQ(manager.getActiveController()->getDeviceId(), 0u);  // the freed index is reused
  manager.getActiveController()->powerOff();
  EXPECT_EQ(bench.second.commands(1), Commands{"off"});
  EXPECT_EQ(bench.first.commands(), Commands{"on"});
}

TEST(DorvanControllerManager, AFailedOpenLeavesNothingOpen) {
  PowerTestBench bench;
  ASSERT_TRUE(bench.ok());
  DorvanControllerManager manager(bench.serial);
  EXPECT_EQ(portstest::errorOf([&] { manager.open(options("RB0009", 0, 9600, 0)); }), "Device not found for serial RB0009");
  EXPECT_EQ(portstest::errorOf([&] { manager.open(options("RB0001", 0, 4800, 0)); }), "Failed to set baud rate");
  EXPECT_FALSE(manager.getActiveController());
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
  // The same adapter opens fine afterwards: its tty was really released.
  manager.open(options("RB0001", 0, 38400, 0));
  EXPECT_TRUE(manager.getActiveController());
}

// A tty the script already opened is taken over under its index, and closing the box closes it; but when the script
// closed the box's port itself and the index went to another port, closing the box leaves that other port alone.
TEST(DorvanControllerManager, ClosesTheBoxPortOnlyWhileItIsTheBoxs) {
  PowerTestBench bench;
  ASSERT_TRUE(bench.ok());
  {
    DorvanControllerManager manager(bench.serial);
    EXPECT_EQ(bench.serial->openDevice(bench.firstTty(), "", 0), 0u);
    manager.open(options("RB0001", 0, 9600, 0));
    EXPECT_EQ(manager.getActiveController()->getDeviceId(), 0u);
    manager.close();
    EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));

    manager.open(options("RB0001", 0, 9600, 0));
    bench.serial->closeDevice(0);
    EXPECT_EQ(bench.serial->openDevice("", "RB0002", 1), 0u);
    manager.close();
    EXPECT_TRUE(bench.serial->isValidDeviceIndex(0));
    bench.serial->closeDevice(0);
    manager.open(options("RB0001", 0, 9600, 0));
  }
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0)) << "the manager's destruction closes the box port";
}
