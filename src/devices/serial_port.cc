#include "devices/serial_port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "devices/port_log.h"

namespace tyr::serialport {

SerialPort::SerialPort() : IoPort("SerialPort", 1) {}

SerialPort::~SerialPort() { teardown(); }

bool SerialPort::open(const std::string& devicePath) {
  portLog("SerialPort: Opening device at " + devicePath);
  int descriptor = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_SYNC);
  if (descriptor < 0) {
    errorCode = errno;
    return false;
  }
  // Only a terminal has the line settings this port relies on; anything else would swallow
  // writes and never answer.
  struct termios tty;
  if (::tcgetattr(descriptor, &tty) != 0) {
    errorCode = errno;
    portLog("SerialPort: " + devicePath + " is not a terminal");
    ::close(descriptor);
    return false;
  }
  portLog("SerialPort: Opened device. FD:" + std::to_string(descriptor));
  fd = descriptor;
  portLog("SerialPort: Setting up attributes");
  tty.c_iflag = IGNPAR;
  tty.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | CRTSCTS);
  tty.c_cflag |= CS8 | CREAD | CLOCAL;
  tty.c_lflag = 0;
  ::tcsetattr(fd, TCSANOW, &tty);
  return true;
}

int SerialPort::readRaw(uint8_t* buffer, int size) {
  if (!configured) return 0;
  return static_cast<int>(::read(fd, buffer, static_cast<size_t>(size)));
}

int SerialPort::write(const uint8_t* buffer, int size) {
  std::lock_guard<std::mutex> lock(mutex);
  return writeUnsafe(buffer, size);
}

int SerialPort::writeUnsafe(const uint8_t* buffer, int size) {
  int result = static_cast<int>(::write(fd, buffer, static_cast<size_t>(size)));
  errorCode = result == -1 ? errno : 0;
  return result;
}

void SerialPort::writeAll(const std::string& bytes) {
  int written;
  int error;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd == -1) throw std::runtime_error("the serial port is closed");
    written = writeUnsafe(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
    error = errorCode;
  }
  if (written < 0) throw std::runtime_error(std::strerror(error));
  if (written != static_cast<int>(bytes.size())) {
    throw std::runtime_error("the port took only " + std::to_string(written) + " of " + std::to_string(bytes.size()) +
                             " bytes");
  }
}

bool SerialPort::setBaudRate(int baud) {
  std::lock_guard<std::mutex> lock(mutex);
  portLog("SerialPort: Setting baud rate to " + std::to_string(baud));
  struct termios tty;
  std::memset(&tty, 0, sizeof(tty));
  if (::tcgetattr(fd, &tty) != 0) {
    portLog("SerialPort: Error getting serial port attributes.");
    return false;
  }
  speed_t speed;
  switch (baud) {
    case 9600: speed = B9600; break;
    case 19200: speed = B19200; break;
    case 38400: speed = B38400; break;
    case 57600: speed = B57600; break;
    case 115200: speed = B115200; break;
    default:
      portLog("SerialPort: Unsupported baud rate " + std::to_string(baud));
      return false;
  }
  ::cfsetospeed(&tty, speed);
  ::cfsetispeed(&tty, speed);
  ::tcflush(fd, TCIOFLUSH);
  if (::tcsetattr(fd, TCSANOW, &tty) != 0) {
    portLogError("SerialPort: Error setting serial port attributes.");
    return false;
  }
  configured = true;
  return true;
}

bool SerialPort::setParity(ioport::Parity parity) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!isOpenUnsafe()) return false;
  struct termios tty;
  std::memset(&tty, 0, sizeof(tty));
  if (::tcgetattr(fd, &tty) != 0) return false;
  tty.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
  switch (parity) {
    case ioport::Parity::Odd:
      tty.c_cflag |= PARENB | PARODD;
      portLog("SerialPort: setting parity to odd parity");
      break;
    case ioport::Parity::None:
      portLog("SerialPort: setting parity to no parity");
      break;
    case ioport::Parity::Even:
      tty.c_cflag |= PARENB;
      portLog("SerialPort: setting parity to even parity");
      break;
    default:
      portLog("SerialPort: invalid parity");
      return false;
  }
  ::tcflush(fd, TCIOFLUSH);
  return ::tcsetattr(fd, TCSANOW, &tty) == 0;
}

void SerialPort::close() {
  std::lock_guard<std::mutex> lock(mutex);
  if (fd == -1) {
    portLog("SerialPort: Device not found when closing an serial port device");
    return;
  }
  portLog("SerialPort: Closing Device");
  int result = ::close(fd);
  int error = errno;
  if (result == -1)
    portLog("SerialPort: Error while closing an serial port device. Error: " + std::to_string(error));
  else
    portLog("SerialPort: Successfully closed an serial port device");
  fd = -1;
  errorCode = result == -1 ? error : 0;
}

bool SerialPort::isOpenUnsafe() { return fd != -1; }

std::string SerialPort::getErrorCodeString() {
  std::lock_guard<std::mutex> lock(mutex);
  if (errorCode == 0) return "OK";
  return std::strerror(errorCode);
}

}  // namespace tyr::serialport
