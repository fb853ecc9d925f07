/*
 * Log of the commands a simulated controller fetched: queue, the 16 command dwords and the fetch time. A ring of fixed
 * capacity (the oldest entries are dropped). Not synchronised: the controller appends and snapshots under its lock.
 */
#ifndef KYT_SIM_COMMAND_LOG_H
#define KYT_SIM_COMMAND_LOG_H

#include <cstdint>
#include <vector>

#include "kyt_sim/nvme_defs.h"

namespace kyt::sim {

struct LoggedCommand {
  uint64_t sequence;  // 0 for the first command since the log was created or cleared
  uint64_t tick;      // environment ticks at fetch
  uint16_t sqid;
  Command command;
};

class CommandLog {
 public:
  explicit CommandLog(uint32_t capacity);

  void Append(uint16_t sqid, const Command& command, uint64_t tick);
  // Oldest first.
  std::vector<LoggedCommand> Snapshot() const;
  void Clear();
  // Commands appended since creation or the last Clear (including those dropped from the ring).
  uint64_t total() const { return next_; }
  uint32_t capacity() const { return static_cast<uint32_t>(ring_.size()); }

 private:
  std::vector<LoggedCommand> ring_;
  uint64_t next_ = 0;
};

}  // namespace kyt::sim

#endif  // KYT_SIM_COMMAND_LOG_H
