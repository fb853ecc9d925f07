// How much memory this process may still take without crowding out the rest, read from the system when asked.
//
// Two kinds of limit bind a process: the machine's memory (/proc/meminfo: MemTotal, MemAvailable) and, where the
// process runs in a memory control group, the limit of its group and of every group above it that has one (version
// 2: memory.max and memory.current; version 1: memory.limit_in_bytes and memory.usage_in_bytes; the group's
// inactive file cache, which the kernel gives back before it fails the group, counts as available). Under each
// limit a reserve stays free for everything else: a sixteenth of that limit's size, at most 1 GiB. So a container
// limited to 1 GiB keeps 64 MiB free of its own room, not the 1 GiB a large machine keeps.
//
// The files are read under a root directory: "" for the system's own; a test gives a directory of its own with the
// same layout (proc/meminfo, proc/self/cgroup, sys/fs/cgroup/...) to set what the process has. Reading allocates
// nothing (it may run on the worker while an I/O waits for a page of map).
#ifndef KYT_NVME_MEMORY_ROOM_H
#define KYT_NVME_MEMORY_ROOM_H

#include <cstdint>
#include <string>

namespace kyt {
namespace nvme {

class MemoryRoom {
 public:
  enum Source : uint8_t {
    kUnknown = 0,  // nothing says: no limit known
    kMachine = 1,  // the machine's memory
    kGroup = 2,    // a memory control group's limit
  };

  // One limit: what is available under it and what stays free.
  struct Limit {
    Source source = kUnknown;
    uint64_t size = 0;                // the machine's memory or the group's limit, in bytes
    uint64_t available = UINT64_MAX;  // bytes still available under it; UINT64_MAX when nothing says
    uint64_t reserve = 0;             // bytes left free under it for everything else

    // Bytes the process may still take under this limit.
    uint64_t Room() const {
      if (available == UINT64_MAX) return UINT64_MAX;
      return available > reserve ? available - reserve : 0;
    }
  };

  static constexpr uint64_t kMaxReserveBytes = uint64_t(1) << 30;
  // The reserve kept under a limit of `size` bytes.
  static uint64_t ReserveFor(uint64_t size) { return size / 16 < kMaxReserveBytes ? size / 16 : kMaxReserveBytes; }

  explicit MemoryRoom(std::string root = std::string()) : root_(std::move(root)) {}

  // The limit with the least room now (kUnknown, unlimited, when none can be read).
  Limit Read() const;

 private:
  // Narrows `tightest` by the groups of one hierarchy the process belongs to (version 1 when `v1`).
  void ReadGroups(const char* self_cgroup, bool v1, Limit* tightest) const;

  std::string root_;
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_MEMORY_ROOM_H
