// A directory laid out as the system's /proc and /sys memory files (proc/meminfo, proc/self/cgroup,
// sys/fs/cgroup/...), for reading what the process has from numbers the test sets. Removed with the object.
#ifndef KYT_TESTS_DEV_MEMORY_FILES_H
#define KYT_TESTS_DEV_MEMORY_FILES_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace kyt_dev_test {

class MemoryFiles {
 public:
  MemoryFiles() {
    std::string dir = testing::TempDir() + "memory_files_XXXXXX";
    if (mkdtemp(dir.data()) != nullptr) root_ = dir;
    EXPECT_FALSE(root_.empty());
  }
  ~MemoryFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }

  // Writes `text` to the file at `path` under the root, making its directories.
  void Write(const std::string& path, const std::string& text) {
    const std::filesystem::path file = std::filesystem::path(root_) / path;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }

  // The machine's memory and what of it is available, in bytes (meminfo counts kB).
  void Machine(uint64_t total, uint64_t available) {
    Write("proc/meminfo", "MemTotal: " + std::to_string(total / 1024) + " kB\nMemFree: 0 kB\nMemAvailable: " +
                              std::to_string(available / 1024) + " kB\n");
  }

  // A version 2 group `path` (e.g. "/ci") with a limit, its usage and its inactive file cache, in bytes; the
  // process in it.
  void Group(const std::string& path, uint64_t limit, uint64_t current, uint64_t inactive_file = 0) {
    Write("proc/self/cgroup", "0::" + path + "\n");
    Write("sys/fs/cgroup" + path + "/memory.max", std::to_string(limit) + "\n");
    Write("sys/fs/cgroup" + path + "/memory.current", std::to_string(current) + "\n");
    Write("sys/fs/cgroup" + path + "/memory.stat",
          "anon 0\nfile 0\nactive_file 0\ninactive_file " + std::to_string(inactive_file) + "\n");
  }

 private:
  std::string root_;
};

}  // namespace kyt_dev_test

#endif  // KYT_TESTS_DEV_MEMORY_FILES_H
