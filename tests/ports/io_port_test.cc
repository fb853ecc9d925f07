#include "devices/io_port.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <regex>
#include <thread>

#include "scripted_port.h"
#include "test_support.h"

using portstest::readFile;
using portstest::ScriptedPort;

TEST(IoPort, ReadTakesFromTheReadBufferWhileTheSearchBufferKeepsEverythingUntilFlushed) {
  ScriptedPort port;
  port.locked([&] { port.errorCode = -7; });
  port.deliver("abcdef");
  EXPECT_EQ(port.getErrorCode(), -7);  // polling leaves the code alone, and so does reading it
  EXPECT_EQ(port.read(3), "abc");
  EXPECT_EQ(port.getErrorCode(), 0);
  EXPECT_EQ(port.read(0), "def");
  EXPECT_EQ(port.read(0), "");
  port.deliver("gh");
  EXPECT_EQ(port.bufferedRead(), "abcdefgh");
  port.locked([&] { port.errorCode = -5; });
  port.flush(6);
  EXPECT_EQ(port.getErrorCode(), 0);
  EXPECT_EQ(port.read(0), "");
  EXPECT_EQ(port.bufferedRead(), "gh");
  port.deliver("ij");
  EXPECT_THROW(port.flush(5), std::out_of_range);
  EXPECT_EQ(port.read(0), "");  // emptied before the refusal
  EXPECT_EQ(port.bufferedRead(), "ghij");
  port.flush(0);
  EXPECT_EQ(port.bufferedRead(), "");
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
}

TEST(IoPort, SearchBufferKeepsTheNewestCharactersExactlyAcrossTrims) {
  ScriptedPort port;
  std::string all(1000100, 'a');
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char>('a' + i % 26);
  for (size_t off = 0; off < all.size(); off += 1024) port.deliver(all.substr(off, 1024));
  EXPECT_EQ(port.bufferedRead(), all.substr(100));  // a million characters
  EXPECT_EQ(port.read(0).size(), all.size());       // the read buffer has no limit

  port.flush(0);
  port.locked([&] { port.searchBufferLimit = 10; });
  all.clear();
  for (int i = 0; i < 200; ++i) {
    std::string chunk(static_cast<size_t>(1 + i % 7), static_cast<char>('a' + i % 26));
    all += chunk;
    port.deliver(chunk);
    ASSERT_EQ(port.bufferedRead(), all.substr(all.size() > 10 ? all.size() - 10 : 0)) << "after chunk " << i;
  }
  port.flush(4);
  port.deliver("XYZ");
  EXPECT_EQ(port.bufferedRead(), all.substr(all.size() - 6) + "XYZ");
}

TEST(IoPort, PipeFilesAppendOrTruncateTakeDeviceAndScriptTextAndTimestamps) {
  portstest::TempDir dir;
  std::string path = dir.file("pipe.log");
  portstest::writeFile(path, "old");
  ScriptedPort port;
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
}

// A pipe file that stops taking data: logged once, reported once to whoever touches the port next, and written again
// once it takes data. A file that takes nothing from the start is no pipe.
TEST(IoPort, PipeFileFailuresAreLoggedAndReportedOnceAndWritingResumes) {
  ScriptedPort port;
  portstest::LogCapture logs;
  EXPECT_FALSE(port.pipe("/dev/full", false, false));
  std::string text = "x";
  EXPECT_FALSE(port.pipeText(text, false));
  EXPECT_NO_THROW(port.checkPipe());

  portstest::TempDir dir;
  const std::string path = dir.file("pipe.log");
  ASSERT_TRUE(port.pipe(path, false, false));
  signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 1;  // the file already holds its opening line feeds
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  port.deliver("lost\r\n");
  port.deliver("lost too\r\n");
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_EQ(logs.count(std::string("TEST: failed to write the pipe file ") + path + ": File too large"), 1u);
  EXPECT_EQ(portstest::errorOf([&] { port.checkPipe(); }),
            "Writing the pipe file " + path + " failed: File too large (14 bytes lost)");
  EXPECT_NO_THROW(port.checkPipe());
  port.deliver("kept\r\n");
  port.unpipe();
  EXPECT_EQ(readFile(path), "\n\nkept\n");
}

// A FIFO as the pipe file never holds the caller: one that no process reads is refused (the file piped before stays),
// and while its reader does not read, what it cannot take is lost and reported like any failed write.
TEST(IoPort, PipeToAFifoNeverWaits) {
  portstest::TempDir dir;
  const std::string fifo = dir.file("pipe.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string earlier = dir.file("earlier.log");
  ScriptedPort port;
  ASSERT_TRUE(port.pipe(earlier, false, false));
  EXPECT_EQ(portstest::errorOf([&] { port.pipe(fifo, false, false); }),
            "The pipe file " + fifo + " is a FIFO that no process reads: start its reader first");
  port.deliver("still here\r\n");
  EXPECT_EQ(readFile(earlier), "\n\nstill here\n");

  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(port.pipe(fifo, false, false));
  const std::string line(1000, 'x');
  for (int i = 0; i < 100; ++i) port.deliver(line + "\r\n");  // more than the FIFO holds
  const std::string failure = portstest::errorOf([&] { port.checkPipe(); });
  EXPECT_EQ(failure.rfind("Writing the pipe file " + fifo + " failed: the file takes no data now (its reader does not "
                          "read) (", 0), 0u) << failure;
  char drained[4096];
  while (::read(reader, drained, sizeof(drained)) > 0) {
  }
  port.deliver("again\r\n");
  EXPECT_EQ(::read(reader, drained, sizeof(drained)), 6);
  EXPECT_EQ(std::string(drained, 6), "again\n");
  port.unpipe();
  ::close(reader);
}

TEST(IoPort, ClosedPortIsNotReadAndABusyPortIsPassedOverUntilItsNextPoll) {
  {
    ScriptedPort closed;
    closed.open = false;
    closed.deliver("data");
    EXPECT_EQ(closed.rawReads, 0);
    EXPECT_EQ(closed.read(0), "");
  }
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
