#include "kyt_sim/command_log.h"

namespace kyt::sim {

CommandLog::CommandLog(uint32_t capacity) : ring_(capacity) {}

void CommandLog::Append(uint16_t sqid, const Command& command, uint64_t tick) {
  if (ring_.empty()) {
    ++next_;
    return;
  }
  LoggedCommand& slot = ring_[next_ % ring_.size()];
  slot.sequence = next_++;
  slot.tick = tick;
  slot.sqid = sqid;
  slot.command = command;
}

std::vector<LoggedCommand> CommandLog::Snapshot() const {
  std::vector<LoggedCommand> out;
  if (ring_.empty()) return out;
  uint64_t count = next_ < ring_.size() ? next_ : ring_.size();
  out.reserve(count);
  for (uint64_t seq = next_ - count; seq < next_; ++seq) out.push_back(ring_[seq % ring_.size()]);
  return out;
}

void CommandLog::Clear() { next_ = 0; }

}  // namespace kyt::sim
