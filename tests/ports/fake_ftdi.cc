#include "fake_ftdi.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

namespace fakeftdi {
namespace {

struct State {
  std::mutex mutex;
  std::deque<Device> devices;  // deque: element addresses stay valid as fake libusb devices
  std::map<std::string, int> results;
  std::string readData, written;
  std::vector<std::string> calls;
  std::set<ftdi_context*> contexts;
  std::function<std::string(int, const std::string&)> writeHandler;
  std::map<int, std::string> replies;  // per interface, from the write handler
};

State& state() {
  static State s;
  return s;
}

std::optional<int> overridden(const std::string& call) {
  auto it = state().results.find(call);
  return it == state().results.end() ? std::nullopt : std::optional<int>(it->second);
}

template <typename F>
auto locked(F f) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return f(state());
}

}  // namespace

void reset() {
  locked([](State& s) {
    s.devices.clear();
    s.results.clear();
    s.readData.clear();
    s.written.clear();
    s.calls.clear();
    s.writeHandler = nullptr;
    s.replies.clear();
  });
}
void setWriteHandler(std::function<std::string(int, const std::string&)> handler) {
  locked([&](State& s) {
    s.writeHandler = std::move(handler);
    s.replies.clear();
  });
}
void addDevice(const Device& device) { locked([&](State& s) { s.devices.push_back(device); }); }
void setResult(const std::string& call, int code) { locked([&](State& s) { s.results[call] = code; }); }
void clearResult(const std::string& call) { locked([&](State& s) { s.results.erase(call); }); }
void pushReadData(const std::string& bytes) { locked([&](State& s) { s.readData += bytes; }); }
std::string takeWritten() { return locked([](State& s) { return std::exchange(s.written, std::string()); }); }
std::vector<std::string> calls() { return locked([](State& s) { return s.calls; }); }
int liveContexts() { return locked([](State& s) { return static_cast<int>(s.contexts.size()); }); }

}  // namespace fakeftdi

using fakeftdi::state;

// Opens a stand-in entry point: takes the lock, records the call as `text` (when not empty) and
// returns the code set for `name`, if any.
#define FAKE_CALL(name, text)                                    \
  std::lock_guard<std::mutex> lock(state().mutex);               \
  if (!std::string(text).empty()) state().calls.push_back(text); \
  if (auto code = fakeftdi::overridden(name)) return *code

static std::string str(int value) { return std::to_string(value); }

extern "C" {

struct ftdi_context* ftdi_new(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (fakeftdi::overridden("new")) return nullptr;
  auto* context = static_cast<ftdi_context*>(std::calloc(1, sizeof(ftdi_context)));
  state().contexts.insert(context);
  return context;
}

void ftdi_free(struct ftdi_context* ftdi) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().contexts.erase(ftdi);
  std::free(ftdi);
}

int ftdi_set_interface(struct ftdi_context* ftdi, enum ftdi_interface interface) {
  FAKE_CALL("set_interface", "set_interface " + str(interface));
  if (interface < 0 || interface > 4) return -1;
  ftdi->interface = interface;
  return 0;
}

int ftdi_usb_open_desc_index(struct ftdi_context* ftdi, int vendor, int product, const char* description,
                             const char* serial, unsigned int index) {
  FAKE_CALL("open", "open " + str(vendor) + " " + str(product) + " " + (description ? description : "(any)") + " " +
                        (serial ? serial : "(any)") + " " + std::to_string(index));
  unsigned seen = 0;
  for (auto& device : state().devices) {
    if (device.vendor != vendor || device.product != product) continue;
    if ((description && device.description != description) || (serial && device.serial != serial)) continue;
    if (seen++ < index) continue;
    ftdi->usb_dev = reinterpret_cast<libusb_device_handle*>(&device);
    ftdi->max_packet_size = 64;
    // The channel's bulk endpoints, as libftdi1 numbers them: in 0x81 and out 0x02 for A, 0x83 and 0x04 for B, ...
    const int channel = ftdi->interface > 0 ? ftdi->interface - 1 : 0;
    ftdi->out_ep = 0x81 + 2 * channel;
    ftdi->in_ep = 0x02 + 2 * channel;
    return 0;
  }
  return -3;
}

int ftdi_usb_close(struct ftdi_context* ftdi) {
  ftdi->usb_dev = nullptr;
  FAKE_CALL("close", "close");
  return 0;
}

int ftdi_set_baudrate(struct ftdi_context*, int baudrate) {
  FAKE_CALL("set_baudrate", "set_baudrate " + str(baudrate));
  return 0;
}

