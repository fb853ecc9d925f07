// Commands: the submission entries the builders place, their bounce buffers and argument checks, raw commands, the
// abort limit, and the admin queue's own duties (keep alive, completions of other processes, the lines printed for a
// failed command, the bus-error guard).
#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include "fake_device.h"

namespace kyt::test {
namespace {

using CmdsTest = DevTest;
using Dwords = std::vector<uint64_t>;  // opcode, NSID, CDW10 to CDW13 (and the data pointer where it matters)

Dwords Of(const spdk_nvme_cmd& c) { return {c.opc, c.nsid, c.cdw10, c.cdw11, c.cdw12, c.cdw13}; }

TEST_F(CmdsTest, BuildersWithoutDataPlaceExactEntries) {
  CplLog log;
  auto cb = &CplLog::Cb;
  spdk_nvme_format fmt{};
  fmt.lbaf = 3, fmt.ms = 1, fmt.pi = 2, fmt.ses = 1;
  spdk_nvme_feat_async_event_configuration aec{};
  aec.raw = 0x31F;
  const std::pair<std::function<int()>, Dwords> cases[] = {
      {[&] { return nvme_ctrlr_cmd_set_async_event_config(ctrlr_, aec, cb, &log); }, {9, 0, 0x0B, 0x31F, 0, 0}},
      {[&] { return nvme_ctrlr_cmd_format(ctrlr_, 2, &fmt, cb, &log); }, {0x80, 2, 0x253, 0, 0, 0}},  // 3, 1, 2, 1
      {[&] { return spdk_nvme_ctrlr_cmd_abort(ctrlr_, nullptr, 0x1234, cb, &log); }, {8, 0, 0x1234u << 16, 0, 0, 0}},
  };
  for (auto& [call, dwords] : cases) {
    ASSERT_EQ(call(), 0);
    EXPECT_EQ(Of(LastAdmin()), dwords);
    CompleteLastAdmin();
  }
  EXPECT_EQ(log.cpls.size(), std::size(cases));
  ASSERT_EQ(nvme_ctrlr_cmd_doorbell_buffer_config(ctrlr_, 0x10000, 0x20000, cb, &log), 0);
  EXPECT_EQ((Dwords{LastAdmin().opc, LastAdmin().dptr.prp.prp1, LastAdmin().dptr.prp.prp2}),
            (Dwords{0x7C, 0x10000, 0x20000}));
}

// Data of the device reaches the caller's buffer through a bounce buffer, and host data goes out the same way but
// never flows back.
TEST_F(CmdsTest, DataIsCopiedThroughBounceBuffersInItsDirectionOnly) {
  nvme_completion_poll_status st{};
  spdk_nvme_ctrlr_data cdata{};
  ASSERT_EQ(nvme_ctrlr_cmd_identify(ctrlr_, 1, 5, 7, &cdata, sizeof(cdata), nvme_completion_poll_cb, &st), 0);
  spdk_nvme_cmd c = LastAdmin();
  EXPECT_EQ(Of(c), (Dwords{6, 7, (5u << 16) | 1, 0, 0, 0}));
  ASSERT_NE(c.dptr.prp.prp1, Phys(&cdata)) << "not the caller's buffer";
  memset(FakeDevice::Dma(c.dptr.prp.prp1, 4096), 0x5A, 4096);
  CompleteLastAdmin();
  EXPECT_TRUE(st.done);
  EXPECT_EQ(cdata.vs[1023], 0x5A);

  uint8_t host_id[16];
  for (size_t i = 0; i < 16; i++) host_id[i] = (uint8_t)(i * 7 + 1);
  st = {};
  ASSERT_EQ(nvme_ctrlr_cmd_set_host_id(ctrlr_, host_id, 16, nvme_completion_poll_cb, &st), 0);
  c = LastAdmin();
  EXPECT_EQ(Of(c), (Dwords{9, 0, 0x81, 1, 0, 0}));
  auto* dma = static_cast<uint8_t*>(FakeDevice::Dma(c.dptr.prp.prp1, 16));
  ASSERT_NE(dma, nullptr);
  EXPECT_EQ(memcmp(dma, host_id, 16), 0);
  memset(dma, 0xEE, 16);  // the device scribbles: nothing must flow back
  CompleteLastAdmin();
  EXPECT_TRUE(st.done);
  EXPECT_EQ(host_id[0], 1);
}

TEST_F(CmdsTest, LogPageDwordCountsAndSizeChecks) {
  std::vector<uint8_t> user(512 * 1024);
  CplLog log;
  auto get = [&](uint32_t size, uint64_t offset) {
    return spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, 0xC0, 1, user.data(), size, offset, &CplLog::Cb, &log);
  };
  ASSERT_EQ(get(512 * 1024, 0), 0);
  EXPECT_EQ(Of(LastAdmin()), (Dwords{2, 1, 0xC0u | (0xFFFFu << 16), 1, 0, 0}));
  CompleteLastAdmin();
  // Refused without sending: an offset without extended log page data or not a multiple of 4, sizes below one
  // dword, host identifiers neither 8 nor 16 bytes.
  uint16_t tail = AdminTail();
  EXPECT_EQ(get(512, 8), -EINVAL);
  EXPECT_EQ(get(3, 0), -EINVAL);
  EXPECT_EQ(nvme_ctrlr_cmd_set_host_id(ctrlr_, user.data(), 12, nullptr, nullptr), -EINVAL);
  ctrlr_->cdata.lpa.bits.edlp = 1;
  EXPECT_EQ(get(512, 6), -EINVAL);
  EXPECT_EQ(AdminTail(), tail);
  ASSERT_EQ(get(512, 0x100000008ull), 0);
  EXPECT_EQ(Of(LastAdmin()), (Dwords{2, 1, 0xC0u | (127u << 16), 0, 8, 1}));
}

TEST_F(CmdsTest, RawCommandsAreCopiedWholeWithOnlyCidAndDataPointerSet) {
  spdk_nvme_cmd cmd{};
  cmd.opc = 0xC1;  // vendor specific, bidirectional
  cmd.nsid = 0x11223344;
  cmd.rsvd2 = 0xAAAAAAAA;
  cmd.cdw15 = 15;
  CplLog log;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_admin_raw(ctrlr_, &cmd, buf_, 8192, &CplLog::Cb, &log), 0);
  spdk_nvme_cmd c = LastAdmin();
  EXPECT_EQ((Dwords{c.dptr.prp.prp1, c.dptr.prp.prp2}), (Dwords{Phys(buf_), Phys(buf_ + 4096)})) << "the caller's";
  c.cid = 0;
  c.dptr.prp.prp1 = c.dptr.prp.prp2 = 0;
  EXPECT_EQ(memcmp(&c, &cmd, sizeof(c)), 0);
}

