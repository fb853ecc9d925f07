#include "devices/pmu/stm32_bootloader.h"

#include "utility/log_line.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

namespace tyr::pmu {

namespace {
// value in lower-case hex, zero-padded to at least digits digits.
std::string hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "%0*x", digits, static_cast<unsigned>(value));
  return text;
}

// The four address bytes, most significant first, and their checksum.
std::vector<uint8_t> addressFrame(uint32_t address) {
  std::vector<uint8_t> frame{static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                             static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  frame.push_back(Stm32Bootloader::getChecksum(frame));
  return frame;
}

// Runs one step of the update; its failure's text names the step.
template <typename Step>
auto runStep(const std::string& name, Step step) {
  try {
    return step();
  } catch (const std::exception& e) {
    throw std::runtime_error(name + " failed: " + e.what());
  }
}
}  // namespace

Stm32Bootloader::Stm32Bootloader(std::shared_ptr<ioport::IoPort> port) : port(std::move(port)) {}

void Stm32Bootloader::log(const std::string& text) { kyt::LogLine("Stm32Bootloader" + text); }

uint8_t Stm32Bootloader::getChecksum(const std::vector<uint8_t>& bytes) {
  uint8_t sum = 0;
  for (uint8_t byte : bytes) sum ^= byte;
  return sum;
}

std::vector<uint8_t> Stm32Bootloader::readBytes(size_t count) { return readBytesWithin(count, replyTimeout); }

std::vector<uint8_t> Stm32Bootloader::readBytesWithin(size_t count, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> bytes;
  bytes.reserve(count);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (bytes.size() < count) {
    const std::string chunk = port->read(static_cast<uint32_t>(count - bytes.size()));
    bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    if (bytes.size() >= count) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      throw std::runtime_error("Timed out waiting for a reply from the bootloader (" + std::to_string(bytes.size()) +
                               " of " + std::to_string(count) + " bytes received)");
    }
    // The poll thread fills the buffer; give it the processor between looks.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return bytes;
}

int Stm32Bootloader::sendBytes(const std::vector<uint8_t>& bytes) {
  const int written = port->write(bytes.data(), static_cast<int>(bytes.size()));
  if (written < 0) throw std::runtime_error("Failed to write bytes to FTDI device");
  return written;
}

void Stm32Bootloader::waitForAck() { waitForAckWithin(replyTimeout); }

void Stm32Bootloader::waitForAckWithin(std::chrono::milliseconds timeout) {
  if (!acknowledged(timeout)) throw std::runtime_error("Received NACK from device");
}

bool Stm32Bootloader::acknowledged(std::chrono::milliseconds timeout) {
  const uint8_t reply = readBytesWithin(1, timeout)[0];
  if (reply == kAck) {
    log(": Received ACK");
    return true;
  }
  if (reply == kNack) {
    log(": Received NACK");
    return false;
  }
  throw std::runtime_error("Received undefined response 0x" + hex(reply, 2));
}

void Stm32Bootloader::enter() {
  port->setParity(ioport::Parity::Even);
  port->flush(0);
  port->useBinaryMode();
  log(":Sending 0x7F to enter bootloader");
  sendBytes({kSync});
  waitForAck();
}

std::vector<uint8_t> Stm32Bootloader::sendGet() {
  log(": Sending STM Get command");
  sendBytes({0x00, 0xFF});
  waitForAck();
  const size_t count = static_cast<size_t>(readBytes(1)[0]) + 1;
  log(": Expecting " + std::to_string(count) + " bytes");
  const std::vector<uint8_t> reply = readBytes(count);
  std::string text = ": Received:";
  for (uint8_t byte : reply) text += " 0x" + hex(byte, 2);
  log(text);
  waitForAck();
  return std::vector<uint8_t>(reply.begin() + 1, reply.end());  // behind the bootloader version
}

uint16_t Stm32Bootloader::sendGetId() {
  log(": Sending STM Get ID command");
  sendBytes({0x02, 0xFD});
  waitForAck();
  const size_t count = static_cast<size_t>(readBytes(1)[0]) + 1;
  const std::vector<uint8_t> id = readBytes(count);
  waitForAck();
  if (count != 2) throw std::runtime_error("the product ID has " + std::to_string(count) + " bytes instead of 2");
  const uint16_t productId = static_cast<uint16_t>(id[0] << 8 | id[1]);
  log(": Product ID: 0x" + hex(productId, 3));
  return productId;
}

