#include "utility/nvme_command_tracker_interface.h"

#include <cstdio>

#include "spdk/env.h"

namespace tyr {

bool NvmeCommandTrackerInterface::OpenTracker(const std::string& path) {
  log_path_ = path;
  start_timestamp_ = spdk_get_ticks();
  if (path.empty()) {
    return false;
  }
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  std::fclose(file);
  return true;
}

bool NvmeCommandTrackerInterface::FlushPod(const CommandTrackerPodHeader& header) {
  if (log_path_.empty()) {
    return false;
  }
  FILE* file = std::fopen(log_path_.c_str(), "a");
  if (file == nullptr) {
    return false;
  }
  bool ok = true;
  if (header.text != nullptr) {
    std::setvbuf(file, nullptr, _IONBF, 0);
    ok = std::fputs(header.text, file) >= 0;
  }
  std::fclose(file);
  return ok;
}

uint64_t NvmeCommandTrackerInterface::GetTimestamp() { return 0; }

}  // namespace tyr
