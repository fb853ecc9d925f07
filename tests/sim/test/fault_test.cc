// Faults on demand: injected statuses, late and missing completions, corruption, removal, power cycles.
#include <signal.h>
#include <sys/mman.h>

#include "kyt/env_test.h"
#include "sim_test_util.h"
#include "spdk/env.h"

namespace kyt::sim::testing {
namespace {

class FaultTest : public SimTest {
 protected:
  void StartIo(const SimConfig& config = FastConfig()) {
    Start(config);
    ASSERT_OK(host_->CreateIoQueuePair(1, 32, &q1_));
    ASSERT_OK(host_->CreateIoQueuePair(2, 32, &q2_));
    data_ = host_->Alloc(4096);
    std::memset(data_.ptr, 0x3C, 4096);
  }
  static FaultRule Rule(bool admin, int qid, int opcode, int count, uint8_t sct, uint8_t sc) {
    FaultRule r;
    r.admin = admin;
    r.qid = qid;
    r.opcode = static_cast<int16_t>(opcode);
    r.count = count;
    r.status = kyt::sim::Status{sct, sc, true, true};
    return r;
  }
  TestHost::Queue* q1_ = nullptr;
  TestHost::Queue* q2_ = nullptr;
  TestHost::Buffer data_;
};

TEST_F(FaultTest, InjectedStatusesHitOnlyTheirQueueOpcodeNamespaceAndCount) {
  StartIo();
  ctrl_->InjectFault(Rule(false, 2, io_opc::kWrite, 2, sct::kMediaError, mesc::kWriteFault));
  ctrl_->InjectFault(Rule(true, -1, admin_opc::kIdentify, -1, sct::kGeneric, sc::kInternalError));
  FaultRule ns1 = Rule(false, -1, io_opc::kFlush, 1, sct::kGeneric, sc::kCapacityExceeded);
  ns1.nsid = 1;  // only flushes of namespace 1
  ctrl_->InjectFault(ns1);
  // Queue 1, other opcodes and other namespaces are untouched.
  EXPECT_OK(host_->Io(*q1_, io_opc::kWrite, 1, 0, 8, data_));
  EXPECT_OK(host_->Io(*q2_, io_opc::kRead, 1, 0, 8, data_));
  EXPECT_OK(host_->Io(*q2_, io_opc::kFlush, kBroadcastNsid, 0, 1, TestHost::Buffer{}));
  EXPECT_STATUS(host_->Io(*q2_, io_opc::kFlush, 1, 0, 1, TestHost::Buffer{}), sct::kGeneric, sc::kCapacityExceeded);
  Completion c;
  std::memset(data_.ptr, 0x99, 4096);
  for (int i = 0; i < 2; ++i) {
    EXPECT_STATUS(host_->Io(*q2_, io_opc::kWrite, 1, 0, 8, data_, 0, &c), sct::kMediaError, mesc::kWriteFault);
    EXPECT_TRUE(c.dnr() && c.more());
  }
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 0, &block));
  EXPECT_EQ(block[0], 0x3C);  // the failed writes did not reach the media
  EXPECT_OK(host_->Io(*q2_, io_opc::kWrite, 1, 0, 8, data_));  // used up
  TestHost::Buffer id;
  for (int i = 0; i < 2; ++i) EXPECT_STATUS(host_->Identify(1, 0, &id), sct::kGeneric, sc::kInternalError);
  EXPECT_EQ(ctrl_->pending_faults(), 1u);  // the unlimited admin rule
  EXPECT_EQ(ctrl_->counters().injected, 5u);
  ctrl_->ClearFaults();
  EXPECT_OK(host_->Identify(1, 0, &id));
}

// A delayed command is executed at once and completes once the environment's clock passes its delay, not earlier;
// other commands overtake it.
TEST_F(FaultTest, DelayedCompletionArrivesLate) {
  StartIo();
  kyt_env_test_set_clock_scale(1);
  FaultRule r;
  r.action = FaultRule::Action::kDelay;
  r.opcode = io_opc::kWrite;
  r.delay_us = 100000000;  // 100 s
  ctrl_->InjectFault(r);
  Command w = Cmd(io_opc::kWrite, 1);
  w.cdw12 = 7;
  w.prp1 = data_.iova;
  const uint16_t slow = host_->Push(*q1_, w);
  host_->Ring(*q1_);
  Completion c;
  ASSERT_TRUE(host_->Submit(*q1_, Cmd(io_opc::kFlush, 1), &c));
  EXPECT_NE(c.cid, slow);
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 7, &block));
  EXPECT_EQ(block[0], 0x3C);  // executed already
  kyt_env_test_advance_clock(90 * spdk_get_ticks_hz());
  EXPECT_FALSE(host_->Reap(*q1_, &c, 20));
  kyt_env_test_advance_clock(20 * spdk_get_ticks_hz());
  ASSERT_TRUE(host_->Reap(*q1_, &c));
  EXPECT_EQ(c.cid, slow);
  EXPECT_EQ(c.sc(), 0);
}

