#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include "devices/serial_port_manager.h"
#include "test_support.h"

using tyr::ioport::Parity;
using tyr::serialport::SerialPort;
using tyr::serialport::SerialPortManager;

namespace {

// The settings of the terminal at path, and how many input bytes wait on it.
struct termios SlaveSettings(const std::string& path, int* pending = nullptr) {
  struct termios tty {};
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(tcgetattr(fd, &tty), 0);
  if (pending) {
    EXPECT_EQ(ioctl(fd, FIONREAD, pending), 0);
  }
  ::close(fd);
  return tty;
}

// Whether the terminal at path is in exclusive mode (which lets only root open it once more).
bool Exclusive(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno == EBUSY;
  int exclusive = 0;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  ::close(fd);
  return exclusive != 0;
}

}  // namespace

TEST(SerialPort, OnAPseudoTerminal) {
  portstest::Pty pty;
  ASSERT_FALSE(pty.slavePath().empty());
  SerialPort port;
  EXPECT_FALSE(port.setParity(Parity::Even));  // not open
  ASSERT_TRUE(port.open(pty.slavePath()));

  // The tty is raw, but its output flags stay as they were.
  struct termios tty = SlaveSettings(pty.slavePath());
  EXPECT_EQ(tty.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(tty.c_lflag, 0u);
  EXPECT_EQ(tty.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tty.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0u);
  EXPECT_NE(tty.c_oflag & OPOST, 0u);

  // Nothing is delivered until a supported baud rate is set, which discards what was pending.
  pty.send("early");
  ASSERT_TRUE(portstest::waitFor([&] {
    int pending = 0;
    SlaveSettings(pty.slavePath(), &pending);
    return pending == 5;
  }));
  port.poll();
  EXPECT_EQ(port.read(0), "");
  EXPECT_FALSE(port.setBaudRate(4800));
  // Every speed the port accepts is the speed the terminal gets.
  const std::pair<int, speed_t> speeds[] = {{9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
                                            {115200, B115200}};
  for (const auto& [baud, speed] : speeds) {
    EXPECT_TRUE(port.setBaudRate(baud));
    tty = SlaveSettings(pty.slavePath());
    EXPECT_EQ(cfgetospeed(&tty), speed) << baud;
    EXPECT_EQ(cfgetispeed(&tty), speed) << baud;
  }
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

  // A pseudo-terminal keeps no parity flag (enabling it may even be refused), so only "none" is sure to apply here.
  EXPECT_TRUE(port.setParity(Parity::None));
  EXPECT_FALSE(port.setParity(static_cast<Parity>(5)));
  port.close();
  port.close();
  EXPECT_FALSE(port.setBaudRate(9600));  // no descriptor: attributes cannot be read
}

TEST(SerialPort, OpenFailuresAndDevicesThatAreNoTerminal) {
  SerialPort missing;
  EXPECT_FALSE(missing.open("/dev/kyt-no-such-tty"));
  EXPECT_EQ(missing.getErrorCode(), ENOENT);
  EXPECT_EQ(missing.getErrorCodeString(), std::strerror(ENOENT));
  SerialPort port;
  EXPECT_FALSE(port.open("/dev/null"));
  EXPECT_EQ(port.getErrorCode(), ENOTTY);
  EXPECT_FALSE(port.setParity(Parity::None));
  uint8_t buffer[8];
  EXPECT_EQ(port.readRaw(buffer, sizeof(buffer)), 0);  // never configured
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
  {
    SerialPortManager manager(usb, poller);
    EXPECT_THROW(manager.openDevice("", "", 3), std::runtime_error);
    EXPECT_THROW(manager.openDevice("", "NOBODY", 3), std::runtime_error);
    EXPECT_THROW(manager.openDevice("/dev/kyt-no-such-tty", "", 3), std::runtime_error);
    EXPECT_EQ(poller->count(), 0u);
    EXPECT_EQ(manager.openDevice(ptyA.slavePath(), "", 0), 0u);  // nothing was taken
    EXPECT_EQ(manager.openDevice(ptyA.slavePath(), "ignored", 5), 0u);
    EXPECT_EQ(manager.openDevice(ptyB.slavePath(), "", 0), 1u);
    EXPECT_EQ(poller->count(), 2u);
    manager.closeDevice(0);
    uint32_t found = 99;
    EXPECT_FALSE(manager.findDeviceIdFromDevicePath(ptyA.slavePath(), found));
    EXPECT_THROW(manager.closeDevice(0), std::runtime_error);
    EXPECT_EQ(manager.openDevice(ptyA.slavePath(), "", 0), 0u);
  }
  EXPECT_EQ(poller->count(), 0u);
}

TEST_F(SerialManagerTest, ListsBoundInterfacesAndOpensBySerialNumberBindingTheDriverWhenNeeded) {
  SerialPortManager manager(usb, poller);
  auto list = manager.findDevices();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].interfaceNumber, 0u);
  EXPECT_EQ(list[0].devicePath, tree.devDir() + "ttyUSB0");
  EXPECT_EQ(list[0].serial, "PMU42");
  EXPECT_EQ(manager.openDevice("", "PMU42", 0), 0u);
  EXPECT_EQ(portstest::readFile(tree.bindFile()), "");
  EXPECT_EQ(manager.openDevice("", "PMU42", 1), 1u);
  EXPECT_EQ(portstest::readFile(tree.bindFile()), "1-4:1.1");
  uint32_t index = 99;
  EXPECT_TRUE(manager.findDeviceIdFromSerial("PMU42", 1, index));
  EXPECT_EQ(index, 1u);
  EXPECT_FALSE(manager.findDeviceIdFromSerial("PMU42", 7, index));
  // The port works end to end through the link.
  auto port = manager.getDevice(1);
  ASSERT_TRUE(port->setBaudRate(9600));
  ptyB.send("pong\n");
  EXPECT_TRUE(portstest::waitFor([&] { return port->bufferedRead() == "pong\n"; }));
}

