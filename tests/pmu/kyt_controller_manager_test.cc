// The PMU controller manager on a sysfs-like USB tree whose tty leads to a simulated board.
#include <unistd.h>

#include "devices/pmu/kyt_controller_manager.h"

#include <libusb.h>

#include <functional>
#include "devices/pmu/stm32_bootloader.h"
#include "devices/serial_port_manager.h"
#include "fake_ftdi.h"
#include "pmu_test_support.h"
#include "stm32_bootloader_peer.h"

using tyr::pmu::KytControllerManager;

namespace {

struct ManagerFixture {
  ManagerFixture() {
    fakeftdi::reset();
    addBoard("1-1", "PMU0001", boardA, "ttyUSB0");
    addBoard("1-2", "PMU0002", boardB, "ttyUSB2");
    usb = std::make_shared<tyr::usb::UsbDeviceManager>(std::vector<std::string>{"ftdi"}, sysfs.paths());
    polls = std::make_shared<tyr::threading::PollableManager>();
    ftdi = std::make_shared<tyr::ftdi::FtdiDeviceManager>(polls);
    serials = std::make_shared<tyr::serialport::SerialPortManager>(usb, polls);
    manager = std::make_unique<KytControllerManager>(serials, ftdi, usb, polls);
  }
  ~ManagerFixture() {
    manager.reset();
    fakeftdi::reset();
  }
  void addBoard(const std::string& name, const std::string& serial, pmupeers::PmuBoardPeer& peer,
                const std::string& tty) {
    sysfs.addDevice(name, "FTDI", serial, "0403", "6010");
    sysfs.addInterface(name, name + ":1.0", "00", "ftdi_sio", tty);
    sysfs.addInterface(name, name + ":1.1", "01", "ftdi_sio", "");
    EXPECT_EQ(symlink(peer.slavePath().c_str(), (sysfs.devDir() + tty).c_str()), 0);
  }

  pmupeers::PmuBoardPeer boardA, boardB;
  portstest::SysfsTree sysfs;
  std::shared_ptr<tyr::usb::UsbDeviceManager> usb;
  std::shared_ptr<tyr::threading::PollableManager> polls;
  std::shared_ptr<tyr::ftdi::FtdiDeviceManager> ftdi;
  std::shared_ptr<tyr::serialport::SerialPortManager> serials;
  std::unique_ptr<KytControllerManager> manager;
};

}  // namespace

TEST(KytControllerManager, OpenTalksThroughTheBoardsTtyReopenGivesTheSameIdAndCloseFreesIt) {
  ManagerFixture f;
  const size_t basePolls = f.polls->count();
  const uint32_t a = f.manager->openController("PMU0001", 0, 115200);
  EXPECT_EQ(f.polls->count(), basePolls + 2);  // the port and its controller
  EXPECT_EQ(f.manager->getController(a)->getVersion(), "1.4.2");
  EXPECT_EQ(f.boardA.count("getVersion"), 1u);
  EXPECT_EQ(f.boardB.count("getVersion"), 0u);
  EXPECT_EQ(f.manager->openController("PMU0001", 0, 9600), a);
  EXPECT_EQ(f.polls->count(), basePolls + 2);
  const uint32_t b = f.manager->openController("PMU0002", 0, 115200);
  uint32_t found = 99;
  EXPECT_TRUE(f.manager->findControllerId("PMU0002", 0, found));
  EXPECT_EQ(found, b);

  f.manager->closeController(a);
  EXPECT_THROW(f.manager->getController(a), std::runtime_error);
  EXPECT_THROW(f.manager->closeController(a), std::runtime_error);
  EXPECT_FALSE(f.manager->findControllerId("PMU0001", 0, found));
  EXPECT_FALSE(f.serials->isValidDeviceIndex(a));
  EXPECT_EQ(f.manager->getController(b)->getVersion(), "1.4.2");
  EXPECT_EQ(f.manager->openController("PMU0001", 0, 115200), a);  // the freed index is reused
  f.manager.reset();
  EXPECT_EQ(f.polls->count(), basePolls);
  EXPECT_FALSE(f.serials->isValidDeviceIndex(b));
}

