// Controller state changes, observed through BAR0 as a host sees them. Delays run on the environment's clock, which
// the tests move past them.
#include <chrono>

#include "kyt/env_test.h"
#include "sim_test_util.h"
#include "spdk/env.h"

namespace kyt::sim::testing {
namespace {

class RegistersTest : public SimTest {
 protected:
  static void Advance(uint64_t seconds) { kyt_env_test_advance_clock(seconds * spdk_get_ticks_hz()); }
  // The masked CSTS bits take `value` once the clock passed 100 s, not at 90 s.
  void ExpectCstsAfter100s(uint32_t mask, uint32_t value) {
    Advance(90);
    EXPECT_FALSE(host_->WaitCsts(mask, value, 20));
    Advance(20);
    EXPECT_TRUE(host_->WaitCsts(mask, value));
  }
  bool IdentifyWorks(int timeout_ms = 2000) {
    Command c = Cmd(admin_opc::kIdentify);
    c.prp1 = host_->Alloc(4096).iova;
    c.cdw10 = 1;
    Completion done;
    return host_->Submit(host_->admin(), c, &done, timeout_ms) && done.sc() == 0;
  }
};

TEST_F(RegistersTest, ReadyFollowsEnableAndDisableOnceTheirDelaysPass) {
  SimConfig c = FastConfig();
  c.ready_delay_us = c.disable_delay_us = 100000000;  // 100 s
  Start(c, false);
  kyt_env_test_set_clock_scale(1);
  TestHost::Buffer q = host_->Alloc(8192);
  host_->Write32(reg::kAqa, 0x000F000F);
  host_->Write64(reg::kAsq, q.iova);
  host_->Write64(reg::kAcq, q.iova + 4096);
  for (uint32_t en : {cc::kEn, 0u}) {
    host_->Write32(reg::kCc, en | 6u << 16 | 4u << 20);
    // The controller took the change (its admin queues exist, or it counted the reset) before the clock moves.
    Await([&] { return en ? !ctrl_->Queues().empty() : ctrl_->counters().resets == 1; });
    ExpectCstsAfter100s(csts::kRdy, en ? csts::kRdy : 0);
  }
}

// The service thread paces the test clock: while it does not get to run, the clock (here 1000 times real time) stands
// at most a slack past the last pass it finished, so the ready delay it would meet cannot pass without it; once it
// runs again, the clock goes on and it raises RDY.
TEST_F(RegistersTest, AServiceThreadThatDoesNotRunHoldsTheClockBack) {
  SimConfig c = FastConfig();
  c.ready_delay_us = 10000000;  // 10 s
  Start(c, false);
  TestHost::Buffer q = host_->Alloc(8192);
  host_->Write32(reg::kAqa, 0x000F000F);
  host_->Write64(reg::kAsq, q.iova);
  host_->Write64(reg::kAcq, q.iova + 4096);
  kyt_env_test_set_clock_scale(1000);
  ctrl_->HoldService(true);
  const uint64_t hz = spdk_get_ticks_hz(), t0 = spdk_get_ticks();
  host_->Write32(reg::kCc, cc::kEn | 6u << 16 | 4u << 20);
  const auto real_ns = [] { return std::chrono::steady_clock::now().time_since_epoch().count(); };
  for (const auto n0 = real_ns(); real_ns() - n0 < 20000000;) {  // 20 ms of real time: 20 s of an unheld clock
  }
  EXPECT_LT(spdk_get_ticks() - t0, 3 * hz);
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kRdy, 0u);
  ctrl_->HoldService(false);
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, csts::kRdy, 60000));
}

