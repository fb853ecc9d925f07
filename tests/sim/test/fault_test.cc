// Faults on demand: injected statuses, late and missing completions, corruption, removal, power cycles.
#include <signal.h>
#include <sys/mman.h>

#include "kyt/env_test.h"
#include "sim_test_util.h"
#include "spdk/env.h"

namespace kyt::sim::testing {
namespace {

// Runs in a death test's child: a bus error ends the process with exit code 42 (a handler of our own, so that a
// sanitizer's handler does not turn it into an abort).
void ExitOnBusError() {
  struct sigaction sa {};
  sa.sa_handler = [](int) { _exit(42); };
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, nullptr);
}

class FaultTest : public SimTest {
 protected:
  void StartIo() {
    Start();
    ASSERT_OK(host_->CreateIoQueuePair(1, 32, &q1_));
    ASSERT_OK(host_->CreateIoQueuePair(2, 32, &q2_));
    data_ = host_->Alloc(4096);
    std::memset(data_.ptr, 0x3C, 4096);
  }
  static FaultRule Status(bool admin, int qid, int opcode, int count, uint8_t sct, uint8_t sc, bool dnr = false,
                          bool more = false) {
    FaultRule r;
    r.admin = admin;
    r.qid = qid;
    r.opcode = static_cast<int16_t>(opcode);
    r.count = count;
    r.status = kyt::sim::Status{sct, sc, more, dnr};
    return r;
  }
  TestHost::Queue* q1_ = nullptr;
  TestHost::Queue* q2_ = nullptr;
  TestHost::Buffer data_;
};

TEST_F(FaultTest, InjectedStatusOnAChosenQueueAndOpcodeForNCommands) {
  StartIo();
  ctrl_->InjectFault(Status(false, 2, io_opc::kWrite, 2, sct::kMediaError, mesc::kWriteFault, true, true));
  // Queue 1 and other opcodes are untouched.
  EXPECT_OK(host_->Io(*q1_, io_opc::kWrite, 1, 0, 8, data_));
  EXPECT_OK(host_->Io(*q2_, io_opc::kRead, 1, 0, 8, data_));
  Completion c;
  std::memset(data_.ptr, 0x99, 4096);
  EXPECT_STATUS(host_->Io(*q2_, io_opc::kWrite, 1, 0, 8, data_, 0, &c), sct::kMediaError, mesc::kWriteFault);
  EXPECT_TRUE(c.dnr());
  EXPECT_TRUE(c.more());
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 0, &block));
  EXPECT_EQ(block[0], 0x3C);  // the failed write did not reach the media
  EXPECT_STATUS(host_->Io(*q2_, io_opc::kWrite, 1, 0, 8, data_), sct::kMediaError, mesc::kWriteFault);
  EXPECT_EQ(ctrl_->pending_faults(), 0u);
  EXPECT_OK(host_->Io(*q2_, io_opc::kWrite, 1, 0, 8, data_));  // used up
  EXPECT_EQ(ctrl_->counters().injected, 2u);
}

TEST_F(FaultTest, InjectedStatusOnAdminCommandsAndAnyQueue) {
  StartIo();
  ctrl_->InjectFault(Status(true, -1, admin_opc::kIdentify, -1, sct::kGeneric, sc::kInternalError));
  ctrl_->InjectFault(Status(false, -1, -1, 1, sct::kGeneric, sc::kNamespaceNotReady));
  FaultRule ns1 = Status(false, -1, io_opc::kFlush, 1, sct::kGeneric, sc::kCapacityExceeded);
  ns1.nsid = 1;  // only flushes of namespace 1
  ctrl_->InjectFault(ns1);
  TestHost::Buffer id;
  EXPECT_STATUS(host_->Identify(1, 0, &id), sct::kGeneric, sc::kInternalError);
  EXPECT_STATUS(host_->Identify(1, 0, &id), sct::kGeneric, sc::kInternalError);  // unlimited
  EXPECT_STATUS(host_->Io(*q1_, io_opc::kFlush, 1, 0, 1, TestHost::Buffer{}), sct::kGeneric, sc::kNamespaceNotReady);
  EXPECT_OK(host_->Io(*q2_, io_opc::kFlush, kBroadcastNsid, 0, 1, TestHost::Buffer{}));
  EXPECT_STATUS(host_->Io(*q2_, io_opc::kFlush, 1, 0, 1, TestHost::Buffer{}), sct::kGeneric, sc::kCapacityExceeded);
  EXPECT_EQ(ctrl_->pending_faults(), 1u);  // the unlimited admin rule
  ctrl_->ClearFaults();
  EXPECT_OK(host_->Identify(1, 0, &id));
  // The error log saw them.
  TestHost::Buffer smart = host_->Alloc(4096);
  Command log = Cmd(admin_opc::kGetLogPage, kBroadcastNsid);
  log.cdw10 = log_page::kSmartHealth | 127u << 16;
  log.prp1 = smart.iova;
  ASSERT_OK(host_->AdminCommand(log));
  uint64_t errors;
  std::memcpy(&errors, smart.ptr + 176, 8);
  EXPECT_EQ(errors, 4u);
}

