#include "nvme/nvme_driver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <stdexcept>

#include <strings.h>

#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/task_scheduler.h"
#include "spdk/env.h"
#include "spdk/log.h"
#include "spdk/nvme.h"
#include "utility/command_tracker.h"
#include "utility/log_line.h"
#include "utility/task_base.h"

using kyt::LogLine;

struct NvmeDriver::WorkerStart {
  NvmeDriver* driver;
  std::shared_ptr<TaskRing> task_ring;
  std::shared_ptr<TaskRing> second_ring;
};

NvmeDriver::NvmeDriver() : controller_manager_(std::make_shared<NvmeControllerManager>()) {}

NvmeDriver::~NvmeDriver() { Shutdown(); }

void NvmeDriver::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  // The worker reads the scheduler and steps tasks that use the controllers: halt it first, cutting short a wait on
  // the device it may be in.
  spdk_nvme_abandon_waits(true);
  StopWorker();
  spdk_nvme_abandon_waits(false);
  started_.store(false);
  if (tracker_ != nullptr) {
    LogLine("NVME: CommandTracker: Deleted");
    NvmeController::SetCommandTracker(nullptr);
    delete tracker_;
    tracker_ = nullptr;
  }
  // Commands still outstanding end into their tasks, which no one frees before the tasks are released below.
  controller_manager_->Teardown();
  static const char* const kReason = "the NVMe side stopped: the process is ending";
  if (scheduler_) scheduler_->ReleaseAll(kReason);
  TaskBase* task = nullptr;
  while (task_ring_ && task_ring_->Dequeue(&task)) {
    if (task != nullptr) TaskScheduler::Release(task, kReason);
  }
  LogLine("NVME: Terminated NVMe Driver");
}

std::string NvmeDriver::BuildCoreMask(uint32_t master_core, uint32_t worker_core) {
  constexpr uint32_t kCoreSetSize = 256;
  constexpr uint32_t kMaskBits = 64;
  for (uint32_t core : {master_core, worker_core}) {
    if (core >= kCoreSetSize) {
      throw std::out_of_range("core " + std::to_string(core) + " is out of range (cores 0 to 255)");
    }
  }
  for (uint32_t core : {master_core, worker_core}) {
    if (core >= kMaskBits) {
      throw std::overflow_error("core " + std::to_string(core) + " does not fit the 64-bit core mask (cores 0 to 63)");
    }
  }
  const uint64_t mask = (uint64_t{1} << master_core) | (uint64_t{1} << worker_core);
  char text[17];
  std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(mask));
  return text;
}

namespace {
// The error messages of an environment start, gathered for the start's failure reason (bounded).
std::mutex g_start_errors_lock;
std::string* g_start_errors = nullptr;
constexpr size_t kStartErrorsMax = 2048;

// The address names the drive everywhere (the environment's allow-list, every runner's key, the log) in its full
// domain:bus:device.function form. The parser's short forms are refused: "0000:01", which reads as domain 0 and bus 1,
// would be taken as bus 0, device 1, another device than the script meant.
bool IsFullPciAddress(const std::string& text, const spdk_pci_addr& parsed) {
  char full[32];
  return spdk_pci_addr_fmt(full, sizeof(full), &parsed) == 0 && text.size() == std::strlen(full) &&
         strncasecmp(full, text.data(), text.size()) == 0;
}

// While `into` is set, PrintSpdkLog also appends every error message to it ("; " between them).
void CollectStartErrors(std::string* into) {
  std::lock_guard<std::mutex> guard(g_start_errors_lock);
  g_start_errors = into;
}
}  // namespace

bool NvmeDriver::StartScheduler(uint32_t master_core, uint32_t worker_core, uint32_t shm_id,
                                const std::string& pci_address) {
  if (started_.load()) {
    LogLine("NVME: Already Started Scheduler");
    return true;
  }
  start_error_.clear();
  const auto fail = [this](std::string reason) {
    LogLine("NVME: " + reason);
    start_error_ = std::move(reason);
    return false;
  };
  LogLine("NVME: Initializing SPDK");
  spdk_log_open(&NvmeDriver::PrintSpdkLog);

  spdk_env_opts opts;
  spdk_env_opts_init(&opts);
  spdk_pci_addr allowed = {};
  if (pci_address.empty()) {
    return fail("No PCI address to start with: set the default BDF first");
  }
  if (spdk_pci_addr_parse(&allowed, pci_address.c_str()) != 0 || !IsFullPciAddress(pci_address, allowed)) {
    return fail("Invalid PCI address \"" + pci_address + "\"");
  }
  const std::string core_mask = BuildCoreMask(master_core, worker_core);
  opts.name = "nvme_addon";
  opts.shm_id = static_cast<int>(shm_id);
  opts.mem_size = 1024;
  opts.unlink_hugepage = true;
  opts.num_pci_addr = 1;
  opts.pci_whitelist = &allowed;
  opts.core_mask = core_mask.c_str();
  opts.master_core = static_cast<int>(master_core);

  if (!env_started_) {
    std::string errors;
    CollectStartErrors(&errors);
    const int rc = spdk_env_init(&opts);
    CollectStartErrors(nullptr);
    if (rc != 0) {
      LogLine("NVME: SPDK Initialization Failed. Error: " + std::to_string(rc));
      start_error_ = "SPDK Initialization Failed. Error: " + std::to_string(rc) + " (" + std::strerror(-rc) + ")" +
                     (errors.empty() ? "" : ": " + errors);
      return false;
    }
    env_started_ = true;
  }

  LogLine("NVME: Creating a Task Scheduler");
  scheduler_ = std::make_shared<TaskScheduler>(controller_manager_);

  std::shared_ptr<TaskRing>* rings[] = {&task_ring_, &ring2_, &ring3_, &ring4_};
  for (auto* ring : rings) {
    *ring = std::make_shared<TaskRing>(ring_size_);
    if (!(*ring)->IsValid()) {
      for (auto* made : rings) made->reset();
      return fail("Failed to create the task rings");
    }
  }

  if (!CreateEventProcessors(worker_core)) {
    return fail("Failed to Create Event Processor");
  }

  tracker_ = new tyr::CommandTracker(&tracker_sink_);
  NvmeController::SetCommandTracker(tracker_);

  started_.store(true);
  LogLine("NVME: Initialized NvmeDriver instance");
  return true;
}