std::optional<Stm32Bootloader::ProductLine> Stm32Bootloader::productLine(uint16_t productId) {
  // The lines whose bootloader offers the plain Erase command, each with the address of its flash-size register
  // (the F1's differs from the F0's and F3's) and its largest flash.
  constexpr uint32_t kF0F3 = 0x1FFFF7CC, kF1 = 0x1FFFF7E0;
  constexpr size_t kKiB = 1024;
  switch (productId) {
    case 0x444: case 0x445: return ProductLine{kF0F3, 32 * kKiB};
    case 0x440: return ProductLine{kF0F3, 64 * kKiB};
    case 0x448: return ProductLine{kF0F3, 128 * kKiB};
    case 0x442: return ProductLine{kF0F3, 256 * kKiB};
    case 0x438: case 0x439: return ProductLine{kF0F3, 64 * kKiB};
    case 0x422: case 0x432: return ProductLine{kF0F3, 256 * kKiB};
    case 0x446: return ProductLine{kF0F3, 512 * kKiB};
    case 0x412: return ProductLine{kF1, 32 * kKiB};
    case 0x410: case 0x420: return ProductLine{kF1, 128 * kKiB};
    case 0x418: return ProductLine{kF1, 256 * kKiB};
    case 0x414: case 0x428: return ProductLine{kF1, 512 * kKiB};
    case 0x430: return ProductLine{kF1, 1024 * kKiB};
    default: return std::nullopt;
  }
}

std::vector<uint8_t> Stm32Bootloader::sendReadMemory(uint32_t address, size_t count) {
  log(": Sending STM Read Memory command at address 0x" + hex(address, 8));
  if (count == 0 || count > kMaxBlock) throw std::runtime_error("Read length must be from 1 to 256 bytes.");
  sendBytes({0x11, 0xEE});
  // The bootloader refuses Read Memory while the chip's read protection is active.
  if (!acknowledged(replyTimeout)) throw std::runtime_error("Received NACK from device: the chip is read-protected");
  sendBytes(addressFrame(address));
  if (!acknowledged(replyTimeout)) {
    throw std::runtime_error("Received NACK from device: the chip does not let 0x" + hex(address, 8) + " be read");
  }
  const uint8_t n = static_cast<uint8_t>(count - 1);
  sendBytes({n, static_cast<uint8_t>(n ^ 0xFF)});
  waitForAck();
  return readBytes(count);
}

size_t Stm32Bootloader::readFlashSize(uint16_t productId, const ProductLine& line) {
  const std::vector<uint8_t> value = sendReadMemory(line.flashSizeRegister, 2);
  const size_t kib = static_cast<size_t>(value[0]) | static_cast<size_t>(value[1]) << 8;  // little-endian KiB
  log(": Flash size: " + std::to_string(kib) + " KiB");
  // An unprogrammed or foreign register (0, 0xFFFF) is no size to trust an erase to.
  if (kib == 0 || kib * 1024 > line.largestFlash) {
    throw std::runtime_error("the flash-size register at 0x" + hex(line.flashSizeRegister, 8) + " reads " +
                             std::to_string(kib) + " KiB, which no chip of product ID 0x" + hex(productId, 3) +
                             " has (at most " + std::to_string(line.largestFlash / 1024) + " KiB)");
  }
  return kib * 1024;
}

void Stm32Bootloader::sendGetVersion() {
  log(": Sending STM Get Version command");
  sendBytes({0x01, 0xFE});
  waitForAck();
  const uint8_t version = readBytes(3)[0];
  log(": Bootloader Version: " + std::to_string(version >> 4) + "." + std::to_string(version & 0x0F));
  waitForAck();
}

void Stm32Bootloader::sendErase() {
  log(": Sending STM Erase command");
  sendBytes({0x43, 0xBC});
  waitForAck();
  eraseStarted = true;  // from here on the flash may be (partly) blank
  sendBytes({0xFF, 0x00});
  if (!acknowledged(eraseTimeout)) {
    // The bootloader refused the erase's parameters: nothing was erased. No answer, or a stray byte, proves nothing.
    eraseStarted = false;
    throw std::runtime_error("Received NACK from device");
  }
  log(": Erased all memory");
}

