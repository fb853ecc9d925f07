// The request layer: error injection, time-outs, the retry rule, the failed-controller rule, split requests,
// blocking waits that give up safely, and the printable status and opcode texts.
#include <cstring>

#include "fake_device.h"
#include "kyt/env_test.h"

namespace kyt::test {
namespace {

class RequestTest : public DevTest {
 protected:
  void SetUp() override
  {
    DevTest::SetUp();
    q_ = MakeQueue(16);
    ASSERT_NE(q_, nullptr);
  }
  int Io(uint8_t opc, CplLog* log) { return DevTest::Io(q_, opc, buf_, 512, log); }
  int GetFeature(spdk_nvme_cmd_cb cb, void* arg)
  {
    return spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, SPDK_NVME_FEAT_ARBITRATION, 0, nullptr, 0, cb, arg);
  }
  uint16_t Tail() const { return nvme_pcie_qpair(q_)->sq_tail; }
  // A split request: a parent with `n` read children of one block each, CDW10 their index.
  nvme_request* Parent(uint32_t n, CplLog* log)
  {
    nvme_request* parent = nvme_allocate_request_null(q_, &CplLog::Cb, log);
    for (uint32_t i = 0; i < n; i++) {
      nvme_request* child = nvme_allocate_request_contig(q_, buf_ + i * 4096, 512, &CplLog::Cb, log);
      child->cmd.opc = SPDK_NVME_OPC_READ;
      child->cmd.cdw10 = i;
      child->parent = parent;
      TAILQ_INSERT_TAIL(&parent->children, child, child_tailq);
      parent->num_children++;
    }
    return parent;
  }
  uint16_t LastCid() const { return FakeDevice::SqEntry(q_, (uint16_t)((Tail() + 15) % 16)).cid; }
  spdk_nvme_qpair* q_ = nullptr;
};

TEST_F(RequestTest, InjectionReplacesOnlySuccessfulCompletionsOfItsOpcode)
{
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_READ, false, 0, 2,
                                                    SPDK_NVME_SCT_MEDIA_ERROR, SPDK_NVME_SC_UNRECOVERED_READ_ERROR),
            0);
  CplLog log;
  ASSERT_EQ(Io(SPDK_NVME_OPC_WRITE, &log), 0);  // not touched
  dev_->Post(q_, LastCid());
  // A read that fails anyway keeps its own status and does not use up a count.
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  dev_->Post(q_, LastCid(), SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_LBA_OUT_OF_RANGE);
  // Two successful reads get the injected status, the third is left alone.
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
    dev_->Post(q_, LastCid(), 0, 0, 0x77);
  }
  EXPECT_EQ(Tail(), 5) << "every command reached the device";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 4);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  ASSERT_EQ(log.cpls.size(), 5u);
  EXPECT_EQ(log.cpls[0].status_raw & 0x0FFE, 0);
  EXPECT_EQ(log.cpls[1].status.sc, SPDK_NVME_SC_LBA_OUT_OF_RANGE);
  for (int i = 2; i < 4; i++) {
    EXPECT_EQ(log.cpls[i].status.sct, SPDK_NVME_SCT_MEDIA_ERROR);
    EXPECT_EQ(log.cpls[i].status.sc, SPDK_NVME_SC_UNRECOVERED_READ_ERROR);
    EXPECT_EQ(log.cpls[i].cdw0, 0x77u) << "only the status is replaced";
    EXPECT_EQ(log.cpls[i].status.p, log.cpls[0].status.p);
  }
  EXPECT_EQ(log.cpls[4].status_raw & 0x0FFE, 0);
}

