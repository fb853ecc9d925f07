// What the device-neutral port calls need of a port manager.
#pragma once

#include <cstdint>
#include <memory>

#include "devices/io_port.h"

namespace tyr::ioport {

class IoPortDeviceManager {
 public:
  // The open port of that index; std::runtime_error "invalid device index" when none.
  virtual std::shared_ptr<IoPort> getIoPortDevice(uint32_t devIdx) = 0;
  // Unregisters the port from the poll thread and frees its index; same error.
  virtual void closeDevice(uint32_t devIdx) = 0;
  virtual bool isValidDeviceIndex(uint32_t devIdx) = 0;

 protected:
  ~IoPortDeviceManager() = default;
};

}  // namespace tyr::ioport
