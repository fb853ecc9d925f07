// Client of the STM32 system-memory bootloader's USART protocol (ST AN3155): synchronise,
// query, mass-erase and program a firmware image from the start of flash.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
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
  // refuses a chip whose bootloader lacks the Erase or Write Memory command and an image larger
  // than the flash of the chip's product ID; then sendErase and writeFirmware. A failure's text
  // names the step that failed and its cause; flashTouched() tells whether the erase had begun.
  void updateFirmware(const std::vector<uint8_t>& firmware);
  void enter();
  // Returns the command codes the bootloader offers.
  std::vector<uint8_t> sendGet();
  void sendGetVersion();
  // Returns the chip's product ID.
  uint16_t sendGetId();
  // Largest main flash, in bytes, of the STM32 line with that product ID; 0 when unknown.
  static size_t flashSizeOfProduct(uint16_t productId);
  bool flashTouched() const { return eraseStarted; }
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

  std::shared_ptr<ioport::IoPort> port;
  bool eraseStarted = false;
  std::chrono::milliseconds replyTimeout{5000};
  std::chrono::milliseconds eraseTimeout{60000};
};

}  // namespace tyr::pmu
