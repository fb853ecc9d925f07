// Client of the STM32 system-memory bootloader's USART protocol (ST AN3155): synchronise,
// query, read the chip's flash size, mass-erase and program a firmware image from the start of flash.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "devices/io_port.h"

namespace tyr::pmu {

class Stm32Bootloader {
 public:
  static constexpr uint8_t kSync = 0x7F;
  static constexpr uint8_t kAck = 0x79;
  static constexpr uint8_t kNack = 0x1F;
  static constexpr uint32_t kFlashStart = 0x08000000;
  static constexpr size_t kMaxBlock = 256;
  // The largest main flash among the STM32 lines whose bootloader takes the plain Erase command
  // (F0, F1, F3): no image beyond it can be right.
  static constexpr size_t kFlashSize = 1024 * 1024;

  explicit Stm32Bootloader(std::shared_ptr<ioport::IoPort> port);

  // Throws for an image that must not be programmed: an empty one (the erase would leave the
  // board blank) or one larger than the flash.
  static void checkImage(const std::vector<uint8_t>& firmware);
  // checkImage, enter, sendGet, sendGetVersion, sendGetId, then, before anything is erased,
  // refuses a chip whose bootloader lacks the Erase or Write Memory command, and an image that is
  // not known to fit: the chip's flash size is read from its flash-size register (readFlashSize),
  // and a chip whose size cannot be read is refused. Then sendErase and writeFirmware. A
  // failure's text names the step that failed and its cause; flashTouched() tells whether the
  // erase may have begun.
  void updateFirmware(const std::vector<uint8_t>& firmware);
  void enter();
  // Returns the command codes the bootloader offers.
  std::vector<uint8_t> sendGet();
  void sendGetVersion();
  // Returns the chip's product ID.
  uint16_t sendGetId();

  // An STM32 line whose bootloader takes the plain Erase command: where its flash-size register
  // lies and the largest main flash of the line.
  struct ProductLine {
    uint32_t flashSizeRegister;
    size_t largestFlash;
  };
  // The line of that product ID; none when the ID is not one of them.
  static std::optional<ProductLine> productLine(uint16_t productId);
  // The chip's main flash in bytes, read from its flash-size register with Read Memory. Throws
  // with the reason when it cannot be read (a read-protected chip refuses Read Memory) or reads a
  // size that no chip of the line has.
  size_t readFlashSize(uint16_t productId, const ProductLine& line);
  // Read Memory (0x11): count (1 to 256) bytes from address.
  std::vector<uint8_t> sendReadMemory(uint32_t address, size_t count);

  bool flashTouched() const { return eraseStarted; }
  // A NACK to the erase's parameters leaves flashTouched() false: the bootloader refused the
  // erase before it began.
  void sendErase();
  void sendWriteMemory(uint32_t address, const std::vector<uint8_t>& data);
  // Writes the image in blocks from the flash start; the last block is padded with 0xFF (erased
  // flash) to a multiple of 4 bytes, as the bootloader requires.
  void writeFirmware(const std::vector<uint8_t>& firmware);

  // Collects count bytes from the port's read buffer; throws when they do not arrive in time.
  std::vector<uint8_t> readBytes(size_t count);
  int sendBytes(const std::vector<uint8_t>& bytes);
  void waitForAck();
  static uint8_t getChecksum(const std::vector<uint8_t>& bytes);

  // How long one awaited reply may take; the mass erase has its own, longer bound.
  void setReplyTimeout(std::chrono::milliseconds timeout) { replyTimeout = timeout; }
  void setEraseTimeout(std::chrono::milliseconds timeout) { eraseTimeout = timeout; }

 private:
  static void log(const std::string& text);
  std::vector<uint8_t> readBytesWithin(size_t count, std::chrono::milliseconds timeout);
  void waitForAckWithin(std::chrono::milliseconds timeout);
  // Reads one reply byte: true for ACK, false for NACK; throws for anything else.
  bool acknowledged(std::chrono::milliseconds timeout);

  std::shared_ptr<ioport::IoPort> port;
  bool eraseStarted = false;
  std::chrono::milliseconds replyTimeout{5000};
  std::chrono::milliseconds eraseTimeout{60000};
};

}  // namespace tyr::pmu
