// Every bound on a wait of the NVMe side, in one place, with why it has its value. Whatever waits on a drive or on a
// script takes its bound from here (or from the command time-out the script gave, which these defaults stand in for).
#ifndef KYT_NVME_TIME_BOUNDS_H
#define KYT_NVME_TIME_BOUNDS_H

#include <cstdint>

#include "spdk/nvme.h"

namespace kyt {
namespace nvme {

// The command time-out when the script gave none at attachment: long enough for the slowest commands drives are
// allowed to take (a Format NVM or a sanitize of a large drive runs for minutes), short enough that a lost
// completion still ends its call within the same test run.
// The driver below uses the same value for a controller attached without one (300 s).
constexpr uint64_t kDefaultCommandTimeoutUs = SPDK_NVME_DEFAULT_COMMAND_TIMEOUT_MS * 1000ULL;

// The wait for CSTS.RDY to follow CC.EN (attachment, reset) is the drive's own CAP.TO, in 500 ms units: the drive
// promises to be ready within it, and the register cannot ask for more than 127.5 s. A reset bounds it by the command
// time-out as well (a drive that takes longer than the script's bound is as good as hung); a drive whose registers
// read all ones is gone and is not waited for at all. A reset's wait for CSTS.RDY = 0 after clearing CC.EN, and each
// admin command of an initialisation, are bounded by the command time-out. The driver's attachment uses the same
// bound (SPDK_NVME_READY_WAIT_MS).
inline uint64_t ReadyWaitMs(uint32_t cap_to) { return SPDK_NVME_READY_WAIT_MS(cap_to); }

// Each command of a teardown (deleting the queue pairs before a detach): a drive that stops answering must not hold
// the end of the process for a whole command time-out, and a drive that works answers a queue deletion in
// microseconds.
constexpr uint32_t kTeardownWaitMs = 1000;

// A power cycle's removal and detection time-outs and its hold times when the workload gives none: long enough for
// a bench power supply to drop and a drive to train its PCIe link again, as test benches observe (1-3 s).
constexpr uint32_t kDefaultPowerCycleTimeoutMs = 5000;
constexpr uint32_t kDefaultPowerHoldTimeMs = 5000;

// A power hook (the script's function that switches the supply) must answer within the power cycle's detection
// time-out, or the command time-out when the cycle gives none: a hook that never answers would otherwise hold the
// workload for ever. The hook is the script's own code, so its bound is the one the script chose for the cycle.
inline uint64_t HookAnswerBoundMs(uint32_t detection_timeout_ms, uint64_t command_timeout_us) {
  return detection_timeout_ms != 0 ? detection_timeout_ms : command_timeout_us / 1000;
}

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_TIME_BOUNDS_H
