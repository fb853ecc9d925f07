// A tty device used as a byte-stream port, configured through termios.
#pragma once

#include <cstdint>
#include <string>

#include "devices/io_port.h"

namespace tyr::serialport {

class SerialPort : public ioport::IoPort {
 public:
  SerialPort();
  ~SerialPort() override;

  int write(const uint8_t* buffer, int size) override;
  bool setBaudRate(int baud) override;
  bool setParity(ioport::Parity parity) override;
  // Yields nothing until a baud rate has been set.
  int readRaw(uint8_t* buffer, int size) override;
  void close() override;
  bool isOpenUnsafe() override;

  // Opens the tty raw (8N1, no flow control, no echo); false with errno as error code. A path
  // that is not a terminal is refused (ENOTTY).
  virtual bool open(const std::string& devicePath);
  // "OK" or the system's text for the error code.
  std::string getErrorCodeString();
  // Writes the bytes in one write; throws std::runtime_error with the reason (the system's text,
  // or how many bytes the port took) when the port does not take all of them.
  void writeAll(const std::string& bytes);

 private:
  int writeUnsafe(const uint8_t* buffer, int size);

  int fd = -1;
  bool configured = false;
};

}  // namespace tyr::serialport
