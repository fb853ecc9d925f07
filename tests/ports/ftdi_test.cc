#include <gtest/gtest.h>

#include "devices/ftdi_device_manager.h"
#include "fake_ftdi.h"
#include "test_support.h"

using tyr::ftdi::FtdiDevice;
using tyr::ftdi::FtdiDeviceManager;
using tyr::ioport::Parity;

namespace {

class FtdiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeftdi::reset();
    fakeftdi::Device a;
    a.product = 0x6010;
    a.description = "Dual RS232-HS";
    a.serial = "FTA";
    fakeftdi::addDevice(a);
    fakeftdi::Device b;
    b.serial = "FTB";
    fakeftdi::addDevice(b);
  }
  void TearDown() override { fakeftdi::reset(); }

  static bool called(const std::string& text) {
    auto all = fakeftdi::calls();
    return std::find(all.begin(), all.end(), text) != all.end();
  }
};

}  // namespace

TEST_F(FtdiTest, OpenSelectsTheChannelThenOpensTheFirstMatch) {
  FtdiDevice device(10);
  EXPECT_EQ(device.open(0x0403, 0x6010, INTERFACE_B, "", ""), 0);
  auto calls = fakeftdi::calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "set_interface 2");
  EXPECT_EQ(calls[1], "open 1027 24592 (any) (any) 0");
  EXPECT_EQ(device.getErrorCode(), 0);
  EXPECT_EQ(device.getPollingIntervalMs(), 10u);
}

TEST_F(FtdiTest, OpenPassesDescriptionAndSerialAndReportsLibraryCodes) {
  FtdiDevice device(1);
  EXPECT_EQ(device.open(0x0403, 0x6001, INTERFACE_A, "FT232R USB UART", "nope"), -3);
  EXPECT_TRUE(called("open 1027 24577 FT232R USB UART nope 0"));
  EXPECT_EQ(device.getErrorCode(), -3);
}

TEST_F(FtdiTest, RejectedChannelFailsTheOpenWithoutOpeningAnything) {
  fakeftdi::setResult("set_interface", -1);
  FtdiDevice device(1);
  EXPECT_EQ(device.open(0x0403, 0x6010, INTERFACE_C, "", ""), -1);
  EXPECT_TRUE(device.interfaceRejected());
  EXPECT_FALSE(called("open 1027 24592 (any) (any) 0"));
}

TEST_F(FtdiTest, ParityBitmodeAndMpsse) {
  FtdiDevice device(1);
  ASSERT_EQ(device.open(0x0403, 0x6010, INTERFACE_A, "", ""), 0);
  portstest::LogCapture log;
  EXPECT_TRUE(device.setParity(Parity::Even));
  EXPECT_TRUE(called("set_line_property 8 0 2"));
  EXPECT_FALSE(device.setParity(static_cast<Parity>(5)));
  EXPECT_TRUE(log.has("FTDI: invalid parity"));
  EXPECT_EQ(fakeftdi::calls().size(), 3u);  // nothing sent for the invalid value
  fakeftdi::setResult("set_line_property", -1);
  EXPECT_FALSE(device.setParity(Parity::Odd));
  EXPECT_TRUE(log.has("FTDI: setting parity to odd parity"));

  EXPECT_TRUE(device.setBitmode(15, 2));
  EXPECT_TRUE(log.has("FTDI: setting bitmode. bitmask: 15, mode: 2"));
  EXPECT_TRUE(called("set_bitmode 15 2"));
  EXPECT_TRUE(device.enterMpsse());
  EXPECT_TRUE(called("set_bitmode 0 2"));
  EXPECT_TRUE(device.leaveMpsse());
  EXPECT_TRUE(called("set_bitmode 0 0"));
  fakeftdi::setResult("set_bitmode", -4);
  EXPECT_FALSE(device.enterMpsse());
}

TEST_F(FtdiTest, WriteAndBaudRateKeepTheErrorCode) {
  FtdiDevice device(1);
  ASSERT_EQ(device.open(0x0403, 0x6010, INTERFACE_A, "", ""), 0);
  const uint8_t bytes[] = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(device.write(bytes, 5), 5);
  EXPECT_EQ(device.getErrorCode(), 0);
  EXPECT_EQ(fakeftdi::takeWritten(), "hello");
  fakeftdi::setResult("write", -666);
  EXPECT_EQ(device.write(bytes, 5), -666);
  EXPECT_EQ(device.getErrorCode(), -666);
  fakeftdi::setResult("write", 0);
  EXPECT_EQ(device.write(bytes, 5), 0);
  EXPECT_EQ(device.getErrorCode(), 0);

  portstest::LogCapture log;
  fakeftdi::setResult("set_baudrate", -3);
  EXPECT_FALSE(device.setBaudRate(12345));
  EXPECT_EQ(device.getErrorCode(), -3);
  EXPECT_TRUE(log.has("FTDI: setting Baud Rate to 12345"));
  fakeftdi::clearResult("set_baudrate");
  EXPECT_TRUE(device.setBaudRate(115200));
  EXPECT_EQ(device.getErrorCode(), 0);
  EXPECT_TRUE(called("set_baudrate 115200"));
}

