// The system's log: every line it prints goes through these functions, and nothing else writes to std::cout or
// std::cerr. A line is built whole by the caller, then written with its line end in one piece and flushed, under the
// log's lock, so lines of different threads never interleave inside a line (not even a standard output line with a
// standard error line when both streams go to one file).
//
// Where the lines end up is the streams' business: the quiet switch (StdoutGate) sits in front of both streams.
#ifndef KYT_UTILITY_LOG_LINE_H
#define KYT_UTILITY_LOG_LINE_H

#include <functional>
#include <string>

namespace kyt {

// One line (without its line end) to standard output.
void LogLine(std::string text);

// One line (without its line end) to standard error.
void LogErrorLine(std::string text);

// The last line of a process about to abort: written to the C library's standard output and standard error
// directly, past std::cout, std::cerr and the quiet switch, so that a dying process is never silent.
void LogFatalLine(const std::string& text);

// Installs a function that also receives every line of LogLine and LogErrorLine (without its line end) while the
// log's lock is held; an empty function removes it. Tests watch the log with it.
void SetLogObserver(std::function<void(const std::string&)> observer);

}  // namespace kyt

#endif  // KYT_UTILITY_LOG_LINE_H