TEST(KytControllerManager, AControllerWhosePortWasClosedSaysSoAndIsReplacedOnOpen) {
  ManagerFixture f;
  const size_t basePolls = f.polls->count();
  const uint32_t id = f.manager->openController("PMU0001", 0, 115200);
  auto stale = f.manager->getController(id);
  f.serials->closeDevice(id);  // as the script's serialportClose does
  try {
    f.manager->getController(id);
    FAIL() << "the controller of a closed port was handed out";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The serial port of PMU controller 0 is closed");
  }
  EXPECT_EQ(f.manager->openController("PMU0001", 0, 115200), id);
  EXPECT_NE(f.manager->getController(id), stale);
  EXPECT_EQ(f.manager->getController(id)->getVersion(), "1.4.2");
  EXPECT_EQ(f.polls->count(), basePolls + 2);
}

// A board that hung up and came back under the same tty gets a new controller on open, and request ids go on
// across sessions of the link, so that a late reply of one session never answers a call of the next.
TEST(KytControllerManager, ABoardThatHungUpIsReplacedOnOpenAndIdsGoOnAcrossSessions) {
  ManagerFixture f;
  uint32_t id = f.manager->openController("PMU0001", 0, 115200);
  EXPECT_EQ(f.manager->getController(id)->getVersion(), "1.4.2");
  f.manager->closeController(id);
  id = f.manager->openController("PMU0001", 0, 115200);
  EXPECT_EQ(f.manager->getController(id)->getVersion(), "1.4.2");
  EXPECT_EQ(f.boardA.requests().back()["id"], 1);

  auto dead = f.manager->getController(id);
  f.boardA.hangUp();
  ASSERT_TRUE(portstest::waitFor([&] { return dead->linkFailed(); }));
  pmupeers::PmuBoardPeer back;
  const std::string tty = f.sysfs.devDir() + "ttyUSB0";
  ASSERT_EQ(unlink(tty.c_str()), 0);
  ASSERT_EQ(symlink(back.slavePath().c_str(), tty.c_str()), 0);
  id = f.manager->openController("PMU0001", 0, 115200);
  EXPECT_NE(f.manager->getController(id), dead);
  EXPECT_EQ(f.manager->getController(id)->getVersion(), "1.4.2");
  EXPECT_EQ(back.requests().back()["id"], 2);
}

// Closing a board whose power monitor waits for a measurement the board never answers: the close does not wait out
// the reply time-out (nor would the script's end).
TEST(KytControllerManager, CloseStopsThePowerMonitorWithoutWaitingForTheBoard) {
  ManagerFixture f;
  portstest::TempDir dir;
  const uint32_t id = f.manager->openController("PMU0001", 0, 115200);
  f.manager->getController(id)->getClient().setTimeoutMs(3600000);  // a wait for it would outlast the test run
  f.boardA.setSilent("measurePower");
  f.manager->getController(id)->enablePowerMonitor(dir.file("power.csv"), 10);
  ASSERT_TRUE(f.boardA.waitFor("measurePower", 1));
  f.manager->closeController(id);
  EXPECT_FALSE(f.serials->isValidDeviceIndex(id));
}

TEST(KytControllerManager, RefusedBaudRateClosesThePortAgain) {
  ManagerFixture f;
  EXPECT_THROW(f.manager->openController("PMU0001", 0, 12345), std::runtime_error);
  EXPECT_FALSE(f.serials->isValidDeviceIndex(0));
  uint32_t found;
  EXPECT_FALSE(f.manager->findControllerId("PMU0001", 0, found));
}

