// The JSON-RPC client over an in-memory line: framing, id matching, errors, limits, time-outs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "json_rpc_line.h"

using nlohmann::json;
using pmutest::Line;
using tyr::jsonrpc::JsonRpcClient;
using tyr::jsonrpc::JsonRpcResponseError;
using tyr::jsonrpc::JsonRpcTimeoutError;

TEST(JsonRpcClient, RequestsAreCompactSortedLinesWithIncreasingIds) {
  Line line;
  line.client->setTimeoutMs(20);
  EXPECT_THROW(line.client->sendRequest("getVersion", nullptr), JsonRpcTimeoutError);
  try {
    line.client->sendRequest("ch\xc3\xa4ngePower", {{"state", "ON"}, {"powerSupply", "12V"}});
    FAIL() << "expected a time-out";
  } catch (const JsonRpcTimeoutError& e) {
    EXPECT_STREQ(e.what(), "Failed to receive JSON-RPC response for method ch\xc3\xa4ngePower");
  }
  EXPECT_EQ(line.takeWritten(),
            "{\"id\":0,\"method\":\"getVersion\",\"params\":null}\n"
            "{\"id\":1,\"method\":\"ch\xc3\xa4ngePower\",\"params\":{\"powerSupply\":\"12V\",\"state\":\"ON\"}}\n");
}

TEST(JsonRpcClient, ResponsesGiveTheirResultOrAnErrorWithMessageAndCode) {
  Line line;
  line.startPolling();
  struct Case {
    json body;
    json result;  // or, for an error:
    std::string message;
    int code;
  } cases[] = {
      {{{"result", {{"version", "1.0"}}}}, {{"version", "1.0"}}, "", 0},
      {json::object(), nullptr, "", 0},
      {{{"error", nullptr}, {"result", 1}}, nullptr, "Unknown Error", 0},
      {{{"error", {{"code", -32601}, {"message", "Method not found"}}}}, nullptr, "Method not found", -32601},
      {{{"error", {{"code", 7}}}}, nullptr, "Unknown Error", 7},
      // Malformed error objects keep the board's message, or show the object.
      {{{"error", {{"code", "E42"}, {"message", "busy"}}}}, nullptr, "Malformed JSON-RPC error for method m: busy", 0},
      {{{"error", {{"code", 1.5}}}}, nullptr, "Malformed JSON-RPC error for method m: {\"code\":1.5}", 0},
  };
  for (const auto& c : cases) {
    line.onWrite = [&c](const json& request) {
      json reply = c.body;
      reply["id"] = request["id"];
      return reply;
    };
    try {
      EXPECT_EQ(line.client->sendRequest("m", nullptr), c.result) << c.body;
      EXPECT_EQ(c.message, "") << c.body;
    } catch (const JsonRpcResponseError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_EQ(e.code, c.code);
    }
  }
  EXPECT_EQ(line.client->pendingResponses(), 0u);
}

TEST(JsonRpcClient, LinesAreCutAtLineFeedsAndBadLinesAndNotificationsAreReportedAndSkipped) {
  Line line;
  // Two responses in one read, a third split over two reads, before anyone waits.
  line.queue("{\"id\":0,\"result\":\"a\"}\n{\"id\":1,\"result\":\"b\"}\n\nplain words\n{\"event\":\"hot\"}\n{\"id\":2,\"res");
  line.client->processIncoming();
  line.queue("ult\":\"c\"}\r\n");
  line.client->processIncoming();
  EXPECT_EQ(line.errors, (std::vector<std::string>{"Failed to parse invalid JSON: ",
                                                   "Failed to parse invalid JSON: plain words"}));
  EXPECT_EQ(line.notifications, std::vector<json>{json({{"event", "hot"}})});
  line.client->setTimeoutMs(10);
  for (std::string expected : {"a", "b", "c"}) EXPECT_EQ(line.client->sendRequest("m", nullptr), expected);
}

TEST(JsonRpcClient, LinesPastTheLimitsAndIdsNoRequestCanHaveAreBadLines) {
  Line line;
  const auto nest = [](size_t n) { return std::string(n, '[') + std::string(n, ']') + "\n"; };
  line.queue(nest(100000) + nest(JsonRpcClient::kMaxDepth + 1) + nest(JsonRpcClient::kMaxDepth) +
             "{\"id\":4294967297,\"result\":1}\n{\"id\":-1,\"result\":1}\n{\"id\":\"0\",\"result\":1}\n" +
             std::string(JsonRpcClient::kMaxLineBytes + 1, ' ') + "\n" +
             std::string(JsonRpcClient::kMaxLineBytes + 1, 'x'));
  line.client->processIncoming();
  line.queue("the end of that line\n{\"id\":0,\"result\":5}\n");
  line.client->processIncoming();
  ASSERT_EQ(line.errors.size(), 7u);
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
  EXPECT_THROW(line.client->sendRequest("measurePower", nullptr), JsonRpcTimeoutError);
  line.queue("{\"id\":0,\"result\":1}\n");
  line.client->processIncoming();
  // The next request has id 1 and does not take id 0's answer.
  EXPECT_THROW(line.client->sendRequest("m", nullptr), JsonRpcTimeoutError);
  EXPECT_EQ(line.client->pendingResponses(), 1u);
}

TEST(JsonRpcClient, ConcurrentCallersEachGetTheirOwnAnswer) {
  Line line;
  line.startPolling();
  line.onWrite = [](const json& request) { return json({{"id", request["id"]}, {"result", request["params"]}}); };
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) good += line.client->sendRequest("echo", t * 1000 + i) == t * 1000 + i;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 200);
}