TEST_F(RequestTest, HeldBackInjectionCompletesAfterItsDelayWithoutReachingTheDevice)
{
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_WRITE, true, 1000, 1,
                                                    SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_INTERNAL_DEVICE_ERROR),
            0);
  CplLog log;
  ASSERT_EQ(Io(SPDK_NVME_OPC_WRITE, &log), 0);
  EXPECT_EQ(Tail(), 0) << "held back";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 0);
  EXPECT_TRUE(log.cpls.empty()) << "not before its delay";
  spdk_delay_us(1500);
  spdk_nvme_qpair_process_completions(q_, 0);
  ASSERT_EQ(log.cpls.size(), 1u);
  EXPECT_EQ(log.cpls[0].status.sc, SPDK_NVME_SC_INTERNAL_DEVICE_ERROR);
  EXPECT_EQ(log.cpls[0].status.dnr, 0);
  ASSERT_EQ(Io(SPDK_NVME_OPC_WRITE, &log), 0);
  EXPECT_EQ(Tail(), 1) << "the count is used up: the next write goes to the device";

  // A second add for the same opcode overwrites the entry; removal empties the list.
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_READ, true, 0, 5, 0, 6), 0);
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_READ, false, 0, 1, 0, 6), 0);
  int entries = 0;
  nvme_error_cmd* e;
  TAILQ_FOREACH(e, &q_->err_cmd_head, link) entries++;
  EXPECT_EQ(entries, 2);
  spdk_nvme_qpair_remove_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_READ);
  spdk_nvme_qpair_remove_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_WRITE);
  EXPECT_TRUE(TAILQ_EMPTY(&q_->err_cmd_head));

  // A null queue pair means the admin queue.
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, nullptr, SPDK_NVME_OPC_GET_FEATURES, true, 0, 1,
                                                    SPDK_NVME_SCT_COMMAND_SPECIFIC, SPDK_NVME_SC_INVALID_LOG_PAGE),
            0);
  ASSERT_EQ(GetFeature(&CplLog::Cb, &log), 0);
  EXPECT_EQ(AdminTail(), 0);
  spdk_delay_us(10);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  ASSERT_EQ(log.cpls.size(), 2u);
  EXPECT_EQ(log.cpls[1].status.sct, SPDK_NVME_SCT_COMMAND_SPECIFIC);
  EXPECT_EQ(log.cpls[1].status.sc, SPDK_NVME_SC_INVALID_LOG_PAGE);
}

// A command submitted with its caller's tick reading (a poll pass's) is timed from that tick; otherwise from the clock.
TEST_F(RequestTest, CallersTickTimesItsSubmission)
{
  spdk_nvme_ctrlr_register_timeout_callback(
      ctrlr_, 1000000, [](void*, spdk_nvme_ctrlr*, spdk_nvme_qpair*, uint16_t) {}, nullptr);
  CplLog log;
  q_->caller_tick = 12345;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  const uint16_t hinted = LastCid();
  EXPECT_EQ(nvme_pcie_qpair(q_)->tr[hinted].req->submit_tick, 12345u);
  q_->caller_tick = 0;
  const uint64_t before = spdk_get_ticks();
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  EXPECT_GE(nvme_pcie_qpair(q_)->tr[LastCid()].req->submit_tick, before);
  dev_->Post(q_, hinted);
  dev_->Post(q_, LastCid());
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 2);
}

