// The command tracker: a switchable facility that logs NVMe commands to a text file through its sink.
// The driver creates one at its start and publishes it to every controller. No component produces command records
// yet, so the tracker is never switched on: setting the log file succeeds without storing the path, enabling fails
// with kCommandTrackerNoLogFile (no file set), disabling succeeds.
#ifndef KYT_UTILITY_COMMAND_TRACKER_H
#define KYT_UTILITY_COMMAND_TRACKER_H

#include <cstdint>
#include <deque>
#include <string>

#include "utility/command_tracker_pod.h"
#include "utility/nvme_command_tracker_interface.h"

struct spdk_ring;

namespace tyr {

using CommandTrackerStatus = uint32_t;
constexpr CommandTrackerStatus kCommandTrackerOk = 0;
constexpr CommandTrackerStatus kCommandTrackerNoLogFile = 4;

class CommandTracker {
 public:
  static constexpr uint32_t kDefaultPodCount = 16;

  // The sink is borrowed (the driver embeds it and outlives the tracker).
  explicit CommandTracker(NvmeCommandTrackerInterface* sink, uint32_t pod_count = kDefaultPodCount);
  ~CommandTracker();

  CommandTracker(const CommandTracker&) = delete;
  CommandTracker& operator=(const CommandTracker&) = delete;

  // Always kCommandTrackerOk; the path is not kept and no file is touched.
  CommandTrackerStatus SetLog(const std::string& path);
  // kCommandTrackerOk when a log path is set, else kCommandTrackerNoLogFile. Never switches tracking on.
  CommandTrackerStatus Enable();
  // kCommandTrackerOk; nothing to flush while tracking is off.
  CommandTrackerStatus Disable();

  bool IsEnabled() const { return enabled_; }
  const std::string& GetLogPath() const { return log_path_; }
  uint32_t GetPodCount() const { return pod_count_; }
  NvmeCommandTrackerInterface* GetSink() const { return sink_; }

 private:
  std::deque<CommandTrackerPod*> free_pods_;
  spdk_ring* flush_submission_queue_ = nullptr;
  spdk_ring* flush_completion_queue_ = nullptr;
  std::string log_path_;
  NvmeCommandTrackerInterface* sink_;
  bool enabled_ = false;
  uint32_t counter_ = 0;
  uint32_t pod_count_;
};

}  // namespace tyr

#endif  // KYT_UTILITY_COMMAND_TRACKER_H
