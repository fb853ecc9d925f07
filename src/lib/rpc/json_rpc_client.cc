#include "lib/rpc/json_rpc_client.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <utility>

#include "utility/log_line.h"

namespace tyr::jsonrpc {

using nlohmann::json;

namespace {

struct TooDeep {};

const std::string tooLong = "Dropped a line longer than " + std::to_string(JsonRpcClient::kMaxLineBytes) + " bytes";

// The parser's own account of what is wrong, without its prefix and its echo of the bytes it read.
std::string parserReason(const std::exception& e) {
  std::string text = e.what();
  const size_t echo = text.find("; last read");
  if (echo != std::string::npos) text.erase(echo);
  const size_t dash = text.find(" - ");
  if (dash != std::string::npos) return text.substr(dash + 3);
  const size_t prefix = text.find("] ");
  return prefix == std::string::npos ? text : text.substr(prefix + 2);
}

// The start of a received line for an error text: printable ASCII as it is, every other byte as \xNN.
std::string excerpt(const std::string& line) {
  constexpr size_t kShown = 60;
  std::string text;
  for (size_t i = 0; i < line.size() && i < kShown; ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      text += static_cast<char>(byte);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
      text += escaped;
    }
  }
  return line.size() > kShown ? text + "..." : text;
}

// Whether the line is meant as a JSON object, as every reply is.
bool startsAnObject(const std::string& line) {
  const size_t first = line.find_first_not_of(" \t\r");
  return first != std::string::npos && line[first] == '{';
}

// An integer that an int32 holds (a response's id, an error object's code).
bool isInt32(const json& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>() <= INT32_MAX;
  return value.is_number_integer() && value.get<int64_t>() >= INT32_MIN && value.get<int64_t>() <= INT32_MAX;
}

}  // namespace

JsonRpcClient::JsonRpcClient(const RpcInterface& rpcInterface) : rpcInterface(rpcInterface) {}

void JsonRpcClient::log(const std::string& text) {
  kyt::LogLine("JsonRpcClient: " + text);
}

void JsonRpcClient::setTimeoutMs(int32_t ms) {
  std::lock_guard<std::mutex> lock(mutex);
  timeoutMs = ms;
}

size_t JsonRpcClient::pendingResponses() {
  std::lock_guard<std::mutex> lock(mutex);
  return responses.size();
}

int32_t JsonRpcClient::getNextId() {
  std::lock_guard<std::mutex> lock(mutex);
  return nextId;
}

void JsonRpcClient::setNextId(int32_t id) {
  std::lock_guard<std::mutex> lock(mutex);
  nextId = id < 0 ? 0 : id;
}

std::string JsonRpcClient::lineFailure() {
  std::lock_guard<std::mutex> lock(mutex);
  return failure;
}

void JsonRpcClient::interruptWaits() {
  std::lock_guard<std::mutex> lock(mutex);
  responseCondition.notify_all();
}

json JsonRpcClient::sendRequest(const std::string& method, const json& params) {
  return sendRequest(method, params, std::function<bool()>());
}

