#include "nvme/memory_room.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kyt {
namespace nvme {

namespace {

// A limit at or above this is "none" (version 1 writes its unlimited value as a page-rounded 2^63 - 1).
constexpr uint64_t kUnlimited = uint64_t(1) << 62;

// Reads a small system file whole into `buf` (NUL-terminated) without allocating; false when it cannot be read.
bool ReadSmallFile(const char* path, char* buf, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t used = 0;
  while (used + 1 < size) {
    const ssize_t n = read(fd, buf + used, size - 1 - used);
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  buf[used] = '\0';
  return used > 0;
}

// The number after "key<sep>" at the start of a line of `text`; false when no line has the key.
bool FindNumber(const char* text, const char* key, char sep, uint64_t* value) {
  const size_t key_len = std::strlen(key);
  for (const char* line = text; *line != '\0';) {
    if (std::strncmp(line, key, key_len) == 0 && line[key_len] == sep) {
      *value = std::strtoull(line + key_len + 1, nullptr, 10);
      return true;
    }
    const char* next = std::strchr(line, '\n');
    if (next == nullptr) break;
    line = next + 1;
  }
  return false;
}

void Narrow(const MemoryRoom::Limit& limit, MemoryRoom::Limit* tightest) {
  if (limit.Room() < tightest->Room()) *tightest = limit;
}

}  // namespace

void MemoryRoom::ReadGroups(const char* self_cgroup, bool v1, Limit* tightest) const {
  // The process's line of the hierarchy: "N:memory:/path" (version 1) or "0::/path" (version 2).
  const char* entry = nullptr;
  size_t skip = 0;
  if (v1) {
    entry = std::strstr(self_cgroup, ":memory:");
    skip = 8;
  } else {
    entry = std::strncmp(self_cgroup, "0::", 3) == 0 ? self_cgroup : std::strstr(self_cgroup, "\n0::");
    skip = entry == self_cgroup ? 3 : 4;
  }
  if (entry == nullptr) return;
  const char* group = entry + skip;
  const char* end = std::strchr(group, '\n');
  int len = static_cast<int>(end != nullptr ? end - group : std::strlen(group));
  while (len > 0 && group[len - 1] == '/') --len;
  const char* base = v1 ? "/sys/fs/cgroup/memory" : "/sys/fs/cgroup";
  const char* limit_file = v1 ? "memory.limit_in_bytes" : "memory.max";
  const char* usage_file = v1 ? "memory.usage_in_bytes" : "memory.current";
  const char* inactive_key = v1 ? "total_inactive_file" : "inactive_file";
  char path[1024];
  const auto read = [&](const char* name, char* text, size_t size) {
    const int n = std::snprintf(path, sizeof(path), "%s%s%.*s/%s", root_.c_str(), base, len, group, name);
    return n > 0 && static_cast<size_t>(n) < sizeof(path) && ReadSmallFile(path, text, size);
  };
  // The group and every group above it: a limit anywhere on the way up binds. Inside a container the process's
  // path as the host names it may not exist; the container's own group is then the top one.
  for (;;) {
    char limit_text[64], usage_text[64];
    if (read(limit_file, limit_text, sizeof(limit_text)) && std::strncmp(limit_text, "max", 3) != 0 &&
        std::strtoull(limit_text, nullptr, 10) < kUnlimited && read(usage_file, usage_text, sizeof(usage_text))) {
      const uint64_t limit = std::strtoull(limit_text, nullptr, 10);
      uint64_t usage = std::strtoull(usage_text, nullptr, 10);
      char stat[8192];
      uint64_t inactive = 0;
      if (read("memory.stat", stat, sizeof(stat))) FindNumber(stat, inactive_key, ' ', &inactive);
      usage -= inactive < usage ? inactive : usage;
      Limit group_limit;
      group_limit.source = kGroup;
      group_limit.size = limit;
      group_limit.available = limit > usage ? limit - usage : 0;
      group_limit.reserve = ReserveFor(limit);
      Narrow(group_limit, tightest);
    }
    if (len == 0) break;
    while (len > 0 && group[len - 1] != '/') --len;  // up to the parent
    while (len > 0 && group[len - 1] == '/') --len;
  }
}

MemoryRoom::Limit MemoryRoom::Read() const {
  Limit tightest;
  char path[1024];
  char text[8192];
  std::snprintf(path, sizeof(path), "%s/proc/meminfo", root_.c_str());
  uint64_t total_kb = 0, available_kb = 0;
  if (ReadSmallFile(path, text, sizeof(text)) && FindNumber(text, "MemTotal", ':', &total_kb) &&
      FindNumber(text, "MemAvailable", ':', &available_kb)) {
    tightest.source = kMachine;
    tightest.size = total_kb * 1024;
    tightest.available = available_kb * 1024;
    tightest.reserve = ReserveFor(tightest.size);
  }
  std::snprintf(path, sizeof(path), "%s/proc/self/cgroup", root_.c_str());
  char self_cgroup[4096];
  if (ReadSmallFile(path, self_cgroup, sizeof(self_cgroup))) {
    ReadGroups(self_cgroup, true, &tightest);
    ReadGroups(self_cgroup, false, &tightest);
  }
  return tightest;
}

}  // namespace nvme
}  // namespace kyt
