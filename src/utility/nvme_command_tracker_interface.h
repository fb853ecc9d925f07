// Log sink of the command tracker: writes tracked command records to a text file.
#ifndef KYT_UTILITY_NVME_COMMAND_TRACKER_INTERFACE_H
#define KYT_UTILITY_NVME_COMMAND_TRACKER_INTERFACE_H

#include <cstdint>
#include <string>

#include "utility/command_tracker_pod.h"

namespace tyr {

class NvmeCommandTrackerInterface {
 public:
  NvmeCommandTrackerInterface() = default;
  virtual ~NvmeCommandTrackerInterface() = default;

  // Stores the path and the current tick count as the start timestamp. False for an empty path; otherwise creates
  // (or truncates) the file and closes it again: true when that worked.
  virtual bool OpenTracker(const std::string& path);
  // Appends the header's text to the file. False when no path is stored or the file cannot be opened; with a null
  // text the result is true; otherwise whether the write succeeded.
  virtual bool FlushPod(const CommandTrackerPodHeader& header);
  // Always 0.
  virtual uint64_t GetTimestamp();

  const std::string& GetLogPath() const { return log_path_; }
  uint64_t GetStartTimestamp() const { return start_timestamp_; }

 private:
  std::string log_path_;
  uint64_t start_timestamp_ = 0;
};

}  // namespace tyr

#endif  // KYT_UTILITY_NVME_COMMAND_TRACKER_INTERFACE_H