int ftdi_set_line_property(struct ftdi_context*, enum ftdi_bits_type bits, enum ftdi_stopbits_type sbit,
                           enum ftdi_parity_type parity) {
  FAKE_CALL("set_line_property", "set_line_property " + str(bits) + " " + str(sbit) + " " + str(parity));
  return 0;
}

// The chip's bulk transfers. Reads (endpoints 0x81, 0x83, ...): one 64-byte packet per transfer, two status bytes
// first. Writes (0x02, 0x04, ...): the bytes are taken, and handed to the write handler, if any.
int libusb_bulk_transfer(libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length,
                         int* transferred, unsigned int) {
  *transferred = 0;
  if (!(endpoint & LIBUSB_ENDPOINT_IN)) {
    const int interface = endpoint / 2;
    std::function<std::string(int, const std::string&)> handler;
    std::string bytes;
    int result = 0;
    {
      FAKE_CALL("write", "write " + str(length));
      bytes.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
      if (auto budget = state().results.find("unplug_after"); budget != state().results.end()) {
        // The chip goes away once it has taken the budget's bytes.
        const int room = std::max(budget->second, 0);
        if (room < length) {
          bytes.resize(static_cast<size_t>(room));
          result = LIBUSB_ERROR_NO_DEVICE;
        }
        budget->second = room - static_cast<int>(bytes.size());
      }
      state().written += bytes;
      handler = state().writeHandler;
    }
    *transferred = static_cast<int>(bytes.size());
    if (handler && !bytes.empty()) {
      // Outside the lock: the far end may take its time.
      const std::string reply = handler(interface, bytes);
      std::lock_guard<std::mutex> lock(state().mutex);
      state().replies[interface] += reply;
    }
    return result;
  }
  FAKE_CALL("read", "");
  if (auto budget = fakeftdi::overridden("unplug_after"); budget && *budget <= 0) return LIBUSB_ERROR_NO_DEVICE;
  std::string& pending = state().writeHandler ? state().replies[(endpoint - 0x81) / 2 + 1] : state().readData;
  const size_t n = std::min(pending.size(), static_cast<size_t>(std::max(length - 2, 0)));
  // Like QEMU's FT232, which does not answer a read while it has nothing: the transfer times out.
  if (n == 0 && fakeftdi::overridden("short_read_times_out")) return LIBUSB_ERROR_TIMEOUT;
  data[0] = 0x01;
  data[1] = 0x60;
  std::memcpy(data + 2, pending.data(), n);
  pending.erase(0, n);
  *transferred = static_cast<int>(n) + 2;
  return 0;
}

int ftdi_set_bitmode(struct ftdi_context*, unsigned char bitmask, unsigned char mode) {
  FAKE_CALL("set_bitmode", "set_bitmode " + str(bitmask) + " " + str(mode));
  return 0;
}

int ftdi_usb_find_all(struct ftdi_context*, struct ftdi_device_list** devlist, int vendor, int product) {
  *devlist = nullptr;
  FAKE_CALL("find_all", "find_all " + str(vendor) + " " + str(product));
  // With no vendor and product, libftdi1 looks for FTDI's own chips.
  static const std::set<int> ftdiProducts = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};
  int count = 0;
  for (auto& device : state().devices) {
    bool match = (vendor == 0 && product == 0) ? (device.vendor == 0x0403 && ftdiProducts.count(device.product))
                                               : (device.vendor == vendor && device.product == product);
    if (!match) continue;
    auto* item = static_cast<ftdi_device_list*>(std::calloc(1, sizeof(ftdi_device_list)));
    item->dev = reinterpret_cast<libusb_device*>(&device);
    *devlist = item;
    devlist = &item->next;
    ++count;
  }
  return count;
}

void ftdi_list_free(struct ftdi_device_list** devlist) {
  while (ftdi_device_list* item = *devlist) {
    *devlist = item->next;
    std::free(item);
  }
}

int ftdi_usb_get_strings(struct ftdi_context*, struct libusb_device* dev, char* manufacturer, int mnf_len,
                         char* description, int desc_len, char* serial, int serial_len) {
  std::lock_guard<std::mutex> lock(state().mutex);
  auto* device = reinterpret_cast<fakeftdi::Device*>(dev);
  if (device->stringsResult < 0) return device->stringsResult;
  auto copy = [](char* out, int len, const std::string& text) {
    if (out && len > 0) std::snprintf(out, static_cast<size_t>(len), "%s", text.c_str());
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
