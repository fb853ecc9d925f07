// Controller registers and state transitions, observed through BAR0 as a host sees them.
#include <chrono>
#include <thread>

#include "sim_test_util.h"

namespace kyt::sim::testing {
namespace {

class RegistersTest : public SimTest {
 protected:
  bool CstsStaysFor(uint32_t mask, uint32_t value, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      if ((host_->Read32(reg::kCsts) & mask) != value) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  bool IdentifyWorks() {
    TestHost::Buffer id;
    return host_->Identify(1, 0, &id).ok();
  }
};

TEST_F(RegistersTest, CapabilitiesAndVersion) {
  SimConfig c = FastConfig();
  Start(c, false);
  const uint64_t cap = host_->Read64(reg::kCap);
  EXPECT_EQ(cap & 0xFFFF, 1023u);             // MQES
  EXPECT_EQ(cap >> 16 & 1, 1u);               // CQR
  EXPECT_EQ(cap >> 24 & 0xFF, 20u);           // TO
  EXPECT_EQ(cap >> 32 & 0xF, 0u);             // DSTRD
  EXPECT_EQ(cap >> 37 & 0xFF, 1u);            // CSS: NVM
  EXPECT_EQ(cap >> 48 & 0xF, 0u);             // MPSMIN
  EXPECT_EQ(host_->Read32(reg::kVs), 0x00010300u);
  EXPECT_EQ(host_->Read32(reg::kCmbsz), 0u);
  EXPECT_EQ(host_->Read32(reg::kCsts), 0u);

  c.mqes = 255;
  c.timeout = 0x3C;
  c.dstrd = 1;
  c.version = 0x00010400;
  Start(c, false);
  const uint64_t cap2 = host_->Read64(reg::kCap);
  EXPECT_EQ(cap2 & 0xFFFF, 255u);
  EXPECT_EQ(cap2 >> 24 & 0xFF, 0x3Cu);
  EXPECT_EQ(cap2 >> 32 & 0xF, 1u);
  EXPECT_EQ(host_->Read32(reg::kVs), 0x00010400u);
}

TEST_F(RegistersTest, ReadOnlyRegistersComeBackAfterAHostWrite) {
  Start(FastConfig(), false);
  host_->Write32(reg::kVs, 0x12345678);
  host_->Write32(reg::kCap, 0);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (host_->Read32(reg::kVs) != 0x00010300u && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  EXPECT_EQ(host_->Read32(reg::kVs), 0x00010300u);
  EXPECT_EQ(host_->Read32(reg::kCap) & 0xFFFF, 1023u);
}

TEST_F(RegistersTest, ReadyFollowsEnableAfterTheConfiguredDelay) {
  SimConfig c = FastConfig();
  c.ready_delay_us = 100000;
  c.disable_delay_us = 100000;
  Start(c, false);
  TestHost::Buffer sq = host_->Alloc(4096), cq = host_->Alloc(4096);
  host_->Write32(reg::kAqa, 0x000F000F);
  host_->Write64(reg::kAsq, sq.iova);
  host_->Write64(reg::kAcq, cq.iova);
  host_->Write32(reg::kCc, cc::kEn | 6u << 16 | 4u << 20);
  EXPECT_TRUE(CstsStaysFor(csts::kRdy, 0, 40));  // still 0 well within the delay
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, csts::kRdy, 2000));
  host_->Write32(reg::kCc, 6u << 16 | 4u << 20);
  EXPECT_TRUE(CstsStaysFor(csts::kRdy, csts::kRdy, 40));
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, 0, 2000));
  EXPECT_EQ(ctrl_->counters().resets, 1u);
}

TEST_F(RegistersTest, DisableDropsEveryQueueAndEnableStartsAfresh) {
  Start();
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(1, 16, &q));
  EXPECT_EQ(ctrl_->Queues().size(), 4u);
  ASSERT_TRUE(host_->Disable());
  EXPECT_TRUE(ctrl_->Queues().empty());
  ASSERT_TRUE(host_->Enable());
  EXPECT_EQ(ctrl_->Queues().size(), 2u);
  // The old completion queue 1 is gone: a submission queue cannot use it.
  Command c = Cmd(admin_opc::kCreateIoSq);
  c.prp1 = host_->Alloc(4096).iova;
  c.cdw10 = 1 | 15u << 16;
  c.cdw11 = 1 | 1u << 16;
  EXPECT_STATUS(host_->AdminCommand(c), sct::kCommandSpecific, cssc::kCompletionQueueInvalid);
  EXPECT_TRUE(IdentifyWorks());
}