// Every command is timed from the moment it reaches the device; a late one is reported to the time-out callback and
// ended for its caller once, with the host time-out status, while it stays at the device until the device completes
// it. The walk looks at every command (one listed first but younger does not stop it); event requests are not timed.
TEST_F(RequestTest, LateCommandsEndForTheirCallerOnceAndStayAtTheDevice)
{
  std::vector<std::pair<spdk_nvme_qpair*, uint16_t>> calls;
  spdk_nvme_ctrlr_register_timeout_callback(
      ctrlr_, 1000000,
      [](void* arg, spdk_nvme_ctrlr*, spdk_nvme_qpair* q, uint16_t cid) {
        static_cast<decltype(calls)*>(arg)->emplace_back(q, cid);
      },
      &calls);
  ctrlr_->state = NVME_CTRLR_STATE_READY;
  CplLog log, aer_log;
  spdk_nvme_cmd aer{};
  aer.opc = SPDK_NVME_OPC_ASYNC_EVENT_REQUEST;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_admin_raw(ctrlr_, &aer, nullptr, 0, &CplLog::Cb, &aer_log), 0);
  // Twelve reads take every tracker; a thirteenth waits for one and is timed only once it gets it.
  std::vector<uint16_t> cids;
  for (int i = 0; i < 13; i++) {
    ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
    if (i < 12) cids.push_back(LastCid());
  }
  ASSERT_EQ(Tail(), 12);
  spdk_delay_us(600);
  dev_->Post(q_, cids[0]);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  ASSERT_EQ(Tail(), 13);
  auto* pq = nvme_pcie_qpair(q_);
  nvme_request* waited = pq->tr[LastCid()].req;
  nvme_request* second = pq->tr[cids[1]].req;
  EXPECT_GE(waited->submit_tick - second->submit_tick, spdk_get_ticks_hz() * 600 / 1000000);

  // Reads 3..12 are made two seconds old; read 2, listed first, is made young.
  for (size_t i = 2; i < cids.size(); i++) pq->tr[cids[i]].req->submit_tick -= 2 * spdk_get_ticks_hz();
  second->submit_tick = spdk_get_ticks();
  pq->next_deadline_tick = 0;  // the walks are due now, not at the deadlines they planned
  nvme_pcie_qpair(ctrlr_->adminq)->next_deadline_tick = 0;
  spdk_nvme_qpair_process_completions(q_, 0);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  EXPECT_EQ(calls.size(), 10u);
  for (size_t i = 0; i < calls.size() && i + 2 < cids.size(); i++) {
    EXPECT_EQ(calls[i].first, q_);
    EXPECT_EQ(calls[i].second, cids[i + 2]);
  }
  EXPECT_EQ(log.cpls.size(), 11u);
  for (size_t i = 1; i < log.cpls.size() && i + 1 < cids.size(); i++) {
    EXPECT_TRUE(spdk_nvme_cpl_is_host_timeout(&log.cpls[i]));
    EXPECT_EQ(log.cpls[i].status.dnr, 1);
    EXPECT_EQ(log.cpls[i].cid, cids[i + 1]);
  }
  EXPECT_TRUE(aer_log.cpls.empty());
  EXPECT_EQ(TAILQ_FIRST(&pq->outstanding_tr)->req, second) << "the late ones stay at the device";

  // The device completing a timed-out read later frees its tracker without a second completion.
  dev_->Post(q_, cids[5]);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  EXPECT_EQ(log.cpls.size(), 11u);
  EXPECT_EQ(pq->tr[cids[5]].req, nullptr);

  ctrlr_->state = NVME_CTRLR_STATE_INIT;
  nvme_pcie_qpair_abort_reqs(q_, 1);
  nvme_pcie_admin_qpair_abort_aers(ctrlr_->adminq);
  EXPECT_EQ(log.cpls.size(), 13u) << "the young read and the waiting one end with the abort; the late ones do not";
}

TEST(RetryRule, OnlyNamespaceNotReadyFormatInProgressAndInternalPathErrorRetry)
{
  struct {
    uint8_t sct, sc;
    bool dnr, retry;
  } cases[] = {{0, 0x82, false, true},  {0, 0x84, false, true},  {3, 0x00, false, true},
               {0, 0x82, true, false},  {0, 0x83, false, false}, {0, 0x06, false, false},
               {1, 0x82, false, false}, {3, 0x60, false, false}, {2, 0x84, false, false}};
  for (auto& c : cases) {
    spdk_nvme_cpl cpl{};
    cpl.status.sct = c.sct;
    cpl.status.sc = c.sc;
    cpl.status.dnr = c.dnr;
    EXPECT_EQ(nvme_completion_is_retry(&cpl), c.retry) << int(c.sct) << "/" << int(c.sc) << " dnr " << c.dnr;
  }
}

