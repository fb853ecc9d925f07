// Keeps the host-side state of commands whose runner gave up on them alive until the command completes.
//
// A runner that ends while its command is still outstanding (time-out, power-off notice, failed completion pass)
// cannot free the command's context: the driver still holds a pointer to it and a late completion, or the abort
// of the queue at its teardown, writes into it. The runner hands the context here instead; each sweep frees the
// contexts whose command has completed meanwhile. A command that never completes keeps its context for the life of
// the process (reachable, a bounded cost of a device that misbehaved).
//
// Worker thread only: the adoptions happen in the runners' handlers and the sweeps at the start of every command
// runner, so no lock is needed.
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
