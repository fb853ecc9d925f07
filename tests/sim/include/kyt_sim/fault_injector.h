/*
 * Faults a simulated controller applies to the commands it fetches: complete a chosen opcode with a chosen status
 * without executing it, complete it late, never complete it, or complete it twice. Rules match by queue kind (admin or I/O), queue
 * identifier and opcode, and expire after a number of uses. Not synchronised: the controller calls it under its lock.
 */
#ifndef KYT_SIM_FAULT_INJECTOR_H
#define KYT_SIM_FAULT_INJECTOR_H

#include <cstdint>
#include <vector>

#include "kyt_sim/nvme_defs.h"

namespace kyt::sim {

struct FaultRule {
  enum class Action {
    kStatus,  // complete with `status` without executing the command
    kDelay,   // execute, then post the completion `delay_us` later
    kDrop,    // execute, never post a completion (until Abort, SQ deletion or reset)
    kDuplicate,  // execute and complete, then post a second copy of the completion `delay_us` later
  };
  bool admin = false;    // admin queue and admin opcode; otherwise I/O queues and an I/O opcode
  int32_t qid = -1;      // I/O queue identifier, -1 for any I/O queue (ignored for admin rules)
  int16_t opcode = -1;   // -1 for any opcode
  uint32_t nsid = 0;     // only commands for this namespace; 0 for any
  int32_t count = 1;     // uses left; negative: unlimited
  Action action = Action::kStatus;
  Status status;         // kStatus
  uint64_t delay_us = 0;  // kDelay, kDuplicate

  // The next admin command of `opcode`: executed, never completed.
  static FaultRule LostAdmin(int16_t opcode) {
    FaultRule rule;
    rule.admin = true;
    rule.opcode = opcode;
    rule.action = Action::kDrop;
    return rule;
  }
};

class FaultInjector {
 public:
  void Add(const FaultRule& rule);
  void Clear() { rules_.clear(); }
  bool empty() const { return rules_.empty(); }
  size_t size() const { return rules_.size(); }
  // The first live rule that matches a command fetched from `sqid`: one use is consumed and the rule is copied to
  // *out. False when none matches.
  bool Match(uint16_t sqid, const Command& cmd, FaultRule* out);

 private:
  std::vector<FaultRule> rules_;
};

}  // namespace kyt::sim

#endif  // KYT_SIM_FAULT_INJECTOR_H