TEST_F(RegistersTest, StartStates) {
  SimConfig c = FastConfig();
  c.start_enabled = true;
  c.start_ready = true;
  Start(c, false);
  EXPECT_EQ(host_->Read32(reg::kCc) & 1, 1u);
  EXPECT_EQ(host_->Read32(reg::kCsts) & 1, 1u);
  // A host disables it and enables it with its own admin queue.
  ASSERT_TRUE(host_->Disable());
  ASSERT_TRUE(host_->Enable());
  EXPECT_TRUE(IdentifyWorks());

  c.start_ready = false;  // enabled, becoming ready
  Start(c, false);
  EXPECT_EQ(host_->Read32(reg::kCc) & 1, 1u);
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, csts::kRdy));

  c.start_enabled = false;  // disabled, RDY still 1 (disabling)
  c.start_ready = true;
  Start(c, false);
  EXPECT_EQ(host_->Read32(reg::kCc) & 1, 0u);
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, 0));
}

TEST_F(RegistersTest, ReadyHeldStuckUntilReleased) {
  SimConfig c = FastConfig();
  c.start_ready = true;  // EN 0, RDY 1
  c.start_ready_stuck = true;
  Start(c, false);
  EXPECT_TRUE(CstsStaysFor(csts::kRdy, csts::kRdy, 30));
  ctrl_->SetReadyStuck(false);
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, 0));

  Start();
  ctrl_->SetReadyStuck(true);
  host_->Write32(reg::kCc, host_->Read32(reg::kCc) & ~cc::kEn);
  EXPECT_TRUE(CstsStaysFor(csts::kRdy, csts::kRdy, 30));
  ctrl_->SetReadyStuck(false);
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, 0));

  // A timed hold lets go by itself, from the start or when set later.
  c.start_ready_stuck_us = 50000;
  Start(c, false);
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, 0, 3000));
  Start();
  const auto start = std::chrono::steady_clock::now();
  ctrl_->SetReadyStuck(true, 100000);
  host_->Write32(reg::kCc, host_->Read32(reg::kCc) & ~cc::kEn);
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, 0, 3000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
}

TEST_F(RegistersTest, ReadyForcedToZeroStopsServiceUntilReleased) {
  Start();
  ctrl_->ForceReady(false);
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kRdy, 0u);
  EXPECT_EQ(host_->Read32(reg::kCc) & cc::kEn, cc::kEn);
  Command c = Cmd(admin_opc::kIdentify);
  c.prp1 = host_->Alloc(4096).iova;
  c.cdw10 = 1;
  Completion done;
  EXPECT_FALSE(host_->Submit(host_->admin(), c, &done, 50));
  ctrl_->SetReadyStuck(false);
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, csts::kRdy));
  ASSERT_TRUE(host_->Reap(host_->admin(), &done));  // the command waiting in the queue is served now
  EXPECT_EQ(done.sc(), 0);
  ctrl_->ForceReady(true);  // forced 1 after a disable: stays 1
  host_->Write32(reg::kCc, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kRdy, csts::kRdy);
}

TEST_F(RegistersTest, ShutdownNotificationMovesShstThroughProcessingToComplete) {
  SimConfig c = FastConfig();
  c.shutdown_delay_us = 400000;
  Start(c);
  host_->Write32(reg::kCc, host_->Read32(reg::kCc) | 1u << 14);
  EXPECT_TRUE(host_->WaitCsts(csts::kShstMask, csts::kShstOccurring, 300));
  EXPECT_TRUE(IdentifyWorks());  // commands are still served while shutting down
  EXPECT_TRUE(host_->WaitCsts(csts::kShstMask, csts::kShstComplete, 2000));
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kRdy, csts::kRdy);
  // A reset ends the shutdown state.
  host_->Write32(reg::kCc, 0);
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy | csts::kShstMask, 0));
  // Abrupt shutdown (SHN 10b) as well.
  ASSERT_TRUE(host_->Enable());
  host_->Write32(reg::kCc, host_->Read32(reg::kCc) | 2u << 14);
  EXPECT_TRUE(host_->WaitCsts(csts::kShstMask, csts::kShstComplete, 2000));
}

