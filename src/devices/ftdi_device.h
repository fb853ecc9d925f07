// One FTDI channel used as a byte-stream port.
#pragma once

#include <ftdi.h>

#include <cstdint>
#include <memory>
#include <string>

#include "devices/ftdi_libusb_device.h"
#include "devices/io_port.h"

namespace tyr::ftdi {

class FtdiDevice : public ioport::IoPort {
 public:
  explicit FtdiDevice(int pollingIntervalMs);
  ~FtdiDevice() override;

  int write(const uint8_t* buffer, int size) override;
  bool setBaudRate(int baud) override;
  bool setParity(ioport::Parity parity) override;
  int readRaw(uint8_t* buffer, int size) override;
  void close() override;
  bool isOpenUnsafe() override;

  // Selects the channel and opens the first matching device. 0 on success, libftdi1's
  // negative code otherwise (also stored as the error code). Takes no lock: it runs before
  // the device is registered with the poll thread.
  virtual int open(uint32_t vendor, uint32_t product, ftdi_interface interface, const std::string& description,
                   const std::string& serial);
  // True when the last open failed because the channel could not be selected.
  bool interfaceRejected() const { return interfaceSelectFailed; }

  bool setBitmode(uint8_t bitmask, uint8_t mode);
  bool enterMpsse() { return setBitmode(0, BITMODE_MPSSE); }
  bool leaveMpsse() { return setBitmode(0, BITMODE_RESET); }

 private:
  std::unique_ptr<FtdiLibusbDevice> device;
  bool interfaceSelectFailed = false;
};

}  // namespace tyr::ftdi