void Stm32Bootloader::sendWriteMemory(uint32_t address, const std::vector<uint8_t>& data) {
  log(": Sending STM Write Memory command at address 0x" + hex(address, 8));
  if (data.size() > kMaxBlock) throw std::runtime_error("Data length exceeds maximum of 256 bytes.");
  // AN3155 needs at least one byte per block (N = length - 1).
  if (data.empty()) throw std::runtime_error("Data length must be at least 1 byte.");
  log(": Sending STM Write Memory command");
  sendBytes({0x31, 0xCE});
  waitForAck();
  log(": Sending address");
  sendBytes(addressFrame(address));
  waitForAck();
  log(": Sending data");
  std::vector<uint8_t> block;
  block.reserve(data.size() + 2);
  block.push_back(static_cast<uint8_t>(data.size() - 1));
  block.insert(block.end(), data.begin(), data.end());
  block.push_back(getChecksum(block));
  sendBytes(block);
  waitForAck();
}

void Stm32Bootloader::writeFirmware(const std::vector<uint8_t>& firmware) {
  log(": Firmware size: " + std::to_string(firmware.size()) + " bytes");
  for (size_t offset = 0; offset < firmware.size(); offset += kMaxBlock) {
    const size_t length = std::min(kMaxBlock, firmware.size() - offset);
    log(": Writing firmware chunk at offset " + std::to_string(offset));
    std::vector<uint8_t> block(firmware.begin() + offset, firmware.begin() + offset + length);
    block.resize((length + 3) / 4 * 4, 0xFF);
    const uint32_t address = kFlashStart + static_cast<uint32_t>(offset);
    runStep("Write Memory at 0x" + hex(address, 8), [&] { sendWriteMemory(address, block); });
  }
  log(": Firmware programming complete!");
}

void Stm32Bootloader::checkImage(const std::vector<uint8_t>& firmware) {
  if (firmware.empty()) throw std::runtime_error("The firmware image is empty");
  if (firmware.size() > kFlashSize) {
    throw std::runtime_error("The firmware image of " + std::to_string(firmware.size()) +
                             " bytes is larger than the flash (" + std::to_string(kFlashSize) + " bytes)");
  }
}

namespace {
bool offers(const std::vector<uint8_t>& commands, uint8_t code) {
  return std::find(commands.begin(), commands.end(), code) != commands.end();
}
}  // namespace

void Stm32Bootloader::updateFirmware(const std::vector<uint8_t>& firmware) {
  checkImage(firmware);
  eraseStarted = false;
  runStep("Synchronising with the bootloader", [&] { enter(); });
  const std::vector<uint8_t> commands = runStep("Get", [&] { return sendGet(); });
  runStep("Get Version", [&] { sendGetVersion(); });
  // Nothing is erased until the chip is known to take this image.
  if (!offers(commands, 0x02)) throw std::runtime_error("The bootloader does not offer the Get ID command (0x02)");
  const uint16_t productId = runStep("Get ID", [&] { return sendGetId(); });
  if (!offers(commands, 0x43)) {
    throw std::runtime_error(std::string("The bootloader does not offer the Erase command (0x43) this update uses") +
                             (offers(commands, 0x44) ? ", only Extended Erase (0x44)" : ""));
  }
  if (!offers(commands, 0x31)) throw std::runtime_error("The bootloader does not offer the Write Memory command (0x31)");
  // The image must be known to fit before anything is erased: the chip's own flash size, not its line's largest.
  const std::string id = hex(productId, 3);
  const auto line = productLine(productId);
  if (!line) {
    throw std::runtime_error("The flash size of a chip with product ID 0x" + id +
                             " is not known, so the image cannot be known to fit");
  }
  if (!offers(commands, 0x11)) {
    throw std::runtime_error("The bootloader does not offer the Read Memory command (0x11) that reads the chip's "
                             "flash size");
  }
  const size_t flash = runStep("Reading the flash size", [&] { return readFlashSize(productId, *line); });
  if (firmware.size() > flash) {
    throw std::runtime_error("The firmware image of " + std::to_string(firmware.size()) +
                             " bytes is larger than the flash of this chip (product ID 0x" + id + ", " +
                             std::to_string(flash) + " bytes)");
  }
  runStep("Erase", [&] { sendErase(); });
  writeFirmware(firmware);
}

}  // namespace tyr::pmu
