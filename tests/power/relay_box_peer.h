// A simulated relay power box on a pseudo-terminal: the test hands the slave path to the code under test, and the
// box reads the commands of its model from the master side, switches its (imaginary) relay and answers each command.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace powertest {

class RelayBoxPeer {
 public:
  // model: 0 single-byte commands "1"/"0"; 1 STX "pmu(pwr,on)"/"pmu(pwr,off)" ETX; 2 STX "pwr,1"/"pwr,0" ETX.
  explicit RelayBoxPeer(int model);
  ~RelayBoxPeer();

  RelayBoxPeer(const RelayBoxPeer&) = delete;
  RelayBoxPeer& operator=(const RelayBoxPeer&) = delete;

  bool ok() const { return master_ >= 0 && !slave_.empty(); }
  const std::string& slavePath() const { return slave_; }

  // The commands received so far, in order: "on", "off", or "?" plus the bytes of an unknown command; once at least
  // count have arrived (or two seconds have passed).
  std::vector<std::string> commands(size_t count = 0);

 private:
  void run();
  void take(char byte);
  void finishCommand(const std::string& command);

  const int model_;
  int master_ = -1;
  std::string slave_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string frame_;
  bool inFrame_ = false;
  std::vector<std::string> commands_;
  std::thread thread_;
};

}  // namespace powertest
