// The poll thread: calls poll() on every registered object at that object's own interval. The
// manager's lock guards only the registrations: no object's poll (its device I/O) runs under it,
// so a slow device holds up neither registrations nor the other objects' owners.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "devices/pollable.h"

namespace tyr::threading {

class PollableManager {
 public:
  // Starts the poll thread.
  PollableManager();
  // Stops and joins the poll thread, then releases every registered object.
  ~PollableManager();

  PollableManager(const PollableManager&) = delete;
  PollableManager& operator=(const PollableManager&) = delete;

  // Registers an object (again: restarts its interval).
  void addPollable(const std::shared_ptr<Pollable>& pollable);
  // Unregisters an object; unknown objects are ignored. When its poll is running, waits for it
  // to return: afterwards the object is not polled any more. Must not be called from a poll.
  void removePollable(const std::shared_ptr<Pollable>& pollable);

  // Number of registered objects.
  size_t count();

 private:
  using Clock = std::chrono::steady_clock;

  struct PollableEntry {
    std::shared_ptr<Pollable> pollable;
    Clock::time_point lastPollTime;
  };
  // Keys hash and compare by the address of the object they point to.
  struct AddressHash {
    size_t operator()(const std::shared_ptr<Pollable>& p) const { return std::hash<Pollable*>()(p.get()); }
  };
  struct AddressEqual {
    bool operator()(const std::shared_ptr<Pollable>& a, const std::shared_ptr<Pollable>& b) const {
      return a.get() == b.get();
    }
  };

  void pollLoop();
  // One pass over the registered objects; called and returns with the lock held.
  void pollPass(std::unique_lock<std::mutex>& lock);
  void recomputeMinIntervalUnsafe();

  std::unordered_map<std::shared_ptr<Pollable>, PollableEntry, AddressHash, AddressEqual> pollables;
  std::mutex mutex;
  std::atomic<bool> running;
  std::thread thread;
  std::condition_variable condition;
  std::atomic<uint32_t> minPollingIntervalMs;
  // The objects of the current pass (kept between passes so that a pass allocates nothing).
  std::vector<Pollable*> passObjects;
  // The object whose poll is running, and the signal that it returned.
  Pollable* polling = nullptr;
  std::condition_variable pollDone;
};

}  // namespace tyr::threading
