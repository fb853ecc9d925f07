#include "devices/ftdi_libusb_device.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>
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
  if (!opened) return -666;  // libftdi1's code for a context without a device
  // One USB packet per transfer: each packet starts with the chip's two status bytes, and a
  // transfer ends with its packet or, at the latest, after kPollReadTimeoutMs. Bytes received
  // are kept even when a transfer fails or times out; adapters that do not answer an empty
  // read (QEMU's FT232 lets the transfer time out instead of sending a status packet) would
  // otherwise cost the bytes fetched before. libftdi1's own read waits its 5 s time-out there.
  unsigned char packet[512];
  const int packetSize = static_cast<int>(std::min<unsigned>(context->max_packet_size, sizeof(packet)));
  int total = 0;
  while (packetSize > 2 && size - total >= packetSize - 2) {
    int received = 0;
    const int result =
        libusb_bulk_transfer(context->usb_dev, static_cast<unsigned char>(context->out_ep), packet, packetSize,
                             &received, kPollReadTimeoutMs);
    if (received > 2) {
      std::memcpy(buffer + total, packet + 2, static_cast<size_t>(received - 2));
      total += received - 2;
    }
    if (result != 0) return total > 0 || result == LIBUSB_ERROR_TIMEOUT ? total : result;
    if (received < packetSize) break;  // a short packet: the chip has nothing more just now
  }
  return total;
}

int FtdiLibusbDevice::write(const unsigned char* buffer, int size) {
  writeError = 0;
  if (!opened) return writeError = -666;  // libftdi1's code for a context without a device
  // The transfers libftdi1's own write makes, one chunk each; it answers a failed one with -1 alone, which hides how
  // many bytes had gone out (an unplugged chip, say) and why it failed.
  const int chunk = context->writebuffer_chunksize > 0 ? static_cast<int>(context->writebuffer_chunksize) : 4096;
  int total = 0;
  while (total < size) {
    int sent = 0;
    const int result = libusb_bulk_transfer(context->usb_dev, static_cast<unsigned char>(context->in_ep),
                                            const_cast<unsigned char*>(buffer + total), std::min(chunk, size - total),
                                            &sent, static_cast<unsigned>(context->usb_write_timeout));
    total += std::max(sent, 0);
    if (result < 0) {
      writeError = result;
      return total > 0 ? total : result;
    }
    if (sent <= 0) break;  // the chip took nothing more: the count says how far the write got
  }
  return total;
}

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
