// Keeps work that outlived the task that owned it until it is over: a power cycle still under way when the workload
// that started it ended goes on to its end on the worker, and a later sweep frees it. (The context of a command the
// device may still be executing stays with its queue instead: NvmeQueueManager::KeepUntilQueueGone.)
//
// Worker thread only: the adoptions happen in the runners' handlers and the sweeps at the start of every workload,
// so no lock is needed.
#ifndef KYT_RUNNER_ORPHANED_COMMANDS_H
#define KYT_RUNNER_ORPHANED_COMMANDS_H

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class OrphanedCommands {
 public:
  // Takes shared ownership of `keep` until `completed()` answers true at a sweep.
  static void Adopt(std::shared_ptr<void> keep, std::function<bool()> completed);
  // Frees every adopted context whose command has completed.
  static void Sweep();
  // Number of contexts still held.
  static size_t Count();

 private:
  struct Entry {
    std::shared_ptr<void> keep;
    std::function<bool()> completed;
  };
  static std::vector<Entry>& Entries();
};

#endif  // KYT_RUNNER_ORPHANED_COMMANDS_H
