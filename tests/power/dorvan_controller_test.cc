#include <gtest/gtest.h>

#include <stdexcept>

#include "devices/pmu/dorvan_controller_manager.h"
#include "power_test_bench.h"

using portstest::LogCapture;
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

std::string throwText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

}  // namespace

// Each model sends exactly its own bytes, nothing appended, and logs them as they stand.
TEST(DorvanController, EachModelSendsItsOwnCommandBytes) {
  const std::string stx = "\x02", etx = "\x03";
  const std::string on[] = {"1", stx + "pmu(pwr,on)" + etx, stx + "pwr,1" + etx};
  const std::string off[] = {"0", stx + "pmu(pwr,off)" + etx, stx + "pwr,0" + etx};
  const size_t onSizes[] = {1, 13, 7}, offSizes[] = {1, 14, 7};
  for (int model = 0; model < 3; ++model) {
    SCOPED_TRACE(model);
    PowerTestBench bench(model, 0);
    ASSERT_TRUE(bench.ok());
    DorvanControllerManager manager(bench.serial);
    manager.open(options("RB0001", 0, 9600, model));
    auto box = manager.getActiveController();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->getDeviceId(), 0u);
    EXPECT_EQ(static_cast<int>(box->getModel()), model);

    LogCapture log;
    box->powerOn();
    ASSERT_TRUE(bench.first.waitForBytes(onSizes[model]));
    EXPECT_EQ(bench.first.received(), on[model]);
    EXPECT_EQ(bench.first.relayOn(), std::optional<bool>(true));
    box->powerOff();
    ASSERT_TRUE(bench.first.waitForBytes(onSizes[model] + offSizes[model]));
    EXPECT_EQ(bench.first.received(), on[model] + off[model]);
    EXPECT_EQ(bench.first.commands(), (std::vector<std::string>{"on", "off"}));
    EXPECT_EQ(bench.first.relayOn(), std::optional<bool>(false));
    EXPECT_TRUE(log.has("DorvanController: powerOn using " + on[model]));
    EXPECT_TRUE(log.has("DorvanController: powerOff using " + off[model]));
  }
  EXPECT_EQ(DorvanController::power_on_cmds_[1].size(), 13u);
  EXPECT_EQ(DorvanController::power_off_cmds_[1].size(), 14u);
}

// A box that did not get its whole command has not switched: that is an error, not a success.
TEST(DorvanController, ACommandThePortDoesNotTakeIsAnError) {
  DorvanController box(std::make_shared<tyr::serialport::SerialPort>(), 0, DorvanControllerModel::PmuNorvik);
  EXPECT_EQ(throwText([&] { box.powerOff(); }),
            "powerOff: the relay power box did not get its command: the serial port is closed");
}

TEST(DorvanController, RefusesAModelOutsideTheTable) {
  EXPECT_THROW(DorvanController(nullptr, 0, static_cast<DorvanControllerModel>(3)), std::invalid_argument);
}

// The box's answers are not consumed by the controller: the poll thread files them into the port's buffer.
TEST(DorvanControllerManager, AnswersOfTheBoxLandInThePortBuffer) {
  PowerTestBench bench(2, 0);
  ASSERT_TRUE(bench.ok());
  DorvanControllerManager manager(bench.serial);
  manager.open(options("RB0001", 0, 115200, 2));
  manager.getActiveController()->powerOn();
  auto port = bench.serial->getDevice(0);
  EXPECT_TRUE(portstest::waitFor([&] { return port->bufferedRead() == "OK ON\n"; })) << port->bufferedRead();
}

TEST(DorvanControllerManager, OpenWhileActiveChangesNothing) {
  PowerTestBench bench(1, 2);
  ASSERT_TRUE(bench.ok());
  DorvanControllerManager manager(bench.serial);
  manager.open(options("RB0001", 0, 9600, 1));
  auto first = manager.getActiveController();
  ASSERT_TRUE(first);

  LogCapture log;
  // Another adapter and model, and even an adapter that does not exist: the options are not looked at.
  manager.open(options("RB0002", 1, 19200, 2));
  manager.open(options("NOPE", 7, 1234, 0));
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(manager.getActiveController(), first);
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(1));

  manager.getActiveController()->powerOn();
  ASSERT_TRUE(bench.first.waitForBytes(13));
  EXPECT_EQ(bench.first.commands(), (std::vector<std::string>{"on"}));
  EXPECT_TRUE(bench.second.received().empty());
}