json JsonRpcClient::sendRequest(const std::string& method, const json& params,
                                const std::function<bool()>& cancelled) {
  std::unique_lock<std::mutex> lock(mutex);
  if (!rpcInterface.writeFunction) throw std::bad_function_call();
  if (!failure.empty()) throw JsonRpcError("Failed to send JSON-RPC request for method " + method + ": " + failure);
  const int32_t id = nextId;
  // Counting on from 0 after the largest id: the requests of 2^31 ids ago are long over.
  nextId = nextId == INT32_MAX ? 0 : nextId + 1;
  json request = json::object();
  request["id"] = id;
  request["method"] = method;
  request["params"] = params;
  // Non-ASCII characters go out as they are; invalid UTF-8 is refused by the library.
  const std::string text = request.dump() + "\n";
  waiting.emplace(id, std::string());
  try {
    rpcInterface.writeFunction(text);
  } catch (const std::exception& e) {
    waiting.erase(id);
    // Nothing can answer a request that did not go out: fail now instead of waiting out the time-out.
    throw JsonRpcError("Failed to send JSON-RPC request for method " + method + ": " + e.what());
  }

  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto found = responses.find(id);
  const auto isCancelled = [&cancelled] { return cancelled && cancelled(); };
  while (found == responses.end() && failure.empty() && !isCancelled() && waiting.at(id).empty()) {
    if (responseCondition.wait_until(lock, deadline) == std::cv_status::timeout) {
      found = responses.find(id);
      break;
    }
    found = responses.find(id);
  }
  const std::string unreadable = std::move(waiting.at(id));
  waiting.erase(id);
  if (found == responses.end()) {
    // The link's failure first: it ends every call.
    const std::string& reason = failure.empty() ? unreadable : failure;
    if (!reason.empty()) throw JsonRpcError("Failed to receive JSON-RPC response for method " + method + ": " + reason);
    if (isCancelled()) {
      lastTimeout = Clock::now();  // its reply, if it comes, is cut off or unwanted like a timed-out one
      throw JsonRpcError("Failed to receive JSON-RPC response for method " + method + ": the call was cancelled");
    }
    // A reply cut off before its end may still sit in the receive buffer: the next line must not be glued to it.
    lastTimeout = Clock::now();
    throw JsonRpcTimeoutError("Failed to receive JSON-RPC response for method " + method);
  }
  json response = std::move(found->second);
  responses.erase(found);
  lock.unlock();

  if (response.is_object()) {
    auto error = response.find("error");
    if (error != response.end()) {
      int32_t code = 0;
      std::string message = "Unknown Error";
      if (error->is_object()) {
        auto codeValue = error->find("code");
        auto messageValue = error->find("message");
        const bool hasMessage = messageValue != error->end() && messageValue->is_string();
        if (hasMessage) message = messageValue->get<std::string>();
        // A code that is no int32, or a message that is no text: say so, keeping what the board said.
        if ((codeValue != error->end() && !isInt32(*codeValue)) || (messageValue != error->end() && !hasMessage)) {
          throw JsonRpcResponseError(
              "Malformed JSON-RPC error for method " + method + ": " + (hasMessage ? message : error->dump()), 0);
        }
        if (codeValue != error->end()) code = codeValue->get<int32_t>();
      }
      throw JsonRpcResponseError(message, code);
    }
    auto result = response.find("result");
    if (result != response.end()) return *result;
  }
  return json();
}

void JsonRpcClient::processIncoming() {
  if (!rpcInterface.readFunction) throw std::bad_function_call();
  std::string text;
  try {
    text = rpcInterface.readFunction();
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(mutex);
    if (failure.empty()) {
      failure = e.what();
      log("Error: the line failed: " + failure);
      responseCondition.notify_all();
    }
    return;
  }
  if (text.empty()) return;
  const auto now = Clock::now();
  dropStaleFragment(now);
  if (receiveBuffer.empty() && !droppingLine) fragmentStart = now;
  fragmentLast = now;
  receiveBuffer += text;
  size_t start = 0;
  for (size_t end; (end = receiveBuffer.find('\n', start)) != std::string::npos; start = end + 1) {
    fragmentStart = now;  // what follows this line feed began now
    if (std::exchange(droppingLine, false)) continue;  // the end of an over-long line already reported
    if (end - start > kMaxLineBytes) {
      reportOverlongLine(receiveBuffer.substr(start, 128));
    } else {
      handleLine(receiveBuffer.substr(start, end - start));
    }
  }
  receiveBuffer.erase(0, start);
  if (receiveBuffer.size() > kMaxLineBytes) {
    // No end in sight: drop what there is, and the rest of the line as it arrives.
    if (!droppingLine) reportOverlongLine(receiveBuffer);
    droppingLine = true;
    receiveBuffer.clear();
  }
}

