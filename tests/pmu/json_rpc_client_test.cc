// The JSON-RPC client over an in-memory line: framing, id matching, errors, limits, time-outs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "json_rpc_line.h"
#include "test_support.h"

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
  line.startPolling();
  // Bad lines and a notification before the reply, which is split over two reads.
  line.onWriteChunks = [](const json&) {
    return std::vector<std::string>{"\nplain words\n{\"event\":\"hot\"}\n{\"id\":0,\"res", "ult\":\"a\"}\r\n"};
  };
  EXPECT_EQ(line.client->sendRequest("m", nullptr), "a");
  EXPECT_EQ(line.errors, (std::vector<std::string>{"Failed to parse invalid JSON: ",
                                                   "Failed to parse invalid JSON: plain words"}));
  EXPECT_EQ(line.notifications, std::vector<json>{json({{"event", "hot"}})});
}

// Whatever the parser throws, the line is dropped once and the next one is read: a number beyond the double range
// (out_of_range rather than parse_error) once stayed at the head of the buffer and was parsed again on every poll.
TEST(JsonRpcClient, LinesPastTheLimitsOrTheParserAndIdsNoRequestCanHaveAreBadLines) {
  Line line;
  const auto nest = [](size_t n) { return std::string(n, '[') + std::string(n, ']') + "\n"; };
  line.queue(nest(100000) + nest(JsonRpcClient::kMaxDepth + 1) + nest(JsonRpcClient::kMaxDepth) +
             "{\"id\":4294967297,\"result\":1}\n{\"id\":-1,\"result\":1}\n{\"id\":\"0\",\"result\":1}\n" +
             "{\"method\":\"event\",\"params\":1e400}\n{\"id\":0,\"result\":1e400}\n" +
             std::string(JsonRpcClient::kMaxLineBytes + 1, ' ') + "\n" +
             std::string(JsonRpcClient::kMaxLineBytes + 1, 'x'));
  EXPECT_NO_THROW(line.client->processIncoming());
  // The unterminated line is dropped as soon as it passes the limit, not kept until its end arrives.
  ASSERT_EQ(line.errors.size(), 9u);
  EXPECT_EQ(line.errors[0], "Dropped a line longer than 65536 bytes");
  EXPECT_EQ(line.errors[1].rfind("JSON nested deeper than 64 levels: [[[", 0), 0u);
  EXPECT_EQ(line.errors[5], "Failed to parse invalid JSON: {\"method\":\"event\",\"params\":1e400}");
  EXPECT_EQ(line.errors[8], "Dropped a line longer than 65536 bytes");
  EXPECT_EQ(line.notifications.size(), 1u);  // 64 levels are fine
  line.queue("the end of that line\n");
  line.client->processIncoming();
  EXPECT_EQ(line.errors.size(), 9u);
  EXPECT_EQ(line.client->pendingResponses(), 0u);
  line.startPolling();
  line.onWrite = [](const json& request) { return json({{"id", request["id"]}, {"result", 5}}); };
  EXPECT_EQ(line.client->sendRequest("m", nullptr), 5);
}

// A reply to a call that has ended, or to one not yet made, never answers a later call.
TEST(JsonRpcClient, RepliesToNoWaitingRequestAreBadLines) {
  Line line;
  line.client->setTimeoutMs(20);
  EXPECT_THROW(line.client->sendRequest("measurePower", nullptr), JsonRpcTimeoutError);
  line.queue("{\"id\":0,\"result\":1}\n{\"id\":1,\"result\":2}\n");
  line.client->processIncoming();
  EXPECT_EQ(line.errors, (std::vector<std::string>{"No request waits for response id 0: {\"id\":0,\"result\":1}",
                                                   "No request waits for response id 1: {\"id\":1,\"result\":2}"}));
  EXPECT_EQ(line.client->pendingResponses(), 0u);
  EXPECT_THROW(line.client->sendRequest("m", nullptr), JsonRpcTimeoutError);  // id 1, not answered by the early reply
  // A link opened again goes on counting where the last session stopped.
  EXPECT_EQ(line.client->getNextId(), 2);
  Line again;
  again.client->setNextId(line.client->getNextId());
  again.client->setTimeoutMs(20);
  EXPECT_THROW(again.client->sendRequest("m", nullptr), JsonRpcTimeoutError);
  EXPECT_EQ(again.takeWritten(), "{\"id\":2,\"method\":\"m\",\"params\":null}\n");
}

// Half a reply followed by silence costs its own call only: the next reply is read whole.
TEST(JsonRpcClient, AnUnterminatedReplyIsDroppedOnceItsCallGaveUp) {
  Line line;
  line.startPolling();
  line.client->setTimeoutMs(30);
  line.onWriteChunks = [](const json& request) {
    if (request["id"] == 0) return std::vector<std::string>{"{\"id\":0,\"res"};
    return std::vector<std::string>{"{\"id\":" + request["id"].dump() + ",\"result\":\"whole\"}\n"};
  };
  EXPECT_THROW(line.client->sendRequest("m", nullptr), JsonRpcTimeoutError);
  // The fragment goes because its call gave up, not by its age: the next call may wait as long as a loaded machine needs.
  line.client->setTimeoutMs(60000);
  EXPECT_EQ(line.client->sendRequest("m", nullptr), "whole");
  EXPECT_EQ(line.errors, std::vector<std::string>{"Dropped an unterminated line: {\"id\":0,\"res"});
}