TEST_F(RequestTest, RetryableFailureIsResubmittedOnlyWithinTheRetryCount)
{
  CplLog log;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);  // default count 0: no retry
  dev_->Post(q_, LastCid(), 0, SPDK_NVME_SC_NAMESPACE_NOT_READY);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  ASSERT_EQ(log.cpls.size(), 1u);

  spdk_nvme_retry_count = 1;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  uint16_t cid = LastCid();
  dev_->Post(q_, cid, 0, SPDK_NVME_SC_NAMESPACE_NOT_READY);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  EXPECT_EQ(log.cpls.size(), 1u) << "resubmitted, not completed";
  EXPECT_EQ(Tail(), 3);
  EXPECT_EQ(FakeDevice::SqEntry(q_, 2).cid, cid) << "same tracker";
  dev_->Post(q_, cid, 0, SPDK_NVME_SC_NAMESPACE_NOT_READY);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  ASSERT_EQ(log.cpls.size(), 2u) << "the second failure exceeds the count";
  EXPECT_EQ(log.cpls[1].status.sc, SPDK_NVME_SC_NAMESPACE_NOT_READY);
}

TEST_F(RequestTest, FailedControllerRefusesAndAbortsWithDnr)
{
  CplLog log;
  spdk_nvme_qpair* small = MakeQueue(4, false, 2);
  ASSERT_NE(small, nullptr);
  for (int i = 0; i < 4; i++) ASSERT_EQ(DevTest::Io(small, SPDK_NVME_OPC_READ, buf_, 512, &log), 0);  // 3 out, 1 parked
  // A split request: the parent and its children go back to the pool when refused.
  int free_before = Count(STAILQ_FIRST(&q_->free_req));
  nvme_request* parent = Parent(3, &log);
  ctrlr_->is_failed = true;
  EXPECT_EQ(DevTest::Io(small, SPDK_NVME_OPC_READ, buf_, 512, &log), -ENXIO);
  EXPECT_EQ(nvme_qpair_submit_request(q_, parent), -ENXIO);
  EXPECT_EQ(Count(STAILQ_FIRST(&q_->free_req)), free_before);
  EXPECT_EQ(Tail(), 0);
  EXPECT_TRUE(log.cpls.empty()) << "a refused submission runs no callback";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(small, 0), 0);
  ASSERT_EQ(log.cpls.size(), 4u);
  for (auto& c : log.cpls) {
    EXPECT_EQ(c.status.sc, SPDK_NVME_SC_ABORTED_BY_REQUEST);
    EXPECT_EQ(c.status.dnr, 1);
  }
  EXPECT_TRUE(STAILQ_EMPTY(&small->queued_req));
  ctrlr_->is_failed = false;
}

TEST_F(RequestTest, SplitChildrenAreSubmittedInOrder)
{
  CplLog log;
  ASSERT_EQ(nvme_qpair_submit_request(q_, Parent(3, &log)), 0);
  EXPECT_EQ(Tail(), 3);
  for (uint16_t i = 0; i < 3; i++) EXPECT_EQ(FakeDevice::SqEntry(q_, i).cdw10, i);
}

TEST_F(RequestTest, DisabledQueuePairParksUntilItIsUsedOutsideAReset)
{
  CplLog log;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  nvme_qpair_disable(q_);
  ctrlr_->is_resetting = true;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  EXPECT_EQ(Tail(), 1) << "parked while disabled";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 0);
  EXPECT_TRUE(log.cpls.empty());
  ctrlr_->is_resetting = false;
  // First use after the reset: parked and outstanding requests are aborted (without DNR), the pair re-enabled.
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 0);
  ASSERT_EQ(log.cpls.size(), 2u);
  for (auto& c : log.cpls) {
    EXPECT_EQ(c.status.sc, SPDK_NVME_SC_ABORTED_BY_REQUEST);
    EXPECT_EQ(c.status.dnr, 0);
  }
  EXPECT_TRUE(q_->is_enabled);
}

