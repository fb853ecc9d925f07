#include "devices/io_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <regex>

#include "test_support.h"

using tyr::ioport::IoPort;
using tyr::ioport::Parity;

namespace {

// A port whose device delivers scripted chunks, one per poll.
class ScriptedPort : public IoPort {
 public:
  ScriptedPort() : IoPort("TEST", 1) {}
  ~ScriptedPort() override { teardown(); }

  void deliver(const std::string& chunk) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      chunks.push_back(chunk);
    }
    poll();
  }
  int write(const uint8_t*, int length) override { return length; }
  bool setBaudRate(int) override { return true; }
  bool setParity(Parity) override { return true; }
  int readRaw(uint8_t* buffer, int capacity) override {
    ++rawReads;
    if (chunks.empty()) return 0;
    std::string& chunk = chunks.front();
    size_t n = std::min(chunk.size(), static_cast<size_t>(capacity));
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) chunks.pop_front();
    return static_cast<int>(n);
  }
  void close() override {
    std::lock_guard<std::mutex> lock(mutex);
    open = false;
  }
  bool isOpenUnsafe() override { return open; }
  void setErrorCode(int code) {
    std::lock_guard<std::mutex> lock(mutex);
    errorCode = code;
  }
  void setSearchLimit(uint32_t limit) {
    std::lock_guard<std::mutex> lock(mutex);
    searchBufferLimit = limit;
  }

  bool open = true;
  int rawReads = 0;
  std::deque<std::string> chunks;
};

}  // namespace

TEST(IoPort, ReadTakesFromReadBufferOnly) {
  ScriptedPort port;
  port.deliver("abcdef");
  EXPECT_EQ(port.read(3), "abc");
  EXPECT_EQ(port.read(0), "def");
  EXPECT_EQ(port.read(0), "");
  port.deliver("xyz");
  EXPECT_EQ(port.read(10), "xyz");
  EXPECT_EQ(port.bufferedRead(), "abcdefxyz");
  EXPECT_EQ(port.bufferedRead(), "abcdefxyz");
}

TEST(IoPort, TextModeConvertsLineEndingsBinaryModeKeepsThem) {
  ScriptedPort port;
  port.deliver(std::string("a\r\nb\rc\n"));
  EXPECT_EQ(port.read(0), "a\nb\nc\n");
  port.useBinaryMode();
  port.deliver(std::string("a\r\nb\rc\n", 7) + std::string(1, '\0'));
  EXPECT_EQ(port.read(0), std::string("a\r\nb\rc\n", 7) + std::string(1, '\0'));
  port.useTextMode();
  port.deliver("x\r\r\ny");  // a CR run before LF collapses into one newline
  EXPECT_EQ(port.read(0), "x\ny");
  port.deliver("\r\r");
  EXPECT_EQ(port.read(0), "\n\n");
}

TEST(IoPort, CrLfSplitAcrossPollsGivesOneNewline) {
  ScriptedPort port;
  port.deliver("line1\r");
  port.deliver("\nline2\r");
  port.deliver("next");  // no LF after the second CR: nothing dropped
  port.deliver("\n");    // a lone LF that does not follow a CR stays
  EXPECT_EQ(port.read(0), "line1\nline2\nnext\n");
}

TEST(IoPort, SearchBufferKeepsTheNewestCharacters) {
  ScriptedPort port;
  std::string all;
  for (int i = 0; i < 1000100; ++i) all.push_back(static_cast<char>('a' + i % 26));
  for (size_t off = 0; off < all.size(); off += 1024) port.deliver(all.substr(off, 1024));
  std::string kept = port.bufferedRead();
  ASSERT_EQ(kept.size(), 1000000u);
  EXPECT_EQ(kept, all.substr(100));
  EXPECT_EQ(port.read(0).size(), all.size());  // the read buffer has no limit
}

TEST(IoPort, SearchBufferStaysExactAcrossManyTrims) {
  ScriptedPort port;
  port.setSearchLimit(10);
  std::string all;
  for (int i = 0; i < 200; ++i) {
    std::string chunk(static_cast<size_t>(1 + i % 7), static_cast<char>('a' + i % 26));
    all += chunk;
    port.deliver(chunk);
    std::string expected = all.size() > 10 ? all.substr(all.size() - 10) : all;
    ASSERT_EQ(port.bufferedRead(), expected) << "after chunk " << i;
  }
  port.flush(4);
  EXPECT_EQ(port.bufferedRead(), all.substr(all.size() - 6));
  port.deliver("XYZ");
  EXPECT_EQ(port.bufferedRead(), all.substr(all.size() - 6) + "XYZ");
}

TEST(IoPort, FlushEmptiesBuffersAndRefusesOffsetPastTheEnd) {
  portstest::LogCapture log;
  ScriptedPort port;
  port.deliver("abcdef");
  port.setErrorCode(-5);
  port.flush(4);
  EXPECT_EQ(port.read(0), "");
  EXPECT_EQ(port.bufferedRead(), "ef");
  EXPECT_EQ(port.getErrorCode(), 0);
  EXPECT_TRUE(log.has("TEST: flushing buffer"));
  EXPECT_TRUE(log.has("TEST: flushed search buffer. remaining: 2 chars"));

  port.deliver("ghij");
  EXPECT_THROW(port.flush(7), std::out_of_range);
  EXPECT_EQ(port.read(0), "");  // emptied before the refusal
  EXPECT_EQ(port.bufferedRead(), "efghij");
  port.flush(0);
  EXPECT_EQ(port.bufferedRead(), "");
  EXPECT_TRUE(log.has("TEST: flushed all search buffer"));
}

