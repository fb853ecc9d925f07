// A port for the tests of the port base class: its device delivers a scripted chunk at each poll.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "devices/io_port.h"

namespace portstest {

class ScriptedPort : public tyr::ioport::IoPort {
 public:
  ScriptedPort() : IoPort("TEST", 1) {}
  ~ScriptedPort() override { teardown(); }

  void deliver(const std::string& chunk) {
    locked([&] { pending = chunk; });
    poll();
  }
  int write(const uint8_t*, int length) override { return length; }
  bool setBaudRate(int) override { return true; }
  bool setParity(tyr::ioport::Parity) override { return true; }
  int readRaw(uint8_t* buffer, int capacity) override {
    ++rawReads;
    size_t n = std::min(pending.size(), static_cast<size_t>(capacity));
    std::memcpy(buffer, pending.data(), n);
    pending.erase(0, n);
    return static_cast<int>(n);
  }
  void close() override {
    locked([&] { open = false; });
  }
  bool isOpenUnsafe() override { return open; }
  void locked(const std::function<void()>& f) {
    std::lock_guard<std::mutex> lock(mutex);
    f();
  }

  bool open = true;
  int rawReads = 0;
  std::string pending;
  using IoPort::errorCode;
  using IoPort::searchBufferLimit;
};

}  // namespace portstest
