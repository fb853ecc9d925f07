#include "stm32_bootloader_peer.h"

#include <utility>

namespace pmupeers {

namespace {
constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;
constexpr uint32_t kFlashStart = 0x08000000;

uint8_t xorOf(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  uint8_t sum = 0;
  for (size_t i = from; i < to; ++i) sum ^= bytes[i];
  return sum;
}
}  // namespace

Stm32BootloaderPeer::Stm32BootloaderPeer(bool onPty) {
  if (onPty) start();
}

std::string Stm32BootloaderPeer::feed(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex);
  collecting = true;
  input.insert(input.end(), bytes.begin(), bytes.end());
  while (step()) {
  }
  collecting = false;
  return std::exchange(collected, std::string());
}

void Stm32BootloaderPeer::replaceOffered(uint8_t code, uint8_t by) {
  std::lock_guard<std::mutex> lock(mutex);
  offeredReplacements[code] = by;
}

void Stm32BootloaderPeer::setProductId(uint16_t id) {
  std::lock_guard<std::mutex> lock(mutex);
  productId = id;
}

void Stm32BootloaderPeer::setFlashKiB(uint32_t kib) {
  std::lock_guard<std::mutex> lock(mutex);
  flashKiB = kib;
}

void Stm32BootloaderPeer::setFlashSizeRegister(uint32_t at, uint16_t kib) {
  std::lock_guard<std::mutex> lock(mutex);
  sizeRegister = at;
  sizeRegisterKiB = kib;
}

void Stm32BootloaderPeer::setReadProtected(bool on) {
  std::lock_guard<std::mutex> lock(mutex);
  readProtected = on;
}

void Stm32BootloaderPeer::refuseGlobalErase() {
  std::lock_guard<std::mutex> lock(mutex);
  globalEraseRefused = true;
}

void Stm32BootloaderPeer::setFlash(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex);
  memory.clear();
  for (size_t i = 0; i < bytes.size(); ++i) memory[kFlashStart + static_cast<uint32_t>(i)] = bytes[i];
}

bool Stm32BootloaderPeer::inFlash(uint32_t at) const {
  return at >= kFlashStart && at - kFlashStart < uint64_t{flashKiB} * 1024;
}

bool Stm32BootloaderPeer::takeComplemented(uint8_t& value) {
  value = input[0];
  const bool valid = static_cast<uint8_t>(value ^ input[1]) == 0xFF;
  input.erase(input.begin(), input.begin() + 2);
  if (!valid) reply({kNack});
  return valid;
}

bool Stm32BootloaderPeer::takeAddress(bool forRead) {
  const bool valid = xorOf(input, 0, 4) == input[4];
  address = (uint32_t{input[0]} << 24) | (uint32_t{input[1]} << 16) | (uint32_t{input[2]} << 8) | input[3];
  input.erase(input.begin(), input.begin() + 5);
  const bool allowed = valid && (inFlash(address) || (forRead && address == sizeRegister));
  reply({allowed ? kAck : kNack});
  return allowed;
}

Stm32BootloaderPeer::~Stm32BootloaderPeer() { stop(); }

void Stm32BootloaderPeer::replaceAck(uint8_t command, uint8_t replyByte) {
  std::lock_guard<std::mutex> lock(mutex);
  replacements[command] = replyByte;
}

void Stm32BootloaderPeer::setGetCount(uint8_t n) {
  std::lock_guard<std::mutex> lock(mutex);
  getCount = n;
}

bool Stm32BootloaderPeer::synchronised() {
  std::lock_guard<std::mutex> lock(mutex);
  return synced;
}

std::vector<uint8_t> Stm32BootloaderPeer::commands() {
  std::lock_guard<std::mutex> lock(mutex);
  return commandLog;
}

std::vector<Stm32BootloaderPeer::Block> Stm32BootloaderPeer::blocks() {
  std::lock_guard<std::mutex> lock(mutex);
  return blockLog;
}

bool Stm32BootloaderPeer::erased() {
  std::lock_guard<std::mutex> lock(mutex);
  return wasErased;
}

std::vector<uint8_t> Stm32BootloaderPeer::flash() {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<uint8_t> out;
  for (const auto& [address, byte] : memory) {
    const size_t offset = address - kFlashStart;
    if (out.size() <= offset) out.resize(offset + 1, 0xFF);
    out[offset] = byte;
  }
  return out;
}

