#include <gtest/gtest.h>

#include <map>

#include "devices/usb_device_manager.h"
#include "test_support.h"

using portstest::LogCapture;
using portstest::readFile;
using tyr::usb::UsbDeviceManager;

namespace {

// An FTDI dual-channel adapter (one channel bound, one not), a hub and stray entries.
class UsbDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.addDevice("1-2", "FTDI", "FT1234", "0403", "6010");
    tree.addInterface("1-2", "1-2:1.0", "00", "ftdi_sio", "ttyUSB3", "Dual RS232-HS");
    tree.addInterface("1-2", "1-2:1.1", "01", "", "");
    mkdir((tree.devices() + "/1-2/power").c_str(), 0755);    // not an interface
    mkdir((tree.devices() + "/1-2/1-3:1.0").c_str(), 0755);  // another device's name
    tree.addDevice("usb1", "Linux Foundation", "0000:00:14.0", "1d6b", "0002");
    tree.addInterface("usb1", "usb1:1.0", "00", "hub", "");
    mkdir((tree.devices() + "/1-2:1.0").c_str(), 0755);  // interfaces are not devices
  }
  portstest::SysfsTree tree;
};

}  // namespace

TEST_F(UsbDiscovery, KeepsFilteredDevicesAndDescribesTheirInterfaces) {
  UsbDeviceManager manager({"ftdi"}, tree.paths());
  std::map<std::string, std::string> described;
  for (auto& i : manager.get_interfaces()) {
    auto info = i->get_interface_info();
    described[i->get_name()] = std::to_string(info.interface_number) + "|" + info.driver_name + "|" +
                               info.interface_description + "|" + info.manufacturer + "|" + info.serial_number +
                               "|" + info.tty_usb_path;
  }
  std::map<std::string, std::string> expected = {
      {"1-2:1.0", "0|ftdi_sio|Dual RS232-HS|ftdi|FT1234|" + tree.devDir() + "ttyUSB3"},
      {"1-2:1.1", "1|||ftdi|FT1234|"}};
  EXPECT_EQ(described, expected);
  auto device = manager.find_device("FT1234");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->get_vendor_id(), "0403");
  EXPECT_EQ(device->get_product_id(), "6010");
  EXPECT_FALSE(manager.find_device("0000:00:14.0"));  // the hub was dropped
  // An empty filter or a missing tree keeps nothing.
  EXPECT_TRUE(UsbDeviceManager({}, tree.paths()).get_interfaces().empty());
  auto paths = tree.paths();
  paths.devicesPath = tree.root() + "nowhere";
  EXPECT_TRUE(UsbDeviceManager({"ftdi"}, paths).get_interfaces().empty());
}

TEST_F(UsbDiscovery, BindsTheSerialDriverAndWaitsForTheTty) {
  UsbDeviceManager manager({"ftdi"}, tree.paths(std::chrono::milliseconds(20)));
  auto interface = manager.find_interface("FT1234", 1);
  ASSERT_TRUE(interface);
  LogCapture log;
  std::thread kernel([&] {  // the kernel's side of the bind: the tty shows up once the driver has looked for it
    portstest::waitFor([&] { return log.has("USB: TTY path not found. Waiting 20ms"); });
    mkdir((tree.devices() + "/1-2/1-2:1.1/ttyUSB4").c_str(), 0755);
  });
  EXPECT_TRUE(interface->load_driver());
  kernel.join();
  EXPECT_EQ(readFile(tree.bindFile()), "1-2:1.1");
  EXPECT_EQ(interface->get_interface_info().tty_usb_path, tree.devDir() + "ttyUSB4");
}

TEST_F(UsbDiscovery, BindIsSkippedWhenBoundEndsAfterTenLooksForTheTtyOrIsRefused) {
  UsbDeviceManager bench({"ftdi"}, tree.paths(std::chrono::milliseconds(1)));
  LogCapture log;
  EXPECT_TRUE(bench.bind_interface("FT1234", 0));
  EXPECT_EQ(readFile(tree.bindFile()), "");
  EXPECT_TRUE(bench.bind_interface("FT1234", 1));  // the tty never shows: still a success
  EXPECT_EQ(log.count("USB: TTY path not found. Waiting 1ms"), 10u);
  auto paths = tree.paths();
  paths.bindPath = tree.root() + "no/such/bind";
  UsbDeviceManager manager({"ftdi", "linux foundation"}, paths);
  EXPECT_FALSE(manager.bind_interface("FT1234", 1));
  EXPECT_FALSE(manager.bind_interface("FT1234", 7));
  // A driverless interface of another maker is not bound.
  std::string dir = tree.addInterface("usb1", "usb1:1.1", "01", "", "");
  EXPECT_FALSE(tyr::usb::UsbInterface("usb1:1.1", dir, "linux foundation", "X", paths).load_driver());
}