// The whole update against the simulated chip behind the stand-in FTDI chip's channel A: the image is programmed and
// the board restarted into it; a failure before the erase restarts the board into its old firmware, one after it
// leaves the board in its bootloader and says so.
TEST(KytControllerManager, FirmwareUpdateProgramsTheSimulatedChipAndSaysWhereAFailureLeftTheBoard) {
  ManagerFixture f;
  pmutest::SleepRecorder sleeps;
  portstest::LogCapture logs;
  fakeftdi::Device board;
  board.product = 0x6010;
  board.serial = "PMU0001";
  fakeftdi::addDevice(board);
  const std::string intoFirmware = "\x82\xF9\xFF\x82\xFD\xFF";
  struct Run {
    std::function<void(pmupeers::Stm32BootloaderPeer&)> chip;
    std::string error;  // empty: success
    bool restarted;     // into the firmware, at the end
    char vanishAt = 0;  // the command at which the USB device goes away
  } runs[] = {
      {[](auto&) {}, "", true},
      {[](auto& chip) { chip.replaceAck(0x01, 0x1F); },
       "Firmware update failed: Get Version failed: Received NACK from device. The flash was not touched; the board was "
       "restarted into its firmware",
       true},
      {[](auto& chip) { chip.replaceAck(0x31, 0x1F); },
       "Firmware update failed: Write Memory at 0x08000000 failed: Received NACK from device. The flash was erased and "
       "the board is in its bootloader",
       false},
      {[](auto&) {},
       std::string("Firmware update failed: Get Version failed: The FTDI device is gone: ") +
           libusb_strerror(LIBUSB_ERROR_NO_DEVICE) + ". The flash was not touched; the board was restarted into its firmware",
       true, '\x01'},
  };
  std::vector<uint8_t> firmware(600);
  for (size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<uint8_t>(i * 13 + 1);
  for (const auto& run : runs) {
    pmupeers::Stm32BootloaderPeer chip(false);
    run.chip(chip);
    fakeftdi::setWriteHandler([&chip, &run](int interface, const std::string& bytes) {
      if (interface != INTERFACE_A) return std::string();
      if (run.vanishAt != 0 && bytes[0] == run.vanishAt) fakeftdi::setResult("read", LIBUSB_ERROR_NO_DEVICE);
      return chip.feed(bytes);
    });
    logs.clear();
    fakeftdi::takeWritten();
    EXPECT_EQ(portstest::errorOf([&] { f.manager->updateFirmware("PMU0001", firmware); }),
              run.error.empty() ? "(no exception)" : run.error);
    fakeftdi::setWriteHandler(nullptr);
    fakeftdi::clearResult("read");
    const std::string written = fakeftdi::takeWritten();
    if (run.restarted) {
      EXPECT_EQ(written.substr(written.size() - intoFirmware.size()), intoFirmware) << run.error;
    } else {
      EXPECT_EQ(written.find(intoFirmware), std::string::npos) << run.error;
    }
    EXPECT_FALSE(f.ftdi->isValidDeviceIndex(0));
    EXPECT_FALSE(f.ftdi->isValidDeviceIndex(1));
    if (run.error.empty()) {
      EXPECT_EQ(chip.flash(), firmware);
      EXPECT_TRUE(logs.has("KytControllerManager: Firmware update completed successfully."));
    }
  }
}

TEST(KytControllerManager, FirmwareUpdateFailuresCloseTheChannelsItOpened) {
  ManagerFixture f;
  pmutest::SleepRecorder sleeps;
  // An image that would leave the board blank or cannot fit is refused before anything is touched.
  for (size_t size : {size_t(0), tyr::pmu::Stm32Bootloader::kFlashSize + 1}) {
    EXPECT_THROW(f.manager->updateFirmware("PMU0001", std::vector<uint8_t>(size, 1)), std::runtime_error) << size;
  }
  EXPECT_TRUE(fakeftdi::calls().empty());
  // Both channels open, then the bootloader entry fails: both are closed again.
  fakeftdi::Device chip;
  chip.product = 0x6010;
  chip.serial = "PMU0001";
  fakeftdi::addDevice(chip);
  fakeftdi::setResult("set_bitmode", -1);
  EXPECT_THROW(f.manager->updateFirmware("PMU0001", {1, 2, 3}), std::runtime_error);
  auto calls = fakeftdi::calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "set_interface 2"), calls.end());
  EXPECT_NE(std::find(calls.begin(), calls.end(), "set_interface 1"), calls.end());
  EXPECT_FALSE(f.ftdi->isValidDeviceIndex(0));
  EXPECT_FALSE(f.ftdi->isValidDeviceIndex(1));
}
