// An in-memory line for the tests of the JSON-RPC client.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/rpc/json_rpc_client.h"

namespace pmutest {

// A line whose far end is the test: what the client writes is collected (and answered by onWrite, if set), what the
// test queues is handed to the client's next read. startPolling() runs the receive step on a "poll thread".
class Line {
 public:
  Line() {
    tyr::jsonrpc::RpcInterface rpc;
    rpc.writeFunction = [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      written += text;
      if (onWrite) incoming += onWrite(nlohmann::json::parse(text)).dump() + "\r\n";
    };
    rpc.readFunction = [this]() {
      std::lock_guard<std::mutex> lock(mutex);
      return std::exchange(incoming, std::string());
    };
    rpc.notificationCallback = [this](const nlohmann::json& doc) { notifications.push_back(doc); };
    rpc.errorCallback = [this](const std::string& text) { errors.push_back(text); };
    client = std::make_unique<tyr::jsonrpc::JsonRpcClient>(rpc);
  }
  ~Line() {
    polling = false;
    if (poller.joinable()) poller.join();
  }
  void queue(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    incoming += text;
  }
  std::string takeWritten() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(written, std::string());
  }
  void startPolling() {
    polling = true;
    poller = std::thread([this] {
      while (polling) {
        client->processIncoming();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }

  std::unique_ptr<tyr::jsonrpc::JsonRpcClient> client;
  std::function<nlohmann::json(const nlohmann::json& request)> onWrite;  // the far end's answer to a request
  std::vector<nlohmann::json> notifications;
  std::vector<std::string> errors;
  std::mutex mutex;
  std::string written, incoming;
  std::atomic<bool> polling{false};
  std::thread poller;
};

}  // namespace pmutest
