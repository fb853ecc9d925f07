// An in-memory line for the tests of the JSON-RPC client.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <stdexcept>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/rpc/json_rpc_client.h"

namespace pmutest {

// A line whose far end is the test: what the client writes is collected (and answered by onWrite or onWriteChunks, if
// set), what the test queues is handed to the client's reads, one queued chunk per read. startPolling() runs the
// receive step on a "poll thread". Once fail() is called, reads throw its reason.
class Line {
 public:
  Line() {
    tyr::jsonrpc::RpcInterface rpc;
    rpc.writeFunction = [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      written += text;
      if (onWrite) incoming.push_back(onWrite(nlohmann::json::parse(text)).dump() + "\r\n");
      if (onWriteChunks) {
        for (auto& chunk : onWriteChunks(nlohmann::json::parse(text))) incoming.push_back(chunk);
      }
    };
    rpc.readFunction = [this]() {
      std::lock_guard<std::mutex> lock(mutex);
      if (!failure.empty()) throw std::runtime_error(failure);
      if (incoming.empty()) return std::string();
      std::string chunk = std::move(incoming.front());
      incoming.pop_front();
      return chunk;
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
    incoming.push_back(text);
  }
  void fail(const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex);
    failure = reason;
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
  std::function<std::vector<std::string>(const nlohmann::json& request)> onWriteChunks;  // or its raw chunks
  std::vector<nlohmann::json> notifications;
  std::vector<std::string> errors;
  std::mutex mutex;
  std::string written, failure;
  std::deque<std::string> incoming;
  std::atomic<bool> polling{false};
  std::thread poller;
};

}  // namespace pmutest