// A line that fails for good ends the call waiting on it at once, with the line's reason, and every later call.
TEST(JsonRpcClient, ALineThatFailsEndsTheWaitingCallWithItsReason) {
  Line line;
  line.startPolling();
  line.client->setTimeoutMs(3600000);  // a wait for the time-out would outlast the test run
  line.onWriteChunks = [&line](const json&) {
    line.failure = "the device has hung up";  // the line's lock is held here
    return std::vector<std::string>{};
  };
  EXPECT_EQ(portstest::errorOf([&] { line.client->sendRequest("getVersion", nullptr); }),
            "Failed to receive JSON-RPC response for method getVersion: the device has hung up");
  EXPECT_EQ(portstest::errorOf([&] { line.client->sendRequest("getVersion", nullptr); }),
            "Failed to send JSON-RPC request for method getVersion: the device has hung up");
  EXPECT_EQ(line.client->lineFailure(), "the device has hung up");
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

// A reply that cannot be read ends the one call waiting at once, with the time-out text followed by the reason,
// instead of costing it the time-out.
TEST(JsonRpcClient, AnUnreadableReplyEndsTheOneWaitingCallAtOnceWithItsReason) {
  Line line;
  line.startPolling();
  line.client->setTimeoutMs(3600000);  // a wait for the time-out would outlast the test run
  struct Case {
    std::string reply;  // the far end's line; "#" stands for the request's id
    std::string reason;
  } cases[] = {
      {"{\"id\":#,\"result\":{\"version\":\"1.2.3-\xc3(\"}}",
       "it is not valid JSON (invalid string: ill-formed UTF-8 byte): {\"id\":0,\"result\":{\"version\":\"1.2.3-\\xc3(\"}}"},
      {std::string("{\"id\":#,\"result\":\"a\0b\"}", 23), "(invalid string: control character U+0000 (NUL)"},
      {"{\"id\":#,\"result\":\"" + std::string(70000, 'x') + "\"}",
       "it is longer than 65536 bytes: {\"id\":2,\"result\":\"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx..."},
      {"{\"result\":{\"version\":\"1.0\"}}", "it has no id: {\"result\":{\"version\":\"1.0\"}}"},
      {"{\"id\":\"#\",\"result\":1}", "its id \"4\" is no request's: {\"id\":\"4\",\"result\":1}"},
  };
  for (const auto& c : cases) {
    line.onWriteChunks = [&c](const json& request) {
      std::string reply = c.reply;
      const size_t mark = reply.find('#');
      if (mark != std::string::npos) reply.replace(mark, 1, request["id"].dump());
      return std::vector<std::string>{reply + "\n"};
    };
    const std::string error = portstest::errorOf([&] { line.client->sendRequest("getVersion", nullptr); });
    EXPECT_EQ(error.rfind("Failed to receive JSON-RPC response for method getVersion: the reply could not be read: ", 0),
              0u)
        << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  line.onWriteChunks = nullptr;
  line.onWrite = [](const json& request) { return json({{"id", request["id"]}, {"result", "fine"}}); };
  EXPECT_EQ(line.client->sendRequest("getVersion", nullptr), "fine");
}

// A bad line that might belong to another call is no reason to end one: after a call gave up (its reply may come
// late), or with two calls waiting, the calls wait on as before, and a reply without an id is a notification.
TEST(JsonRpcClient, AnUnreadableLineThatMayBeAnotherCallsReplyEndsNoCall) {
  const std::string bad = "{\"id\":0,\"result\":\"\xff\"}\n";
  {
    Line line;
    line.startPolling();
    line.client->setTimeoutMs(20);
    EXPECT_THROW(line.client->sendRequest("measurePower", nullptr), JsonRpcTimeoutError);
    line.client->setTimeoutMs(3600000);
    line.onWriteChunks = [&bad](const json& request) {
      return std::vector<std::string>{bad + "{\"id\":" + request["id"].dump() + ",\"result\":1}\n"};
    };
    EXPECT_EQ(line.client->sendRequest("m", nullptr), 1);
  }
  Line line;
  line.startPolling();
  line.client->setTimeoutMs(3600000);
  int writes = 0;
  line.onWriteChunks = [&](const json& request) {
    if (++writes < 2) return std::vector<std::string>{};
    // Both calls wait now: a reply without an id, a bad line, then each call's reply.
    const int id = request["id"].get<int>();
    return std::vector<std::string>{"{\"result\":\"whose?\"}\n" + bad + "{\"id\":" + std::to_string(id - 1) +
                                    ",\"result\":\"first\"}\n{\"id\":" + std::to_string(id) + ",\"result\":\"second\"}\n"};
  };
  json first;
  std::thread other([&] { first = line.client->sendRequest("m", nullptr); });
  ASSERT_TRUE(portstest::waitFor([&] { return line.client->getNextId() == 1; }));
  EXPECT_EQ(line.client->sendRequest("m", nullptr), "second");
  other.join();
  EXPECT_EQ(first, "first");
  EXPECT_EQ(line.notifications, std::vector<json>{json({{"result", "whose?"}})});
}
