// The index -> open port table of a port manager: a new port takes the lowest free index, and every port in the table
// is registered with the poll thread until it is removed.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "devices/pollable_manager.h"

namespace tyr::ioport {

template <class Port>
class PortTable {
 public:
  explicit PortTable(std::shared_ptr<threading::PollableManager> pollableManager)
      : pollableManager(std::move(pollableManager)) {}
  // Removes every port still in the table.
  ~PortTable() {
    for (uint32_t i = 0; i < ports.size(); ++i)
      if (ports[i]) remove(i);
  }

  PortTable(const PortTable&) = delete;
  PortTable& operator=(const PortTable&) = delete;

  bool isValid(uint32_t index) const { return index < ports.size() && ports[index] != nullptr; }

  // std::runtime_error "invalid device index" when the index holds no port.
  const std::shared_ptr<Port>& get(uint32_t index) const {
    if (!isValid(index)) throw std::runtime_error("invalid device index");
    return ports[index];
  }

  // Stores an opened port under the lowest free index; false (nothing stored) when no index is left.
  bool store(const std::shared_ptr<Port>& port, uint32_t& index) {
    uint32_t free = 0;
    while (free < ports.size() && ports[free]) ++free;
    if (free == UINT32_MAX) return false;
    if (free == ports.size())
      ports.push_back(port);
    else
      ports[free] = port;
    index = free;
    return true;
  }

  // Hands a stored port to the poll thread.
  void startPolling(const std::shared_ptr<Port>& port) { pollableManager->addPollable(port); }

  // Unregisters the port from the poll thread and frees its index; the error of get() when there is none. The port
  // closes when its last holder lets go, which is usually right here.
  void remove(uint32_t index) {
    std::shared_ptr<Port> port = get(index);
    pollableManager->removePollable(port);
    ports[index].reset();
  }

 private:
  std::vector<std::shared_ptr<Port>> ports;
  std::shared_ptr<threading::PollableManager> pollableManager;
};

}  // namespace tyr::ioport