TEST_F(RegistersTest, StartStatesAndReadyHeldUntilReleased) {
  SimConfig c = FastConfig();
  c.start_enabled = c.start_ready = true;
  Start(c, false);
  EXPECT_EQ(host_->Read32(reg::kCc) & host_->Read32(reg::kCsts) & 1, 1u);
  ASSERT_TRUE(host_->Disable());  // a host takes it over with its own admin queue
  ASSERT_TRUE(host_->Enable());
  EXPECT_TRUE(IdentifyWorks());

  c.start_enabled = false;  // disabled, RDY still 1 and held there
  c.start_ready_stuck = true;
  Start(c, false);
  EXPECT_FALSE(host_->WaitCsts(csts::kRdy, 0, 30));
  ctrl_->SetReadyStuck(false);
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, 0));

  // A timed hold lets go by itself once the clock passes it.
  Start();
  kyt_env_test_set_clock_scale(1);
  ctrl_->SetReadyStuck(true, 100000000);
  host_->Write32(reg::kCc, host_->Read32(reg::kCc) & ~cc::kEn);
  ExpectCstsAfter100s(csts::kRdy, 0);
}

TEST_F(RegistersTest, ShutdownNotificationMovesShstThroughProcessingToComplete) {
  for (uint32_t shn : {1u, 2u}) {  // normal, abrupt
    SimConfig c = FastConfig();
    c.shutdown_delay_us = 100000000;  // 100 s
    Start(c);
    kyt_env_test_set_clock_scale(1);
    host_->Write32(reg::kCc, host_->Read32(reg::kCc) | shn << 14);
    EXPECT_TRUE(host_->WaitCsts(csts::kShstMask, csts::kShstOccurring));
    EXPECT_TRUE(IdentifyWorks()) << "commands are still served while shutting down";
    ExpectCstsAfter100s(csts::kShstMask | csts::kRdy, csts::kShstComplete | csts::kRdy);
  }
}

// A bad admin queue address or page size, a fatal status set on demand and no bus mastering all stop the service; CFS set by the
// controller or on demand clears with a reset unless asked to survive it.
TEST_F(RegistersTest, NoServiceWhileFatalOrWithoutBusMastering) {
  Start(FastConfig(), false);
  TestHost::Buffer q = host_->Alloc(256 * 1024, 128 * 1024);  // aligned for pages of up to 128 KiB
  host_->Write32(reg::kAqa, 0x000F000F);
  host_->Write64(reg::kAsq, q.iova + 512);  // not page aligned
  host_->Write64(reg::kAcq, q.iova + 128 * 1024);
  host_->Write32(reg::kCc, cc::kEn);
  EXPECT_TRUE(host_->WaitCsts(csts::kCfs | csts::kRdy, csts::kCfs));
  host_->Write32(reg::kCc, 0);
  EXPECT_TRUE(host_->WaitCsts(csts::kCfs, 0));
  host_->Write64(reg::kAsq, q.iova);
  host_->Write32(reg::kCc, cc::kEn | 5u << 7);  // MPS 5 is above MPSMAX 4
  EXPECT_TRUE(host_->WaitCsts(csts::kCfs, csts::kCfs));

  Start();
  host_->SetConfig32(PciConfigSpace::kCommand, PciConfigSpace::kCommandMemory);
  EXPECT_FALSE(IdentifyWorks(50));
  host_->SetConfig32(PciConfigSpace::kCommand, PciConfigSpace::kCommandMemory | PciConfigSpace::kCommandBusMaster);
  Completion done;
  ASSERT_TRUE(host_->Reap(host_->admin(), &done));  // the command waiting in the queue is served now
  ctrl_->SetFatal(true);
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kCfs, csts::kCfs);
  EXPECT_FALSE(IdentifyWorks(50));
  ASSERT_TRUE(host_->Disable());
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kCfs, 0u);
  ASSERT_TRUE(host_->Enable());
  EXPECT_TRUE(IdentifyWorks());
  ctrl_->SetFatal(true, false);  // survives resets
  ASSERT_TRUE(host_->Disable());
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kCfs, csts::kCfs);
}

}  // namespace
}  // namespace kyt::sim::testing