TEST_F(CmdsTest, AbortLimitAllowsAclPlusOneAndSendsQueuedAborts) {
  ctrlr_->cdata.acl = 0;  // zero-based: one abort at a time
  CplLog log[3];
  for (uint16_t cid = 1; cid <= 3; cid++) {
    ASSERT_EQ(spdk_nvme_ctrlr_cmd_abort(ctrlr_, nullptr, cid, &CplLog::Cb, &log[cid - 1]), 0);
  }
  EXPECT_EQ(AdminTail(), 1) << "the others wait";
  for (uint32_t cid = 1; cid <= 3; cid++) {
    EXPECT_EQ(AdminTail(), cid) << "the next queued abort went out";
    EXPECT_EQ(LastAdmin().cdw10, cid << 16);
    CompleteLastAdmin(0, cid);
    ASSERT_EQ(log[cid - 1].cpls.size(), 1u);
    EXPECT_EQ(log[cid - 1].cpls[0].cdw0, cid) << "the caller sees the device's completion";
  }
  // An abort for an I/O queue carries its identifier.
  spdk_nvme_qpair* q = MakeQueue(16, false, 5);
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_abort(ctrlr_, q, 0x42, &CplLog::Cb, &log[0]), 0);
  EXPECT_EQ(LastAdmin().cdw10, (0x42u << 16) | 5);
}

