#include "pmu_board_peer.h"

#include <chrono>
#include <thread>

namespace pmupeers {

using nlohmann::json;

PmuBoardPeer::PmuBoardPeer() {
  results["getVersion"] = {{"version", "1.4.2"}};
  results["getPmuInfo"] = {{"board", "kytrix-pmu"}, {"revision", 3}};
  results["getAdapterInfo"] = {{"adapter", "U.2"}, {"slots", 1}};
  results["measurePower"] = {{"voltage", 12.0}, {"current", 0.5}, {"power", 6.0}};
  errors["getDebugBoardInfo"] = {-32601, "Method not found"};
  start();
}

PmuBoardPeer::~PmuBoardPeer() { stop(); }

void PmuBoardPeer::setResult(const std::string& method, const json& result) {
  std::lock_guard<std::mutex> lock(mutex);
  errors.erase(method);
  results[method] = result;
}

void PmuBoardPeer::setError(const std::string& method, int code, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex);
  errors[method] = {code, message};
}

void PmuBoardPeer::setSilent(const std::string& method, bool value) {
  std::lock_guard<std::mutex> lock(mutex);
  silent[method] = value;
}

void PmuBoardPeer::setRawReply(const std::string& method, std::function<std::string(const json&)> reply) {
  std::lock_guard<std::mutex> lock(mutex);
  raw[method] = std::move(reply);
}

void PmuBoardPeer::setDelayMs(const std::string& method, int delayMs) {
  std::lock_guard<std::mutex> lock(mutex);
  delays[method] = delayMs;
}

void PmuBoardPeer::clear(const std::string& method) {
  std::lock_guard<std::mutex> lock(mutex);
  errors.erase(method);
  silent.erase(method);
  delays.erase(method);
  raw.erase(method);
}

std::vector<json> PmuBoardPeer::requests() {
  std::lock_guard<std::mutex> lock(mutex);
  return received_;
}

size_t PmuBoardPeer::count(const std::string& method) {
  std::lock_guard<std::mutex> lock(mutex);
  size_t n = 0;
  for (const auto& request : received_) n += request.value("method", "") == method;
  return n;
}

bool PmuBoardPeer::waitFor(const std::string& method, size_t n, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (count(method) < n) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int PmuBoardPeer::fanSpeed() {
  std::lock_guard<std::mutex> lock(mutex);
  return fan;
}

std::map<std::string, std::string> PmuBoardPeer::supplies() {
  std::lock_guard<std::mutex> lock(mutex);
  return supplyStates;
}

std::vector<json> PmuBoardPeer::smbusWrites() {
  std::lock_guard<std::mutex> lock(mutex);
  return smbus;
}

void PmuBoardPeer::onBytes(const std::string& bytes) {
  pending += bytes;
  for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
    std::string line = pending.substr(0, end);
    pending.erase(0, end + 1);
    json request = json::parse(line, nullptr, false);
    if (request.is_discarded()) continue;  // a real board ignores garbage lines
    handle(request);
  }
}

void PmuBoardPeer::handle(const json& request) {
  int delay = 0;
  std::string reply;
  {
    std::lock_guard<std::mutex> lock(mutex);
    received_.push_back(request);
    const std::string method = request.value("method", "");
    if (silent.count(method) && silent[method]) return;
    if (delays.count(method)) delay = delays[method];
    reply = answer(request);
  }
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  send(reply + "\n");
}

// Builds the reply line; called with the lock held.
std::string PmuBoardPeer::answer(const json& request) {
  const std::string method = request.value("method", "");
  const json& id = request.contains("id") ? request["id"] : json();
  if (raw.count(method)) return raw[method](request);
  json response = {{"id", id}};
  if (errors.count(method)) {
    response["error"] = {{"code", errors[method].first}, {"message", errors[method].second}};
    return response.dump();
  }
  const json params = request.contains("params") ? request["params"] : json();
  if (method == "setFanSpeed") {
    fan = params.value("speed", -1);
    response["result"] = nullptr;
  } else if (method == "getFanSpeed" && !results.count(method)) {
    response["result"] = fan;
  } else if (method == "changePower") {
    supplyStates[params.value("powerSupply", "")] = params.value("state", "");
    response["result"] = nullptr;
  } else if (method == "sendSmbusBlockWrite") {
    smbus.push_back(params);
    response["result"] = nullptr;
  } else if (method == "getReceivedSmbusBlockWrite" && !results.count(method)) {
    response["result"] = smbus.empty() ? json() : smbus.back();
  } else if (results.count(method)) {
    response["result"] = results[method];
  } else {
    response["error"] = {{"code", -32601}, {"message", "Method not found"}};
  }
  return response.dump();
}

}  // namespace pmupeers