TEST_F(RegistersTest, BadEnableSettingsRaiseControllerFatalStatus) {
  Start(FastConfig(), false);
  TestHost::Buffer q = host_->Alloc(8192);
  host_->Write32(reg::kAqa, 0x000F000F);
  host_->Write64(reg::kAsq, q.iova);
  host_->Write64(reg::kAcq, q.iova + 4096);
  host_->Write32(reg::kCc, cc::kEn | 5u << 7);  // MPS 5 is above MPSMAX 4
  EXPECT_TRUE(host_->WaitCsts(csts::kCfs, csts::kCfs));
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kRdy, 0u);
  host_->Write32(reg::kCc, 0);
  EXPECT_TRUE(host_->WaitCsts(csts::kCfs, 0));  // a reset clears it
  host_->Write32(reg::kAqa, 0);                  // an admin queue of one entry
  host_->Write32(reg::kCc, cc::kEn);
  EXPECT_TRUE(host_->WaitCsts(csts::kCfs, csts::kCfs));
  host_->Write32(reg::kCc, 0);
  host_->Write32(reg::kAqa, 0x000F000F);
  host_->Write64(reg::kAsq, q.iova + 512);       // not page aligned
  host_->Write32(reg::kCc, cc::kEn);
  EXPECT_TRUE(host_->WaitCsts(csts::kCfs, csts::kCfs));
  host_->Write32(reg::kCc, 0);
  host_->Write64(reg::kAsq, 0x10000);            // not host memory
  host_->Write32(reg::kCc, cc::kEn);
  EXPECT_TRUE(host_->WaitCsts(csts::kCfs, csts::kCfs));
}

TEST_F(RegistersTest, FatalStatusStopsServiceAndClearsOnResetWhenAsked) {
  Start();
  ctrl_->SetFatal(true);
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kCfs, csts::kCfs);
  Command c = Cmd(admin_opc::kIdentify);
  c.prp1 = host_->Alloc(4096).iova;
  c.cdw10 = 1;
  Completion done;
  EXPECT_FALSE(host_->Submit(host_->admin(), c, &done, 50));
  ASSERT_TRUE(host_->Disable());
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kCfs, 0u);
  ASSERT_TRUE(host_->Enable());
  EXPECT_TRUE(IdentifyWorks());

  ctrl_->SetFatal(true, false);  // survives resets
  ASSERT_TRUE(host_->Disable());
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kCfs, csts::kCfs);
  ctrl_->SetFatal(false);
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kCfs, 0u);
}

TEST_F(RegistersTest, DoorbellStrideOfEightBytes) {
  SimConfig c = FastConfig();
  c.dstrd = 1;
  Start(c);
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(3, 8, &q));
  TestHost::Buffer data = host_->Alloc(4096);
  std::memset(data.ptr, 0x5A, 4096);
  ASSERT_OK(host_->Io(*q, io_opc::kWrite, 1, 0, 8, data));
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 7, &block));
  EXPECT_EQ(block[511], 0x5A);
  bool seen = false;
  for (const auto& s : ctrl_->Queues()) {
    if (s.qid == 3 && s.submission) {
      EXPECT_EQ(s.doorbell_updates, 1u);
      seen = true;
    }
  }
  EXPECT_TRUE(seen);
}

TEST_F(RegistersTest, NoServiceWithoutBusMastering) {
  Start();
  host_->SetConfig32(PciConfigSpace::kCommand, PciConfigSpace::kCommandMemory);
  Command c = Cmd(admin_opc::kIdentify);
  c.prp1 = host_->Alloc(4096).iova;
  c.cdw10 = 1;
  Completion done;
  EXPECT_FALSE(host_->Submit(host_->admin(), c, &done, 50));
  host_->SetConfig32(PciConfigSpace::kCommand, PciConfigSpace::kCommandMemory | PciConfigSpace::kCommandBusMaster);
  ASSERT_TRUE(host_->Reap(host_->admin(), &done));
  EXPECT_TRUE(done.sc() == 0 && done.sct() == 0);
}

}  // namespace
}  // namespace kyt::sim::testing