void JsonRpcClient::dropStaleFragment(Clock::time_point now) {
  if (receiveBuffer.empty() && !droppingLine) return;
  Clock::time_point timedOut;
  int32_t timeout;
  {
    std::lock_guard<std::mutex> lock(mutex);
    timedOut = lastTimeout;
    timeout = timeoutMs;
  }
  // A fragment older than any reply may take, or one that stopped growing before a call gave up on its reply, will
  // never be completed: the text arriving now starts a new line.
  if (now - fragmentStart <= std::chrono::milliseconds(timeout) && fragmentLast >= timedOut) return;
  if (std::exchange(droppingLine, false)) return;  // the over-long line was reported already
  reportBadLine("Dropped an unterminated line: " + receiveBuffer.substr(0, 80));
  receiveBuffer.clear();
}

void JsonRpcClient::handleLine(const std::string& line) {
  std::string error;
  // Why the line cannot be read, should it be a reply.
  std::string unreadable;
  json document;
  try {
    // The limit applies while parsing: deeper documents would overflow the stack of whoever
    // copies, prints or compares them later.
    document = json::parse(line, [](int depth, json::parse_event_t event, json&) {
      if (depth >= kMaxDepth &&
          (event == json::parse_event_t::object_start || event == json::parse_event_t::array_start)) {
        throw TooDeep();
      }
      return true;
    });
  } catch (const TooDeep&) {
    error = "JSON nested deeper than " + std::to_string(kMaxDepth) + " levels: " + line.substr(0, 80) + "...";
    unreadable = "it is nested deeper than " + std::to_string(kMaxDepth) + " levels";
  } catch (const std::exception& e) {
    // Whatever the parser refuses (bad syntax, a number beyond the double range, ...) is one bad line.
    error = "Failed to parse invalid JSON: " + line;
    unreadable = "it is not valid JSON (" + parserReason(e) + ")";
  }
  std::unique_lock<std::mutex> lock(mutex);
  if (!error.empty()) {
    if (startsAnObject(line)) failWaitingCall(line, unreadable);
  } else if (document.is_object() && document.contains("id")) {
    const json& id = document["id"];
    // Only a request still waiting takes a response: an id never issued, or one whose call has ended, would
    // otherwise answer a later call. Such lines are bad lines, dropped like unparsable ones.
    if (!isInt32(id) || id.get<int32_t>() < 0) {
      error = "Invalid response id: " + line;
      failWaitingCall(line, "its id " + excerpt(id.dump()) + " is no request's");
    } else if (waiting.count(id.get<int32_t>()) == 0) {
      error = "No request waits for response id " + std::to_string(id.get<int32_t>()) + ": " + line;
    } else {
      responses[id.get<int32_t>()] = std::move(document);
      responseCondition.notify_all();
    }
  } else if (document.is_object() && (document.contains("result") || document.contains("error")) &&
             failWaitingCall(line, "it has no id")) {
    error = "A reply without an id: " + line;
  } else {
    log("Received Notification: " + document.dump());
    try {
      if (rpcInterface.notificationCallback) rpcInterface.notificationCallback(document);
    } catch (const std::exception& e) {
      log(std::string("Error: the notification handler failed: ") + e.what());
    }
  }
  lock.unlock();
  if (!error.empty()) reportBadLine(error);
}

bool JsonRpcClient::failWaitingCall(const std::string& line, const std::string& unreadable) {
  const bool gaveUpLately =
      lastTimeout != Clock::time_point() && Clock::now() - lastTimeout <= std::chrono::milliseconds(timeoutMs);
  if (waiting.size() != 1 || gaveUpLately) return false;
  waiting.begin()->second = "the reply could not be read: " + unreadable + ": " + excerpt(line);
  responseCondition.notify_all();
  return true;
}

void JsonRpcClient::reportOverlongLine(const std::string& start) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (startsAnObject(start)) failWaitingCall(start, "it is longer than " + std::to_string(kMaxLineBytes) + " bytes");
  }
  reportBadLine(tooLong);
}

void JsonRpcClient::reportBadLine(const std::string& error) {
  log("Error: " + error);
  if (rpcInterface.errorCallback) rpcInterface.errorCallback(error);
}

}  // namespace tyr::jsonrpc
