// Small file helpers for reading sysfs.
#pragma once

#include <string>

namespace tyr::fs {

// The file's lines joined without their line breaks; empty when it cannot be opened.
std::string read_file(const std::string& path);
// What follows the last "/", or the whole text when there is none.
std::string get_basename(const std::string& path);
// A copy with ASCII letters lower-cased.
std::string to_lower_case(const std::string& text);

}  // namespace tyr::fs