bool NvmeDriver::CreateEventProcessors(uint32_t worker_core) {
  auto* start = new WorkerStart{this, task_ring_, ring2_};
  stop_requested_.store(false);
  worker_running_.store(true);
  const int rc = spdk_env_thread_launch_pinned(worker_core, &NvmeDriver::PrepareEventProcessor, start);
  if (rc != 0) {
    worker_running_.store(false);
    delete start;
    LogLine("NVME: Failed to Create SPDK Thread. Error: " + std::to_string(rc));
    return false;
  }
  return true;
}

int NvmeDriver::PrepareEventProcessor(void* arg) {
  auto* start = static_cast<WorkerStart*>(arg);
  NvmeDriver* driver = start->driver;
  std::shared_ptr<TaskRing> task_ring = start->task_ring;
  std::shared_ptr<TaskRing> second_ring = start->second_ring;
  delete start;
  driver->ProcessEvents(std::move(task_ring), std::move(second_ring));
  return 0;
}

void NvmeDriver::ProcessEvents(std::shared_ptr<TaskRing> task_ring, std::shared_ptr<TaskRing> /*second_ring*/) {
  TaskScheduler& scheduler = *scheduler_;
  TaskRing& ring = *task_ring;
  while (!stop_requested_.load(std::memory_order_acquire)) {
    RunPass(scheduler, ring);
    passes_.store(passes_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  task_ring.reset();
  worker_running_.store(false, std::memory_order_release);  // the worker's last access to the driver
}

void NvmeDriver::RunPass(TaskScheduler& scheduler, TaskRing& ring) {
  if (ring.Count() != 0) {
    TaskBase* task = nullptr;
    if (ring.Dequeue(&task) && task != nullptr) scheduler.Add(task);
  }
  scheduler.StepAll();
}

void NvmeDriver::StopWorker() {
  stop_requested_.store(true, std::memory_order_release);
  // The worker sees the flag at its next pass; a pass only takes long when a task step blocks, which is a fault:
  // say so once instead of waiting silently.
  constexpr int kWaitsBeforeNotice = 10000;  // 100 us each: one second
  for (int waits = 0; worker_running_.load(std::memory_order_acquire); ++waits) {
    if (waits == kWaitsBeforeNotice) LogLine("NVME: ASSERT: waiting for the worker to finish its pass");
    struct timespec wait = {0, 100000};
    nanosleep(&wait, nullptr);
  }
}

void NvmeDriver::AddTask(TaskBase* task) {
  if (!started_.load()) {
    LogLine("NVME: ASSERT - Scheduler is not initialized");
    return;
  }
  task->SetTaskScheduler(scheduler_);
  task->MarkHandedOver();
  while (!task_ring_->Enqueue(task)) {
  }
}

void NvmeDriver::PrintSpdkLog(int level, const char* file, const int line, const char* /*func*/,
                              const char* message) {
  if (level < SPDK_LOG_ERROR || level > SPDK_LOG_NOTICE) return;
  std::string body;
  for (const char* c = message != nullptr ? message : ""; *c != '\0'; ++c) {
    if (*c != '\n') body.push_back(*c);
  }
  if (level == SPDK_LOG_ERROR) {
    std::lock_guard<std::mutex> guard(g_start_errors_lock);
    if (g_start_errors != nullptr && g_start_errors->size() < kStartErrorsMax) {
      if (!g_start_errors->empty()) *g_start_errors += "; ";
      *g_start_errors += body.substr(0, kStartErrorsMax - g_start_errors->size());
    }
  }
  std::string text = "SPDK: " + body;
  text += " (";
  text += file != nullptr ? file : "";
  text += ":" + std::to_string(line) + ")";
  LogLine(std::move(text));
}
