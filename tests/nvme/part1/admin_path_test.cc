// The admin path end to end against a device thread: one-step queue creation and deletion, keep alive, admin
// completions that belong to another process, the printed command and completion lines, and foreign bus errors.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "fake_device.h"

using kyt::test::AdminResponder;
using kyt::test::CplLog;
using kyt::test::FakeDevice;
using kyt::test::IoOpts;

namespace {

class AdminPath : public ::testing::Test {
 protected:
  void SetUp() override
  {
    FakeDevice::Options o;
    o.bus = NextBus();
    dev_.reset(new FakeDevice(o));
    ctrlr_ = dev_->Construct();
    ASSERT_NE(ctrlr_, nullptr);
  }
  void TearDown() override { dev_.reset(); }
  static uint8_t NextBus()
  {
    static uint8_t bus = 0xD0;
    return bus++;
  }
  static std::vector<uint8_t> Opcodes(const std::vector<spdk_nvme_cmd>& cmds)
  {
    std::vector<uint8_t> v;
    for (auto& c : cmds) v.push_back(c.opc);
    return v;
  }
  std::unique_ptr<FakeDevice> dev_;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
};

TEST_F(AdminPath, OneStepQueueCreationAndDeletion)
{
  AdminResponder device(dev_.get(), ctrlr_, nullptr);
  spdk_nvme_io_qpair_opts o = IoOpts(64);
  spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair(ctrlr_, 4, &o);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q->id, 4);
  EXPECT_EQ(Opcodes(device.Seen()), (std::vector<uint8_t>{SPDK_NVME_OPC_CREATE_IO_CQ, SPDK_NVME_OPC_CREATE_IO_SQ}));
  EXPECT_EQ(device.Seen()[0].dptr.prp.prp1, nvme_pcie_qpair(q)->cpl_bus_addr);
  EXPECT_EQ(nvme_transport_ctrlr_delete_io_qpair(ctrlr_, q), 0);
  EXPECT_EQ(Opcodes(device.Seen()), (std::vector<uint8_t>{SPDK_NVME_OPC_CREATE_IO_CQ, SPDK_NVME_OPC_CREATE_IO_SQ,
                                                          SPDK_NVME_OPC_DELETE_IO_SQ, SPDK_NVME_OPC_DELETE_IO_CQ}));
}

TEST_F(AdminPath, FailedSubmissionQueueCreationDeletesTheCompletionQueue)
{
  AdminResponder device(dev_.get(), ctrlr_, [](const spdk_nvme_cmd& c) -> uint8_t {
    return c.opc == SPDK_NVME_OPC_CREATE_IO_SQ ? SPDK_NVME_SC_INVALID_FIELD : 0;
  });
  spdk_nvme_io_qpair_opts o = IoOpts(64);
  EXPECT_EQ(nvme_pcie_ctrlr_create_io_qpair(ctrlr_, 4, &o), nullptr);
  EXPECT_EQ(Opcodes(device.Seen()), (std::vector<uint8_t>{SPDK_NVME_OPC_CREATE_IO_CQ, SPDK_NVME_OPC_CREATE_IO_SQ,
                                                          SPDK_NVME_OPC_DELETE_IO_CQ}));
}

TEST_F(AdminPath, DeletionOfARemovedControllersQueueSendsNothing)
{
  spdk_nvme_io_qpair_opts o = IoOpts(64);
  spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, 2, &o);
  ASSERT_NE(q, nullptr);
  uint16_t tail = nvme_pcie_qpair(ctrlr_->adminq)->sq_tail;
  ctrlr_->is_removed = true;
  EXPECT_EQ(nvme_pcie_ctrlr_delete_io_qpair(ctrlr_, q), 0);
  ctrlr_->is_removed = false;
  EXPECT_EQ(nvme_pcie_qpair(ctrlr_->adminq)->sq_tail, tail);
}

TEST_F(AdminPath, FailedDeleteReportsMinusOne)
{
  AdminResponder device(dev_.get(), ctrlr_, [](const spdk_nvme_cmd& c) -> uint8_t {
    return c.opc == SPDK_NVME_OPC_DELETE_IO_SQ ? SPDK_NVME_SC_INVALID_QUEUE_IDENTIFIER : 0;
  });
  spdk_nvme_io_qpair_opts o = IoOpts(64);
  spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, 2, &o);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(nvme_pcie_ctrlr_delete_io_qpair(ctrlr_, q), -1);
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
}

