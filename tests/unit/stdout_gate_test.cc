#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "utility/stdout_gate.h"

namespace {

// A thread-safe target, like the C library's standard output behind std::cout.
struct LockedBuffer : std::streambuf {
  std::mutex mutex;
  std::string text;
  int_type overflow(int_type ch) override { Text(std::string(1, (char)ch)); return ch; }
  std::streamsize xsputn(const char* s, std::streamsize n) override { Text(std::string(s, n)); return n; }
  std::string Text(const std::string& more = "") {  // appends `more`; the whole text
    std::lock_guard<std::mutex> lock(mutex);
    return text += more;
  }
};

// The gate is process-wide and closes for good, so the whole life is one test: lines pass until it closes (a second
// install does not chain it to itself); writers on other threads while it closes leave every line whole or absent;
// nothing passes a closed gate, and writing to it is no error. The error stream's gate opens and closes with it.
TEST(StdoutGate, PassesLinesThroughUntilClosedThenDiscardsEverythingForGood) {
  LockedBuffer sink;
  LockedBuffer errors;
  std::streambuf* original = std::cout.rdbuf(&sink);
  std::streambuf* original_errors = std::cerr.rdbuf(&errors);
  kyt::StdoutGate& gate = kyt::StdoutGate::Instance();
  gate.Install();
  gate.Install();
  std::cout << "ADDON: Creating Addon" << std::endl;
  std::cout.put('x');
  std::cout << std::flush;
  EXPECT_EQ(sink.Text(), "ADDON: Creating Addon\nx");
  std::cerr << "SerialPort: error" << std::endl;
  EXPECT_EQ(errors.Text(), "SerialPort: error\n");
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 2000; ++i) std::cout << ("line " + std::to_string(t) + "\n") << std::flush;
    });
  }
  gate.Close();
  for (auto& writer : writers) writer.join();
  const std::string closed_text = sink.Text();
  std::istringstream lines(closed_text.substr(std::string("ADDON: Creating Addon\nx").size()));
  for (std::string line; std::getline(lines, line);) {
    ASSERT_TRUE(line.size() == 6 && line.compare(0, 5, "line ") == 0) << "torn line: " << line;
  }
  std::cout << "PollableManager: Stopping" << std::endl;
  std::cout.put('y');
  std::cerr << "SerialPort: error" << std::endl;
  EXPECT_EQ(sink.Text().size(), closed_text.size()) << "nothing passes a closed gate";
  EXPECT_EQ(errors.Text(), "SerialPort: error\n");
  EXPECT_TRUE(std::cout.good() && std::cerr.good());
  std::cout.rdbuf(original);
  std::cerr.rdbuf(original_errors);
}

}  // namespace
