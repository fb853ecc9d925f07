// The owner of everything NVMe in the process: starts the environment (memory, the one PCI device that may be
// claimed, the cores), creates the task rings, launches the one worker thread pinned to its core, and keeps the
// controller manager, the task scheduler and the command tracker.
//
// Threads: the script's thread constructs, starts, hands tasks over (AddTask) and destroys; the worker runs
// ProcessEvents and through it every task step. The task ring is the only channel between them.
#ifndef KYT_NVME_NVME_DRIVER_H
#define KYT_NVME_NVME_DRIVER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "nvme/ring.h"
#include "utility/nvme_command_tracker_interface.h"

class TaskBase;
class TaskScheduler;
class NvmeControllerManager;

namespace tyr {
class CommandTracker;
}  // namespace tyr

class NvmeDriver {
 public:
  using TaskRing = Ring<TaskBase*>;
  static constexpr uint32_t kRingSize = 128;

  // Nothing starts: a controller manager and the tracker sink are made, the driver is not started.
  NvmeDriver();
  // Shutdown().
  ~NvmeDriver();

  NvmeDriver(const NvmeDriver&) = delete;
  NvmeDriver& operator=(const NvmeDriver&) = delete;

  // Starts the environment with the two cores, the shared-memory id and `pci_address` as the one device it may
  // claim, then the scheduler, the rings and the worker. True when the worker runs (also when it already ran);
  // false, with a log line telling why (kept for GetStartError), when a step fails. Throws std::out_of_range for a core of 256 or more and
  // std::overflow_error for a core from 64 to 255, before anything is started.
  bool StartScheduler(uint32_t master_core, uint32_t worker_core, uint32_t shm_id, const std::string& pci_address);

  // Ends the NVMe side for good, within a few seconds whatever the drive does: the worker stops (a blocking wait it is
  // in gives up), every controller is torn down (what is outstanding ends, the device is detached), then every task
  // the worker held or had not taken yet is released aborted, so that no thread waits for it any more. Used when the
  // process ends (the tasks' callbacks are then never called); idempotent.
  void Shutdown();

  // Hands one task to the worker (spinning while the ring is full). Before the start: logs
  // "NVME: ASSERT - Scheduler is not initialized" and drops the task. Script's thread only (single producer).
  void AddTask(TaskBase* task);

  bool IsStarted() const { return started_.load(); }
  // Why the last StartScheduler answered false (the text of its log line, with the environment's error messages of
  // that start when it was the environment that failed); empty after one that answered true. Script's thread only.
  const std::string& GetStartError() const { return start_error_; }
  const std::shared_ptr<NvmeControllerManager>& GetControllerManager() const { return controller_manager_; }
  const std::shared_ptr<TaskScheduler>& GetTaskScheduler() const { return scheduler_; }
  // Passes the worker has completed (diagnostics and tests).
  uint64_t GetPassCount() const { return passes_.load(std::memory_order_relaxed); }

  // The core mask text for the environment: lower-case hexadecimal without prefix or leading zeros
  // (cores 0 and 1 give "3"). Throws as StartScheduler does.
  static std::string BuildCoreMask(uint32_t master_core, uint32_t worker_core);

  // One pass of the worker: take at most one task from the ring, then step every running task once.
  static void RunPass(TaskScheduler& scheduler, TaskRing& ring);

  // The log sink of the environment and driver libraries: error, warning and notice messages print as
  // "SPDK: <message without line feeds> (<file>:<line>)"; lower levels are dropped.
  static void PrintSpdkLog(int level, const char* file, const int line, const char* func, const char* message);

 private:
  struct WorkerStart;

  bool CreateEventProcessors(uint32_t worker_core);
  static int PrepareEventProcessor(void* arg);
  void ProcessEvents(std::shared_ptr<TaskRing> task_ring, std::shared_ptr<TaskRing> second_ring);
  void StopWorker();

  std::shared_ptr<TaskRing> task_ring_;
  std::shared_ptr<TaskRing> ring2_;
  std::shared_ptr<TaskRing> ring3_;
  std::shared_ptr<TaskRing> ring4_;
  uint32_t ring_size_ = kRingSize;
  std::atomic<bool> started_{false};
  std::shared_ptr<NvmeControllerManager> controller_manager_;
  std::shared_ptr<TaskScheduler> scheduler_;
  tyr::NvmeCommandTrackerInterface tracker_sink_;
  tyr::CommandTracker* tracker_ = nullptr;

  std::string start_error_;
  bool env_started_ = false;                  // this driver's environment start succeeded (not repeated on retry)
  bool shut_down_ = false;
  std::atomic<bool> stop_requested_{false};   // read by the worker once per pass
  std::atomic<bool> worker_running_{false};   // set before the launch, cleared by the worker as its last act
  std::atomic<uint64_t> passes_{0};
};

#endif  // KYT_NVME_NVME_DRIVER_H
