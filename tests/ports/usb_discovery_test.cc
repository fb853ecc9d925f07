#include <gtest/gtest.h>

#include "devices/fs_util.h"
#include "devices/usb_device_manager.h"
#include "sysfs_tree.h"

using tyr::usb::UsbDeviceManager;
using tyr::usb::UsbInterface;

namespace {

// An FTDI dual-channel adapter (one channel bound, one not), a hub and a stray entry.
void buildBench(portstest::SysfsTree& tree) {
  tree.addDevice("1-2", "FTDI", "FT1234", "0403", "6010");
  tree.addInterface("1-2", "1-2:1.0", "00", "ftdi_sio", "ttyUSB3", "Dual RS232-HS");
  tree.addInterface("1-2", "1-2:1.1", "01", "", "");
  mkdir((tree.devices() + "/1-2/power").c_str(), 0755);   // not an interface
  mkdir((tree.devices() + "/1-2/1-3:1.0").c_str(), 0755); // another device's name
  tree.addDevice("usb1", "Linux Foundation", "0000:00:14.0", "1d6b", "0002");
  tree.addInterface("usb1", "usb1:1.0", "00", "hub", "");
  mkdir((tree.devices() + "/1-2:1.0").c_str(), 0755);      // interfaces are not devices
}

}  // namespace

TEST(FsUtil, ReadsJoinsAndLowers) {
  portstest::TempDir dir;
  portstest::writeFile(dir.file("two"), "first\nsecond\n");
  EXPECT_EQ(tyr::fs::read_file(dir.file("two")), "firstsecond");
  EXPECT_EQ(tyr::fs::read_file(dir.file("missing")), "");
  EXPECT_EQ(tyr::fs::get_basename("/sys/bus/usb/drivers/ftdi_sio"), "ftdi_sio");
  EXPECT_EQ(tyr::fs::get_basename("plain"), "plain");
  EXPECT_EQ(tyr::fs::to_lower_case("FTDI Ltd. 42"), "ftdi ltd. 42");
}

TEST(UsbDiscovery, KeepsFilteredDevicesAndDescribesTheirInterfaces) {
  portstest::SysfsTree tree;
  buildBench(tree);
  portstest::LogCapture log;
  UsbDeviceManager manager({"ftdi"}, tree.paths());
  EXPECT_TRUE(log.has("USB: Scanning USB devices"));
  EXPECT_TRUE(log.has("USB: Found USB device 1-2"));
  EXPECT_TRUE(log.has("USB: Found USB device usb1"));
  EXPECT_FALSE(log.has("USB: Found USB device 1-2:1.0"));

  auto interfaces = manager.get_interfaces();
  ASSERT_EQ(interfaces.size(), 2u);
  std::map<std::string, tyr::usb::UsbInterfaceInfo> byName;
  for (auto& i : interfaces) byName[i->get_name()] = i->get_interface_info();
  ASSERT_EQ(byName.count("1-2:1.0"), 1u);
  ASSERT_EQ(byName.count("1-2:1.1"), 1u);
  const auto& bound = byName["1-2:1.0"];
  EXPECT_EQ(bound.interface_number, 0u);
  EXPECT_EQ(bound.driver_name, "ftdi_sio");
  EXPECT_EQ(bound.interface_description, "Dual RS232-HS");
  EXPECT_EQ(bound.manufacturer, "ftdi");
  EXPECT_EQ(bound.serial_number, "FT1234");
  EXPECT_EQ(bound.tty_usb_path, tree.devDir() + "ttyUSB3");
  const auto& unbound = byName["1-2:1.1"];
  EXPECT_EQ(unbound.interface_number, 1u);
  EXPECT_EQ(unbound.driver_name, "");
  EXPECT_EQ(unbound.tty_usb_path, "");

  auto device = manager.find_device("FT1234");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->get_vendor_id(), "0403");
  EXPECT_EQ(device->get_product_id(), "6010");
  EXPECT_FALSE(manager.find_device("0000:00:14.0"));  // the hub was dropped
}

TEST(UsbDiscovery, PrintsEachInterfaceBetweenSeparators) {
  portstest::SysfsTree tree;
  tree.addDevice("1-2", "FTDI", "FT1");
  tree.addInterface("1-2", "1-2:1.0", "00", "ftdi_sio", "ttyUSB0", "Port A");
  portstest::LogCapture log;
  UsbDeviceManager manager({"ftdi"}, tree.paths());
  std::vector<std::string> expected = {
      "USB: Scanning USB devices",     "USB: Found USB device 1-2",
      "USB: ===============================",
      "USB: Interface Path: 1-2:1.0",  "USB: Serial Number: FT1",
      "USB: Interface Number: 0",      "USB: Description: Port A",
      "USB: Manufacturer: ftdi",       "USB: Serial Port: " + tree.devDir() + "ttyUSB0",
      "USB: ===============================",
  };
  EXPECT_EQ(log.lines(), expected);
}