TEST_F(FtdiTest, PollReadsWhatTheChipSends) {
  FtdiDevice device(1);
  ASSERT_EQ(device.open(0x0403, 0x6010, INTERFACE_A, "", ""), 0);
  fakeftdi::pushReadData("hello\r\nworld");
  for (int i = 0; i < 5; ++i) device.poll();
  EXPECT_EQ(device.read(0), "hello\nworld");
  fakeftdi::setResult("read", -7);
  fakeftdi::pushReadData("lost?");
  device.poll();  // a failing read delivers nothing
  EXPECT_EQ(device.read(0), "");
}

TEST_F(FtdiTest, NoByteIsLostWhenAShortReadTimesOut) {
  FtdiDevice device(1);
  ASSERT_EQ(device.open(0x0403, 0x6010, INTERFACE_A, "", ""), 0);
  fakeftdi::setResult("short_read_times_out", 1);
  fakeftdi::pushReadData("hello");
  for (int i = 0; i < 5; ++i) device.poll();  // the later reads find nothing and time out
  EXPECT_EQ(device.read(0), "hello");
}

TEST_F(FtdiTest, CloseTwiceAndCloseFailure) {
  portstest::LogCapture log;
  {
    FtdiDevice device(1);
    ASSERT_EQ(device.open(0x0403, 0x6010, INTERFACE_A, "", ""), 0);
    device.close();
    device.close();
    EXPECT_EQ(fakeftdi::liveContexts(), 0);
  }
  std::vector<std::string> expected = {"FTDI: closing Device", "FTDI: successfully closed an FTDI device",
                                       "FTDI: device not found when closing an FTDI device",
                                       "FTDI: device not found when closing an FTDI device"};  // destructor
  EXPECT_EQ(log.lines(), expected);

  log.clear();
  FtdiDevice failing(1);
  ASSERT_EQ(failing.open(0x0403, 0x6010, INTERFACE_A, "", ""), 0);
  fakeftdi::setResult("close", -10);
  failing.close();
  EXPECT_EQ(failing.getErrorCode(), -10);
  EXPECT_TRUE(log.has("FTDI: error while closing an FTDI device. Error: -10"));
}

TEST_F(FtdiTest, ManagerNumbersDevicesLowestFreeFirst) {
  auto poller = std::make_shared<tyr::threading::PollableManager>();
  FtdiDeviceManager manager(poller);
  portstest::LogCapture log;
  EXPECT_EQ(manager.openDevice(0x403, 0x6010, INTERFACE_A, "", "", 10), 0u);
  EXPECT_TRUE(log.has("FTDI: successfully opened device 0, vendor=0x0403, product=0x6010, interface=1, "
                      "description=, serial="));
  EXPECT_TRUE(log.has("PollableManager: Added a Pollable. Total Pollables: 1"));
  EXPECT_EQ(manager.openDevice(0x403, 0x6001, INTERFACE_ANY, "FT232R USB UART", "FTB", 10), 1u);
  EXPECT_TRUE(log.has("FTDI: successfully opened device 1, vendor=0x0403, product=0x6001, interface=0, "
                      "description=FT232R USB UART, serial=FTB"));
  EXPECT_EQ(manager.openDevice(0x403, 0x6010, INTERFACE_B, "", "", 10), 2u);
  EXPECT_EQ(poller->count(), 3u);

  manager.closeDevice(1);
  EXPECT_TRUE(log.has("PollableManager: Removed a Pollable. Total Pollables: 2"));
  EXPECT_FALSE(manager.isValidDeviceIndex(1));
  EXPECT_THROW(manager.getDevice(1), std::runtime_error);
  EXPECT_EQ(manager.openDevice(0x403, 0x6010, INTERFACE_A, "", "", 10), 1u);
  EXPECT_EQ(manager.openDevice(0x403, 0x6010, INTERFACE_A, "", "", 10), 3u);
  EXPECT_TRUE(manager.isValidDeviceIndex(3));
  EXPECT_FALSE(manager.isValidDeviceIndex(4));
  try {
    manager.closeDevice(9);
    FAIL() << "closing a free index must throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "invalid device index");
  }
  EXPECT_EQ(manager.getIoPortDevice(3), manager.getDevice(3));
}

