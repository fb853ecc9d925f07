// A simulated STM32 system-memory bootloader speaking the AN3155 USART protocol on a
// pseudo-terminal, or through feed() on any other line: synchronisation, Get, Get Version,
// Get ID, global Erase and Write Memory.
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
  enum class State { Sync, Command, EraseArgs, WriteAddress, WriteData };
  bool step();  // consumes one unit of input if enough has arrived; called with the lock
  void reply(std::vector<uint8_t> bytes);

  std::mutex mutex;
  std::vector<uint8_t> input;
  State state = State::Sync;
  bool synced = false;
  bool wasErased = false;
  uint8_t getCount = 11;
  uint16_t productId = 0x410;
  std::map<uint8_t, uint8_t> offeredReplacements;
  bool collecting = false;
  std::string collected;
  uint32_t writeAddress = 0;
  std::map<uint8_t, uint8_t> replacements;
  std::vector<uint8_t> commandLog;
  std::vector<Block> blockLog;
  std::map<uint32_t, uint8_t> memory;
};

}  // namespace pmupeers
