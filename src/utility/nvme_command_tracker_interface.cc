#include "utility/nvme_command_tracker_interface.h"

#include <unistd.h>

#include <cstring>

#include "spdk/env.h"
#include "utility/nonblocking_open.h"

namespace tyr {

bool NvmeCommandTrackerInterface::OpenTracker(const std::string& path) {
  log_path_ = path;
  start_timestamp_ = spdk_get_ticks();
  if (path.empty()) {
    return false;
  }
  // The worker opens it: never wait for the file (a FIFO nobody reads is refused).
  const NonblockingFile file = OpenNonblocking(path, O_TRUNC);
  if (file.fd < 0) {
    return false;
  }
  ::close(file.fd);
  return true;
}

bool NvmeCommandTrackerInterface::FlushPod(const CommandTrackerPodHeader& header) {
  if (log_path_.empty()) {
    return false;
  }
  const NonblockingFile file = OpenNonblocking(log_path_, O_APPEND);
  if (file.fd < 0) {
    return false;
  }
  // A file that takes no more now (a FIFO whose reader stopped) fails the flush instead of holding the worker.
  const size_t size = header.text != nullptr ? std::strlen(header.text) : 0;
  int error = 0;
  const bool ok = WriteNonblocking(file.fd, header.text, size, error) == size;
  ::close(file.fd);
  return ok;
}

uint64_t NvmeCommandTrackerInterface::GetTimestamp() { return 0; }

}  // namespace tyr
