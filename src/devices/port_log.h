// One-line logging for the device ports: every line is written whole and flushed.
#pragma once

#include <functional>
#include <string>

namespace tyr {

// Writes the line and a newline to standard output and flushes it. Lines written from
// different threads never interleave.
void portLog(const std::string& line);

// Same, to standard error.
void portLogError(const std::string& line);

// Installs a function that also receives every line (without its newline) while the log's
// lock is held; an empty function removes it. Used by tests to watch the log.
void setPortLogObserver(std::function<void(const std::string&)> observer);

}  // namespace tyr
