#include "utility/log_line.h"

#include <cstdio>
#include <iostream>
#include <mutex>

namespace kyt {

namespace {

std::mutex& LogMutex() {
  static std::mutex* mutex = new std::mutex();  // never destroyed: threads may log until the process ends
  return *mutex;
}

std::function<void(const std::string&)>& Observer() {
  static auto* observer = new std::function<void(const std::string&)>();
  return *observer;
}

void Write(std::ostream& stream, std::string text) {
  text.push_back('\n');
  std::lock_guard<std::mutex> lock(LogMutex());
  stream.write(text.data(), static_cast<std::streamsize>(text.size()));
  stream.flush();
  if (Observer()) {
    text.pop_back();
    Observer()(text);
  }
}

}  // namespace

void LogLine(std::string text) { Write(std::cout, std::move(text)); }

void LogErrorLine(std::string text) { Write(std::cerr, std::move(text)); }

void LogFatalLine(const std::string& text) {
  const std::string line = text + "\n";
  for (FILE* stream : {stdout, stderr}) {
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
  }
}

void SetLogObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard<std::mutex> lock(LogMutex());
  Observer() = std::move(observer);
}

}  // namespace kyt