TEST(DorvanControllerManager, CloseReleasesThePortAndAllowsAnotherBox) {
  PowerTestBench bench(0, 1);
  ASSERT_TRUE(bench.ok());
  DorvanControllerManager manager(bench.serial);
  manager.close();  // nothing active: nothing happens
  EXPECT_FALSE(manager.getActiveController());

  manager.open(options("RB0001", 0, 9600, 0));
  EXPECT_TRUE(bench.serial->isValidDeviceIndex(0));
  manager.close();
  EXPECT_FALSE(manager.getActiveController());
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
  manager.close();

  manager.open(options("RB0002", 1, 57600, 1));
  auto box = manager.getActiveController();
  ASSERT_TRUE(box);
  EXPECT_EQ(box->getDeviceId(), 0u);  // the freed index is reused
  box->powerOff();
  ASSERT_TRUE(bench.second.waitForBytes(14));
  EXPECT_EQ(bench.second.commands(), (std::vector<std::string>{"off"}));
  EXPECT_TRUE(bench.first.received().empty());
}

TEST(DorvanControllerManager, RefusedBaudRateLeavesNothingOpen) {
  PowerTestBench bench;
  ASSERT_TRUE(bench.ok());
  DorvanControllerManager manager(bench.serial);
  EXPECT_EQ(throwText([&] { manager.open(options("RB0001", 0, 4800, 0)); }), "Failed to set baud rate");
  EXPECT_FALSE(manager.getActiveController());
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
  // The same adapter opens fine afterwards: its tty was really released.
  manager.open(options("RB0001", 0, 38400, 0));
  EXPECT_TRUE(manager.getActiveController());
}

TEST(DorvanControllerManager, SerialPortErrorsPassThroughUnchanged) {
  PowerTestBench bench;
  ASSERT_TRUE(bench.ok());
  DorvanControllerManager manager(bench.serial);
  EXPECT_EQ(throwText([&] { manager.open(options("RB0009", 0, 9600, 0)); }), "Device not found for serial RB0009");
  EXPECT_EQ(throwText([&] { manager.open(options("RB0001", 3, 9600, 0)); }), "Device not found for serial RB0001");
  EXPECT_EQ(throwText([&] { manager.open(options("", 0, 9600, 0)); }), "both devicePath and serialPort are empty");
  EXPECT_FALSE(manager.getActiveController());
}

// A tty the script already opened is taken over under its index, and closing the box closes it.
TEST(DorvanControllerManager, TakesOverAnAlreadyOpenTty) {
  PowerTestBench bench;
  ASSERT_TRUE(bench.ok());
  DorvanControllerManager manager(bench.serial);
  EXPECT_EQ(bench.serial->openDevice(bench.firstTty(), "", 0), 0u);
  manager.open(options("RB0001", 0, 9600, 0));
  ASSERT_TRUE(manager.getActiveController());
  EXPECT_EQ(manager.getActiveController()->getDeviceId(), 0u);
  manager.close();
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
}

// When the script closed the box's port itself and the index went to another port, closing the box leaves that
// other port alone.
TEST(DorvanControllerManager, CloseSparesAPortThatReusedTheIndex) {
  PowerTestBench bench;
  ASSERT_TRUE(bench.ok());
  DorvanControllerManager manager(bench.serial);
  manager.open(options("RB0001", 0, 9600, 0));
  bench.serial->closeDevice(0);
  EXPECT_EQ(bench.serial->openDevice("", "RB0002", 1), 0u);
  manager.close();
  EXPECT_FALSE(manager.getActiveController());
  EXPECT_TRUE(bench.serial->isValidDeviceIndex(0));
}

TEST(DorvanControllerManager, DestructionClosesTheBoxPort) {
  PowerTestBench bench;
  ASSERT_TRUE(bench.ok());
  {
    DorvanControllerManager manager(bench.serial);
    manager.open(options("RB0001", 0, 9600, 0));
    EXPECT_TRUE(bench.serial->isValidDeviceIndex(0));
  }
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
}
