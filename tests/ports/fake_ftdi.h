// A scriptable stand-in for the libftdi1 and libusb calls that the FTDI port code makes.
// Linking it (or preloading it) replaces the real libraries' entry points: no USB access.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fakeftdi {

struct Device {
  uint16_t vendor = 0x0403;
  uint16_t product = 0x6001;
  std::string manufacturer = "FTDI";
  std::string description = "FT232R USB UART";
  std::string serial = "A1";
  int stringsResult = 0;  // what ftdi_usb_get_strings answers for this device
};

// Forgets every device, result override, queued byte and recorded call.
void reset();
void addDevice(const Device& device);
// Makes a call return code from now on (until reset or cleared with clearResult). Names:
// "find_all", "open", "close", "set_interface", "set_baudrate",
// "set_line_property", "read" and "write" (a libusb code for the chip's bulk reads or writes),
// "set_bitmode", "new" (any value: ftdi_new fails), "short_read_times_out" (any value: a read
// finding nothing times out, as with QEMU's emulated FT232, instead of getting the chip's
// status-only packet), "unplug_after" (the chip takes that many more bytes, then is gone: the
// write that passes the count and every later transfer fail with LIBUSB_ERROR_NO_DEVICE).
void setResult(const std::string& call, int code);
void clearResult(const std::string& call);
// Bytes that the open chip delivers to reads, in order, 62 to a USB packet.
void pushReadData(const std::string& bytes);
// A far end behind the chip: every write is handed to it with the channel's interface number
// (1 = A, 2 = B, ...), and its reply is delivered to that channel's reads (instead of the bytes
// of pushReadData). An empty function removes it.
void setWriteHandler(std::function<std::string(int interface, const std::string& bytes)> handler);
// The bytes written to the chip so far; clears them.
std::string takeWritten();
// The calls made so far, one text each ("set_interface 2", "set_bitmode 15 2", ...).
std::vector<std::string> calls();
// Contexts made by ftdi_new and not yet freed.
int liveContexts();

}  // namespace fakeftdi
