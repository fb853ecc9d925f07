#include "devices/ftdi_device.h"

#include <libusb.h>

#include "utility/log_line.h"

namespace tyr::ftdi {

namespace {
// Why a port whose chip was unplugged can no longer be used: it never comes back under this handle.
std::string goneReason() { return std::string("The FTDI device is gone: ") + libusb_strerror(LIBUSB_ERROR_NO_DEVICE); }
}  // namespace

FtdiDevice::FtdiDevice(int pollingIntervalMs)
    : IoPort("FTDI", pollingIntervalMs), device(std::make_unique<FtdiLibusbDevice>()) {}

FtdiDevice::~FtdiDevice() {
  teardown();
  device.reset();
}

int FtdiDevice::open(uint32_t vendor, uint32_t product, ftdi_interface interface, const std::string& description,
                     const std::string& serial) {
  interfaceSelectFailed = false;
  // Opening some other channel than the one asked for would be worse than failing.
  int result = device->set_interface(interface);
  if (result < 0) {
    interfaceSelectFailed = true;
    kyt::LogLine("FTDI: failed to select interface " + std::to_string(static_cast<int>(interface)));
  } else {
    result = device->open(static_cast<int>(vendor), static_cast<int>(product), description, serial, 0);
  }
  errorCode = result < 0 ? result : 0;
  return result < 0 ? result : 0;
}

int FtdiDevice::readRaw(uint8_t* buffer, int size) {
  if (!device) return 0;
  const int n = device->read(buffer, size);
  if (n == LIBUSB_ERROR_NO_DEVICE) markGone(goneReason(), n);
  return n;
}

int FtdiDevice::write(const uint8_t* buffer, int size) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!device) {
    errorCode = -1;
    return -1;
  }
  const int result = device->write(buffer, size);
  // The failed transfer's code, also for a write cut short, whose result is the count that went out.
  errorCode = device->last_write_error();
  if (errorCode == LIBUSB_ERROR_NO_DEVICE) markGone(goneReason(), errorCode);
  return result;
}

bool FtdiDevice::setBaudRate(int baud) {
  std::lock_guard<std::mutex> lock(mutex);
  kyt::LogLine("FTDI: setting Baud Rate to " + std::to_string(baud));
  if (!device) return false;
  int result = device->set_baud_rate(baud);
  errorCode = result;
  return result >= 0;
}

bool FtdiDevice::setParity(ioport::Parity parity) {
  std::lock_guard<std::mutex> lock(mutex);
  switch (parity) {
    case ioport::Parity::Odd:
      kyt::LogLine("FTDI: setting parity to odd parity");
      break;
    case ioport::Parity::None:
      kyt::LogLine("FTDI: setting parity to no parity");
      break;
    case ioport::Parity::Even:
      kyt::LogLine("FTDI: setting parity to even parity");
      break;
    default:
      kyt::LogLine("FTDI: invalid parity");
      return false;
  }
  if (!device) return false;
  return device->set_line_property(BITS_8, STOP_BIT_1, static_cast<ftdi_parity_type>(parity)) >= 0;
}

bool FtdiDevice::setBitmode(uint8_t bitmask, uint8_t mode) {
  std::lock_guard<std::mutex> lock(mutex);
  kyt::LogLine("FTDI: setting bitmode. bitmask: " + std::to_string(bitmask) + ", mode: " + std::to_string(mode));
  if (!device) return false;
  return device->set_bitmode(bitmask, mode) >= 0;
}

void FtdiDevice::close() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!device) {
    kyt::LogLine("FTDI: device not found when closing an FTDI device");
    return;
  }
  kyt::LogLine("FTDI: closing Device");
  int result = device->close();
  device.reset();
  if (result < 0)
    kyt::LogLine("FTDI: error while closing an FTDI device. Error: " + std::to_string(result));
  else
    kyt::LogLine("FTDI: successfully closed an FTDI device");
  errorCode = result <= 0 ? result : 0;
}

bool FtdiDevice::isOpenUnsafe() { return static_cast<bool>(device); }

}  // namespace tyr::ftdi
