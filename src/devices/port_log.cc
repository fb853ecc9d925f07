#include "devices/port_log.h"

#include <iostream>
#include <mutex>

namespace tyr {

namespace {
std::mutex& logMutex() {
  static std::mutex m;
  return m;
}
std::function<void(const std::string&)>& observer() {
  static std::function<void(const std::string&)> f;
  return f;
}
}  // namespace

void portLog(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex());
  std::cout << line << std::endl;
  if (observer()) observer()(line);
}

void portLogError(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex());
  std::cerr << line << std::endl;
  if (observer()) observer()(line);
}

void setPortLogObserver(std::function<void(const std::string&)> f) {
  std::lock_guard<std::mutex> lock(logMutex());
  observer() = std::move(f);
}

}  // namespace tyr