TEST_F(FaultTest, DroppedCompletionNeverArrivesUntilAborted) {
  StartIo();
  FaultRule r;
  r.action = FaultRule::Action::kDrop;
  r.opcode = io_opc::kRead;
  r.count = 2;
  ctrl_->InjectFault(r);
  Command rd = Cmd(io_opc::kRead, 1);
  rd.prp1 = data_.iova;
  const uint16_t lost = host_->Push(*q1_, rd);
  host_->Ring(*q1_);
  Completion c;
  EXPECT_FALSE(host_->Reap(*q1_, &c, 50));
  Command abort = Cmd(admin_opc::kAbort);
  abort.cdw10 = 1 | uint32_t(lost) << 16;
  ASSERT_OK(host_->AdminCommand(abort, &c));
  EXPECT_EQ(c.cdw0 & 1, 0u);  // aborted
  ASSERT_TRUE(host_->Reap(*q1_, &c));
  EXPECT_EQ(c.cid, lost);
  EXPECT_EQ(c.sc(), sc::kAbortRequested);
  ASSERT_OK(host_->AdminCommand(abort, &c));
  EXPECT_EQ(c.cdw0 & 1, 1u);  // nothing left to abort
  // The second one is dropped too and a reset forgets it without a completion.
  host_->Push(*q1_, rd);
  host_->Ring(*q1_);
  EXPECT_FALSE(host_->Reap(*q1_, &c, 30));
  ASSERT_TRUE(host_->Disable());
  EXPECT_FALSE(host_->Peek(*q1_));
}

TEST_F(FaultTest, CorruptionFlipsTheChosenByte) {
  StartIo();
  ASSERT_OK(host_->Io(*q1_, io_opc::kWrite, 1, 40, 8, data_));
  EXPECT_TRUE(ctrl_->CorruptBlock(1, 42, 10, 0x01));
  EXPECT_FALSE(ctrl_->CorruptBlock(1, 1u << 20, 0));  // beyond the namespace
  TestHost::Buffer back = host_->Alloc(4096);
  ASSERT_OK(host_->Io(*q1_, io_opc::kRead, 1, 40, 8, back));
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(back.ptr[i], i == 2 * 512 + 10 ? (0x3C ^ 0x01) : 0x3C) << i;
}

// Runs in a death test's child: a bus error ends the process with exit code 42 (a handler of our own, so that a
// sanitizer's handler does not turn it into an abort).
void ExitOnBusError() {
  struct sigaction sa {};
  sa.sa_handler = [](int) { _exit(42); };
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, nullptr);
}

// A surprise removal or a power loss takes the function off the bus: an access through an old mapping of BAR0 faults.
class VanishTest : public FaultTest, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(RemoveOrPowerOff, VanishTest, ::testing::Bool());

TEST_P(VanishTest, TheBarVanishes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Start();
  spdk_pci_addr a{};
  spdk_pci_addr_parse(&a, ctrl_->address().c_str());
  const int fd = dup(ctrl_->bar0_fd());
  void* bar = mmap(nullptr, ctrl_->bar0_size(), PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(bar, MAP_FAILED);
  auto* csts = reinterpret_cast<volatile uint32_t*>(static_cast<uint8_t*>(bar) + reg::kCsts);
  EXPECT_EQ(*csts & 1, 1u);
  if (GetParam()) {
    ctrl_->Remove(true);
    EXPECT_THROW(ctrl_->PowerOn(), std::logic_error);
  } else {
    ctrl_->PowerOff();
  }
  EXPECT_FALSE(kyt_swdev_present(&a));
  EXPECT_EQ(ctrl_->bar0_fd(), -1);
  EXPECT_EXIT(
      {
        ExitOnBusError();
        (void)*csts;
        _exit(0);
      },
      ::testing::ExitedWithCode(42), "");
  munmap(bar, ctrl_->bar0_size());
  close(fd);
  host_.reset();  // its mapping is gone too; it must not touch it
}

}  // namespace
}  // namespace kyt::sim::testing
