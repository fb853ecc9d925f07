// Helpers shared by the port tests: log capture, temporary folders, pseudo-terminals and a
// small sysfs-like USB tree.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devices/usb_interface.h"
#include "utility/log_line.h"

namespace portstest {

// Collects the log lines written while it exists.
class LogCapture {
 public:
  LogCapture() {
    kyt::SetLogObserver([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { kyt::SetLogObserver(nullptr); }
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

// The text of the exception an action throws, or "(no exception)".
inline std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

inline void writeFile(const std::string& path, const std::string& content) { std::ofstream(path) << content; }

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh directory, removed with its content at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = testing::TempDir() + "kyt-ports-XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Waits up to two seconds for the condition.
inline bool waitFor(const std::function<bool()>& condition) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
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
  const std::string& slavePath() const { return slave_; }
  // Closes the master side: the line hangs up.
  void hangUp() {
    ::close(master_);
    master_ = -1;
  }
  void send(const std::string& bytes) const { (void)!::write(master_, bytes.data(), bytes.size()); }
  // What the port side has written and this side has not taken yet.
  std::string take() const {
    std::string out;
    char buffer[256];
    for (ssize_t n; (n = ::read(master_, buffer, sizeof(buffer))) > 0;) out.append(buffer, static_cast<size_t>(n));
    return out;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// A sysfs-like USB tree: <root>/devices, the serial driver's bind file and a device-node folder.
class SysfsTree {
 public:
  SysfsTree() {
    for (auto d : {"/devices", "/drivers", "/drivers/ftdi_sio", "/dev"}) mkdir(dir_.file(d).c_str(), 0755);
    writeFile(bindFile(), "");
  }
  std::string devices() const { return dir_.file("devices"); }
  std::string bindFile() const { return dir_.file("drivers/ftdi_sio/bind"); }
  std::string devDir() const { return dir_.file("dev/"); }
  std::string root() const { return dir_.file(""); }

  tyr::usb::UsbSysfsPaths paths(std::chrono::milliseconds wait = std::chrono::milliseconds(5)) const {
    return {devices(), bindFile(), devDir(), wait};
  }

  void addDevice(const std::string& name, const std::string& manufacturer, const std::string& serial,
                 const std::string& vendor = "0403", const std::string& product = "6010") {
    std::string d = devices() + "/" + name;
    mkdir(d.c_str(), 0755);
    writeFile(d + "/manufacturer", manufacturer + "\n");
    writeFile(d + "/serial", serial + "\n");
    writeFile(d + "/idVendor", vendor + "\n");
    writeFile(d + "/idProduct", product + "\n");
  }

  // An interface directory under its device; empty texts leave the matching entry out.
  std::string addInterface(const std::string& device, const std::string& name, const std::string& number,
                           const std::string& driver, const std::string& tty, const std::string& description = "") {
    std::string d = devices() + "/" + device + "/" + name;
    mkdir(d.c_str(), 0755);
    if (!number.empty()) writeFile(d + "/bInterfaceNumber", number + "\n");
    if (!description.empty()) writeFile(d + "/interface", description + "\n");
    if (!driver.empty()) symlink(("../../../bus/usb/drivers/" + driver).c_str(), (d + "/driver").c_str());
    if (!tty.empty()) mkdir((d + "/" + tty).c_str(), 0755);
    return d;
  }

 private:
  TempDir dir_;
};

}  // namespace portstest
