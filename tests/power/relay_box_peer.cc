#include "relay_box_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

namespace powertest {

namespace {
constexpr char kStx = '\x02';
constexpr char kEtx = '\x03';
}  // namespace

RelayBoxPeer::RelayBoxPeer(int model) : model_(model) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
    const char* name = ptsname(master_);
    if (name != nullptr) slave_ = name;
  }
  if (ok()) thread_ = std::thread(&RelayBoxPeer::run, this);
}

RelayBoxPeer::~RelayBoxPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (master_ >= 0) ::close(master_);
}

std::vector<std::string> RelayBoxPeer::commands(size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(2), [&] { return commands_.size() >= count; });
  return commands_;
}

void RelayBoxPeer::run() {
  char buffer[256];
  while (!stop_) {
    struct pollfd fds = {master_, POLLIN, 0};
    if (::poll(&fds, 1, 10) <= 0) continue;
    ssize_t n = ::read(master_, buffer, sizeof(buffer));
    // EIO: nobody has the slave side open (yet, or any more); wait for the next opener.
    if (n <= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (ssize_t i = 0; i < n; ++i) take(buffer[i]);
    changed_.notify_all();
  }
}

void RelayBoxPeer::take(char byte) {
  if (model_ == 0) {
    finishCommand(std::string(1, byte));
    return;
  }
  if (byte == kStx) {
    if (inFrame_) finishCommand(frame_);  // a frame cut short is an unknown command
    inFrame_ = true;
    frame_.clear();
  } else if (byte == kEtx && inFrame_) {
    inFrame_ = false;
    finishCommand(frame_);
  } else if (inFrame_) {
    frame_ += byte;
  } else {
    commands_.push_back(std::string("?") + byte);  // noise outside a frame
  }
}

void RelayBoxPeer::finishCommand(const std::string& command) {
  static const char* const kOn[] = {"1", "pmu(pwr,on)", "pwr,1"};
  static const char* const kOff[] = {"0", "pmu(pwr,off)", "pwr,0"};
  std::string answer;
  if (command == kOn[model_]) {
    commands_.push_back("on");
    answer = "OK ON\r\n";
  } else if (command == kOff[model_]) {
    commands_.push_back("off");
    answer = "OK OFF\r\n";
  } else {
    commands_.push_back("?" + command);
    answer = "ERR\r\n";
  }
  (void)!::write(master_, answer.data(), answer.size());
}

}  // namespace powertest
