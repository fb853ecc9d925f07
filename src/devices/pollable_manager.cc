#include "devices/pollable_manager.h"

#include <exception>
#include <string>

#include "utility/log_line.h"

namespace tyr::threading {

namespace {
constexpr uint32_t kNoPollables = 0xFFFFFFFFu;
// Pause between passes when some object wants polling more often than every 10 ms: short
// enough to keep a 1 ms rate, long enough to let registrations take the lock.
constexpr std::chrono::microseconds kBusyPause(100);
}  // namespace

PollableManager::PollableManager() : running(true), minPollingIntervalMs(kNoPollables) {
  thread = std::thread(&PollableManager::pollLoop, this);
  kyt::LogLine("PollableManager: Starting");
}

PollableManager::~PollableManager() {
  kyt::LogLine("PollableManager: Stopping");
  {
    std::lock_guard<std::mutex> lock(mutex);
    running = false;
  }
  condition.notify_all();
  if (thread.joinable()) thread.join();
  pollables.clear();
  kyt::LogLine("PollableManager: Stopped");
}

void PollableManager::recomputeMinIntervalUnsafe() {
  uint32_t min = kNoPollables;
  for (auto& item : pollables) {
    uint32_t interval = kNoPollables;
    try {
      interval = item.second.pollable->getPollingIntervalMs();
    } catch (const std::exception& e) {
      kyt::LogLine(std::string("PollableManager: getPollingIntervalMs failed: ") + e.what());
    }
    if (interval < min) min = interval;
  }
  minPollingIntervalMs = min;
}

void PollableManager::addPollable(const std::shared_ptr<Pollable>& pollable) {
  std::lock_guard<std::mutex> lock(mutex);
  Clock::time_point now = Clock::now();
  PollableEntry& entry = pollables[pollable];
  entry.pollable = pollable;
  entry.lastPollTime = now;
  recomputeMinIntervalUnsafe();
  kyt::LogLine("PollableManager: Added a Pollable. Total Pollables: " + std::to_string(pollables.size()));
  condition.notify_one();
}

void PollableManager::removePollable(const std::shared_ptr<Pollable>& pollable) {
  std::shared_ptr<Pollable> released;  // dropped after the lock, outside any pass
  std::unique_lock<std::mutex> lock(mutex);
  auto found = pollables.find(pollable);
  if (found != pollables.end()) {
    released = std::move(found->second.pollable);
    pollables.erase(found);
  }
  recomputeMinIntervalUnsafe();
  kyt::LogLine("PollableManager: Removed a Pollable. Total Pollables: " + std::to_string(pollables.size()));
  if (pollables.empty()) condition.notify_one();
  pollDone.wait(lock, [&] { return polling != pollable.get(); });
}

size_t PollableManager::count() {
  std::lock_guard<std::mutex> lock(mutex);
  return pollables.size();
}

void PollableManager::pollPass(std::unique_lock<std::mutex>& lock) {
  passObjects.clear();
  for (auto& item : pollables) passObjects.push_back(item.first.get());
  for (Pollable* object : passObjects) {
    if (!running) return;
    // Registrations may have changed while the last object was polled: skip what has gone.
    auto found = pollables.find(std::shared_ptr<Pollable>(std::shared_ptr<Pollable>(), object));
    if (found == pollables.end()) continue;
    PollableEntry& entry = found->second;
    Clock::time_point now = Clock::now();
    auto elapsedMs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - entry.lastPollTime).count() / 1000000);
    if (object->getPollingIntervalMs() > elapsedMs) continue;
    entry.lastPollTime = now;
    // Registered now, so alive until its poll returns: removePollable keeps its reference until then.
    polling = object;
    lock.unlock();
    // A failing object must not end the process: report it and go on with the others.
    try {
      object->poll();
    } catch (const std::exception& e) {
      kyt::LogLine(std::string("PollableManager: poll failed: ") + e.what());
    } catch (...) {
      kyt::LogLine("PollableManager: poll failed: unknown exception");
    }
    lock.lock();
    polling = nullptr;
    pollDone.notify_all();
  }
}

void PollableManager::pollLoop() {
  std::unique_lock<std::mutex> lock(mutex);
  while (running) {
    condition.wait(lock, [this] { return !running || !pollables.empty(); });
    if (!running) return;
    pollPass(lock);
    lock.unlock();
    uint32_t min = minPollingIntervalMs;
    if (min == kNoPollables) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } else if (min > 9) {
      std::this_thread::sleep_for(std::chrono::milliseconds(min / 10));
    } else {
      std::this_thread::sleep_for(kBusyPause);
    }
    lock.lock();
  }
}

}  // namespace tyr::threading
