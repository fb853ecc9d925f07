#include <gtest/gtest.h>

#include <libusb.h>

#include "devices/ftdi_device_manager.h"
#include "fake_ftdi.h"
#include "test_support.h"

using tyr::ftdi::FtdiDevice;
using tyr::ftdi::FtdiDeviceManager;
using tyr::ioport::Parity;
using Texts = std::vector<std::string>;

namespace {

// A dual-channel FT2232 and an FT232R on the fake bus.
class FtdiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeftdi::reset();
    fakeftdi::addDevice({0x0403, 0x6010, "FTDI", "Dual RS232-HS", "FTA"});
    fakeftdi::addDevice({0x0403, 0x6001, "FTDI", "FT232R USB UART", "FTB"});
  }
  void TearDown() override { fakeftdi::reset(); }

  // The FT2232's channel A, opened.
  std::unique_ptr<FtdiDevice> openA() {
    auto device = std::make_unique<FtdiDevice>(1);
    EXPECT_EQ(device->open(0x0403, 0x6010, INTERFACE_A, "", ""), 0);
    return device;
  }
  uint32_t open(int interface = INTERFACE_A, uint32_t product = 0x6010) {
    return manager.openDevice(0x403, product, static_cast<ftdi_interface>(interface), "", "", 10);
  }
  // The text of the error that open throws.
  std::string openError(int interface, uint32_t product = 0x6010) {
    return portstest::errorOf([&] { open(interface, product); });
  }

  std::shared_ptr<tyr::threading::PollableManager> poller = std::make_shared<tyr::threading::PollableManager>();
  FtdiDeviceManager manager{poller};
};

}  // namespace

TEST_F(FtdiTest, OpenSelectsTheChannelFirstAndFailsWhenTheChannelIsRejected) {
  FtdiDevice device(10);
  EXPECT_EQ(device.open(0x0403, 0x6010, INTERFACE_B, "", ""), 0);
  EXPECT_EQ(fakeftdi::calls(), (Texts{"set_interface 2", "open 1027 24592 (any) (any) 0"}));
  FtdiDevice other(1);
  EXPECT_EQ(other.open(0x0403, 0x6001, INTERFACE_A, "FT232R USB UART", "nope"), -3);
  EXPECT_EQ(other.getErrorCode(), -3);
  fakeftdi::setResult("set_interface", -1);
  FtdiDevice rejected(1);
  EXPECT_EQ(rejected.open(0x0403, 0x6010, INTERFACE_C, "", ""), -1);
  EXPECT_TRUE(rejected.interfaceRejected());
  EXPECT_EQ(fakeftdi::calls().back(), "set_interface 3");  // and no open after it
}

TEST_F(FtdiTest, LineSettingsBitmodesAndWritesKeepTheLibraryCode) {
  auto device = openA();
  size_t before = fakeftdi::calls().size();
  EXPECT_TRUE(device->setParity(Parity::Even));
  EXPECT_FALSE(device->setParity(static_cast<Parity>(5)));  // sends nothing
  EXPECT_TRUE(device->setBitmode(15, 2));
  EXPECT_TRUE(device->enterMpsse());
  EXPECT_TRUE(device->leaveMpsse());
  EXPECT_TRUE(device->setBaudRate(115200));
  auto calls = fakeftdi::calls();
  EXPECT_EQ(Texts(calls.begin() + before, calls.end()),
            (Texts{"set_line_property 8 0 2", "set_bitmode 15 2", "set_bitmode 0 2", "set_bitmode 0 0",
                   "set_baudrate 115200"}));
  // Failures answer false; only the baud rate keeps the library's code.
  fakeftdi::setResult("set_baudrate", -3);
  fakeftdi::setResult("set_line_property", -1);
  fakeftdi::setResult("set_bitmode", -4);
  EXPECT_FALSE(device->setBaudRate(12345));
  EXPECT_FALSE(device->setParity(Parity::Odd));
  EXPECT_FALSE(device->enterMpsse());
  EXPECT_EQ(device->getErrorCode(), -3);
  const uint8_t bytes[] = {'h', 'e', 'l', 'l', 'o'};
  for (int result : {5, -666, 0}) {
    if (result != 5) fakeftdi::setResult("write", result);
    EXPECT_EQ(device->write(bytes, 5), result);
    EXPECT_EQ(device->getErrorCode(), result == 5 ? 0 : result);
  }
  EXPECT_EQ(fakeftdi::takeWritten(), "hello");
}

