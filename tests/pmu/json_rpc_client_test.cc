// The JSON-RPC client over an in-memory line: framing, id matching, errors, time-outs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "lib/rpc/json_rpc_client.h"

using nlohmann::json;
using tyr::jsonrpc::JsonRpcClient;
using tyr::jsonrpc::JsonRpcResponseError;
using tyr::jsonrpc::JsonRpcTimeoutError;
using tyr::jsonrpc::RpcInterface;

namespace {

// A line whose far end is the test: what the client writes is collected, what the test
// queues is handed to the client's next read. A background "poll thread" runs the receive step.
class Line {
 public:
  Line() {
    RpcInterface rpc;
    rpc.writeFunction = [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      written += text;
      if (onWrite) onWrite(text);
    };
    rpc.readFunction = [this]() {
      std::lock_guard<std::mutex> lock(mutex);
      return std::exchange(incoming, std::string());
    };
    rpc.notificationCallback = [this](const json& doc) { notifications.push_back(doc); };
    rpc.errorCallback = [this](const std::string& text) { errors.push_back(text); };
    client = std::make_unique<JsonRpcClient>(rpc);
  }
  ~Line() { stopPolling(); }
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
  void stopPolling() {
    polling = false;
    if (poller.joinable()) poller.join();
  }

  std::unique_ptr<JsonRpcClient> client;
  std::function<void(const std::string&)> onWrite;  // runs under the line's lock
  std::vector<json> notifications;
  std::vector<std::string> errors;
  std::mutex mutex;
  std::string written, incoming;
  std::atomic<bool> polling{false};
  std::thread poller;
};

// Answers every request with the given response body, echoing its id.
void autoAnswer(Line& line, json body) {
  line.onWrite = [&line, body](const std::string& text) {
    json reply = body;
    reply["id"] = json::parse(text)["id"];
    line.incoming += reply.dump() + "\r\n";
  };
}

}  // namespace

TEST(JsonRpcClient, RequestsAreCompactSortedLinesWithIncreasingIds) {
  Line line;
  line.client->setTimeoutMs(50);
  EXPECT_THROW(line.client->sendRequest("getVersion", nullptr), JsonRpcTimeoutError);
  json params = {{"state", "ON"}, {"powerSupply", "12V"}};
  EXPECT_THROW(line.client->sendRequest("changePower", params), JsonRpcTimeoutError);
  EXPECT_EQ(line.takeWritten(),
            "{\"id\":0,\"method\":\"getVersion\",\"params\":null}\n"
            "{\"id\":1,\"method\":\"changePower\",\"params\":{\"powerSupply\":\"12V\",\"state\":\"ON\"}}\n");
  // Non-ASCII text goes out unescaped.
  EXPECT_THROW(line.client->sendRequest("n\xc3\xa4me", nullptr), JsonRpcTimeoutError);
  EXPECT_EQ(line.takeWritten(), "{\"id\":2,\"method\":\"n\xc3\xa4me\",\"params\":null}\n");
}

TEST(JsonRpcClient, ResultOfTheMatchingResponseIsReturned) {
  Line line;
  line.startPolling();
  autoAnswer(line, {{"result", {{"version", "1.0"}}}});
  EXPECT_EQ(line.client->sendRequest("getVersion", nullptr), json({{"version", "1.0"}}));
  // No result and no error: null.
  autoAnswer(line, json::object());
  EXPECT_TRUE(line.client->sendRequest("x", nullptr).is_null());
  EXPECT_EQ(line.client->pendingResponses(), 0u);
}

TEST(JsonRpcClient, ErrorResponsesCarryMessageAndCode) {
  Line line;
  line.startPolling();
  struct Case {
    json error;
    std::string message;
    int code;
  } cases[] = {
      {nullptr, "Unknown Error", 0},
      {json::object(), "Unknown Error", 0},
      {{{"code", -32601}, {"message", "Method not found"}}, "Method not found", -32601},
      {{{"code", 7}}, "Unknown Error", 7},
      {{{"message", "busy"}}, "busy", 0},
      // Malformed error objects keep the board's message, or show the object.
      {{{"code", "E42"}, {"message", "busy"}}, "Malformed JSON-RPC error for method m: busy", 0},
      {{{"code", 1.5}}, "Malformed JSON-RPC error for method m: {\"code\":1.5}", 0},
  };
  for (const auto& c : cases) {
    autoAnswer(line, {{"error", c.error}, {"result", 1}});
    try {
      line.client->sendRequest("m", nullptr);
      ADD_FAILURE() << "no error for " << c.error.dump();
    } catch (const JsonRpcResponseError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_EQ(e.code, c.code);
    }
  }
}

