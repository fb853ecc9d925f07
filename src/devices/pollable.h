// An object that the poll thread services at its own interval.
#pragma once

#include <cstdint>

namespace tyr::threading {

class Pollable {
 public:
  virtual ~Pollable() = default;
  // One servicing step; runs on the poll thread.
  virtual void poll() = 0;
  // How often poll() wants to run, in milliseconds; 0 means on every pass.
  virtual uint32_t getPollingIntervalMs() const = 0;
};

}  // namespace tyr::threading
