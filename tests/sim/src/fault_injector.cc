#include "kyt_sim/fault_injector.h"

namespace kyt::sim {

void FaultInjector::Add(const FaultRule& rule) {
  if (rule.count == 0) return;
  rules_.push_back(rule);
}

bool FaultInjector::Match(uint16_t sqid, const Command& cmd, FaultRule* out) {
  const uint8_t opcode = cmd.opcode();
  const bool admin = sqid == 0;
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (it->admin != admin) continue;
    if (!admin && it->qid >= 0 && it->qid != sqid) continue;
    if (it->opcode >= 0 && it->opcode != opcode) continue;
    if (it->nsid != 0 && it->nsid != cmd.nsid) continue;
    *out = *it;
    if (it->count > 0 && --it->count == 0) rules_.erase(it);
    return true;
  }
  return false;
}

}  // namespace kyt::sim