TEST_F(AdminPath, KeepAliveIsSentWhenDue)
{
  ctrlr_->keep_alive_interval_ticks = spdk_get_ticks_hz();
  ctrlr_->next_keep_alive_tick = 0;
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  struct nvme_pcie_qpair* aq = nvme_pcie_qpair(ctrlr_->adminq);
  ASSERT_EQ(aq->sq_tail, 1) << "one Keep Alive, the next is a second away";
  EXPECT_EQ(FakeDevice::SqEntry(ctrlr_->adminq, 0).opc, SPDK_NVME_OPC_KEEP_ALIVE);
  EXPECT_GT(ctrlr_->next_keep_alive_tick, spdk_get_ticks());
  dev_->Post(ctrlr_->adminq, FakeDevice::SqEntry(ctrlr_->adminq, 0).cid);
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
  aq->tr[c0.cid].req->pid = other.pid;        // submitted by the other process
  aq->tr[c1.cid].req->pid = other.pid + 1;    // by a process that is gone
  int free_before = 0;
  nvme_request* r;
  STAILQ_FOREACH(r, &ctrlr_->adminq->free_req, stailq) free_before++;

  dev_->Post(ctrlr_->adminq, c0.cid, 0, 0, 0x77);
  dev_->Post(ctrlr_->adminq, c1.cid);
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 2);
  EXPECT_TRUE(log.cpls.empty()) << "neither belongs to this process";
  ASSERT_FALSE(STAILQ_EMPTY(&other.active_reqs));
  nvme_request* parked = STAILQ_FIRST(&other.active_reqs);
  EXPECT_EQ(parked->cpl.cdw0, 0x77u);
  EXPECT_EQ(STAILQ_NEXT(parked, stailq), nullptr);
  int free_after = 0;
  STAILQ_FOREACH(r, &ctrlr_->adminq->free_req, stailq) free_after++;
  EXPECT_EQ(free_after, free_before + 1) << "the orphan went back to the pool";

  STAILQ_REMOVE_HEAD(&other.active_reqs, stailq);
  nvme_free_request(parked);
  TAILQ_REMOVE(&ctrlr_->active_procs, &other, tailq);
}

std::vector<std::string>* g_lines;
void Capture(int level, const char* file, const int line, const char* func, const char* msg)
{
  if (g_lines) g_lines->push_back(msg);
}

TEST_F(AdminPath, PrintedCommandAndCompletionLines)
{
  std::vector<std::string> lines;
  g_lines = &lines;
  spdk_log_open(&Capture);

  spdk_nvme_cmd c{};
  c.opc = SPDK_NVME_OPC_IDENTIFY;
  c.cid = 3;
  c.nsid = 0x1F;
  c.cdw10 = 1;
  c.cdw11 = 0xAB;
  spdk_nvme_qpair_print_command(ctrlr_->adminq, &c);

  spdk_nvme_io_qpair_opts o = IoOpts(16);
  spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, 1, &o);
  ASSERT_NE(q, nullptr);
  memset(&c, 0, sizeof(c));
  c.opc = SPDK_NVME_OPC_READ;
  c.cid = 5;
  c.nsid = 1;
  c.cdw10 = 2;
  c.cdw11 = 1;
  c.cdw12 = 0x10007;
  spdk_nvme_qpair_print_command(q, &c);
  c.opc = SPDK_NVME_OPC_DATASET_MANAGEMENT;
  spdk_nvme_qpair_print_command(q, &c);
  c.opc = 0x81;
  spdk_nvme_qpair_print_command(q, &c);

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
  g_lines = nullptr;
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);

  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "IDENTIFY (06) sqid:0 cid:3 nsid:1f cdw10:00000001 cdw11:000000ab\n");
  EXPECT_EQ(lines[1], "READ sqid:1 cid:5 nsid:1 lba:4294967298 len:8\n");
  EXPECT_EQ(lines[2], "DATASET MANAGEMENT sqid:1 cid:5 nsid:1\n");
  EXPECT_EQ(lines[3], "IO COMMAND (81) sqid:1 cid:5 nsid:1\n");
  EXPECT_EQ(lines[4], "INVALID FIELD (00/02) sqid:1 cid:5 cdw0:ff sqhd:0010 p:1 m:0 dnr:1\n");
}

TEST(SigbusGuard, ForeignBusErrorsStillKillTheProcess)
{
  {
    FakeDevice::Options o;
    o.bus = 0xEE;
    FakeDevice d(o);
    ASSERT_NE(d.Construct(), nullptr);
  }
  struct sigaction sa;
  ASSERT_EQ(sigaction(SIGBUS, nullptr, &sa), 0);
  ASSERT_TRUE(sa.sa_flags & SA_SIGINFO) << "the driver's guard is installed";
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(raise(SIGBUS), ::testing::KilledBySignal(SIGBUS), "");
}

}  // namespace
