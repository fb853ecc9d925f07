#include "devices/ftdi_libusb_device.h"

#include <libusb.h>

#include <algorithm>
#include <stdexcept>

namespace tyr::ftdi {

FtdiLibusbDevice::FtdiLibusbDevice() : context(ftdi_new()) {
  if (!context) throw std::runtime_error("ftdi context invalid");
}

FtdiLibusbDevice::~FtdiLibusbDevice() {
  if (opened) ftdi_usb_close(context);
  ftdi_free(context);
}

int FtdiLibusbDevice::open(int vendor, int product, const std::string& description, const std::string& serial,
                           unsigned index) {
  int result = ftdi_usb_open_desc_index(context, vendor, product, description.empty() ? nullptr : description.c_str(),
                                        serial.empty() ? nullptr : serial.c_str(), index);
  opened = result >= 0;
  return result;
}

int FtdiLibusbDevice::close() {
  if (!opened) return 0;
  opened = false;
  return ftdi_usb_close(context);
}

int FtdiLibusbDevice::reset() { return ftdi_usb_reset(context); }

int FtdiLibusbDevice::set_interface(ftdi_interface interface) { return ftdi_set_interface(context, interface); }

int FtdiLibusbDevice::set_baud_rate(int baud) { return ftdi_set_baudrate(context, baud); }

int FtdiLibusbDevice::set_line_property(ftdi_bits_type bits, ftdi_stopbits_type stopBits, ftdi_parity_type parity) {
  return ftdi_set_line_property(context, bits, stopBits, parity);
}

int FtdiLibusbDevice::read(unsigned char* buffer, int size) {
  if (size <= 0) return 0;
  // Ask for one byte first: the transfer that fetches it leaves the rest of the chip's
  // packet in libftdi1's read buffer, from which the second call takes it without another
  // transfer. A single large request could lose bytes already copied when a later transfer
  // of the same call fails (as it does on adapters that do not answer an empty read).
  int first = ftdi_read_data(context, buffer, 1);
  if (first <= 0) return first;
  int more = static_cast<int>(std::min<unsigned>(static_cast<unsigned>(size - 1), context->readbuffer_remaining));
  if (more <= 0) return first;
  int rest = ftdi_read_data(context, buffer + 1, more);
  return rest > 0 ? first + rest : first;
}

int FtdiLibusbDevice::write(const unsigned char* buffer, int size) { return ftdi_write_data(context, buffer, size); }

int FtdiLibusbDevice::set_bitmode(unsigned char bitmask, unsigned char mode) {
  return ftdi_set_bitmode(context, bitmask, mode);
}

std::vector<FtdiDeviceInfo> FtdiLibusbDevice::find_devices(unsigned vendor, unsigned product) {
  std::vector<FtdiDeviceInfo> result;
  ftdi_device_list* list = nullptr;
  ftdi_usb_find_all(context, &list, static_cast<int>(vendor), static_cast<int>(product));
  for (ftdi_device_list* item = list; item; item = item->next) {
    char manufacturer[512] = {0};
    char description[512] = {0};
    char serial[512] = {0};
    if (ftdi_usb_get_strings(context, item->dev, manufacturer, 512, description, 512, serial, 512) < 0) continue;
    FtdiDeviceInfo info;
    info.manufacturer = manufacturer;
    info.description = description;
    info.serial = serial;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(item->dev, &descriptor) == 0) {
      info.vendorId = descriptor.idVendor;
      info.productId = descriptor.idProduct;
    }
    result.push_back(std::move(info));
  }
  if (list) ftdi_list_free(&list);
  return result;
}

}  // namespace tyr::ftdi