TEST_F(FaultTest, DelayedCompletionArrivesLate) {
  StartIo();
  FaultRule r;
  r.action = FaultRule::Action::kDelay;
  r.opcode = io_opc::kWrite;
  r.delay_us = 500000;
  ctrl_->InjectFault(r);
  const auto start = std::chrono::steady_clock::now();
  const uint16_t slow = host_->Push(*q1_, [&] {
    Command w = Cmd(io_opc::kWrite, 1);
    w.cdw12 = 7;
    w.prp1 = data_.iova;
    return w;
  }());
  const uint64_t before = ctrl_->counters().commands;
  host_->Ring(*q1_);
  for (int i = 0; i < 2000 && ctrl_->counters().commands == before; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Executed already (the data is there), completion still pending; other commands overtake it.
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 7, &block));
  EXPECT_EQ(block[0], 0x3C);
  Completion c;
  const uint16_t quick = host_->Push(*q1_, Cmd(io_opc::kFlush, 1));
  host_->Ring(*q1_);
  ASSERT_TRUE(host_->Reap(*q1_, &c));
  EXPECT_EQ(c.cid, quick);
  ASSERT_TRUE(host_->Reap(*q1_, &c, 2000));
  EXPECT_EQ(c.cid, slow);
  EXPECT_EQ(c.sc(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
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
  EXPECT_EQ(c.cdw0 & 1, 0u);
  ASSERT_TRUE(host_->Reap(*q1_, &c));
  EXPECT_EQ(c.cid, lost);
  EXPECT_EQ(c.sc(), sc::kAbortRequested);
  // The second one is dropped too and a reset forgets it without a completion.
  host_->Push(*q1_, rd);
  host_->Ring(*q1_);
  EXPECT_FALSE(host_->Reap(*q1_, &c, 30));
  ASSERT_TRUE(host_->Disable());
  EXPECT_FALSE(host_->Peek(*q1_));
}

TEST_F(FaultTest, CorruptedBlockReadsBackCorrupted) {
  StartIo();
  ASSERT_OK(host_->Io(*q1_, io_opc::kWrite, 1, 40, 8, data_));
  EXPECT_TRUE(ctrl_->CorruptBlock(1, 42, 10, 0x01));
  EXPECT_FALSE(ctrl_->CorruptBlock(1, 1u << 20, 0));  // beyond the namespace
  EXPECT_FALSE(ctrl_->CorruptBlock(1, 0, 512));       // beyond the block
  EXPECT_FALSE(ctrl_->CorruptBlock(9, 0, 0));
  TestHost::Buffer back = host_->Alloc(4096);
  ASSERT_OK(host_->Io(*q1_, io_opc::kRead, 1, 40, 8, back));
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(back.ptr[i], i == 2 * 512 + 10 ? (0x3C ^ 0x01) : 0x3C) << i;
}

TEST_F(FaultTest, SurpriseRemovalMakesTheBarVanish) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  StartIo();
  const std::string addr = ctrl_->address();
  spdk_pci_addr a{};
  spdk_pci_addr_parse(&a, addr.c_str());
  EXPECT_TRUE(kyt_swdev_present(&a));
  const int fd = dup(ctrl_->bar0_fd());
  void* bar = mmap(nullptr, ctrl_->bar0_size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(bar, MAP_FAILED);
  auto* csts = reinterpret_cast<volatile uint32_t*>(static_cast<uint8_t*>(bar) + reg::kCsts);
  EXPECT_EQ(*csts & 1, 1u);
  ctrl_->Remove(true);
  EXPECT_EQ(ctrl_->presence(), SimController::Presence::kRemoved);
  EXPECT_FALSE(kyt_swdev_present(&a));
  EXPECT_EQ(ctrl_->bar0_fd(), -1);
  uint32_t v;
  EXPECT_FALSE(ctrl_->ConfigRead(0, 4, &v));
  EXPECT_EXIT(
      {
        ExitOnBusError();
        (void)*csts;
        _exit(0);
      },
      ::testing::ExitedWithCode(42), "");
  EXPECT_THROW(ctrl_->PowerOn(), std::logic_error);
  munmap(bar, ctrl_->bar0_size());
  close(fd);
  host_.reset();  // its mapping is gone too; it must not touch it
}

TEST_F(FaultTest, RemovalWithoutSigbusAnswersAllOnes) {
  StartIo();
  ctrl_->Remove(false);
  EXPECT_EQ(host_->Read32(reg::kCsts), 0xFFFFFFFFu);
  EXPECT_EQ(host_->Read64(reg::kCap), ~uint64_t(0));
  EXPECT_EQ(host_->Config32(0x10), 0xFFFFFFFFu);
  host_->Write32(reg::kCc, 0);
  host_->Push(*q1_, Cmd(io_opc::kFlush, 1));
  host_->Ring(*q1_);
  auto dropped = [&] {
    return host_->Read32(reg::kCc) == 0xFFFFFFFFu && host_->Read32(reg::kDoorbellBase + 8) == 0xFFFFFFFFu;
  };
  for (int i = 0; i < 2000 && !dropped(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(host_->Read32(reg::kCc), 0xFFFFFFFFu);  // writes are dropped
  EXPECT_EQ(host_->Read32(reg::kDoorbellBase + 8), 0xFFFFFFFFu);
  EXPECT_FALSE(host_->Peek(*q1_));
}

TEST_F(FaultTest, PowerCycleLeavesTheBusAndComesBackInResetState) {
  StartIo();
  spdk_pci_addr a{};
  spdk_pci_addr_parse(&a, ctrl_->address().c_str());
  ctrl_->PowerOff();
  EXPECT_EQ(ctrl_->presence(), SimController::Presence::kPoweredOff);
  EXPECT_FALSE(kyt_swdev_present(&a));
  EXPECT_EQ(ctrl_->bar0_fd(), -1);
  ctrl_->PowerOff();  // no-op
  host_.reset();
  ctrl_->PowerOn();
  EXPECT_TRUE(kyt_swdev_present(&a));
  uint32_t bar0 = 0, command = 0xFFFF;
  ASSERT_TRUE(ctrl_->ConfigRead(0x10, 4, &bar0));
  ASSERT_TRUE(ctrl_->ConfigRead(0x04, 2, &command));
  EXPECT_LT(bar0, 16384u);   // unassigned: the driver must program it again
  EXPECT_EQ(command & 0xFFFF, 0u);
  host_ = std::make_unique<TestHost>(*ctrl_);
  EXPECT_EQ(host_->Read32(reg::kCc), 0u);
  EXPECT_EQ(host_->Read32(reg::kCsts), 0u);
  ASSERT_TRUE(host_->Enable());
  // A power loss of an enabled controller is an unsafe shutdown; one after a shutdown is not.
  ASSERT_TRUE(host_->Shutdown());
  ctrl_->PowerOff();
  host_.reset();
  ctrl_->PowerOn();
  EXPECT_EQ(ctrl_->counters().power_cycles, 2u);
  EXPECT_EQ(ctrl_->counters().unsafe_shutdowns, 1u);
  host_ = std::make_unique<TestHost>(*ctrl_);
  ASSERT_TRUE(host_->Enable());
  TestHost::Buffer smart = host_->Alloc(4096);
  Command log = Cmd(admin_opc::kGetLogPage, kBroadcastNsid);
  log.cdw10 = log_page::kSmartHealth | 127u << 16;
  log.prp1 = smart.iova;
  ASSERT_OK(host_->AdminCommand(log));
  uint64_t cycles, unsafe;
  std::memcpy(&cycles, smart.ptr + 112, 8);
  std::memcpy(&unsafe, smart.ptr + 144, 8);
  EXPECT_EQ(cycles, 2u);
  EXPECT_EQ(unsafe, 1u);
}

TEST_F(FaultTest, PowerOffMakesAnOldMappingFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Start();
  const int fd = dup(ctrl_->bar0_fd());
  void* bar = mmap(nullptr, ctrl_->bar0_size(), PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(bar, MAP_FAILED);
  ctrl_->PowerOff();
  auto* vs = reinterpret_cast<volatile uint32_t*>(static_cast<uint8_t*>(bar) + reg::kVs);
  EXPECT_EXIT(
      {
        ExitOnBusError();
        (void)*vs;
        _exit(0);
      },
      ::testing::ExitedWithCode(42), "");
  munmap(bar, ctrl_->bar0_size());
  close(fd);
  host_.reset();
}

TEST_F(FaultTest, CommandLogRecordsQueueAndDwords) {
  StartIo();
  ctrl_->ClearCommandLog();
  Command w = Cmd(io_opc::kWrite, 1);
  w.cdw10 = 0x1234;
  w.cdw11 = 0x5;
  w.cdw12 = 7;
  w.cdw13 = 0xABCD;
  w.prp1 = data_.iova;
  Completion c;
  ASSERT_TRUE(host_->Submit(*q2_, w, &c));
  TestHost::Buffer id;
  ASSERT_OK(host_->Identify(1, 0, &id));
  auto log = ctrl_->CommandLogSnapshot();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].sequence, 0u);
  EXPECT_EQ(log[0].sqid, 2);
  EXPECT_EQ(log[0].command.opcode(), io_opc::kWrite);
  EXPECT_EQ(log[0].command.cid(), c.cid);
  EXPECT_EQ(log[0].command.dword(1), 1u);
  EXPECT_EQ(log[0].command.dword(10), 0x1234u);
  EXPECT_EQ(log[0].command.dword(11), 0x5u);
  EXPECT_EQ(log[0].command.dword(13), 0xABCDu);
  EXPECT_EQ(log[1].sqid, 0);
  EXPECT_EQ(log[1].command.opcode(), admin_opc::kIdentify);
  EXPECT_EQ(ctrl_->CommandLogTotal(), 2u);
}

TEST_F(FaultTest, CommandLogKeepsTheNewestWhenFull) {
  SimConfig c = FastConfig();
  c.command_log_capacity = 4;
  Start(c);
  TestHost::Buffer id;
  for (int i = 0; i < 10; ++i) ASSERT_OK(host_->Identify(1, 0, &id));
  auto log = ctrl_->CommandLogSnapshot();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log.front().sequence, 6u);
  EXPECT_EQ(log.back().sequence, 9u);
}

TEST_F(FaultTest, SmartCriticalWarningRaisesAnEvent) {
  Start();
  Command aec = Cmd(admin_opc::kSetFeatures);
  aec.cdw10 = feature::kAsyncEventConfig;
  aec.cdw11 = 0x02;  // temperature warnings only
  ASSERT_OK(host_->AdminCommand(aec));
  TestHost::Queue& a = host_->admin();
  const uint16_t aer = host_->Push(a, Cmd(admin_opc::kAsyncEventRequest));
  host_->Ring(a);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ctrl_->SetCriticalWarning(0x01);  // spare: not enabled
  Completion ev;
  EXPECT_FALSE(host_->Reap(a, &ev, 20));
  ctrl_->SetCriticalWarning(0x03);
  ASSERT_TRUE(host_->Reap(a, &ev));
  EXPECT_EQ(ev.cid, aer);
  EXPECT_EQ(ev.cdw0 & 7, aen::kTypeSmart);
  EXPECT_EQ(ev.cdw0 >> 8 & 0xFF, 1);  // temperature threshold
  EXPECT_EQ(ev.cdw0 >> 16 & 0xFF, log_page::kSmartHealth);
}

}  // namespace
}  // namespace kyt::sim::testing