TEST(IoPort, OperationsResetTheErrorCodeGetErrorCodeDoesNot) {
  ScriptedPort port;
  port.setErrorCode(-7);
  EXPECT_EQ(port.getErrorCode(), -7);
  EXPECT_EQ(port.getErrorCode(), -7);
  port.useTextMode();
  EXPECT_EQ(port.getErrorCode(), 0);
  port.setErrorCode(-7);
  port.deliver("zz");  // polling leaves it alone
  EXPECT_EQ(port.getErrorCode(), -7);
  port.read(0);
  EXPECT_EQ(port.getErrorCode(), 0);
}

TEST(IoPort, PipeWritesDeviceAndScriptTextWithoutTimestamps) {
  portstest::TempDir dir;
  ScriptedPort port;
  std::string path = dir.file("pipe.log");
  EXPECT_TRUE(port.pipe(path, false, false));
  port.deliver("ok\r\n");
  std::string text = "\nrun";
  EXPECT_TRUE(port.pipeText(text, false));
  port.deliver("x");
  port.useBinaryMode();
  port.deliver("binary");  // binary data never reaches the pipe file
  port.unpipe();
  EXPECT_EQ(portstest::readFile(path), "\n\nok\n\nrun\nx");
  std::string late = "late";
  EXPECT_FALSE(port.pipeText(late, false));
}

TEST(IoPort, PipeTruncatesOrAppends) {
  portstest::TempDir dir;
  std::string path = dir.file("pipe.log");
  portstest::writeFile(path, "old");
  {
    ScriptedPort port;
    EXPECT_TRUE(port.pipe(path, false, true));
  }
  EXPECT_EQ(portstest::readFile(path), "old\n\n");
  {
    ScriptedPort port;
    EXPECT_TRUE(port.pipe(path, false, false));
  }
  EXPECT_EQ(portstest::readFile(path), "\n\n");
}

TEST(IoPort, PipeToMissingFolderFails) {
  ScriptedPort port;
  EXPECT_FALSE(port.pipe("/nonexistent-kyt-folder/x.log", false, false));
  std::string text = "hello";
  EXPECT_FALSE(port.pipeText(text, false));
}

TEST(IoPort, TimestampsOpenEveryLineWithTheTagOfTheTextBeforeIt) {
  portstest::TempDir dir;
  ScriptedPort port;
  std::string path = dir.file("pipe.log");
  ASSERT_TRUE(port.pipe(path, true, false));
  port.deliver("ok\r\n");
  std::string text = "\nrun";
  port.pipeText(text, false);
  port.deliver("x");
  port.unpipe();
  const std::string ts = R"(\d\d/\d\d/\d{4}, \d\d:\d\d:\d\d\.\d{3})";
  std::regex expected("\n" + ts + R"( \| DEVICE \| )" + "\n" + ts + R"( \| DEVICE \| ok)" + "\n" + ts +
                      R"( \| DEVICE \| )" + "\n" + ts + R"( \| SCRIPT \| run)" + "\n" + ts + R"( \| DEVICE \| x)");
  std::string content = portstest::readFile(path);
  EXPECT_TRUE(std::regex_match(content, expected)) << content;
}

TEST(IoPort, FlushNotesItselfInThePipeFile) {
  portstest::TempDir dir;
  ScriptedPort port;
  std::string path = dir.file("pipe.log");
  ASSERT_TRUE(port.pipe(path, false, false));
  port.flush(0);
  port.unpipe();
  EXPECT_EQ(portstest::readFile(path), "\n\n\nflushing read buffer");
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

TEST(IoPort, ModeSwitchesAndUnpipeAreLogged) {
  portstest::TempDir dir;
  portstest::LogCapture log;
  ScriptedPort port;
  port.useBinaryMode();
  port.useTextMode();
  port.unpipe();  // nothing piped: no line
  port.pipe(dir.file("p"), false, false);
  port.unpipe();
  std::vector<std::string> expected = {"TEST: changing to binary mode", "TEST: changing to text mode",
                                       "TEST: piping logs to " + dir.file("p"), "TEST: unpiping"};
  EXPECT_EQ(log.lines(), expected);
}

TEST(IoPort, ChangeToLineEndingReplacesEveryOccurrence) {
  std::string text = "a\r\r\nb\r\nc";
  IoPort::changeToLineEnding(text, "\r\n");
  EXPECT_EQ(text, "a\nb\nc");
  std::string crs = "x\ry\r";
  IoPort::changeToLineEnding(crs, "\r");
  EXPECT_EQ(crs, "x\ny\n");
}

TEST(IoPort, ParityTextsMapToTheirValues) {
  EXPECT_EQ(IoPort::kStringParityMap.size(), 3u);
  EXPECT_EQ(IoPort::kStringParityMap.at("none"), Parity::None);
  EXPECT_EQ(IoPort::kStringParityMap.at("odd"), Parity::Odd);
  EXPECT_EQ(IoPort::kStringParityMap.at("even"), Parity::Even);
  EXPECT_EQ(IoPort::kStringParityMap.count("NONE"), 0u);
}
