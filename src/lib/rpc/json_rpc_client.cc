#include "lib/rpc/json_rpc_client.h"

#include <chrono>
#include <iostream>

namespace tyr::jsonrpc {

using nlohmann::json;

JsonRpcClient::JsonRpcClient(const RpcInterface& rpcInterface) : rpcInterface(rpcInterface) {}

void JsonRpcClient::log(const std::string& text) {
  // One whole line per write, so lines of concurrent clients never interleave.
  static std::mutex logMutex;
  std::lock_guard<std::mutex> lock(logMutex);
  std::cout << ("JsonRpcClient: " + text + "\n") << std::flush;
}

void JsonRpcClient::setTimeoutMs(int32_t ms) {
  std::lock_guard<std::mutex> lock(mutex);
  timeoutMs = ms;
}

size_t JsonRpcClient::pendingResponses() {
  std::lock_guard<std::mutex> lock(mutex);
  return responses.size();
}

json JsonRpcClient::sendRequest(const std::string& method, const json& params) {
  std::unique_lock<std::mutex> lock(mutex);
  const int32_t id = nextId++;
  json request = json::object();
  request["id"] = id;
  request["method"] = method;
  request["params"] = params;
  // Non-ASCII characters go out as they are; invalid UTF-8 is refused by the library.
  const std::string text = request.dump() + "\n";
  if (!rpcInterface.writeFunction) throw std::bad_function_call();
  rpcInterface.writeFunction(text);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto found = responses.find(id);
  while (found == responses.end()) {
    if (responseCondition.wait_until(lock, deadline) == std::cv_status::timeout) {
      found = responses.find(id);
      break;
    }
    found = responses.find(id);
  }
  if (found == responses.end()) {
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
        if (error->contains("code")) code = (*error)["code"].get<int32_t>();
        if (error->contains("message")) message = (*error)["message"].get<std::string>();
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
  receiveBuffer += rpcInterface.readFunction();
  size_t start = 0;
  for (size_t end; (end = receiveBuffer.find('\n', start)) != std::string::npos; start = end + 1) {
    handleLine(receiveBuffer.substr(start, end - start));
  }
  receiveBuffer.erase(0, start);
}

void JsonRpcClient::handleLine(const std::string& line) {
  std::string error;
  try {
    json document = json::parse(line);
    std::lock_guard<std::mutex> lock(mutex);
    if (document.is_object() && document.contains("id")) {
      const json& id = document["id"];
      // An id that is not an integer cannot answer any request: such a line is dropped
      // like an unparsable one instead of ending the poll thread's pass.
      if (!id.is_number_integer()) {
        error = "Invalid response id: " + line;
      } else {
        responses[id.get<int32_t>()] = std::move(document);
        responseCondition.notify_all();
      }
    } else {
      log("Received Notification: " + document.dump());
      if (rpcInterface.notificationCallback) rpcInterface.notificationCallback(document);
    }
  } catch (const json::parse_error&) {
    error = "Failed to parse invalid JSON: " + line;
  }
  if (!error.empty()) {
    log("Error: " + error);
    if (rpcInterface.errorCallback) rpcInterface.errorCallback(error);
  }
}

}  // namespace tyr::jsonrpc
