// Shared fixture of the simulated controller's tests: a controller at a fresh PCI address and a host driving it.
#ifndef KYT_SIM_TEST_SIM_TEST_UTIL_H
#define KYT_SIM_TEST_SIM_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "kyt_sim/sim_controller.h"
#include "kyt_sim/test_clock.h"
#include "kyt_sim/test_host.h"

namespace kyt::sim::testing {

inline std::string NextAddress() {
  static int n = 0;
  char text[32];
  std::snprintf(text, sizeof(text), "0000:%02x:%02x.%x", 0x70 + (n / 256) % 16, (n / 8) % 32, n % 8);
  ++n;
  return text;
}

// Fast timings so that state changes take a millisecond or less.
inline SimConfig FastConfig() {
  SimConfig c;
  c.ready_delay_us = 200;
  c.disable_delay_us = 200;
  c.shutdown_delay_us = 200;
  return c;
}

class SimTest : public ::testing::Test {
 protected:
  // A controller with `config` and a host that enabled it (unless enable is false).
  void Start(const SimConfig& config = FastConfig(), bool enable = true) {
    // The controller goes first: it must not post into the old host's memory once that is freed.
    ctrl_.reset();
    host_.reset();
    ctrl_ = std::make_unique<SimController>(NextAddress(), config, TestHost::Translator());
    host_ = std::make_unique<TestHost>(*ctrl_);
    if (enable) {
      ASSERT_TRUE(host_->Enable());
    }
  }
  void TearDown() override {
    ctrl_.reset();
    host_.reset();
  }

  Command Cmd(uint8_t opcode, uint32_t nsid = 0) {
    Command c{};
    c.cdw0 = opcode;
    c.nsid = nsid;
    return c;
  }
  // Waits (for at most 2 s of the test clock) for the controller's thread to get somewhere, e.g. to fetch a command.
  template <class Done>
  static void Await(Done done) {
    PollOnTestClock([] { std::this_thread::yield(); }, done, 2.0);
  }

  std::unique_ptr<SimController> ctrl_;
  std::unique_ptr<TestHost> host_;
};

// Status comparisons with readable failures; more text may be streamed into each.
inline ::testing::AssertionResult StatusIs(const char* expr, const Status& st, uint8_t sct, uint8_t sc) {
  if (st.sct == sct && st.sc == sc) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << expr << " gave SCT " << int(st.sct) << " SC 0x" << std::hex << int(st.sc)
                                       << ", expected SCT " << int(sct) << " SC 0x" << int(sc) << std::dec << " ";
}
#define EXPECT_STATUS(expr, sct_, sc_) EXPECT_TRUE(::kyt::sim::testing::StatusIs(#expr, (expr), (sct_), (sc_)))
#define EXPECT_OK(expr) EXPECT_STATUS(expr, 0, 0)
#define ASSERT_OK(expr) ASSERT_TRUE(::kyt::sim::testing::StatusIs(#expr, (expr), 0, 0))

}  // namespace kyt::sim::testing

#endif  // KYT_SIM_TEST_SIM_TEST_UTIL_H
