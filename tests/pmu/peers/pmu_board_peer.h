// A simulated kytrix PMU board: answers newline-terminated JSON-RPC requests on a
// pseudo-terminal like the board's firmware does, with replies that tests can override.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pty_peer.h"

namespace pmupeers {

class PmuBoardPeer : public PtyPeer {
 public:
  // The board's default state: version "1.4.2", fan at 30 %, supplies off, measurement
  // 12 V / 0.5 A / 6 W, no "getDebugBoardInfo" method (-32601).
  PmuBoardPeer();
  ~PmuBoardPeer() override;

  // Replaces the reply to a method: the result, an error, silence, or raw text lines.
  void setResult(const std::string& method, const nlohmann::json& result);
  void setError(const std::string& method, int code, const std::string& message);
  void setSilent(const std::string& method, bool silent = true);
  // Each request of the method is answered with this text (newline added by the caller).
  void setRawReply(const std::string& method, std::function<std::string(const nlohmann::json& request)> reply);
  // Answer after a pause (for time-out tests).
  void setDelayMs(const std::string& method, int delayMs);
  // Back to the default behaviour of that method.
  void clear(const std::string& method);

  // Requests received so far (parsed), and how many of a method.
  std::vector<nlohmann::json> requests();
  size_t count(const std::string& method);
  // Waits up to timeoutMs until at least n requests of the method arrived.
  bool waitFor(const std::string& method, size_t n, int timeoutMs = 2000);

  // Board state changed by the requests.
  int fanSpeed();
  std::map<std::string, std::string> supplies();
  std::vector<nlohmann::json> smbusWrites();

 protected:
  void onBytes(const std::string& bytes) override;

 private:
  void handle(const nlohmann::json& request);
  std::string answer(const nlohmann::json& request);

  std::mutex mutex;
  std::condition_variable changed;
  std::string pending;
  std::vector<nlohmann::json> received_;
  std::map<std::string, nlohmann::json> results;
  std::map<std::string, std::pair<int, std::string>> errors;
  std::map<std::string, bool> silent;
  std::map<std::string, int> delays;
  std::map<std::string, std::function<std::string(const nlohmann::json&)>> raw;
  int fan = 30;
  std::map<std::string, std::string> supplyStates;
  std::vector<nlohmann::json> smbus;
};

}  // namespace pmupeers