TEST_F(FtdiTest, ManagerTurnsOpenFailuresIntoTexts) {
  auto poller = std::make_shared<tyr::threading::PollableManager>();
  FtdiDeviceManager manager(poller);
  portstest::LogCapture log;
  try {
    manager.openDevice(0x403, 0x6015, INTERFACE_A, "", "", 10);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "usb device not found");
  }
  EXPECT_TRUE(log.has("FTDI: failed to open a device"));
  EXPECT_TRUE(log.has("FTDI: closing Device"));
  fakeftdi::setResult("open", -42);
  EXPECT_THROW(
      {
        try {
          manager.openDevice(0x403, 0x6010, INTERFACE_A, "", "", 10);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "FTDI Open Error");
          throw;
        }
      },
      std::runtime_error);
  fakeftdi::clearResult("open");
  fakeftdi::setResult("set_interface", -1);
  try {
    manager.openDevice(0x403, 0x6010, static_cast<ftdi_interface>(9), "", "", 10);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "invalid interface 9");
  }
  EXPECT_EQ(poller->count(), 0u);
  EXPECT_EQ(fakeftdi::liveContexts(), 0);
  fakeftdi::clearResult("set_interface");
  EXPECT_EQ(manager.openDevice(0x403, 0x6010, INTERFACE_A, "", "", 10), 0u);  // no index was taken
}

TEST_F(FtdiTest, ErrorMessageTable) {
  const char* texts[] = {"usb_find_busses() failed",     "usb_find_devices() failed",
                         "usb device not found",         "unable to open device",
                         "unable to claim device",       "reset failed",
                         "set baudrate failed",          "get product description failed",
                         "get serial number failed",     "unable to close device",
                         "ftdi context invalid",         "libusb_get_device_list() failed"};
  for (int code = -1; code >= -12; --code) EXPECT_EQ(FtdiDeviceManager::getErrorMessage(code), texts[-code - 1]);
  EXPECT_EQ(FtdiDeviceManager::getErrorMessage(0), "FTDI Open Error");
  EXPECT_EQ(FtdiDeviceManager::getErrorMessage(3), "FTDI Open Error");
  EXPECT_EQ(FtdiDeviceManager::getErrorMessage(-13), "FTDI Open Error");
}

TEST_F(FtdiTest, ManagerDestructionClosesWhatIsOpen) {
  auto poller = std::make_shared<tyr::threading::PollableManager>();
  portstest::LogCapture log;
  {
    FtdiDeviceManager manager(poller);
    for (int i = 0; i < 3; ++i) manager.openDevice(0x403, 0x6010, INTERFACE_A, "", "", 10);
    manager.closeDevice(1);
    log.clear();
  }
  EXPECT_EQ(log.count("FTDI: closing Device"), 2u);
  EXPECT_EQ(poller->count(), 0u);
  EXPECT_EQ(fakeftdi::liveContexts(), 0);
}

TEST_F(FtdiTest, ClosedDeviceStaysValidForItsLastHolder) {
  auto poller = std::make_shared<tyr::threading::PollableManager>();
  FtdiDeviceManager manager(poller);
  uint32_t index = manager.openDevice(0x403, 0x6010, INTERFACE_A, "", "", 10);
  auto held = manager.getIoPortDevice(index);
  portstest::LogCapture log;
  manager.closeDevice(index);
  EXPECT_FALSE(log.has("FTDI: closing Device"));
  const uint8_t byte = 'x';
  EXPECT_EQ(held->write(&byte, 1), 1);
  held.reset();
  EXPECT_TRUE(log.has("FTDI: closing Device"));
}

TEST_F(FtdiTest, ListingUsesItsOwnContextAndSkipsUnreadableDevices) {
  fakeftdi::reset();
  fakeftdi::Device first;
  first.serial = "ONE";
  fakeftdi::Device broken;
  broken.serial = "BROKEN";
  broken.stringsResult = -9;
  fakeftdi::Device third;
  third.product = 0x6014;
  third.manufacturer = "Acme";
  third.description = "Board";
  third.serial = "THREE";
  fakeftdi::Device other;
  other.vendor = 0x1234;
  other.product = 0x0001;
  other.serial = "OTHER";
  for (auto& d : {first, broken, third, other}) fakeftdi::addDevice(d);

  auto poller = std::make_shared<tyr::threading::PollableManager>();
  FtdiDeviceManager manager(poller);
  auto list = manager.findDevices(0, 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].serial, "ONE");
  EXPECT_EQ(list[1].manufacturer, "Acme");
  EXPECT_EQ(list[1].description, "Board");
  EXPECT_EQ(list[1].serial, "THREE");
  EXPECT_EQ(list[1].vendorId, 0x0403u);
  EXPECT_EQ(list[1].productId, 0x6014u);
  auto exact = manager.findDevices(0x1234, 0x0001);
  ASSERT_EQ(exact.size(), 1u);
  EXPECT_EQ(exact[0].serial, "OTHER");
  EXPECT_TRUE(manager.findDevices(0x9999, 1).empty());
  fakeftdi::setResult("find_all", -3);
  EXPECT_TRUE(manager.findDevices(0, 0).empty());
  EXPECT_EQ(fakeftdi::liveContexts(), 0);
}