void Stm32BootloaderPeer::reply(std::vector<uint8_t> bytes) {
  if (collecting) {
    collected.append(bytes.begin(), bytes.end());
  } else {
    send(std::string(bytes.begin(), bytes.end()));
  }
}

void Stm32BootloaderPeer::onBytes(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex);
  input.insert(input.end(), bytes.begin(), bytes.end());
  while (step()) {
  }
}

bool Stm32BootloaderPeer::step() {
  switch (state) {
    case State::Sync:
      if (input.empty()) return false;
      if (input[0] == 0x7F) {
        synced = true;
        state = State::Command;
        reply({kAck});
      }
      input.erase(input.begin());
      return true;
    case State::Command: {
      uint8_t command = 0;
      if (input.size() < 2) return false;
      if (!takeComplemented(command)) return true;
      commandLog.push_back(command);
      auto replaced = replacements.find(command);
      if (replaced != replacements.end()) {
        reply({replaced->second});
        return true;
      }
      if (readProtected && (command == 0x11 || command == 0x31 || command == 0x43)) {
        reply({kNack});
        return true;
      }
      switch (command) {
        case 0x00: {  // Get: N, version, N command codes, ACK
          std::vector<uint8_t> answer{kAck, getCount, 0x31};
          const uint8_t codes[] = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92};
          for (uint8_t i = 0; i < getCount; ++i) {
            const uint8_t code = i < sizeof(codes) ? codes[i] : 0x44;
            auto replaced = offeredReplacements.find(code);
            answer.push_back(replaced == offeredReplacements.end() ? code : replaced->second);
          }
          answer.push_back(kAck);
          reply(answer);
          break;
        }
        case 0x01:  // Get Version: version, two option bytes, ACK
          reply({kAck, 0x31, 0x00, 0x00, kAck});
          break;
        case 0x02:  // Get ID: N = 1, the product ID's two bytes, ACK
          reply({kAck, 0x01, static_cast<uint8_t>(productId >> 8), static_cast<uint8_t>(productId), kAck});
          break;
        case 0x43:
          reply({kAck});
          state = State::EraseArgs;
          break;
        case 0x31:
          reply({kAck});
          state = State::WriteAddress;
          break;
        case 0x11:
          reply({kAck});
          state = State::ReadAddress;
          break;
        default:
          reply({kNack});
      }
      return true;
    }
    case State::EraseArgs:
      if (input.size() < 2) return false;
      if (input[0] == 0xFF && input[1] == 0x00 && !globalEraseRefused) {
        memory.clear();
        wasErased = true;
        reply({kAck});
      } else {
        reply({kNack});
      }
      input.erase(input.begin(), input.begin() + 2);
      state = State::Command;
      return true;
    case State::WriteAddress:
      if (input.size() < 5) return false;
      state = takeAddress(false) ? State::WriteData : State::Command;
      return true;
    case State::ReadAddress:
      if (input.size() < 5) return false;
      state = takeAddress(true) ? State::ReadCount : State::Command;
      return true;
    case State::ReadCount: {
      uint8_t n = 0;
      if (input.size() < 2) return false;
      state = State::Command;
      if (!takeComplemented(n)) return true;
      std::vector<uint8_t> answer{kAck};
      for (uint32_t i = 0; i <= n; ++i) {
        const uint32_t at = address + i;
        uint8_t byte = 0xFF;  // erased flash, or nothing there
        if (at == sizeRegister || at == sizeRegister + 1) {
          byte = static_cast<uint8_t>(sizeRegisterKiB >> (8 * (at - sizeRegister)));  // little-endian
        } else if (auto it = memory.find(at); it != memory.end()) {
          byte = it->second;
        }
        answer.push_back(byte);
      }
      reply(answer);
      return true;
    }
    case State::WriteData: {
      if (input.empty()) return false;
      const size_t length = size_t{input[0]} + 1;
      if (input.size() < length + 2) return false;
      if (xorOf(input, 0, length + 1) == input[length + 1]) {
        Block block{address, std::vector<uint8_t>(input.begin() + 1, input.begin() + 1 + length)};
        for (size_t i = 0; i < length; ++i) memory[address + static_cast<uint32_t>(i)] = block.data[i];
        blockLog.push_back(std::move(block));
        reply({kAck});
      } else {
        reply({kNack});
      }
      input.erase(input.begin(), input.begin() + length + 2);
      state = State::Command;
      return true;
    }
  }
  return false;
}

}  // namespace pmupeers
