// One log line to the process's standard output: the text and its line end are written in one piece and flushed,
// so that lines of different threads never interleave inside a line.
#ifndef KYT_RUNNER_LOG_LINE_H
#define KYT_RUNNER_LOG_LINE_H

#include <iostream>
#include <string>

namespace kyt {

inline void LogLine(std::string text) {
  text.push_back('\n');
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cout.flush();
}

}  // namespace kyt

#endif  // KYT_RUNNER_LOG_LINE_H