// A wait that gives up (device gone, admin time-out) returns -EIO; the late completion touches neither the freed
// status record nor the caller's buffer, and the bounce buffer lives until then.
// A fatal status noticed by a poll that finds nothing fails the controller: bus mastering goes off, and everything
// waiting on the queue ends in that poll.
TEST_F(RequestTest, FatalStatusSeenByAnIdlePollEndsEveryCommandInThatPoll)
{
  ctrlr_->state = NVME_CTRLR_STATE_READY;
  CplLog log;
  for (int i = 0; i < 13; i++) ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);  // 12 at the device, 1 waiting
  dev_->Post(q_, LastCid());
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1) << "a poll with completions reads no register";
  dev_->SetReg32(SPDK_NVME_REG_CSTS, 0x3);  // RDY and CFS
  spdk_nvme_qpair_process_completions(q_, 0);
  EXPECT_TRUE(ctrlr_->is_failed);
  EXPECT_FALSE(ctrlr_->is_removed);
  EXPECT_EQ(dev_->Cfg32(0x04) & 0x4, 0u) << "bus mastering off";
  ASSERT_EQ(log.cpls.size(), 13u);
  for (size_t i = 1; i < log.cpls.size(); i++) {
    EXPECT_EQ(log.cpls[i].status.sc, SPDK_NVME_SC_ABORTED_BY_REQUEST);
    EXPECT_EQ(log.cpls[i].status.dnr, 1);
  }
  ctrlr_->state = NVME_CTRLR_STATE_INIT;
}

TEST_F(RequestTest, WaitGivesUpSafely)
{
  // A controller that reports a fatal status, or whose registers read all ones (gone: removed), is failed and the
  // wait ends; the request stays at the device.
  nvme_completion_poll_status status{};
  uint16_t cid = 0;
  ctrlr_->opts.admin_timeout_ms = 1000;  // a wait that missed the failure would give up only then
  for (uint32_t csts : {0x3u, 0xFFFFFFFFu}) {
    ASSERT_EQ(GetFeature(nvme_completion_poll_cb, &status), 0);
    cid = LastAdmin().cid;
    dev_->SetReg32(SPDK_NVME_REG_CSTS, csts);
    EXPECT_EQ(spdk_nvme_wait_for_completion(ctrlr_->adminq, &status), -EIO);
    EXPECT_FALSE(status.done);
    EXPECT_TRUE(ctrlr_->is_failed);
    EXPECT_EQ(ctrlr_->is_removed, csts == 0xFFFFFFFFu);
    dev_->SetReg32(SPDK_NVME_REG_CSTS, 0x1);
    ctrlr_->is_failed = ctrlr_->is_removed = false;  // back for the rest of the test
  }
  status.cpl.cdw0 = 0xDEAD;
  dev_->Post(ctrlr_->adminq, cid, 0, 0, 0x1234);
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 1);
  EXPECT_FALSE(status.done);
  EXPECT_EQ(status.cpl.cdw0, 0xDEADu);

  ctrlr_->opts.admin_timeout_ms = 3;
  uint8_t user[512];
  memset(user, 0xAB, sizeof(user));
  {
    nvme_completion_poll_status st{};
    ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, SPDK_NVME_LOG_HEALTH_INFORMATION, 0xFFFFFFFF, user,
                                               sizeof(user), 0, nvme_completion_poll_cb, &st),
              0);
    EXPECT_EQ(spdk_nvme_wait_for_completion(ctrlr_->adminq, &st), -EIO);
  }
  spdk_nvme_cmd c = LastAdmin();
  auto* bounce = static_cast<uint8_t*>(FakeDevice::Dma(c.dptr.prp.prp1, 512));
  ASSERT_NE(bounce, nullptr);
  memset(bounce, 0x11, 512);
  dev_->Post(ctrlr_->adminq, c.cid);
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 1);
  for (uint8_t b : user) ASSERT_EQ(b, 0xAB);
}

TEST_F(RequestTest, WaitReturnsTheCompletionErrorsAsEioAndEndsAfterItsSeconds)
{
  nvme_completion_poll_status status{};
  ASSERT_EQ(GetFeature(nvme_completion_poll_cb, &status), 0);
  dev_->Post(ctrlr_->adminq, LastAdmin().cid, 0, 0, 42);
  EXPECT_EQ(spdk_nvme_wait_for_completion_robust_lock(ctrlr_->adminq, &status, &ctrlr_->ctrlr_lock), 0);
  EXPECT_TRUE(status.done);
  EXPECT_EQ(status.cpl.cdw0, 42u);

  ASSERT_EQ(GetFeature(nvme_completion_poll_cb, &status), 0);
  dev_->Post(ctrlr_->adminq, LastAdmin().cid, 0, SPDK_NVME_SC_INVALID_FIELD);
  EXPECT_EQ(spdk_nvme_wait_for_completion_timeout(ctrlr_->adminq, &status, 1), -EIO);
  EXPECT_TRUE(status.done);
  EXPECT_EQ(status.cpl.status.sc, SPDK_NVME_SC_INVALID_FIELD);

  kyt_env_test_set_clock_scale(1000);  // one second of ticks in about a millisecond
  nvme_completion_poll_status late{};
  ASSERT_EQ(GetFeature(nvme_completion_poll_cb, &late), 0);
  EXPECT_EQ(spdk_nvme_wait_for_completion_timeout(ctrlr_->adminq, &late, 2), -EIO);
  EXPECT_FALSE(late.done);
}