TEST_F(CmdsTest, KeepAliveIsSentWhenDue) {
  ctrlr_->keep_alive_interval_ticks = spdk_get_ticks_hz() * 1000;
  ctrlr_->next_keep_alive_tick = 0;
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  ASSERT_EQ(AdminTail(), 1) << "one Keep Alive, the next is 1000 s away";
  EXPECT_EQ(LastAdmin().opc, SPDK_NVME_OPC_KEEP_ALIVE);
  CompleteLastAdmin();
  ctrlr_->keep_alive_interval_ticks = 0;
}

TEST_F(CmdsTest, AdminCompletionsOfAnotherProcessAreParkedForIt) {
  spdk_nvme_ctrlr_process other{};
  other.pid = getpid() + 4000000;  // beyond any real process identifier
  STAILQ_INIT(&other.active_reqs);
  TAILQ_INSERT_TAIL(&ctrlr_->active_procs, &other, tailq);
  CplLog log;
  for (uint8_t pid_offset : {0, 1}) {  // submitted by the other process, by a process that is gone
    ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, 1, 0, nullptr, 0, &CplLog::Cb, &log), 0);
    nvme_pcie_qpair_find_tracker(nvme_pcie_qpair(ctrlr_->adminq), LastAdmin().cid)->req->pid = other.pid + pid_offset;
    dev_->Post(ctrlr_->adminq, LastAdmin().cid, 0, 0, 0x77);
  }
  const int free_before = Count(STAILQ_FIRST(&ctrlr_->adminq->free_req));
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 2);
  EXPECT_TRUE(log.cpls.empty()) << "neither belongs to this process";
  ASSERT_EQ(Count(STAILQ_FIRST(&other.active_reqs)), 1);
  nvme_request* parked = STAILQ_FIRST(&other.active_reqs);
  EXPECT_EQ(parked->cpl.cdw0, 0x77u);
  EXPECT_EQ(Count(STAILQ_FIRST(&ctrlr_->adminq->free_req)), free_before + 1) << "the orphan went back to the pool";
  STAILQ_REMOVE_HEAD(&other.active_reqs, stailq);
  nvme_free_request(parked);
  TAILQ_REMOVE(&ctrlr_->active_procs, &other, tailq);
}

std::vector<std::string>* g_lines;

// The lines a user reads on the console when a command fails: the command (a 64-bit LBA) and its status.
TEST_F(CmdsTest, PrintedLinesOfAFailedCommand) {
  std::vector<std::string> lines;
  g_lines = &lines;
  spdk_log_open([](int, const char*, const int, const char*, const char* msg) { g_lines->push_back(msg); });
  spdk_nvme_qpair* q = MakeQueue(16);
  spdk_nvme_cmd c{};
  c.opc = SPDK_NVME_OPC_READ, c.cid = 5, c.nsid = 1, c.cdw10 = 2, c.cdw11 = 1, c.cdw12 = 0x10007;
  spdk_nvme_qpair_print_command(q, &c);
  spdk_nvme_cpl cpl{};
  cpl.sqid = 1, cpl.cid = 5, cpl.status.sc = SPDK_NVME_SC_ABORTED_BY_REQUEST, cpl.status.dnr = 1;
  spdk_nvme_qpair_print_completion(q, &cpl);
  cpl.status.sct = 5;
  spdk_nvme_qpair_print_completion(q, &cpl);
  spdk_log_open(nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "READ sqid:1 cid:5 nsid:1 lba:4294967298 len:8\n",
                       "ABORTED - BY REQUEST (00/07) sqid:1 cid:5 cdw0:0 sqhd:0000 p:0 m:0 dnr:1\n",
                       "RESERVED (05/07) sqid:1 cid:5 cdw0:0 sqhd:0000 p:0 m:0 dnr:1\n"}));
}

TEST(SigbusGuard, ForeignBusErrorsStillKillTheProcess) {
  {
    FakeDevice d;
    ASSERT_NE(d.Construct(), nullptr);
  }
  struct sigaction sa;
  ASSERT_TRUE(sigaction(SIGBUS, nullptr, &sa) == 0 && (sa.sa_flags & SA_SIGINFO)) << "the driver's guard is installed";
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(raise(SIGBUS), ::testing::KilledBySignal(SIGBUS), "");
}

}  // namespace
}  // namespace kyt::test
