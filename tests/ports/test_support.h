// Helpers shared by the port tests: log capture, temporary folders, pseudo-terminals.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/port_log.h"

namespace portstest {

// Collects the port log lines written while it exists.
class LogCapture {
 public:
  LogCapture() {
    tyr::setPortLogObserver([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { tyr::setPortLogObserver(nullptr); }

  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  size_t count(const std::string& line) {
    auto all = lines();
    return static_cast<size_t>(std::count(all.begin(), all.end(), line));
  }
  bool has(const std::string& line) { return count(line) > 0; }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A fresh directory, removed with its content at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/kyt-ports-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::trunc);
  out << content;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Waits up to timeout for the condition.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

// A pseudo-terminal; the test holds the master side, the port opens the slave path.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = ptsname(master_);
  }
  ~Pty() {
    if (master_ >= 0) ::close(master_);
  }
  int master() const { return master_; }
  const std::string& slavePath() const { return slave_; }
  void send(const std::string& bytes) const {
    ssize_t n = ::write(master_, bytes.data(), bytes.size());
    (void)n;
  }
  // Everything the port side has written so far (waits briefly for it to arrive).
  std::string receive(size_t expected, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const {
    std::string out;
    waitFor(
        [&] {
          char buffer[256];
          ssize_t n;
          while ((n = ::read(master_, buffer, sizeof(buffer))) > 0) out.append(buffer, static_cast<size_t>(n));
          return out.size() >= expected;
        },
        timeout);
    return out;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

}  // namespace portstest
