#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include "devices/serial_port_manager.h"
#include "test_support.h"

using portstest::LogCapture;
using tyr::ioport::Parity;
using tyr::serialport::SerialPort;
using tyr::serialport::SerialPortManager;

TEST(SerialPort, OnAPseudoTerminal) {
  portstest::Pty pty;
  ASSERT_FALSE(pty.slavePath().empty());
  SerialPort port;
  LogCapture log;
  port.setParity(Parity::Even);  // not open: refused without a line
  ASSERT_TRUE(port.open(pty.slavePath()));
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "SerialPort: Opening device at " + pty.slavePath());
  EXPECT_EQ(lines[1].rfind("SerialPort: Opened device. FD:", 0), 0u);
  EXPECT_EQ(lines[2], "SerialPort: Setting up attributes");

  // The tty is raw, but its output flags stay as they were.
  struct termios tty;
  int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(tcgetattr(fd, &tty), 0);
  ::close(fd);
  EXPECT_EQ(tty.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(tty.c_lflag, 0u);
  EXPECT_EQ(tty.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tty.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0u);
  EXPECT_NE(tty.c_oflag & OPOST, 0u);

  // Nothing is delivered until a supported baud rate is set, which discards what was pending.
  pty.send("early");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  port.poll();
  EXPECT_EQ(port.read(0), "");
  EXPECT_FALSE(port.setBaudRate(4800));
  EXPECT_TRUE(log.has("SerialPort: Unsupported baud rate 4800"));
  port.poll();
  EXPECT_EQ(port.read(0), "");
  EXPECT_TRUE(port.setBaudRate(115200));
  EXPECT_TRUE(log.has("SerialPort: Setting baud rate to 115200"));
  pty.send("hi\r\n");
  EXPECT_TRUE(portstest::waitFor([&] {
    port.poll();
    return port.bufferedRead() == "hi\n";
  }));
  EXPECT_EQ(port.read(0), "hi\n");

  const uint8_t bytes[] = {'a', 'b', 'c'};
  EXPECT_EQ(port.write(bytes, 3), 3);
  std::string received;
  EXPECT_TRUE(portstest::waitFor([&] { return (received += pty.take()) == "abc"; })) << received;
  EXPECT_EQ(port.getErrorCode(), 0);
  EXPECT_EQ(port.getErrorCodeString(), "OK");

  // A pseudo-terminal keeps no parity flag (enabling it may even be refused), so only
  // "none" is sure to apply here; the lines show that the other values were understood.
  EXPECT_TRUE(port.setParity(Parity::None));
  port.setParity(Parity::Even);
  port.setParity(Parity::Odd);
  for (auto text : {"no parity", "even parity", "odd parity"})
    EXPECT_TRUE(log.has(std::string("SerialPort: setting parity to ") + text)) << text;
  EXPECT_FALSE(port.setParity(static_cast<Parity>(5)));
  EXPECT_TRUE(log.has("SerialPort: invalid parity"));

  log.clear();
  port.close();
  port.close();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"SerialPort: Closing Device",
                                                   "SerialPort: Successfully closed an serial port device",
                                                   "SerialPort: Device not found when closing an serial port device"}));
  EXPECT_FALSE(port.setBaudRate(9600));  // no descriptor: attributes cannot be read
  EXPECT_TRUE(log.has("SerialPort: Error getting serial port attributes."));
}

TEST(SerialPort, OpenFailuresAndDevicesThatAreNoTerminal) {
  SerialPort missing;
  EXPECT_FALSE(missing.open("/dev/kyt-no-such-tty"));
  EXPECT_EQ(missing.getErrorCode(), ENOENT);
  EXPECT_EQ(missing.getErrorCodeString(), std::strerror(ENOENT));

  SerialPort port;
  LogCapture log;
  EXPECT_FALSE(port.open("/dev/null"));
  EXPECT_EQ(port.getErrorCode(), ENOTTY);
  EXPECT_TRUE(log.has("SerialPort: /dev/null is not a terminal"));
  EXPECT_FALSE(port.setParity(Parity::None));
  uint8_t buffer[8];
  EXPECT_EQ(port.readRaw(buffer, sizeof(buffer)), 0);  // never configured
}

TEST(SerialPort, FindStringUntilNewLine) {
  using tyr::serialport::findStringUntilNewLine;
  EXPECT_EQ(findStringUntilNewLine("version 1\nanswer=42\n", "answer="), "42");
  EXPECT_EQ(findStringUntilNewLine("answer=42", "answer="), "");
  EXPECT_EQ(findStringUntilNewLine("x\n", "missing"), "");
}

