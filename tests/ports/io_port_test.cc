#include "devices/io_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <regex>
#include <thread>

#include "test_support.h"

using portstest::readFile;
using tyr::ioport::IoPort;
using tyr::ioport::Parity;

namespace {

// A port whose device delivers a scripted chunk at each poll.
class ScriptedPort : public IoPort {
 public:
  ScriptedPort() : IoPort("TEST", 1) {}
  ~ScriptedPort() override { teardown(); }

  void deliver(const std::string& chunk) {
    locked([&] { pending = chunk; });
    poll();
  }
  int write(const uint8_t*, int length) override { return length; }
  bool setBaudRate(int) override { return true; }
  bool setParity(Parity) override { return true; }
  int readRaw(uint8_t* buffer, int capacity) override {
    ++rawReads;
    size_t n = std::min(pending.size(), static_cast<size_t>(capacity));
    std::memcpy(buffer, pending.data(), n);
    pending.erase(0, n);
    return static_cast<int>(n);
  }
  void close() override {
    locked([&] { open = false; });
  }
  bool isOpenUnsafe() override { return open; }
  void locked(const std::function<void()>& f) {
    std::lock_guard<std::mutex> lock(mutex);
    f();
  }

  bool open = true;
  int rawReads = 0;
  std::string pending;
  using IoPort::errorCode;
  using IoPort::searchBufferLimit;
};

}  // namespace

TEST(IoPort, ReadBufferedReadAndFlushResetTheErrorCode) {
  portstest::LogCapture log;
  ScriptedPort port;
  port.locked([&] { port.errorCode = -7; });
  port.deliver("abcdef");  // polling leaves the code alone, and so does reading it
  EXPECT_EQ(port.getErrorCode(), -7);
  EXPECT_EQ(port.getErrorCode(), -7);
  EXPECT_EQ(port.read(3), "abc");
  EXPECT_EQ(port.getErrorCode(), 0);
  EXPECT_EQ(port.read(0), "def");
  EXPECT_EQ(port.read(0), "");
  port.deliver("xyz");
  EXPECT_EQ(port.read(10), "xyz");
  EXPECT_EQ(port.bufferedRead(), "abcdefxyz");
  EXPECT_EQ(port.bufferedRead(), "abcdefxyz");
  port.locked([&] { port.errorCode = -7; });
  port.useTextMode();
  EXPECT_EQ(port.getErrorCode(), 0);

  port.deliver("gh");
  port.locked([&] { port.errorCode = -5; });
  port.flush(9);
  EXPECT_EQ(port.read(0), "");
  EXPECT_EQ(port.bufferedRead(), "gh");
  EXPECT_EQ(port.getErrorCode(), 0);
  EXPECT_TRUE(log.has("TEST: flushing buffer"));
  EXPECT_TRUE(log.has("TEST: flushed search buffer. remaining: 2 chars"));
  port.deliver("ij");
  EXPECT_THROW(port.flush(5), std::out_of_range);
  EXPECT_EQ(port.read(0), "");  // emptied before the refusal
  EXPECT_EQ(port.bufferedRead(), "ghij");
  port.flush(0);
  EXPECT_EQ(port.bufferedRead(), "");
  EXPECT_TRUE(log.has("TEST: flushed all search buffer"));
}

TEST(IoPort, TextModeConvertsLineEndingsPerStreamBinaryModeKeepsThem) {
  struct Case {
    std::vector<std::string> chunks;
    std::string text;
  } cases[] = {
      {{"a\r\nb\rc\n"}, "a\nb\nc\n"},
      {{"x\r\r\ny"}, "x\ny"},  // a CR run before LF collapses into one newline
      {{"\r\r"}, "\n\n"},
      // A CR LF split across polls gives one newline; a lone LF, or a CR without LF, stays one.
      {{"line1\r", "\nline2\r", "next", "\n"}, "line1\nline2\nnext\n"},
  };
  for (const auto& c : cases) {
    ScriptedPort port;
    for (const auto& chunk : c.chunks) port.deliver(chunk);
    EXPECT_EQ(port.read(0), c.text) << c.chunks[0];
  }
  ScriptedPort port;
  port.useBinaryMode();
  const std::string raw("a\r\nb\rc\n\0", 8);
  port.deliver(raw);
  EXPECT_EQ(port.read(0), raw);

  std::string text = "a\r\r\nb\r\nc", crs = "x\ry\r";
  IoPort::changeToLineEnding(text, "\r\n");
  IoPort::changeToLineEnding(crs, "\r");
  EXPECT_EQ(text, "a\nb\nc");
  EXPECT_EQ(crs, "x\ny\n");
}

