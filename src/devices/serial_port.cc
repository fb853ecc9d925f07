#include "devices/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "utility/log_line.h"

namespace tyr::serialport {

SerialPort::SerialPort() : IoPort("SerialPort", 1) {}

SerialPort::~SerialPort() { teardown(); }

bool SerialPort::open(const std::string& devicePath) {
  kyt::LogLine("SerialPort: Opening device at " + devicePath);
  // One owner per line: a second reader would take half of what the device sends. Another program's open is refused
  // by the terminal's exclusive mode (TIOCEXCL, which binds all but root); the lock refuses another port on it, root's
  // or this process's through another path, as the lock goes with each open.
  const auto busy = [&devicePath] {
    kyt::LogLine("SerialPort: " + devicePath + " is open elsewhere: in another process, or under another path");
  };
  int descriptor = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_SYNC);
  if (descriptor < 0) {
    errorCode = errno;
    if (errno == EBUSY) busy();
    return false;
  }
  // Only a terminal has the line settings this port relies on; anything else would swallow
  // writes and never answer.
  struct termios tty;
  if (::tcgetattr(descriptor, &tty) != 0) {
    errorCode = errno;
    kyt::LogLine("SerialPort: " + devicePath + " is not a terminal");
    ::close(descriptor);
    return false;
  }
  if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    errorCode = errno == EWOULDBLOCK ? EBUSY : errno;
    if (errorCode == EBUSY) busy();
    ::close(descriptor);
    return false;
  }
  ::ioctl(descriptor, TIOCEXCL);
  kyt::LogLine("SerialPort: Opened device. FD:" + std::to_string(descriptor));
  fd = descriptor;
  kyt::LogLine("SerialPort: Setting up attributes");
  tty.c_iflag = IGNPAR;
  tty.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | CRTSCTS);
  tty.c_cflag |= CS8 | CREAD | CLOCAL;
  tty.c_lflag = 0;
  // Reads never wait (the port is non-blocking) and end-of-file means the far end hung up.
  tty.c_cc[VMIN] = 1;
  tty.c_cc[VTIME] = 0;
  ::tcsetattr(fd, TCSANOW, &tty);
  return true;
}

void SerialPort::releaseLine() {
  std::lock_guard<std::mutex> lock(mutex);
  if (fd == -1) return;
  ::ioctl(fd, TIOCNXCL);
  ::flock(fd, LOCK_UN);
}

int SerialPort::readRaw(uint8_t* buffer, int size) {
  if (!configured || fd == -1) return 0;
  const ssize_t n = ::read(fd, buffer, static_cast<size_t>(size));
  if (n > 0) return static_cast<int>(n);
  // A non-blocking terminal read gives end-of-file only once the line has hung up (device unplugged, far end
  // closed); nothing will come any more. EIO says the same while the hang-up is still under way: the far end has
  // gone, the line is not hung up yet.
  if (n == 0 || errno == EIO) {
    markGone("The serial port's device has hung up", EIO);  // what a write to the hung-up line fails with
    return -1;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  markGone(std::string("Reading the serial port failed: ") + std::strerror(errno), errno);
  return -1;
}

int SerialPort::write(const uint8_t* buffer, int size) {
  int written = 0;
  std::string reason;
  writeAllOrStall(buffer, size, written, reason);
  if (written < size) {
    kyt::LogLine("SerialPort: wrote " + std::to_string(written) + " of " + std::to_string(size) + " bytes: " + reason);
  }
  if (written == 0 && size > 0 && !reason.empty() && getErrorCode() != 0) return -1;
  return written;
}

bool SerialPort::writeAllOrStall(const uint8_t* buffer, int size, int& written, std::string& reason) {
  written = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  for (;;) {
    int descriptor;
    std::chrono::milliseconds stallLimit;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (fd == -1) {
        errorCode = EBADF;
        reason = "the serial port is closed";
        return false;
      }
      const ssize_t n = ::write(fd, buffer + written, static_cast<size_t>(size - written));
      if (n > 0) {
        written += static_cast<int>(n);
        lastProgress = std::chrono::steady_clock::now();
        errorCode = 0;
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        errorCode = errno;
        reason = std::strerror(errno);
        return false;
      }
      if (written == size) {
        errorCode = 0;
        return true;
      }
      descriptor = fd;
      stallLimit = writeStallTimeout;
    }
    // The port's lock is free while it drains, so that the poll thread goes on reading.
    if (std::chrono::steady_clock::now() - lastProgress >= stallLimit) {
      reason = "the port took no data for " + std::to_string(stallLimit.count()) + " ms";
      return false;
    }
    pollfd ready{descriptor, POLLOUT, 0};
    ::poll(&ready, 1, 10);
  }
}

void SerialPort::setWriteStallTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(mutex);
  writeStallTimeout = timeout;
}

void SerialPort::writeAll(const std::string& bytes) {
  int written = 0;
  std::string reason;
  if (writeAllOrStall(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()), written,
                      reason)) {
    return;
  }
  if (written == 0) throw std::runtime_error(reason);
  throw std::runtime_error("the port took only " + std::to_string(written) + " of " + std::to_string(bytes.size()) +
                           " bytes: " + reason);
}

bool SerialPort::setBaudRate(int baud) {
  std::lock_guard<std::mutex> lock(mutex);
  kyt::LogLine("SerialPort: Setting baud rate to " + std::to_string(baud));
  struct termios tty;
  std::memset(&tty, 0, sizeof(tty));
  if (::tcgetattr(fd, &tty) != 0) {
    kyt::LogLine("SerialPort: Error getting serial port attributes.");
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
      kyt::LogLine("SerialPort: Unsupported baud rate " + std::to_string(baud));
      return false;
  }
  ::cfsetospeed(&tty, speed);
  ::cfsetispeed(&tty, speed);
  ::tcflush(fd, TCIOFLUSH);
  if (::tcsetattr(fd, TCSANOW, &tty) != 0) {
    kyt::LogErrorLine("SerialPort: Error setting serial port attributes.");
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
      kyt::LogLine("SerialPort: setting parity to odd parity");
      break;
    case ioport::Parity::None:
      kyt::LogLine("SerialPort: setting parity to no parity");
      break;
    case ioport::Parity::Even:
      tty.c_cflag |= PARENB;
      kyt::LogLine("SerialPort: setting parity to even parity");
      break;
    default:
      kyt::LogLine("SerialPort: invalid parity");
      return false;
  }
  ::tcflush(fd, TCIOFLUSH);
  return ::tcsetattr(fd, TCSANOW, &tty) == 0;
}

void SerialPort::close() {
  std::lock_guard<std::mutex> lock(mutex);
  if (fd == -1) {
    kyt::LogLine("SerialPort: Device not found when closing an serial port device");
    return;
  }
  kyt::LogLine("SerialPort: Closing Device");
  int result = ::close(fd);
  int error = errno;
  if (result == -1)
    kyt::LogLine("SerialPort: Error while closing an serial port device. Error: " + std::to_string(error));
  else
    kyt::LogLine("SerialPort: Successfully closed an serial port device");
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