TEST(UsbDiscovery, EmptyFilterOrMissingTreeKeepsNothing) {
  portstest::SysfsTree tree;
  buildBench(tree);
  portstest::LogCapture log;
  UsbDeviceManager none({}, tree.paths());
  EXPECT_TRUE(none.get_interfaces().empty());
  EXPECT_FALSE(log.has("USB: ==============================="));
  auto paths = tree.paths();
  paths.devicesPath = tree.root() + "/nowhere";
  UsbDeviceManager missing({"ftdi"}, paths);
  EXPECT_TRUE(missing.get_interfaces().empty());
}

TEST(UsbDiscovery, MissingInterfaceNumberReadsZero) {
  portstest::SysfsTree tree;
  std::string dir = tree.addInterface("", "x:1.0", "", "", "");
  UsbInterface interface("x:1.0", dir, "ftdi", "S", tree.paths());
  EXPECT_EQ(interface.get_interface_info().interface_number, 0u);
}

TEST(UsbDiscovery, LoadDriverLeavesABoundInterfaceAlone) {
  portstest::SysfsTree tree;
  buildBench(tree);
  UsbDeviceManager manager({"ftdi"}, tree.paths());
  portstest::LogCapture log;
  EXPECT_TRUE(manager.bind_interface("FT1234", 0));
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(portstest::readFile(tree.bindFile()), "");
}

TEST(UsbDiscovery, BindsTheSerialDriverAndWaitsForTheTty) {
  portstest::SysfsTree tree;
  buildBench(tree);
  UsbDeviceManager manager({"ftdi"}, tree.paths(std::chrono::milliseconds(20)));
  auto interface = manager.find_interface("FT1234", 1);
  ASSERT_TRUE(interface);
  portstest::LogCapture log;
  std::thread driver([&] {
    // The kernel's side of the bind: the tty shows up a little later.
    portstest::waitFor([&] { return portstest::readFile(tree.bindFile()) == "1-2:1.1"; });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    tree.addTty("1-2", "1-2:1.1", "ttyUSB4");
  });
  EXPECT_TRUE(interface->load_driver());
  driver.join();
  EXPECT_EQ(portstest::readFile(tree.bindFile()), "1-2:1.1");
  auto lines = log.lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "USB: Loading driver for 1-2:1.1 (FT1234, 1)");
  EXPECT_EQ(lines[1], "USB: Successfully loaded driver");
  EXPECT_EQ(lines[2], "USB: Checking for TTY path");
  EXPECT_EQ(lines.back(), "USB: Found TTY " + tree.devDir() + "ttyUSB4");
  EXPECT_GE(log.count("USB: TTY path not found. Waiting 20ms"), 1u);
  EXPECT_EQ(interface->get_interface_info().tty_usb_path, tree.devDir() + "ttyUSB4");
}

TEST(UsbDiscovery, BindWhoseTtyNeverShowsStillSucceedsAfterTenLooks) {
  portstest::SysfsTree tree;
  buildBench(tree);
  UsbDeviceManager manager({"ftdi"}, tree.paths(std::chrono::milliseconds(1)));
  portstest::LogCapture log;
  EXPECT_TRUE(manager.bind_interface("FT1234", 1));
  EXPECT_EQ(log.count("USB: Checking for TTY path"), 10u);
  EXPECT_EQ(log.count("USB: TTY path not found. Waiting 1ms"), 10u);
}

TEST(UsbDiscovery, BindRefusals) {
  portstest::SysfsTree tree;
  buildBench(tree);
  auto paths = tree.paths();
  paths.bindPath = tree.root() + "/no/such/bind";
  UsbDeviceManager manager({"ftdi", "linux foundation"}, paths);
  portstest::LogCapture log;
  EXPECT_FALSE(manager.bind_interface("FT1234", 1));
  EXPECT_TRUE(log.has("USB: Failed to open bind attribute from sysfs"));
  EXPECT_FALSE(manager.bind_interface("FT1234", 7));
  EXPECT_TRUE(log.has("USB: Interface not found for the specified serial number and interface number."));
  EXPECT_FALSE(manager.find_interface("FT1234", 7));

  // A driverless interface of another maker is not bound.
  std::string dir = tree.addInterface("usb1", "usb1:1.1", "01", "", "");
  UsbInterface foreign("usb1:1.1", dir, "linux foundation", "X", paths);
  EXPECT_FALSE(foreign.load_driver());
  EXPECT_TRUE(log.has("USB: Driver already loaded or unsupported manufacturer."));
}