TEST(IoPort, SearchBufferKeepsTheNewestMillionCharacters) {
  ScriptedPort port;
  std::string all;
  for (int i = 0; i < 1000100; ++i) all.push_back(static_cast<char>('a' + i % 26));
  for (size_t off = 0; off < all.size(); off += 1024) port.deliver(all.substr(off, 1024));
  EXPECT_EQ(port.bufferedRead(), all.substr(100));
  EXPECT_EQ(port.read(0).size(), all.size());  // the read buffer has no limit
}

TEST(IoPort, SearchBufferStaysExactAcrossManyTrims) {
  ScriptedPort port;
  port.locked([&] { port.searchBufferLimit = 10; });
  std::string all;
  for (int i = 0; i < 200; ++i) {
    std::string chunk(static_cast<size_t>(1 + i % 7), static_cast<char>('a' + i % 26));
    all += chunk;
    port.deliver(chunk);
    ASSERT_EQ(port.bufferedRead(), all.substr(all.size() > 10 ? all.size() - 10 : 0)) << "after chunk " << i;
  }
  port.flush(4);
  EXPECT_EQ(port.bufferedRead(), all.substr(all.size() - 6));
  port.deliver("XYZ");
  EXPECT_EQ(port.bufferedRead(), all.substr(all.size() - 6) + "XYZ");
}

TEST(IoPort, PipeFilesAppendOrTruncateTakeDeviceAndScriptTextAndTimestamps) {
  portstest::TempDir dir;
  std::string path = dir.file("pipe.log");
  portstest::writeFile(path, "old");
  ScriptedPort port;
  portstest::LogCapture log;
  port.unpipe();  // nothing piped: no line
  EXPECT_TRUE(port.pipe(path, false, true));
  port.deliver("ok\r\n");
  std::string text = "\nrun", copy = text;  // pipeText may change its argument
  EXPECT_TRUE(port.pipeText(copy, false));
  port.deliver("x");
  port.flush(0);  // notes itself as script text
  port.useBinaryMode();
  port.deliver("binary");  // binary data never reaches the pipe file
  port.useTextMode();
  port.unpipe();
  EXPECT_EQ(readFile(path), "old\n\nok\n\nrun\nx\nflushing read buffer");
  std::string late = "late";
  EXPECT_FALSE(port.pipeText(late, false));

  // Truncating, with timestamps: a prefix opens every line, tagged as the text before it.
  EXPECT_TRUE(port.pipe(path, true, false));
  port.deliver("ok\r\n");
  port.pipeText(copy = text, false);
  port.deliver("x");
  port.unpipe();
  const std::string ts = R"(\n\d\d/\d\d/\d{4}, \d\d:\d\d:\d\d\.\d{3} \| )";
  std::regex timestamped(ts + "DEVICE \\| " + ts + "DEVICE \\| ok" + ts + "DEVICE \\| " + ts + "SCRIPT \\| run" +
                         ts + "DEVICE \\| x");
  EXPECT_TRUE(std::regex_match(readFile(path), timestamped)) << readFile(path);
  EXPECT_FALSE(port.pipe("/nonexistent-kyt-folder/x.log", false, false));
  EXPECT_FALSE(port.pipeText(late, false));
  std::vector<std::string> expected = {
      "TEST: piping logs to " + path, "TEST: flushing buffer", "TEST: flushed all search buffer",
      "TEST: changing to binary mode", "TEST: changing to text mode", "TEST: unpiping",
      "TEST: piping logs to " + path, "TEST: unpiping", "TEST: piping logs to /nonexistent-kyt-folder/x.log"};
  EXPECT_EQ(log.lines(), expected);
}

TEST(IoPort, ClosedPortTerminatesPollerAndBuffersNothing) {
  portstest::LogCapture log;
  ScriptedPort port;
  port.open = false;
  port.deliver("data");
  port.poll();
  EXPECT_EQ(log.count("TEST: terminating poller"), 2u);
  EXPECT_EQ(port.rawReads, 0);
  EXPECT_EQ(port.read(0), "");
}

TEST(IoPort, PollPassesOverAPortBusyWithAnotherOperation) {
  ScriptedPort port;
  port.pending = "later";
  std::promise<void> held, release;
  std::thread busy([&] {
    port.locked([&] {
      held.set_value();
      release.get_future().wait_for(std::chrono::seconds(10));
    });
  });
  held.get_future().wait();
  port.poll();  // returns at once instead of waiting for the operation
  release.set_value();
  busy.join();
  EXPECT_EQ(port.rawReads, 0);
  port.poll();
  EXPECT_EQ(port.read(0), "later");
}
