#include "devices/fs_util.h"

#include <cctype>
#include <fstream>

namespace tyr::fs {

std::string read_file(const std::string& path) {
  std::ifstream file(path);
  if (!file.is_open()) return "";
  std::string result;
  std::string line;
  while (std::getline(file, line)) result += line;
  return result;
}

std::string get_basename(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string to_lower_case(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace tyr::fs
