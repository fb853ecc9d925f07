#include "fake_ftdi.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace fakeftdi {
namespace {

struct State {
  std::mutex mutex;
  std::deque<Device> devices;  // deque: element addresses stay valid as fake libusb devices
  std::map<std::string, int> results;
  std::string readData;
  std::string written;
  std::vector<std::string> calls;
  std::set<ftdi_context*> contexts;
};

State& state() {
  static State s;
  return s;
}

bool override(const std::string& call, int& code) {
  auto it = state().results.find(call);
  if (it == state().results.end()) return false;
  code = it->second;
  return true;
}

void record(const std::string& text) { state().calls.push_back(text); }

bool isDefaultProduct(uint16_t product) {
  return product == 0x6001 || product == 0x6010 || product == 0x6011 || product == 0x6014 || product == 0x6015;
}

}  // namespace

void reset() {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().devices.clear();
  state().results.clear();
  state().readData.clear();
  state().written.clear();
  state().calls.clear();
}

void addDevice(const Device& device) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().devices.push_back(device);
}

void setResult(const std::string& call, int code) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().results[call] = code;
}

void clearResult(const std::string& call) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().results.erase(call);
}

void pushReadData(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().readData += bytes;
}

std::string takeWritten() {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::string out;
  out.swap(state().written);
  return out;
}

std::vector<std::string> calls() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().calls;
}

int liveContexts() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return static_cast<int>(state().contexts.size());
}

}  // namespace fakeftdi

using fakeftdi::state;

extern "C" {

struct ftdi_context* ftdi_new(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  int code;
  if (fakeftdi::override("new", code)) return nullptr;
  auto* context = static_cast<ftdi_context*>(std::calloc(1, sizeof(ftdi_context)));
  context->interface = 0;
  state().contexts.insert(context);
  return context;
}

void ftdi_free(struct ftdi_context* ftdi) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().contexts.erase(ftdi);
  std::free(ftdi);
}

int ftdi_set_interface(struct ftdi_context* ftdi, enum ftdi_interface interface) {
  std::lock_guard<std::mutex> lock(state().mutex);
  fakeftdi::record("set_interface " + std::to_string(static_cast<int>(interface)));
  int code;
  if (fakeftdi::override("set_interface", code)) return code;
  if (static_cast<int>(interface) < 0 || static_cast<int>(interface) > 4) return -1;
  ftdi->interface = static_cast<int>(interface);
  return 0;
}

int ftdi_usb_open_desc_index(struct ftdi_context* ftdi, int vendor, int product, const char* description,
                             const char* serial, unsigned int index) {
  std::lock_guard<std::mutex> lock(state().mutex);
  fakeftdi::record("open " + std::to_string(vendor) + " " + std::to_string(product) + " " +
                   (description ? description : "(any)") + " " + (serial ? serial : "(any)") + " " +
                   std::to_string(index));
  int code;
  if (fakeftdi::override("open", code)) return code;
  unsigned seen = 0;
  for (auto& device : state().devices) {
    if (device.vendor != vendor || device.product != product) continue;
    if (description && device.description != description) continue;
    if (serial && device.serial != serial) continue;
    if (seen++ < index) continue;
    ftdi->usb_dev = reinterpret_cast<libusb_device_handle*>(&device);
    return 0;
  }
  return -3;
}

int ftdi_usb_close(struct ftdi_context* ftdi) {
  std::lock_guard<std::mutex> lock(state().mutex);
  fakeftdi::record("close");
  ftdi->usb_dev = nullptr;
  int code;
  if (fakeftdi::override("close", code)) return code;
  return 0;
}

int ftdi_usb_reset(struct ftdi_context*) {
  std::lock_guard<std::mutex> lock(state().mutex);
  fakeftdi::record("reset");
  int code;
  if (fakeftdi::override("reset", code)) return code;
  return 0;
}

int ftdi_set_baudrate(struct ftdi_context*, int baudrate) {
  std::lock_guard<std::mutex> lock(state().mutex);
  fakeftdi::record("set_baudrate " + std::to_string(baudrate));
  int code;
  if (fakeftdi::override("set_baudrate", code)) return code;
  return 0;
}

