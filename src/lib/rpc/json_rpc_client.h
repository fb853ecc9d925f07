// Host side of a newline-framed JSON-RPC link: one request per line out, one document per
// line in, responses matched to their request by an integer "id". A received line that does not parse (whatever the
// reason), is longer than kMaxLineBytes, is nested deeper than kMaxDepth, or answers no request that is still waiting
// is a bad line: reported once and dropped, and the link goes on with the next line. Text left without its line feed
// is dropped when the next line starts after the reply time-out, or after a call gave up waiting meanwhile.
// A reply that cannot be read (an object line that does not parse, is too long or too deep, has an id that no request
// can have, or has a "result" or "error" but no id) ends the waiting call at once with the reason, when it can only be
// that call's reply: one call waits, and none gave up within the last reply time-out (its late reply might be the
// line). Otherwise the calls wait on, and such a reply without an id counts as a notification.
#pragma once

#include <chrono>
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
  // Returns what arrived since the last call, without waiting; empty when nothing did. Throws (with the reason as
  // its text) when the line has failed for good: the calls waiting then end at once with that reason.
  std::function<std::string()> readFunction;
  // Called with each received document that is not a response; may be empty.
  std::function<void(const nlohmann::json&)> notificationCallback;
  // Called with the error text of each bad line received; may be empty.
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

  // Sends one request and blocks until its response is filed, the time-out passes or the line fails.
  // Returns the response's "result" (null when absent).
  nlohmann::json sendRequest(const std::string& method, const nlohmann::json& params);
  // The same, and gives up (JsonRpcError "... : the call was cancelled") once cancelled() is true
  // when checked: at the start, and whenever interruptWaits() wakes the waiting calls.
  nlohmann::json sendRequest(const std::string& method, const nlohmann::json& params,
                             const std::function<bool()>& cancelled);
  // Wakes every waiting call to check its cancellation.
  void interruptWaits();

  // Receive step: reads what arrived, files responses, reports notifications and bad lines.
  void processIncoming();

  // How long sendRequest waits for a response (5000 ms unless changed).
  void setTimeoutMs(int32_t ms);
  int32_t getTimeoutMs() const { return timeoutMs; }

  // Responses filed and not yet taken.
  size_t pendingResponses();

  // The identifier of the next request. A link that is opened again continues from where the last session of that
  // link stopped, so that a late reply of the old session never meets a request of the new one.
  int32_t getNextId();
  void setNextId(int32_t id);

  // The reason the line failed for good (what readFunction threw); empty while it works.
  std::string lineFailure();

 private:
  using Clock = std::chrono::steady_clock;

  void handleLine(const std::string& line);
  void reportBadLine(const std::string& error);
  // Ends the waiting call with why its reply, the line, cannot be read, when the line can only be that call's reply
  // (see the class comment); false when it cannot be tied to one call. Called with mutex held.
  bool failWaitingCall(const std::string& line, const std::string& unreadable);
  // Reports a line longer than kMaxLineBytes, of which start is the beginning.
  void reportOverlongLine(const std::string& start);
  // Drops a stale unterminated fragment before text that arrived now is added to it.
  void dropStaleFragment(Clock::time_point now);
  static void log(const std::string& text);

  int32_t nextId = 0;
  std::string receiveBuffer;
  // Set while the rest of an over-long line is being dropped.
  bool droppingLine = false;
  // When the unterminated text at the end of receiveBuffer (or the line being dropped) began, and when it last grew.
  Clock::time_point fragmentStart, fragmentLast;
  // The requests still waiting for their response (only their responses are filed), each with why its reply could not
  // be read once failWaitingCall found one (empty before).
  std::unordered_map<int32_t, std::string> waiting;
  std::unordered_map<int32_t, nlohmann::json> responses;
  // When a call last gave up waiting (its response may have been cut off or come late); the clock's epoch while none
  // has.
  Clock::time_point lastTimeout;
  std::string failure;
  int32_t timeoutMs = 5000;
  RpcInterface rpcInterface;
  std::mutex mutex;
  std::condition_variable responseCondition;
};

}  // namespace tyr::jsonrpc