namespace {

// One FTDI adapter: interface 0 bound to the serial driver, interface 1 not yet; their
// device nodes lead to two pseudo-terminals.
class SerialManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.addDevice("1-4", "FTDI", "PMU42");
    tree.addInterface("1-4", "1-4:1.0", "00", "ftdi_sio", "ttyUSB0");
    tree.addInterface("1-4", "1-4:1.1", "01", "", "ttyUSB1");
    symlink(ptyA.slavePath().c_str(), (tree.devDir() + "ttyUSB0").c_str());
    symlink(ptyB.slavePath().c_str(), (tree.devDir() + "ttyUSB1").c_str());
    usb = std::make_shared<tyr::usb::UsbDeviceManager>(std::vector<std::string>{"ftdi"}, tree.paths());
  }

  portstest::SysfsTree tree;
  portstest::Pty ptyA, ptyB;
  std::shared_ptr<tyr::threading::PollableManager> poller = std::make_shared<tyr::threading::PollableManager>();
  std::shared_ptr<tyr::usb::UsbDeviceManager> usb;
};

}  // namespace

TEST_F(SerialManagerTest, RefusalsTakeNothingSamePathGivesTheSameIndexUntilClosedAndDestructionClosesAll) {
  LogCapture log;
  {
    SerialPortManager manager(usb, poller);
    auto message = [&](const std::string& path, const std::string& serial) {
      try {
        manager.openDevice(path, serial, 3);
      } catch (const std::runtime_error& e) {
        return std::string(e.what());
      }
      return std::string("no error");
    };
    EXPECT_EQ(message("", ""), "both devicePath and serialPort are empty");
    EXPECT_EQ(message("", "NOBODY"), "Device not found for serial NOBODY");
    EXPECT_TRUE(log.has("SerialPort: Device not found for serial NOBODY"));
    EXPECT_EQ(message("/dev/kyt-no-such-tty", ""), std::string("Failed to open serial port device at "
                                                               "/dev/kyt-no-such-tty. Error: ") + std::strerror(ENOENT));
    EXPECT_TRUE(log.has("SerialPort: Device not found when closing an serial port device"));
    EXPECT_EQ(poller->count(), 0u);

    EXPECT_EQ(manager.openDevice(ptyA.slavePath(), "", 0), 0u);  // nothing was taken
    EXPECT_TRUE(log.has("SerialPort: Successfully opened device. Device ID:0"));
    EXPECT_EQ(manager.openDevice(ptyA.slavePath(), "ignored", 5), 0u);
    EXPECT_TRUE(log.has("SerialPort: Serial port at " + ptyA.slavePath() + " is already open"));
    EXPECT_EQ(poller->count(), 1u);
    EXPECT_EQ(manager.openDevice(ptyB.slavePath(), "", 0), 1u);
    uint32_t found = 99;
    EXPECT_TRUE(manager.findDeviceIdFromDevicePath(ptyB.slavePath(), found));
    EXPECT_EQ(found, 1u);

    manager.closeDevice(0);
    found = 99;
    EXPECT_FALSE(manager.findDeviceIdFromDevicePath(ptyA.slavePath(), found));
    EXPECT_EQ(found, 99u);
    EXPECT_THROW(manager.closeDevice(0), std::runtime_error);
    EXPECT_EQ(manager.openDevice(ptyA.slavePath(), "", 0), 0u);
    EXPECT_EQ(poller->count(), 2u);
    log.clear();
  }
  EXPECT_EQ(log.count("SerialPort: Closing Device"), 2u);
  EXPECT_EQ(poller->count(), 0u);
}

TEST_F(SerialManagerTest, ListsBoundInterfacesAndOpensBySerialNumberBindingTheDriverWhenNeeded) {
  SerialPortManager manager(usb, poller);
  auto list = manager.findDevices();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].interfaceNumber, 0u);
  EXPECT_EQ(list[0].devicePath, tree.devDir() + "ttyUSB0");
  EXPECT_EQ(list[0].serial, "PMU42");

  LogCapture log;
  EXPECT_EQ(manager.openDevice("", "PMU42", 0), 0u);
  EXPECT_FALSE(log.has("SerialPort: Driver not found. Loading Driver"));
  EXPECT_EQ(manager.openDevice("", "PMU42", 1), 1u);
  EXPECT_TRUE(log.has("SerialPort: Driver not found. Loading Driver"));
  EXPECT_EQ(portstest::readFile(tree.bindFile()), "1-4:1.1");
  EXPECT_TRUE(log.has("SerialPort: Opening device at " + tree.devDir() + "ttyUSB1"));

  uint32_t index = 99;
  EXPECT_TRUE(manager.findDeviceIdFromSerial("PMU42", 0, index));
  EXPECT_EQ(index, 0u);
  EXPECT_FALSE(manager.findDeviceIdFromSerial("PMU42", 7, index));

  // The port works end to end through the link.
  auto port = manager.getDevice(1);
  ASSERT_TRUE(port->setBaudRate(9600));
  ptyB.send("pong\n");
  EXPECT_TRUE(portstest::waitFor([&] { return port->bufferedRead() == "pong\n"; }));
}