// A write goes out whole or says how far it got: the port takes what it can, waits while the far end drains, and
// gives up once nothing more goes in for the stall time-out.
TEST(SerialPort, WritesGoOutWholeOrSayHowFarTheyGot) {
  portstest::Pty pty;  // nobody drains the far end
  SerialPort port;
  ASSERT_TRUE(port.open(pty.slavePath()));
  ASSERT_TRUE(port.setBaudRate(115200));
  port.setWriteStallTimeout(std::chrono::milliseconds(50));
  const std::string big(1 << 20, 'x');
  const std::string error = portstest::errorOf([&] { port.writeAll(big); });
  EXPECT_EQ(error.rfind("the port took only ", 0), 0u) << error;
  EXPECT_NE(error.find(" of 1048576 bytes: the port took no data for 50 ms"), std::string::npos) << error;
  const int written = port.write(reinterpret_cast<const uint8_t*>(big.data()), static_cast<int>(big.size()));
  EXPECT_GE(written, 0);
  EXPECT_LT(written, static_cast<int>(big.size()));
}

// A terminal is read by one port at a time, or its lines would be split between them: a second port on it, under the
// same path or another, of another manager or another process, is refused (and programs without root by the
// terminal's exclusive mode). A closed port gives its line up even while a holder keeps the object.
TEST_F(SerialManagerTest, ATerminalIsTakenByOnePortAtATime) {
  SerialPortManager manager(usb, poller), other(usb, poller);
  const std::string link = tree.devDir() + "ttyUSB0";  // leads to ptyA
  const uint32_t index = manager.openDevice(ptyA.slavePath(), "", 0);
  EXPECT_TRUE(Exclusive(ptyA.slavePath()));
  const std::string busy = std::string(". Error: ") + std::strerror(EBUSY);
  EXPECT_EQ(portstest::errorOf([&] { manager.openDevice(link, "", 0); }),
            "Failed to open serial port device at " + link + busy);
  EXPECT_EQ(portstest::errorOf([&] { other.openDevice(ptyA.slavePath(), "", 0); }),
            "Failed to open serial port device at " + ptyA.slavePath() + busy);
  auto holder = manager.getDevice(index);  // a write in flight, say
  manager.closeDevice(index);
  EXPECT_FALSE(Exclusive(ptyA.slavePath()));
  EXPECT_EQ(other.openDevice(link, "", 0), 0u);
}

// A hung-up line: what arrived before is handed out, then reads fail saying so; opening its path again gives a new
// port instead of the dead one.
TEST_F(SerialManagerTest, AHungUpPortFailsItsReadsAndIsReplacedWhenItsPathIsOpenedAgain) {
  SerialPortManager manager(usb, poller);
  const std::string path = tree.devDir() + "ttyUSB0";
  const uint32_t index = manager.openDevice(path, "", 0);
  auto port = manager.getDevice(index);
  ASSERT_TRUE(port->setBaudRate(115200));
  ptyA.send("bye");
  ASSERT_TRUE(portstest::waitFor([&] { return port->bufferedRead() == "bye"; }));
  ptyA.hangUp();
  ASSERT_TRUE(portstest::waitFor([&] { return port->isGone(); }));
  EXPECT_EQ(port->read(0), "bye");
  EXPECT_EQ(portstest::errorOf([&] { port->read(0); }), "The serial port's device has hung up");
  EXPECT_EQ(port->getErrorCode(), EIO);  // for the script to ask

  portstest::Pty back;
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink(back.slavePath().c_str(), path.c_str()), 0);
  const uint32_t again = manager.openDevice(path, "", 0);
  auto fresh = manager.getDevice(again);
  EXPECT_NE(fresh, port);
  ASSERT_TRUE(fresh->setBaudRate(115200));
  back.send("hi");
  ASSERT_TRUE(portstest::waitFor([&] { return fresh->bufferedRead() == "hi"; }));
}
