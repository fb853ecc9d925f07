#include "devices/ftdi_device_manager.h"

#include <cstdio>
#include <stdexcept>

#include "utility/log_line.h"

namespace tyr::ftdi {

FtdiDeviceManager::FtdiDeviceManager(std::shared_ptr<threading::PollableManager> pollableManager)
    : devices(std::move(pollableManager)) {}

bool FtdiDeviceManager::isValidDeviceIndex(uint32_t devIdx) { return devices.isValid(devIdx); }

std::shared_ptr<FtdiDevice> FtdiDeviceManager::getDevice(uint32_t devIdx) { return devices.get(devIdx); }

std::shared_ptr<ioport::IoPort> FtdiDeviceManager::getIoPortDevice(uint32_t devIdx) { return getDevice(devIdx); }

std::vector<FtdiDeviceInfo> FtdiDeviceManager::findDevices(uint32_t vendor, uint32_t product) {
  FtdiLibusbDevice lister;
  return lister.find_devices(vendor, product);
}

std::string FtdiDeviceManager::getErrorMessage(int errorCode) {
  switch (errorCode) {
    case -1: return "usb_find_busses() failed";
    case -2: return "usb_find_devices() failed";
    case -3: return "usb device not found";
    case -4: return "unable to open device";
    case -5: return "unable to claim device";
    case -6: return "reset failed";
    case -7: return "set baudrate failed";
    case -8: return "get product description failed";
    case -9: return "get serial number failed";
    case -10: return "unable to close device";
    case -11: return "ftdi context invalid";
    case -12: return "libusb_get_device_list() failed";
    default: return "FTDI Open Error";
  }
}

uint32_t FtdiDeviceManager::openDevice(uint32_t vendor, uint32_t product, ftdi_interface interface,
                                       const std::string& description, const std::string& serial,
                                       uint32_t pollingIntervalMs) {
  auto device = std::make_shared<FtdiDevice>(static_cast<int>(pollingIntervalMs));
  int result = device->open(vendor, product, interface, description, serial);
  if (result < 0) {
    kyt::LogLine("FTDI: failed to open a device");
    bool badInterface = device->interfaceRejected();
    device.reset();
    if (badInterface) throw std::runtime_error("invalid interface " + std::to_string(static_cast<int>(interface)));
    throw std::runtime_error(getErrorMessage(result));
  }

  uint32_t index = 0;
  if (!devices.store(device, index)) {
    kyt::LogLine("FTDI: failed to allocate a device index");
    device.reset();
    throw std::runtime_error("Unexpected Internal Error");
  }

  char ids[64];
  std::snprintf(ids, sizeof(ids), ", vendor=0x%04x, product=0x%04x", vendor, product);
  kyt::LogLine("FTDI: successfully opened device " + std::to_string(index) + ids +
          ", interface=" + std::to_string(static_cast<int>(interface)) + ", description=" + description +
          ", serial=" + serial);
  devices.startPolling(device);
  return index;
}

void FtdiDeviceManager::closeDevice(uint32_t devIdx) { devices.remove(devIdx); }

}  // namespace tyr::ftdi
