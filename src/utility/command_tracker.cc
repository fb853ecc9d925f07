#include "utility/command_tracker.h"

namespace tyr {

CommandTracker::CommandTracker(NvmeCommandTrackerInterface* sink, uint32_t pod_count)
    : sink_(sink), pod_count_(pod_count) {}

CommandTracker::~CommandTracker() {
  for (CommandTrackerPod* pod : free_pods_) {
    delete pod;
  }
}

CommandTrackerStatus CommandTracker::SetLog(const std::string& /*path*/) { return kCommandTrackerOk; }

CommandTrackerStatus CommandTracker::Enable() {
  return log_path_.empty() ? kCommandTrackerNoLogFile : kCommandTrackerOk;
}

CommandTrackerStatus CommandTracker::Disable() {
  // Tracking is never on, so there is nothing to flush through the sink.
  return kCommandTrackerOk;
}

}  // namespace tyr
