// A simulated STM32 system-memory bootloader speaking the AN3155 USART protocol on a
// pseudo-terminal: synchronisation, Get, Get Version, global Erase and Write Memory.
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

  Stm32BootloaderPeer();
  ~Stm32BootloaderPeer() override;

  // Answer this command code with this byte instead of its first ACK (0x1F = NACK).
  void replaceAck(uint8_t command, uint8_t reply);
  // Number of further command codes announced by Get (N, so N + 1 bytes follow).
  void setGetCount(uint8_t n);

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
  uint32_t writeAddress = 0;
  std::map<uint8_t, uint8_t> replacements;
  std::vector<uint8_t> commandLog;
  std::vector<Block> blockLog;
  std::map<uint32_t, uint8_t> memory;
};

}  // namespace pmupeers
