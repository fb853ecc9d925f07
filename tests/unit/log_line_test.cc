#include "utility/log_line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

// A stream buffer that hands every piece straight to write(2), as the C library's unbuffered standard output does
// (the addon makes standard output unbuffered): what one call writes arrives in one piece, nothing more.
struct FileSink : std::streambuf {
  explicit FileSink(int fd) : fd(fd) {}
  int_type overflow(int_type ch) override {
    const char c = traits_type::to_char_type(ch);
    return ::write(fd, &c, 1) == 1 ? ch : traits_type::eof();
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override { return ::write(fd, text, count); }
  int fd;
};

// Two threads log at once, one to standard output and one to standard error, both streams into one file (as with
// 2>&1): every line of the file is one whole line of one thread, and each thread's lines are all there in order.
TEST(LogLine, LinesOfTwoThreadsNeverInterleaveEvenAcrossBothStreams) {
  std::string path = testing::TempDir() + "kyt-log-XXXXXX";
  const int fd = mkstemp(path.data());
  ASSERT_GE(fd, 0);
  FileSink sink(fd);
  std::streambuf* const out = std::cout.rdbuf(&sink);
  std::streambuf* const err = std::cerr.rdbuf(&sink);
  constexpr int kLines = 20000;
  const std::string padding(48, '.');
  std::thread error_writer([&] {
    for (int i = 0; i < kLines; ++i) kyt::LogErrorLine("err " + std::to_string(i) + " " + padding);
  });
  for (int i = 0; i < kLines; ++i) kyt::LogLine("out " + std::to_string(i) + " " + padding);
  error_writer.join();
  std::cout.rdbuf(out);
  std::cerr.rdbuf(err);
  ::close(fd);

  std::ifstream file(path);
  int next[2] = {0, 0};  // the next line number of "out", of "err"
  int torn = 0;
  std::string first_torn;
  for (std::string line; std::getline(file, line);) {
    const int stream = line.compare(0, 4, "out ") == 0 ? 0 : line.compare(0, 4, "err ") == 0 ? 1 : -1;
    if (stream >= 0 && line == line.substr(0, 4) + std::to_string(next[stream]) + " " + padding) {
      ++next[stream];
    } else if (torn++ == 0) {
      first_torn = line;
    }
  }
  ::unlink(path.c_str());
  EXPECT_EQ(torn, 0) << "first torn line: " << first_torn;
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
}

}  // namespace
