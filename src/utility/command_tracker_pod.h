// Records of one tracked NVMe command. Nothing in the product fills them yet; the sink's FlushPod contract
// needs the header's text pointer.
#ifndef KYT_UTILITY_COMMAND_TRACKER_POD_H
#define KYT_UTILITY_COMMAND_TRACKER_POD_H

#include <cstdint>

namespace tyr {

struct CommandTrackerPodHeader {
  uint64_t submit_ticks = 0;
  uint64_t complete_ticks = 0;
  uint32_t record_count = 0;
  // Zero-terminated text appended to the log file by FlushPod; null means "nothing to write".
  const char* text = nullptr;
};

struct CommandTrackerPod {
  CommandTrackerPodHeader header;
};

}  // namespace tyr

#endif  // KYT_UTILITY_COMMAND_TRACKER_POD_H
