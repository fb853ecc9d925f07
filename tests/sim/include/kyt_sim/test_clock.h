// Waits of tests on the environment's test clock. A simulated controller's service thread, and a test thread that
// steps the driver itself once it paces (kyt_env_test_clock_pace_thread), hold that clock back while they do not get
// to run: a bound in this clock is reached only when the work waited for had its turn and did not happen, never
// because the machine was loaded.
#ifndef KYT_SIM_TEST_CLOCK_H
#define KYT_SIM_TEST_CLOCK_H

#include <cstdint>

#include "spdk/env.h"

namespace kyt::sim {

// Calls `step` until `done` holds; false once `seconds` of the test clock have passed without it. The clock is read
// before `done` is asked, so a wait that finds what it waits for succeeds however long its thread was kept away.
template <class Step, class Done>
bool PollOnTestClock(Step step, Done done, double seconds) {
  const uint64_t hz = spdk_get_ticks_hz();
  const uint64_t deadline = spdk_get_ticks() + static_cast<uint64_t>(seconds * static_cast<double>(hz));
  for (;;) {
    const uint64_t now = spdk_get_ticks();
    if (done()) return true;
    if (now > deadline) return false;
    step();
  }
}

}  // namespace kyt::sim

#endif  // KYT_SIM_TEST_CLOCK_H