TEST(JsonRpcClient, LinesAreCutOnlyAtLineFeeds) {
  Line line;
  // Two responses in one read, a third split over two reads, before anyone waits.
  line.queue("{\"id\":0,\"result\":\"a\"}\n{\"id\":1,\"result\":\"b\"}\n{\"id\":2,\"res");
  line.client->processIncoming();
  EXPECT_EQ(line.client->pendingResponses(), 2u);
  line.queue("ult\":\"c\"}\r\n");
  line.client->processIncoming();
  EXPECT_EQ(line.client->pendingResponses(), 3u);
  line.client->setTimeoutMs(10);
  EXPECT_EQ(line.client->sendRequest("a", nullptr), "a");
  EXPECT_EQ(line.client->sendRequest("b", nullptr), "b");
  EXPECT_EQ(line.client->sendRequest("c", nullptr), "c");
}

TEST(JsonRpcClient, BadLinesAndNotificationsAreReportedAndSkipped) {
  Line line;
  line.queue("\nplain words\n{\"event\":\"overcurrent\"}\n[1,2]\n{\"id\":\"x\"}\n{\"id\":0,\"result\":5}\n");
  line.client->processIncoming();
  ASSERT_EQ(line.errors.size(), 3u);
  EXPECT_EQ(line.errors[0], "Failed to parse invalid JSON: ");
  EXPECT_EQ(line.errors[1], "Failed to parse invalid JSON: plain words");
  EXPECT_NE(line.errors[2].find("{\"id\":\"x\"}"), std::string::npos);
  ASSERT_EQ(line.notifications.size(), 2u);
  EXPECT_EQ(line.notifications[0], json({{"event", "overcurrent"}}));
  EXPECT_EQ(line.notifications[1], json({1, 2}));
  line.client->setTimeoutMs(10);
  EXPECT_EQ(line.client->sendRequest("m", nullptr), 5);
}

TEST(JsonRpcClient, LinesPastTheLimitsAndIdsNoRequestCanHaveAreBadLines) {
  Line line;
  const auto nest = [](size_t n) { return std::string(n, '[') + std::string(n, ']') + "\n"; };
  line.queue(nest(100000) + nest(JsonRpcClient::kMaxDepth + 1) + nest(JsonRpcClient::kMaxDepth) +
             "{\"id\":4294967297,\"result\":1}\n{\"id\":-1,\"result\":1}\n" +
             std::string(JsonRpcClient::kMaxLineBytes + 1, ' ') + "\n" +
             std::string(JsonRpcClient::kMaxLineBytes + 1, 'x'));
  line.client->processIncoming();
  line.queue("the end of that line\n{\"id\":0,\"result\":5}\n");
  line.client->processIncoming();
  ASSERT_EQ(line.errors.size(), 6u);
  EXPECT_EQ(line.errors[0], "Dropped a line longer than 65536 bytes");
  EXPECT_EQ(line.errors[1].rfind("JSON nested deeper than 64 levels: [[[", 0), 0u);
  EXPECT_EQ(line.notifications.size(), 1u);  // 64 levels are fine
  EXPECT_EQ(line.client->pendingResponses(), 1u);
  line.client->setTimeoutMs(10);
  EXPECT_EQ(line.client->sendRequest("m", nullptr), 5);
}

TEST(JsonRpcClient, LateResponsesAreFiledButNeverTaken) {
  Line line;
  line.client->setTimeoutMs(20);
  try {
    line.client->sendRequest("measurePower", nullptr);
    FAIL() << "expected a time-out";
  } catch (const JsonRpcTimeoutError& e) {
    EXPECT_STREQ(e.what(), "Failed to receive JSON-RPC response for method measurePower");
  }
  line.queue("{\"id\":0,\"result\":1}\n");
  line.client->processIncoming();
  EXPECT_EQ(line.client->pendingResponses(), 1u);
  // The next request has id 1 and does not take id 0's answer.
  line.takeWritten();
  EXPECT_THROW(line.client->sendRequest("m", nullptr), JsonRpcTimeoutError);
  EXPECT_EQ(line.takeWritten(), "{\"id\":1,\"method\":\"m\",\"params\":null}\n");
  EXPECT_EQ(line.client->pendingResponses(), 1u);
}

TEST(JsonRpcClient, ConcurrentCallersEachGetTheirOwnAnswer) {
  Line line;
  line.startPolling();
  // The far end answers with the request's own params, in reverse order of arrival per pair.
  line.onWrite = [&line](const std::string& text) {
    json request = json::parse(text);
    line.incoming += json({{"id", request["id"]}, {"result", request["params"]}}).dump() + "\n";
  };
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        if (line.client->sendRequest("echo", t * 1000 + i) == t * 1000 + i) ++good;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 200);
}

TEST(JsonRpcClient, MissingFunctionsThrowBadFunctionCall) {
  JsonRpcClient client{RpcInterface{}};
  EXPECT_THROW(client.sendRequest("m", nullptr), std::bad_function_call);
  EXPECT_THROW(client.processIncoming(), std::bad_function_call);
}
