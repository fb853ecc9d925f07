// One libftdi1 context: a thin wrapper with one call per operation.
#pragma once

#include <ftdi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tyr::ftdi {

struct FtdiDeviceInfo {
  std::string manufacturer;
  std::string description;
  std::string serial;
  uint32_t vendorId = 0;
  uint32_t productId = 0;
};

class FtdiLibusbDevice {
 public:
  // How long a read waits for the chip's next packet: the poll thread serves every port.
  static constexpr unsigned kPollReadTimeoutMs = 1;

  // Creates the context; throws std::runtime_error when libftdi1 cannot make one.
  FtdiLibusbDevice();
  ~FtdiLibusbDevice();

  FtdiLibusbDevice(const FtdiLibusbDevice&) = delete;
  FtdiLibusbDevice& operator=(const FtdiLibusbDevice&) = delete;

  ftdi_context* get_context() { return context; }
  bool is_open() const { return opened; }

  // Opens the index-th device matching the ids (and the strings, when not empty).
  int open(int vendor, int product, const std::string& description, const std::string& serial, unsigned index);
  // Closes an open device; 0 without a call when it is not open.
  int close();
  int reset();
  int set_interface(ftdi_interface interface);
  int set_baud_rate(int baud);
  int set_line_property(ftdi_bits_type bits, ftdi_stopbits_type stopBits, ftdi_parity_type parity);
  // Takes what the chip has, packet by packet, while a whole packet fits the buffer; waits at
  // most kPollReadTimeoutMs for each. Bytes read (0 when nothing is waiting), negative on error.
  int read(unsigned char* buffer, int size);
  // Sends the bytes in the chip's chunks. Bytes written; when a transfer fails, the bytes that went
  // out before it, or its libusb code when none did (-666 without a device). last_write_error()
  // tells the failed transfer's code (0 when none failed).
  int write(const unsigned char* buffer, int size);
  int last_write_error() const { return writeError; }
  int set_bitmode(unsigned char bitmask, unsigned char mode);
  // The attached devices with these ids (FTDI's default ids when both are 0).
  std::vector<FtdiDeviceInfo> find_devices(unsigned vendor, unsigned product);

 private:
  bool opened = false;
  ftdi_context* context = nullptr;
  int writeError = 0;
};

}  // namespace tyr::ftdi
