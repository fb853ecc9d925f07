// A simulated STM32 system-memory bootloader speaking the AN3155 USART protocol on a
// pseudo-terminal, or through feed() on any other line: synchronisation, Get, Get Version,
// Get ID, Read Memory, global Erase and Write Memory, on a chip with a given flash size, a
// flash-size register and, when asked, read protection.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pty_peer.h"

namespace pmupeers {

class Stm32BootloaderPeer : public PtyPeer {
 public:
  struct Block {
    uint32_t address;
    std::vector<uint8_t> data;
  };

  // onPty false: no service thread; the line is fed by feed().
  explicit Stm32BootloaderPeer(bool onPty = true);
  ~Stm32BootloaderPeer() override;

  // Takes bytes from the host and returns the chip's replies to them.
  std::string feed(const std::string& bytes);

  // Answer this command code with this byte instead of its first ACK (0x1F = NACK).
  void replaceAck(uint8_t command, uint8_t reply);
  // Number of further command codes announced by Get (N, so N + 1 bytes follow).
  void setGetCount(uint8_t n);
  // Replaces one command code of the Get reply by another (0x43 by 0x44: a chip with Extended Erase only).
  void replaceOffered(uint8_t code, uint8_t by);
  // The product ID that Get ID answers (0x410, an STM32F10x of medium density, unless changed).
  void setProductId(uint16_t id);
  // The chip's main flash from 0x08000000 (128 KiB unless changed): Read Memory and Write Memory
  // refuse an address beyond it.
  void setFlashKiB(uint32_t kib);
  // The flash-size register: its address and the KiB it reads (0x1FFFF7E0, the F1's, reading 128
  // unless changed). Read Memory refuses other addresses outside the flash.
  void setFlashSizeRegister(uint32_t address, uint16_t kib);
  // Read protection: Read Memory, Write Memory and Erase are refused (NACK).
  void setReadProtected(bool on);
  // The erase's parameters (a global erase) are refused with a NACK and nothing is erased.
  void refuseGlobalErase();
  // The flash holds these bytes from its start (a firmware programmed before).
  void setFlash(const std::vector<uint8_t>& bytes);

  bool synchronised();
  // Command codes received (after a valid complement), in order.
  std::vector<uint8_t> commands();
  // Write Memory blocks accepted, in order.
  std::vector<Block> blocks();
  // Flash content from 0x08000000 as written since the last erase.
  std::vector<uint8_t> flash();
  bool erased();

 protected:
  void onBytes(const std::string& bytes) override;

 private:
  enum class State { Sync, Command, EraseArgs, WriteAddress, WriteData, ReadAddress, ReadCount };
  bool step();  // consumes one unit of input if enough has arrived; called with the lock
  void reply(std::vector<uint8_t> bytes);
  bool inFlash(uint32_t address) const;
  // Takes a byte and its complement (a command code, a read's length) into value; false (NACK sent) when they do not
  // match.
  bool takeComplemented(uint8_t& value);
  // Takes a 5-byte address frame into address and answers it: NACK when its checksum is wrong or the address
  // lies outside the flash (and, for a read, is not the flash-size register).
  bool takeAddress(bool forRead);

  std::mutex mutex;
  std::vector<uint8_t> input;
  State state = State::Sync;
  bool synced = false;
  bool wasErased = false;
  uint8_t getCount = 11;
  uint16_t productId = 0x410;
  uint32_t flashKiB = 128;
  uint32_t sizeRegister = 0x1FFFF7E0;
  uint16_t sizeRegisterKiB = 128;
  bool readProtected = false;
  bool globalEraseRefused = false;
  std::map<uint8_t, uint8_t> offeredReplacements;
  bool collecting = false;
  std::string collected;
  uint32_t address = 0;  // of the Write Memory or Read Memory under way
  std::map<uint8_t, uint8_t> replacements;
  std::vector<uint8_t> commandLog;
  std::vector<Block> blockLog;
  std::map<uint32_t, uint8_t> memory;
};

}  // namespace pmupeers
