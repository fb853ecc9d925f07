#include "nvme/memory_room.h"

#include <gtest/gtest.h>

#include "memory_files.h"

using kyt::nvme::MemoryRoom;
using kyt_dev_test::MemoryFiles;

namespace {

constexpr uint64_t kMiB = uint64_t(1) << 20;
constexpr uint64_t kGiB = uint64_t(1) << 30;

TEST(MemoryRoomTest, MachineKeepsASixteenthOfItsMemoryAtMostOneGiB) {
  MemoryFiles files;
  files.Machine(64 * kGiB, 5 * kGiB);
  MemoryRoom::Limit limit = MemoryRoom(files.root()).Read();
  EXPECT_EQ(limit.source, MemoryRoom::kMachine);
  EXPECT_EQ(limit.size, 64 * kGiB);
  EXPECT_EQ(limit.reserve, kGiB);
  EXPECT_EQ(limit.Room(), 4 * kGiB);

  files.Machine(4 * kGiB, 200 * kMiB);
  limit = MemoryRoom(files.root()).Read();
  EXPECT_EQ(limit.reserve, 256 * kMiB);
  EXPECT_EQ(limit.Room(), 0u) << "less available than the reserve";

  limit = MemoryRoom(files.root() + "/nothing").Read();
  EXPECT_EQ(limit.source, MemoryRoom::kUnknown);
  EXPECT_EQ(limit.Room(), UINT64_MAX);
}

// A 1 GiB group on a large machine keeps a sixteenth of the group's limit, not the machine's 1 GiB: the room of a
// container is what its limit leaves. Its inactive file cache counts as available; a limit on a group above the
// process's binds as well; the machine binds again when it has less room than the group.
TEST(MemoryRoomTest, GroupLimitBindsWithAReserveOfItsOwn) {
  MemoryFiles files;
  files.Machine(64 * kGiB, 60 * kGiB);
  files.Group("/ci", kGiB, 150 * kMiB, 50 * kMiB);
  files.Write("proc/self/cgroup", "0::/ci/job\n");
  files.Write("sys/fs/cgroup/ci/job/memory.max", "max\n");
  MemoryRoom::Limit limit = MemoryRoom(files.root()).Read();
  EXPECT_EQ(limit.source, MemoryRoom::kGroup);
  EXPECT_EQ(limit.size, kGiB);
  EXPECT_EQ(limit.available, kGiB - 100 * kMiB);
  EXPECT_EQ(limit.reserve, 64 * kMiB);
  EXPECT_EQ(limit.Room(), kGiB - 164 * kMiB);

  files.Machine(64 * kGiB, kGiB + 512 * kMiB);
  limit = MemoryRoom(files.root()).Read();
  EXPECT_EQ(limit.source, MemoryRoom::kMachine);
  EXPECT_EQ(limit.Room(), 512 * kMiB);
}

// Version 1 inside a container: the process's path as the host names it is not there, the container's own group
// (the top one) has the limit; its unlimited value is no limit.
TEST(MemoryRoomTest, VersionOneGroupSeenFromInsideAContainer) {
  MemoryFiles files;
  files.Machine(64 * kGiB, 60 * kGiB);
  files.Write("proc/self/cgroup", "5:memory:/docker/0123abcd\n0::/\n");
  files.Write("sys/fs/cgroup/memory/memory.limit_in_bytes", "2147483648\n");
  files.Write("sys/fs/cgroup/memory/memory.usage_in_bytes", "1610612736\n");
  files.Write("sys/fs/cgroup/memory/memory.stat", "inactive_file 1\ntotal_inactive_file 536870912\n");
  MemoryRoom::Limit limit = MemoryRoom(files.root()).Read();
  EXPECT_EQ(limit.source, MemoryRoom::kGroup);
  EXPECT_EQ(limit.available, kGiB);
  EXPECT_EQ(limit.reserve, 128 * kMiB);

  files.Write("sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
  EXPECT_EQ(MemoryRoom(files.root()).Read().source, MemoryRoom::kMachine);
}

}  // namespace