TEST_F(FtdiTest, PollDrainsTheChipPacketByPacketLosingNothingToAShortReadTimeoutAndAGoneChipFailsReads) {
  auto device = openA();
  // One poll takes every packet (62 bytes each) the chip has, not just the first.
  fakeftdi::pushReadData("a\r\n" + std::string(500, 'x'));
  device->poll();
  EXPECT_EQ(device->read(0), "a\n" + std::string(500, 'x'));
  fakeftdi::setResult("read", LIBUSB_ERROR_IO);
  fakeftdi::pushReadData("kept");
  device->poll();  // a failing read delivers nothing
  EXPECT_EQ(device->read(0), "");
  fakeftdi::clearResult("read");
  fakeftdi::setResult("short_read_times_out", 1);
  fakeftdi::pushReadData(std::string(62 + 62 - 4, 'y'));  // a full packet, a short one, then silence
  device->poll();
  device->poll();
  EXPECT_EQ(device->read(0), "kept" + std::string(120, 'y'));
  // An unplugged chip: what was read before is handed out, then every read says the device is gone.
  fakeftdi::pushReadData("last");
  device->poll();
  fakeftdi::setResult("read", LIBUSB_ERROR_NO_DEVICE);
  device->poll();
  EXPECT_EQ(device->read(0), "last");
  const std::string gone = std::string("The FTDI device is gone: ") + libusb_strerror(LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(portstest::errorOf([&] { device->read(0); }), gone);
  EXPECT_EQ(device->getErrorCode(), LIBUSB_ERROR_NO_DEVICE);  // the failed read's code, for the script to ask
  device->useTextMode();
  EXPECT_EQ(portstest::errorOf([&] { device->bufferedRead(); }), gone);
  EXPECT_EQ(device->getErrorCode(), LIBUSB_ERROR_NO_DEVICE);
}

// A chip unplugged in the middle of a long write: the write answers how many bytes went out, the error code why it
// stopped, and the port knows the device is gone.
TEST_F(FtdiTest, AWriteCutShortSaysHowFarItGotAndWhy) {
  auto device = openA();
  fakeftdi::setResult("unplug_after", 24576 + 100);
  const std::vector<uint8_t> bytes(200000, 'z');
  EXPECT_EQ(device->write(bytes.data(), static_cast<int>(bytes.size())), 24576 + 100);
  EXPECT_EQ(device->getErrorCode(), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(fakeftdi::takeWritten().size(), 24576u + 100);
  EXPECT_TRUE(device->isGone());
  EXPECT_EQ(device->write(bytes.data(), 10), LIBUSB_ERROR_NO_DEVICE);  // nothing went out
  EXPECT_EQ(device->getErrorCode(), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(FtdiTest, CloseTwiceAndCloseFailure) {
  openA()->close();  // then destroyed: the destructor closes again
  EXPECT_EQ(fakeftdi::liveContexts(), 0);
  auto failing = openA();
  fakeftdi::setResult("close", -10);
  failing->close();
  EXPECT_EQ(failing->getErrorCode(), -10);
}

TEST_F(FtdiTest, ManagerNumbersDevicesLowestFreeFirstAndTakesNoIndexForAFailedOpen) {
  EXPECT_EQ(openError(INTERFACE_A, 0x6015), "usb device not found");
  fakeftdi::setResult("set_interface", -1);
  EXPECT_EQ(openError(9), "invalid interface 9");
  fakeftdi::clearResult("set_interface");
  EXPECT_EQ(fakeftdi::liveContexts(), 0);
  EXPECT_EQ(poller->count(), 0u);
  EXPECT_EQ(open(), 0u);
  EXPECT_EQ(manager.openDevice(0x403, 0x6001, INTERFACE_ANY, "FT232R USB UART", "FTB", 10), 1u);
  EXPECT_EQ(open(INTERFACE_B), 2u);
  EXPECT_EQ(poller->count(), 3u);
  manager.closeDevice(1);
  EXPECT_EQ(poller->count(), 2u);
  EXPECT_THROW(manager.getDevice(1), std::runtime_error);
  EXPECT_EQ(open(), 1u);
  EXPECT_EQ(open(), 3u);
  EXPECT_THROW(manager.closeDevice(9), std::runtime_error);
  EXPECT_EQ(manager.findDevices(0, 0).size(), 2u);  // on a context of its own, freed afterwards
  EXPECT_EQ(fakeftdi::liveContexts(), 4);
  EXPECT_EQ(FtdiDeviceManager::getErrorMessage(-5), "unable to claim device");
  EXPECT_EQ(FtdiDeviceManager::getErrorMessage(-13), "FTDI Open Error");
}

TEST_F(FtdiTest, ClosedDeviceLivesOnForItsHolderAndDestructionClosesTheRest) {
  {
    FtdiDeviceManager owner(poller);
    for (int i = 0; i < 3; ++i) owner.openDevice(0x403, 0x6010, INTERFACE_A, "", "", 10);
    auto held = owner.getIoPortDevice(1);
    owner.closeDevice(1);
    EXPECT_EQ(fakeftdi::liveContexts(), 3);
    const uint8_t byte = 'x';
    EXPECT_EQ(held->write(&byte, 1), 1);
    held.reset();
    EXPECT_EQ(fakeftdi::liveContexts(), 2);
  }
  EXPECT_EQ(poller->count(), 0u);
  EXPECT_EQ(fakeftdi::liveContexts(), 0);
}
