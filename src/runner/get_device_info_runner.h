// GetDeviceInfoRunner: reads the limits of an attached controller on the worker thread: maximum transfer size,
// maximum queue depth and maximum namespace id; and how many completion entries the driver ignored because they
// matched no command outstanding under their identifier (a drive's duplicate or stray entries).
#ifndef KYT_RUNNER_GET_DEVICE_INFO_RUNNER_H
#define KYT_RUNNER_GET_DEVICE_INFO_RUNNER_H

#include <cstdint>
#include <memory>
#include <string>

#include "runner/controller_runner.h"


class GetDeviceInfoRunner : public ControllerRunner {
 public:
  explicit GetDeviceInfoRunner(std::string device);
  ~GetDeviceInfoRunner() override;

  // The runner's own state, after kStateLookUp.
  enum State : uint32_t { kGetInfo = kStateFirstStep };  // read

  uint32_t GetMaxXferSize() const { return max_xfer_size_; }
  uint32_t GetMaxQueueDepth() const { return max_queue_depth_; }
  uint32_t GetMaxNamespaceId() const { return max_namespace_id_; }
  uint64_t GetIgnoredCompletions() const { return ignored_completions_; }

 protected:
  void HandleState(uint32_t state) override;

 private:
  void HandleStateGetInfo();

  uint32_t max_xfer_size_ = 0;
  uint32_t max_queue_depth_ = 0;
  uint32_t max_namespace_id_ = 0;
  uint64_t ignored_completions_ = 0;
};

#endif  // KYT_RUNNER_GET_DEVICE_INFO_RUNNER_H
