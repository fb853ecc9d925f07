// Host side of a newline-framed JSON-RPC link: one request per line out, one document per
// line in, responses matched to their request by an integer "id". A received line longer than
// kMaxLineBytes or nested deeper than kMaxDepth is a bad line: reported and dropped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace tyr::jsonrpc {

// The functions through which the client reaches its line.
struct RpcInterface {
  // Writes the text to the line; throws (with the reason as its text) when the line does not take it.
  std::function<void(const std::string&)> writeFunction;
  // Returns what arrived since the last call, without waiting; empty when nothing did.
  std::function<std::string()> readFunction;
  // Called with each received document that is not a response; may be empty.
  std::function<void(const nlohmann::json&)> notificationCallback;
  // Called with the error text of a received line that is not a valid response; may be empty.
  std::function<void(const std::string&)> errorCallback;
};

class JsonRpcError : public std::runtime_error {
 public:
  explicit JsonRpcError(const std::string& message) : std::runtime_error(message) {}
  ~JsonRpcError() override = default;
};

class JsonRpcTimeoutError : public JsonRpcError {
 public:
  explicit JsonRpcTimeoutError(const std::string& message) : JsonRpcError(message) {}
  ~JsonRpcTimeoutError() override = default;
};

class JsonRpcResponseError : public JsonRpcError {
 public:
  JsonRpcResponseError(const std::string& message, int32_t code) : JsonRpcError(message), code(code) {}
  ~JsonRpcResponseError() override = default;
  int32_t code;
};

class JsonRpcClient {
 public:
  // Far beyond any reply of the board, which could not even arrive within the time-out at 115200 baud.
  static constexpr size_t kMaxLineBytes = 64 * 1024;
  // Nesting levels of arrays and objects in one received document.
  static constexpr int kMaxDepth = 64;

  explicit JsonRpcClient(const RpcInterface& rpcInterface);
  JsonRpcClient(const JsonRpcClient&) = delete;
  JsonRpcClient& operator=(const JsonRpcClient&) = delete;

  // Sends one request and blocks until its response is filed or the time-out passes.
  // Returns the response's "result" (null when absent).
  nlohmann::json sendRequest(const std::string& method, const nlohmann::json& params);

  // Receive step: reads what arrived, files responses, reports notifications and bad lines.
  void processIncoming();

  // How long sendRequest waits for a response (5000 ms unless changed).
  void setTimeoutMs(int32_t ms);
  int32_t getTimeoutMs() const { return timeoutMs; }

  // Responses filed and not yet taken (late or unsolicited ones included).
  size_t pendingResponses();

 private:
  void handleLine(const std::string& line);
  void reportBadLine(const std::string& error);
  static void log(const std::string& text);

  int32_t nextId = 0;
  std::string receiveBuffer;
  // Set while the rest of an over-long line is being dropped.
  bool droppingLine = false;
  std::unordered_map<int32_t, nlohmann::json> responses;
  int32_t timeoutMs = 5000;
  RpcInterface rpcInterface;
  std::mutex mutex;
  std::condition_variable responseCondition;
};

}  // namespace tyr::jsonrpc