int ftdi_set_line_property(struct ftdi_context*, enum ftdi_bits_type bits, enum ftdi_stopbits_type sbit,
                           enum ftdi_parity_type parity) {
  std::lock_guard<std::mutex> lock(state().mutex);
  fakeftdi::record("set_line_property " + std::to_string(static_cast<int>(bits)) + " " +
                   std::to_string(static_cast<int>(sbit)) + " " + std::to_string(static_cast<int>(parity)));
  int code;
  if (fakeftdi::override("set_line_property", code)) return code;
  return 0;
}

int ftdi_read_data(struct ftdi_context* ftdi, unsigned char* buf, int size) {
  std::lock_guard<std::mutex> lock(state().mutex);
  int code;
  if (fakeftdi::override("read", code)) return code;
  std::string& data = state().readData;
  size_t n = std::min(data.size(), static_cast<size_t>(std::max(size, 0)));
  std::memcpy(buf, data.data(), n);
  data.erase(0, n);
  // Like an adapter that does not answer an empty read: asking for more than has arrived
  // copies what there is, then fails with libusb's timeout.
  if (fakeftdi::override("short_read_times_out", code) && n < static_cast<size_t>(size)) {
    ftdi->readbuffer_remaining = 0;
    return -7;
  }
  // Like libftdi1, report what is left of the last USB packet in its read buffer.
  ftdi->readbuffer_remaining = static_cast<unsigned>(std::min<size_t>(data.size(), 62));
  return static_cast<int>(n);
}

int ftdi_write_data(struct ftdi_context*, const unsigned char* buf, int size) {
  std::lock_guard<std::mutex> lock(state().mutex);
  fakeftdi::record("write " + std::to_string(size));
  int code;
  if (fakeftdi::override("write", code)) return code;
  state().written.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(size));
  return size;
}

int ftdi_set_bitmode(struct ftdi_context*, unsigned char bitmask, unsigned char mode) {
  std::lock_guard<std::mutex> lock(state().mutex);
  fakeftdi::record("set_bitmode " + std::to_string(bitmask) + " " + std::to_string(mode));
  int code;
  if (fakeftdi::override("set_bitmode", code)) return code;
  return 0;
}

int ftdi_usb_find_all(struct ftdi_context*, struct ftdi_device_list** devlist, int vendor, int product) {
  std::lock_guard<std::mutex> lock(state().mutex);
  fakeftdi::record("find_all " + std::to_string(vendor) + " " + std::to_string(product));
  *devlist = nullptr;
  int code;
  if (fakeftdi::override("find_all", code)) return code;
  ftdi_device_list** tail = devlist;
  int count = 0;
  for (auto& device : state().devices) {
    bool match = (vendor == 0 && product == 0) ? (device.vendor == 0x0403 && fakeftdi::isDefaultProduct(device.product))
                                               : (device.vendor == vendor && device.product == product);
    if (!match) continue;
    auto* item = static_cast<ftdi_device_list*>(std::calloc(1, sizeof(ftdi_device_list)));
    item->dev = reinterpret_cast<libusb_device*>(&device);
    *tail = item;
    tail = &item->next;
    ++count;
  }
  return count;
}

void ftdi_list_free(struct ftdi_device_list** devlist) {
  ftdi_device_list* item = *devlist;
  while (item) {
    ftdi_device_list* next = item->next;
    std::free(item);
    item = next;
  }
  *devlist = nullptr;
}

int ftdi_usb_get_strings(struct ftdi_context*, struct libusb_device* dev, char* manufacturer, int mnf_len,
                         char* description, int desc_len, char* serial, int serial_len) {
  std::lock_guard<std::mutex> lock(state().mutex);
  auto* device = reinterpret_cast<fakeftdi::Device*>(dev);
  if (device->stringsResult < 0) return device->stringsResult;
  auto copy = [](char* out, int len, const std::string& text) {
    if (!out || len <= 0) return;
    std::snprintf(out, static_cast<size_t>(len), "%s", text.c_str());
  };
  copy(manufacturer, mnf_len, device->manufacturer);
  copy(description, desc_len, device->description);
  copy(serial, serial_len, device->serial);
  return 0;
}

int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
  std::lock_guard<std::mutex> lock(state().mutex);
  auto* device = reinterpret_cast<fakeftdi::Device*>(dev);
  std::memset(desc, 0, sizeof(*desc));
  desc->idVendor = device->vendor;
  desc->idProduct = device->product;
  return 0;
}

}  // extern "C"
