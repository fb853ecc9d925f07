// A tty device used as a byte-stream port, configured through termios.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "devices/io_port.h"

namespace tyr::serialport {

class SerialPort : public ioport::IoPort {
 public:
  SerialPort();
  ~SerialPort() override;

  // Writes all the bytes, waiting for the port to take more while it drains. Returns how many
  // went out: fewer than size when the port failed on the way or took nothing for the stall
  // time-out (the reason is logged), -1 when it failed before taking any.
  int write(const uint8_t* buffer, int size) override;
  bool setBaudRate(int baud) override;
  bool setParity(ioport::Parity parity) override;
  // Yields nothing until a baud rate has been set.
  int readRaw(uint8_t* buffer, int size) override;
  void close() override;
  bool isOpenUnsafe() override;

  // Opens the tty raw (8N1, no flow control, no echo) and takes it for this port alone; false with
  // errno as error code. A path that is not a terminal is refused (ENOTTY), a terminal that another
  // port (of any process) or another program has taken, with EBUSY.
  virtual bool open(const std::string& devicePath);
  // Gives the terminal up for others to open while this object, no longer polled, stays open for
  // the holders that still have it.
  void releaseLine();
  // "OK" or the system's text for the error code.
  std::string getErrorCodeString();
  // Writes all the bytes like write; throws std::runtime_error with the reason (the system's text,
  // or how many bytes the port took and why) when the port does not take all of them.
  void writeAll(const std::string& bytes);
  // How long a write waits for a port that takes no data (5 s unless changed).
  void setWriteStallTimeout(std::chrono::milliseconds timeout);

 private:
  // True when all bytes went out; otherwise written and reason say how far it got and why.
  bool writeAllOrStall(const uint8_t* buffer, int size, int& written, std::string& reason);

  std::chrono::milliseconds writeStallTimeout{5000};
  int fd = -1;
  bool configured = false;
};

}  // namespace tyr::serialport