TEST(TimeConversion, LongDurationsDoNotOverflow)
{
  uint64_t hz = spdk_get_ticks_hz();
  EXPECT_EQ(nvme_us_to_ticks(20000000000000ull), hz * 20000000ull);  // hz * us would overflow 64 bits
  EXPECT_EQ(nvme_us_to_ticks(1500000), hz + hz / 2);
  EXPECT_EQ(nvme_ms_to_ticks(2500), 2 * hz + hz / 2);
}

TEST(StatusStrings, TablesAndFallbacks)
{
  struct {
    uint8_t sct, sc;
    const char* text;
  } cases[] = {{0, 0x00, "SUCCESS"}, {0, 0x07, "ABORTED - BY REQUEST"}, {0, 0x0A, "ABORTED - MISSING FUSED"},
               {0, 0x1F, "COMMAND NOT SUPPORTED FOR QUEUE IN CMB"}, {0, 0x84, "FORMAT IN PROGRESS"},
               {0, 0x17, "GENERIC"}, {1, 0x00, "INVALID COMPLETION QUEUE"}, {1, 0x03, "ABORT CMD LIMIT EXCEEDED"},
               {1, 0x1B, "THINPROVISIONING NOT SUPPORTED"}, {1, 0x82, "WRITE TO RO RANGE"},
               {1, 0x04, "COMMAND SPECIFIC"}, {2, 0x81, "UNRECOVERED READ ERROR"}, {2, 0xD0, "READ HIGH ECC"},
               {2, 0xF2, "OUT OF ORDER WRITE"}, {2, 0x88, "MEDIA ERROR"}, {3, 0x00, "INTERNAL PATH ERROR"},
               {3, 0x71, "ABORTED BY HOST"}, {3, 0x01, "PATH ERROR"}, {4, 0x00, "RESERVED"}, {5, 0x00, "RESERVED"},
               {6, 0x02, "RESERVED"}, {7, 0x00, "VENDOR SPECIFIC"}};
  for (auto& c : cases) {
    spdk_nvme_status s{};
    s.sct = c.sct;
    s.sc = c.sc;
    EXPECT_STREQ(spdk_nvme_cpl_get_status_string(&s), c.text) << int(c.sct) << "/" << int(c.sc);
  }
}

TEST(OpcodeStrings, AdminAndIoTables)
{
  auto admin = nvme_admin_opc_string;
  auto io = nvme_io_opc_string;
  struct {
    const char* (*fn)(uint8_t);
    uint8_t opc;
    const char* text;
  } cases[] = {{admin, 0x00, "DELETE IO SQ"}, {admin, 0x0C, "ASYNC EVENT REQUEST"},
               {admin, 0x7C, "DOORBELL BUFFER CONFIG"}, {admin, 0xE2, "OCSSD / GEOMETRY"},
               {admin, 0x03, "ADMIN COMMAND"}, {admin, 0xFF, "ADMIN COMMAND"}, {io, 0x00, "FLUSH"},
               {io, 0x08, "WRITE ZEROES"},
               {io, 0x15, "RESERVATION RELEASE"}, {io, 0x93, "OCSSD / VECTOR COPY"}, {io, 0x03, "IO COMMAND"}};
  for (auto& c : cases) EXPECT_STREQ(c.fn(c.opc), c.text) << int(c.opc);
}

}  // namespace
}  // namespace kyt::test
