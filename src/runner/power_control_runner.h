// One power cycle of a device in the middle of a workload: announce the power-off to the controller, ask the script
// to switch the supply off (power-off hook), wait until the device has left the bus, hold it off, ask the script to
// switch it on again (power-on hook), wait until the device is attached again and hold it on.
//
// The workload runner makes one runner per cycle, sets the four time settings, starts it on the worker and deletes
// it once it is final. Every wait is a poll once per worker pass; the hook calls never block.
#ifndef KYT_RUNNER_POWER_CONTROL_RUNNER_H
#define KYT_RUNNER_POWER_CONTROL_RUNNER_H

#include <cstdint>
#include <memory>
#include <string>

#include "nvme/time_bounds.h"
#include "utility/hook_manager.h"
#include "utility/task_base.h"

class NvmeController;

class PowerControlRunner : public TaskBase {
 public:
  static constexpr uint32_t kDefaultHoldTimeMs = kyt::nvme::kDefaultPowerHoldTimeMs;
  static constexpr uint32_t kDefaultTimeoutMs = kyt::nvme::kDefaultPowerCycleTimeoutMs;

  enum State : uint32_t {
    kInitialization = 1,
    kIssuePowerOff = 2,
    kWaitForPowerOffDone = 3,
    kWaitForDeviceRemoval = 4,
    kWaitForOffHoldTime = 5,
    kIssuePowerOn = 6,
    kWaitForPowerOnDone = 7,
    kWaitForDeviceDetection = 8,
    kWaitForOnHoldTime = 9,
    kPrepareOutput = 10,
  };

  PowerControlRunner(std::string device, std::shared_ptr<tyr::HookManager> hooks);
  ~PowerControlRunner() override;

  // Settings, set by the creator before the runner is started. 0 stands for the default (5000 ms each).
  std::string device;
  uint32_t onHoldTimeMs = 0;
  uint32_t offHoldTimeMs = 0;
  uint32_t detectionTimeoutMs = 0;
  uint32_t removalTimeoutMs = 0;

  // Output, valid once the runner is done.
  uint64_t avgRemovalTimeMs = 0;
  uint64_t avgDetectionTimeMs = 0;
  uint64_t numCycles = 0;

 protected:
  void FetchStates() override;

 private:
  void HandleStateInitialization();
  void HandleStateIssuePowerOff();
  void HandleStateWaitForPowerOffDone();
  void HandleStateWaitForDeviceRemoval();
  void HandleStateWaitForOffHoldTime();
  void HandleStateIssuePowerOn();
  void HandleStateWaitForPowerOnDone();
  void HandleStateWaitForDeviceDetection();
  void HandleStateWaitForOnHoldTime();
  void HandleStatePrepareOutput();

  // Milliseconds since `stamp` in the tick counter's clock.
  uint64_t ElapsedMs(uint64_t stamp) const;
  // Ends the runner aborted with `message`, after the log line `log` when it is not empty.
  void Fail(const std::string& log, std::string message);
  // The wait for the script's answer to hook `type`, started at `started`: true once it answered well; false while
  // it is busy within its bound, and false after ending the runner when it reported an error or passed its bound.
  bool HookAnswered(tyr::HookHandlerType type, const char* name, uint64_t started);

  std::shared_ptr<NvmeController> controller_;
  std::shared_ptr<tyr::HookManager> hooks_;
  uint64_t detection_ticks_ = 0;
  uint64_t removal_ticks_ = 0;
  uint64_t completed_cycles_ = 0;
  uint64_t power_off_done_ticks_ = 0;
  uint64_t power_on_done_ticks_ = 0;
  uint64_t hook_started_ticks_ = 0;
  uint64_t hook_bound_ms_ = 0;  // the detection time-out given, else the command time-out
  uint64_t ticks_hz_;
};

#endif  // KYT_RUNNER_POWER_CONTROL_RUNNER_H
