#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "addon/stdout_gate.h"

namespace {

// A thread-safe target, like the C library's standard output behind std::cout.
class LockedBuffer : public std::streambuf {
 public:
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 protected:
  int_type overflow(int_type ch) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.push_back(traits_type::to_char_type(ch));
    return ch;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(s, static_cast<size_t>(n));
    return n;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

}  // namespace

// The gate is process-wide and closes for good, so the whole life is one test.
TEST(StdoutGate, PassesLinesThroughUntilClosedThenDiscardsEverythingForGood) {
  LockedBuffer sink;
  std::streambuf* original = std::cout.rdbuf(&sink);
  kyt::StdoutGate& gate = kyt::StdoutGate::Instance();
  gate.Install();
  gate.Install();  // a second install must not chain the gate to itself
  EXPECT_EQ(std::cout.rdbuf(), &gate);

  std::cout << "ADDON: Creating Addon" << std::endl;
  std::cout.put('x');
  std::cout << std::flush;
  EXPECT_EQ(sink.Text(), "ADDON: Creating Addon\nx");
  EXPECT_FALSE(gate.IsClosed());

  // Writers on other threads while the gate closes: every line is either whole or absent.
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
  const size_t after_close = closed_text.size();
  std::cout << "PollableManager: Stopping" << std::endl;
  std::cout.put('y');
  EXPECT_TRUE(gate.IsClosed());
  EXPECT_EQ(sink.Text().size(), after_close) << "nothing passes a closed gate";
  EXPECT_TRUE(std::cout.good()) << "writing to a closed gate is not an error";
  std::cout.rdbuf(original);
}
