// The admin path: queue deletion of a removed controller, keep alive, admin completions that belong to another
// process, the printed command and completion lines, and foreign bus errors.
#include <csignal>
#include <cstring>
#include <string>

#include "fake_device.h"

namespace kyt::test {
namespace {

using AdminPath = DevTest;

// Deleting a removed controller's queue sends nothing (refusals of creation and deletion are tested on the simulated
// controller).
TEST_F(AdminPath, DeletionOfARemovedControllersQueueSendsNothing)
{
  spdk_nvme_qpair* q = MakeQueue(64, false, 2);
  ASSERT_NE(q, nullptr);
  qpairs_.clear();  // a successful delete frees it
  ctrlr_->is_removed = true;
  EXPECT_EQ(nvme_pcie_ctrlr_delete_io_qpair(ctrlr_, q), 0);
  ctrlr_->is_removed = false;
  EXPECT_EQ(AdminTail(), 0);
}

TEST_F(AdminPath, KeepAliveIsSentWhenDue)
{
  ctrlr_->keep_alive_interval_ticks = spdk_get_ticks_hz();
  ctrlr_->next_keep_alive_tick = 0;
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  ASSERT_EQ(AdminTail(), 1) << "one Keep Alive, the next is a second away";
  EXPECT_EQ(LastAdmin().opc, SPDK_NVME_OPC_KEEP_ALIVE);
  EXPECT_GT(ctrlr_->next_keep_alive_tick, spdk_get_ticks());
  dev_->Post(ctrlr_->adminq, LastAdmin().cid);
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 1);
  ctrlr_->keep_alive_interval_ticks = 0;
}

TEST_F(AdminPath, CompletionsOfAnotherProcessAreParkedForIt)
{
  spdk_nvme_ctrlr_process other{};
  other.pid = getpid() + 4000000;  // beyond any real process identifier
  STAILQ_INIT(&other.active_reqs);
  TAILQ_INSERT_TAIL(&ctrlr_->active_procs, &other, tailq);
  CplLog log;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, 1, 0, nullptr, 0, &CplLog::Cb, &log), 0);
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, 2, 0, nullptr, 0, &CplLog::Cb, &log), 0);
  struct nvme_pcie_qpair* aq = nvme_pcie_qpair(ctrlr_->adminq);
  spdk_nvme_cmd c0 = FakeDevice::SqEntry(ctrlr_->adminq, 0);
  spdk_nvme_cmd c1 = FakeDevice::SqEntry(ctrlr_->adminq, 1);
  aq->tr[c0.cid].req->pid = other.pid;      // submitted by the other process
  aq->tr[c1.cid].req->pid = other.pid + 1;  // by a process that is gone
  int free_before = Count(STAILQ_FIRST(&ctrlr_->adminq->free_req));

  dev_->Post(ctrlr_->adminq, c0.cid, 0, 0, 0x77);
  dev_->Post(ctrlr_->adminq, c1.cid);
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

TEST_F(AdminPath, PrintedCommandAndCompletionLines)
{
  std::vector<std::string> lines;
  g_lines = &lines;
  spdk_log_open([](int, const char*, const int, const char*, const char* msg) { g_lines->push_back(msg); });
  spdk_nvme_cmd c{};
  c.opc = SPDK_NVME_OPC_IDENTIFY;
  c.cid = 3;
  c.nsid = 0x1F;
  c.cdw10 = 1;
  c.cdw11 = 0xAB;
  spdk_nvme_qpair_print_command(ctrlr_->adminq, &c);
  spdk_nvme_qpair* q = MakeQueue(16);
  ASSERT_NE(q, nullptr);
  memset(&c, 0, sizeof(c));
  c.cid = 5;
  c.nsid = 1;
  c.cdw10 = 2;
  c.cdw11 = 1;
  c.cdw12 = 0x10007;
  for (uint8_t opc : {0x02, 0x09, 0x81}) {  // read, dataset management, vendor specific
    c.opc = opc;
    spdk_nvme_qpair_print_command(q, &c);
  }
  spdk_nvme_cpl cpl{};
  cpl.sqid = 1;
  cpl.cid = 5;
  cpl.cdw0 = 0xFF;
  cpl.sqhd = 0x10;
  cpl.status.p = 1;
  cpl.status.sc = SPDK_NVME_SC_INVALID_FIELD;
  cpl.status.dnr = 1;
  spdk_nvme_qpair_print_completion(q, &cpl);
  spdk_log_open(nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "IDENTIFY (06) sqid:0 cid:3 nsid:1f cdw10:00000001 cdw11:000000ab\n",
                       "READ sqid:1 cid:5 nsid:1 lba:4294967298 len:8\n",
                       "DATASET MANAGEMENT sqid:1 cid:5 nsid:1\n",
                       "IO COMMAND (81) sqid:1 cid:5 nsid:1\n",
                       "INVALID FIELD (00/02) sqid:1 cid:5 cdw0:ff sqhd:0010 p:1 m:0 dnr:1\n",
                   }));
}

TEST(SigbusGuard, ForeignBusErrorsStillKillTheProcess)
{
  {
    FakeDevice d;
    ASSERT_NE(d.Construct(), nullptr);
  }
  struct sigaction sa;
  ASSERT_EQ(sigaction(SIGBUS, nullptr, &sa), 0);
  ASSERT_TRUE(sa.sa_flags & SA_SIGINFO) << "the driver's guard is installed";
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(raise(SIGBUS), ::testing::KilledBySignal(SIGBUS), "");
}

}  // namespace
}  // namespace kyt::test
