// The request layer: error injection, deadlines, the retry rule, failed controllers, and blocking
// waits that give up safely. Time passes only when a test moves the clock (scale 1): load cannot fire a deadline.
#include <cstring>

#include "fake_device.h"
#include "kyt/env_test.h"

namespace kyt::test {
namespace {

void Advance(uint64_t seconds) { kyt_env_test_advance_clock(seconds * spdk_get_ticks_hz()); }

class RequestTest : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    ASSERT_NE(q_ = MakeQueue(16), nullptr);
  }
  int Io(uint8_t opc, CplLog* log) { return DevTest::Io(q_, opc, buf_, 512, log); }
  int GetFeature(spdk_nvme_cmd_cb cb, void* arg) {
    return spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, SPDK_NVME_FEAT_ARBITRATION, 0, nullptr, 0, cb, arg);
  }
  uint16_t Tail() const { return nvme_pcie_qpair(q_)->sq_tail; }
  // A command time-out of `us`; the calls of the time-out callback go to timeouts_.
  void RecordTimeOuts(uint64_t us) {
    spdk_nvme_ctrlr_register_timeout_callback(
        ctrlr_, us,
        [](void* arg, spdk_nvme_ctrlr*, spdk_nvme_qpair* q, uint16_t cid) {
          static_cast<decltype(timeouts_)*>(arg)->emplace_back(q, cid);
        },
        &timeouts_);
  }
  std::vector<std::pair<spdk_nvme_qpair*, uint16_t>> timeouts_;
  uint16_t LastCid() const { return FakeDevice::SqEntry(q_, (uint16_t)((Tail() + 15) % 16)).cid; }
  spdk_nvme_qpair* q_ = nullptr;
};

TEST_F(RequestTest, InjectionReplacesOnlySuccessfulCompletionsOfItsOpcode) {
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_READ, false, 0, 2, 2, 0x81), 0);
  // (opcode, status the device posts, status the caller sees): a failed read keeps its status and uses no count.
  const uint8_t R = SPDK_NVME_OPC_READ, LBA = SPDK_NVME_SC_LBA_OUT_OF_RANGE;
  struct {
    uint8_t opc, posted, seen;
  } steps[] = {{SPDK_NVME_OPC_WRITE, 0, 0}, {R, LBA, LBA}, {R, 0, 0x81}, {R, 0, 0x81}, {R, 0, 0}};
  CplLog log;
  for (auto& s : steps) {
    ASSERT_EQ(Io(s.opc, &log), 0);
    dev_->Post(q_, LastCid(), 0, s.posted, 0x77);
  }
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 4);  // the per-call cap of a 16-entry queue
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  ASSERT_EQ(log.cpls.size(), 5u);
  for (size_t i = 0; i < 5; i++) {
    EXPECT_EQ(log.cpls[i].status.sc, steps[i].seen) << i;
    EXPECT_EQ(log.cpls[i].cdw0, 0x77u) << "only the status is replaced";
  }
}

// An injection that holds its command back (here on the admin queue: no queue pair) completes it once its delay has
// passed, not earlier or later, without the device seeing it; the count then is used up. With a command time-out
// shorter than the hold, the held command ends at its own deadline instead, as one the drive never answered: the
// time-out callback hears of it (under the identifier no command carries) and its caller gets the host's time-out
// status.
TEST_F(RequestTest, HeldBackInjectionCompletesAfterItsDelay) {
  CplLog log;
  for (uint64_t timeout_s : {0, 60}) {
    if (timeout_s != 0) RecordTimeOuts(timeout_s * 1000000);
    const uint64_t ends = timeout_s != 0 ? timeout_s : 100;
    ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, nullptr, SPDK_NVME_OPC_GET_FEATURES, true, 100000000,
                                                      1, 1, SPDK_NVME_SC_INVALID_LOG_PAGE),
              0);
    log.cpls.clear();
    ASSERT_EQ(GetFeature(&CplLog::Cb, &log), 0);
    for (uint64_t seconds : {ends - 1, uint64_t{2}}) {
      EXPECT_TRUE(log.cpls.empty()) << "not before its " << ends << " s";
      Advance(seconds);
      spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
    }
    ASSERT_EQ(log.cpls.size(), 1u);
    if (timeout_s == 0) {
      EXPECT_EQ(log.cpls[0].status_raw >> 1, (1u << 8) | SPDK_NVME_SC_INVALID_LOG_PAGE) << "without DNR";
    } else {
      EXPECT_TRUE(spdk_nvme_cpl_is_host_timeout(&log.cpls[0]));
      EXPECT_EQ(log.cpls[0].status.dnr, 1);
      EXPECT_EQ(timeouts_, (std::vector<std::pair<spdk_nvme_qpair*, uint16_t>>{{nullptr, 0xFFFF}}));
    }
  }
  ASSERT_EQ(GetFeature(&CplLog::Cb, &log), 0);
  EXPECT_EQ(AdminTail(), 1) << "only the last one reached the device";
}

// Every command is timed from the moment it reaches the device, from its caller's tick when it has one (a poll
// pass's reading) and from the clock otherwise; one that waited for a tracker from when it got one. A late command
// is reported to the time-out callback and ended for its caller once, with the host time-out status, and stays at
// the device until the device completes it. The walk looks at every command (a younger one listed first does not
// stop it) and is due again at the earliest deadline left; event requests are not timed.
TEST_F(RequestTest, CommandsTimeOutAtTheirDeadlineOnceAndStayAtTheDevice) {
  RecordTimeOuts(100000000);  // 100 s
  std::vector<std::pair<spdk_nvme_qpair*, uint16_t>>& calls = timeouts_;
  ctrlr_->state = NVME_CTRLR_STATE_READY;
  CplLog log;
  static CplLog aer_log;  // the event request outlives a failed test until the teardown ends it
  spdk_nvme_cmd aer{};
  aer.opc = SPDK_NVME_OPC_ASYNC_EVENT_REQUEST;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_admin_raw(ctrlr_, &aer, nullptr, 0, &CplLog::Cb, &aer_log), 0);
  const uint64_t t0 = spdk_get_ticks();
  Advance(10);
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);  // "young": timed from the clock, t0 + 10 s
  const uint16_t young = LastCid();
  q_->caller_tick = t0;  // eleven reads with their caller's earlier tick take the other trackers; a twelfth waits
  std::vector<uint16_t> old;
  for (int i = 0; i < 12; i++) {
    ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
    if (i < 11) old.push_back(LastCid());
  }
  q_->caller_tick = 0;
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 0);  // a walk at t0 + 10 s: nothing late
  Advance(50);
  dev_->Post(q_, old[0]);  // the waiting read gets its tracker at t0 + 60 s
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);

  Advance(45);  // t0 + 105 s: reads 2..11 are late, "young" and the waiting one are not
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 0);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  ASSERT_EQ(calls.size(), 10u);
  ASSERT_EQ(log.cpls.size(), 11u);
  for (size_t i = 0; i < 10; i++) {
    EXPECT_EQ(calls[i], std::make_pair(q_, old[i + 1]));
    EXPECT_TRUE(spdk_nvme_cpl_is_host_timeout(&log.cpls[i + 1]));
    EXPECT_EQ(log.cpls[i + 1].status.dnr, 1);
    EXPECT_EQ(log.cpls[i + 1].cid, old[i + 1]);
  }
  EXPECT_NE(nvme_pcie_qpair_find_tracker(nvme_pcie_qpair(q_), old[5]), nullptr) << "a late read stays at the device";
  dev_->Post(q_, old[5]);  // until the device completes it, without a second completion
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  EXPECT_EQ(nvme_pcie_qpair_find_tracker(nvme_pcie_qpair(q_), old[5]), nullptr);

  Advance(10);  // t0 + 115 s: "young" is late, the waiting read (t0 + 160 s) is not, the event request never is
  spdk_nvme_qpair_process_completions(q_, 0);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  ASSERT_EQ(calls.size(), 11u);
  EXPECT_EQ(calls[10].second, young);
  EXPECT_EQ(log.cpls.size(), 12u);
  EXPECT_TRUE(aer_log.cpls.empty());
  nvme_pcie_admin_qpair_abort_aers(ctrlr_->adminq);
  ctrlr_->state = NVME_CTRLR_STATE_INIT;
}

// A command whose completion is in the queue when its deadline is judged is not ended by it: one the drive posts
// after an idle poll found the queue empty and before that poll reads the clock (its thread held off its core there),
// and one left in the queue by a poll that stopped at its limit and judged by the last submission's tick. The next
// poll takes them with the drive's status. A command the drive never answers times out in that same walk, the waiting
// completion notwithstanding. A poll that takes completions reads no clock.
TEST_F(RequestTest, CommandAnsweredBeforeItsDeadlineIsJudgedIsNotTimedOut) {
  RecordTimeOuts(100000000);  // 100 s
  ctrlr_->state = NVME_CTRLR_STATE_READY;
  CplLog log;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  struct Window {
    FakeDevice* dev;
    spdk_nvme_qpair* q;
    uint16_t cid;
    bool met;
  } window{dev_.get(), q_, LastCid(), false};
  kyt_env_test_before_clock_reading(
      [](void* arg) {
        auto* w = static_cast<Window*>(arg);
        w->dev->Post(w->q, w->cid);
        Advance(150);
        w->met = true;
      },
      &window);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 0);
  ASSERT_TRUE(window.met) << "the idle poll read the clock";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  ASSERT_EQ(log.cpls.size(), 1u);
  EXPECT_EQ(log.cpls[0].status_raw >> 1, 0) << "the drive's own success";

  // Four completions per poll on this queue: "answered" waits behind four others.
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  const uint16_t answered = LastCid();
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  const uint16_t silent = LastCid();
  std::vector<uint16_t> others;
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
    others.push_back(LastCid());
  }
  for (uint16_t cid : others) dev_->Post(q_, cid);
  dev_->Post(q_, answered);
  Advance(150);
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);  // its tick is past both deadlines
  bool read = false;
  kyt_env_test_before_clock_reading([](void* arg) { *static_cast<bool*>(arg) = true; }, &read);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 4);
  EXPECT_FALSE(read) << "a poll that takes completions reads no clock";
  kyt_env_test_before_clock_reading(nullptr, nullptr);
  EXPECT_EQ(timeouts_, (std::vector<std::pair<spdk_nvme_qpair*, uint16_t>>{{q_, silent}}));
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  ASSERT_EQ(log.cpls.size(), 7u);
  EXPECT_TRUE(spdk_nvme_cpl_is_host_timeout(&log.cpls[5]));
  EXPECT_EQ(log.cpls[5].cid, silent);
  EXPECT_EQ(log.cpls[6].cid, answered);
  EXPECT_EQ(log.cpls[6].status_raw >> 1, 0);
  ctrlr_->state = NVME_CTRLR_STATE_INIT;
}

// Only Namespace Not Ready, Format In Progress and Internal Path Error without DNR are retried, within the count.
TEST_F(RequestTest, RetryableFailureIsResubmittedOnlyWithinTheRetryCount) {
  // Status words (SCT << 8 | SC, DNR bit 14) and whether they are retried.
  const std::pair<uint16_t, bool> rule[] = {{0x82, true},    {0x84, true},   {0x300, true},  {0x4082, false},
                                            {0x83, false},   {0x06, false},  {0x182, false}, {0x360, false},
                                            {0x284, false}};
  for (auto [status, retry] : rule) {
    spdk_nvme_cpl cpl{};
    cpl.status_raw = (uint16_t)(status << 1);
    EXPECT_EQ(nvme_completion_is_retry(&cpl), retry) << std::hex << status;
  }
  spdk_nvme_retry_count = 1;
  CplLog log;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  const uint16_t cid = LastCid();
  for (size_t i = 0; i < 2; i++) {
    dev_->Post(q_, LastCid(), 0, SPDK_NVME_SC_NAMESPACE_NOT_READY);
    EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
    EXPECT_EQ(log.cpls.size(), i) << "the first failure is resubmitted, the second exceeds the count";
  }
  const uint16_t mask = nvme_pcie_qpair(q_)->cid_index_mask;
  EXPECT_EQ(FakeDevice::SqEntry(q_, 1).cid & mask, cid & mask) << "with the same tracker";
}

// A failed controller refuses new submissions without a callback and ends what waits on a queue pair with an abort
// not to be retried.
TEST_F(RequestTest, FailedControllerRefusesAndAbortsWithDnr) {
  CplLog log;
  spdk_nvme_qpair* small = MakeQueue(4, false, 2);
  ASSERT_NE(small, nullptr);
  for (int i = 0; i < 4; i++) ASSERT_EQ(DevTest::Io(small, SPDK_NVME_OPC_READ, buf_, 512, &log), 0);  // 1 parked
  ctrlr_->is_failed = true;
  EXPECT_EQ(DevTest::Io(small, SPDK_NVME_OPC_READ, buf_, 512, &log), -ENXIO);
  EXPECT_TRUE(log.cpls.empty()) << "a refused submission runs no callback";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(small, 0), 0);
  ASSERT_EQ(log.cpls.size(), 4u);
  for (auto& c : log.cpls) EXPECT_EQ(c.status_raw >> 1, (1u << 14) | SPDK_NVME_SC_ABORTED_BY_REQUEST) << "with DNR";
  ctrlr_->is_failed = false;
}

// Disabled during a reset, a queue pair parks what is submitted; its first use after the reset aborts what was parked
// and outstanding (to be retried: no DNR) and enables it again.
TEST_F(RequestTest, DisabledQueuePairParksUntilItIsUsedOutsideAReset) {
  CplLog log;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  nvme_qpair_disable(q_);
  ctrlr_->is_resetting = true;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 0);
  EXPECT_EQ(Tail(), 1);
  EXPECT_TRUE(log.cpls.empty());
  ctrlr_->is_resetting = false;
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 0);
  ASSERT_EQ(log.cpls.size(), 2u);
  for (auto& c : log.cpls) EXPECT_EQ(c.status_raw >> 1, SPDK_NVME_SC_ABORTED_BY_REQUEST) << "without DNR";
  EXPECT_TRUE(q_->is_enabled);
}

// A fatal status noticed by a poll that finds nothing fails the controller: bus mastering goes off, and everything
// waiting on the queue ends in that poll.
TEST_F(RequestTest, FatalStatusSeenByAnIdlePollEndsEveryCommandInThatPoll) {
  ctrlr_->state = NVME_CTRLR_STATE_READY;
  CplLog log;
  for (int i = 0; i < 13; i++) ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);  // 12 at the device, 1 waiting
  dev_->Post(q_, LastCid());
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1) << "a poll with completions reads no register";
  dev_->SetReg32(SPDK_NVME_REG_CSTS, 0x3);  // RDY and CFS
  spdk_nvme_qpair_process_completions(q_, 0);
  EXPECT_TRUE(ctrlr_->is_failed && !ctrlr_->is_removed);
  EXPECT_EQ(dev_->Cfg32(0x04) & 0x4, 0u) << "bus mastering off";
  ASSERT_EQ(log.cpls.size(), 13u);
  for (size_t i = 1; i < 13; i++) EXPECT_EQ(log.cpls[i].status_raw >> 1, (1u << 14) | SPDK_NVME_SC_ABORTED_BY_REQUEST);
  ctrlr_->state = NVME_CTRLR_STATE_INIT;
}

// A wait that gives up (fatal status, device gone, admin time-out) returns -EIO; the late completion touches neither
// the freed status record nor the caller's buffer, and the bounce buffer lives until then. A completed wait returns
// the command's error as -EIO, and a wait with its own limit ends after it.
TEST_F(RequestTest, WaitGivesUpSafely) {
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
    ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, 2, 0, user, sizeof(user), 0, nvme_completion_poll_cb, &st), 0);
    EXPECT_EQ(spdk_nvme_wait_for_completion(ctrlr_->adminq, &st), -EIO);
  }
  spdk_nvme_cmd c = LastAdmin();
  memset(FakeDevice::Dma(c.dptr.prp.prp1, 512), 0x11, 512);
  dev_->Post(ctrlr_->adminq, c.cid);
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 1);
  for (uint8_t b : user) ASSERT_EQ(b, 0xAB);

  ctrlr_->opts.admin_timeout_ms = 0;
  ASSERT_EQ(GetFeature(nvme_completion_poll_cb, &status), 0);
  dev_->Post(ctrlr_->adminq, LastAdmin().cid, 0, SPDK_NVME_SC_INVALID_FIELD, 42);
  EXPECT_EQ(spdk_nvme_wait_for_completion_robust_lock(ctrlr_->adminq, &status, &ctrlr_->ctrlr_lock), -EIO);
  EXPECT_EQ(status.cpl.cdw0, 42u);
  kyt_env_test_set_clock_scale(1000);  // it only has to end: two seconds in about two milliseconds
  ASSERT_EQ(GetFeature(nvme_completion_poll_cb, &status), 0);
  EXPECT_EQ(spdk_nvme_wait_for_completion_timeout(ctrlr_->adminq, &status, 2), -EIO);
  EXPECT_FALSE(status.done);
}

// A request parked before it reaches the device (on the admin queue disabled during a reset's re-initialisation, or
// for lack of a tracker) is timed from when it was parked, also while the controller is not ready, and ends at its
// deadline with the unsent time-out status without the time-out callback (nothing of it is at the device). One
// parked later goes out at the first poll after the reset.
TEST_F(RequestTest, ParkedRequestsEndUnsentAtTheirDeadline) {
  int calls = 0;
  spdk_nvme_ctrlr_register_timeout_callback(
      ctrlr_, 100000000, [](void* arg, spdk_nvme_ctrlr*, spdk_nvme_qpair*, uint16_t) { ++*static_cast<int*>(arg); },
      &calls);
  spdk_nvme_qpair* small = MakeQueue(4, false, 2);  // 3 trackers
  ASSERT_NE(small, nullptr);
  CplLog admin, io, later;
  for (int i = 0; i < 4; i++) ASSERT_EQ(DevTest::Io(small, SPDK_NVME_OPC_READ, buf_, 512, &io), 0);  // 1 parked
  nvme_qpair_disable(ctrlr_->adminq);
  ctrlr_->is_resetting = true;
  ASSERT_EQ(GetFeature(&CplLog::Cb, &admin), 0);
  Advance(60);
  ASSERT_EQ(GetFeature(&CplLog::Cb, &later), 0);
  Advance(39);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  spdk_nvme_qpair_process_completions(small, 0);
  EXPECT_TRUE(admin.cpls.empty() && io.cpls.empty()) << "not before their 100 s";
  Advance(2);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  spdk_nvme_qpair_process_completions(small, 0);
  ASSERT_EQ(admin.cpls.size(), 1u);
  ASSERT_EQ(io.cpls.size(), 1u);
  for (const spdk_nvme_cpl* c : {&admin.cpls[0], &io.cpls[0]}) {
    EXPECT_TRUE(spdk_nvme_cpl_is_unsent_timeout(c));
    EXPECT_EQ(c->status.dnr, 1);
  }
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(AdminTail(), 0) << "nothing reached the device";
  EXPECT_EQ(Count(STAILQ_FIRST(&small->queued_req)), 0);

  ctrlr_->is_resetting = false;
  nvme_qpair_enable(ctrlr_->adminq);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  EXPECT_EQ(AdminTail(), 1) << "the one still in time went out";
  EXPECT_EQ(LastAdmin().opc, SPDK_NVME_OPC_GET_FEATURES);
  CompleteLastAdmin();
  EXPECT_EQ(later.cpls.size(), 1u);

  // A request parked into the I/O list the walk emptied is looked at by its own deadline (that walk found nothing
  // left to wait for); parked a second time (its submission found no tracker again), it keeps its first deadline.
  CplLog again;
  ASSERT_EQ(DevTest::Io(small, SPDK_NVME_OPC_READ, buf_, 512, &again), 0);
  Advance(60);
  nvme_request* parked = STAILQ_FIRST(&small->queued_req);
  ASSERT_NE(parked, nullptr);
  STAILQ_REMOVE_HEAD(&small->queued_req, stailq);
  nvme_qpair_park_request(small, parked);
  Advance(39);
  spdk_nvme_qpair_process_completions(small, 0);
  EXPECT_TRUE(again.cpls.empty()) << "not before its 100 s";
  Advance(2);
  spdk_nvme_qpair_process_completions(small, 0);
  ASSERT_EQ(again.cpls.size(), 1u);
  EXPECT_TRUE(spdk_nvme_cpl_is_unsent_timeout(&again.cpls[0]));
}

// Once the process ends its waits (spdk_nvme_abandon_waits), a blocking wait without a limit of its own gives up at
// its next pass instead of at the admin time-out; its command is detached, as in any wait that gives up.
TEST_F(RequestTest, AbandonedWaitGivesUpAtOnce) {
  ctrlr_->opts.admin_timeout_ms = 1000000;  // 1000 s of the test clock: 10 s of real time
  kyt_env_test_set_clock_scale(100);
  nvme_completion_poll_status status{};
  ASSERT_EQ(GetFeature(nvme_completion_poll_cb, &status), 0);
  spdk_nvme_abandon_waits(true);
  const uint64_t start = spdk_get_ticks();
  const int rc = spdk_nvme_wait_for_completion(ctrlr_->adminq, &status);
  const uint64_t waited = spdk_get_ticks() - start;
  spdk_nvme_abandon_waits(false);
  EXPECT_EQ(rc, -EIO);
  EXPECT_FALSE(status.done);
  EXPECT_LT(waited, 500 * spdk_get_ticks_hz()) << "it did not wait for the admin time-out";
  dev_->Post(ctrlr_->adminq, LastAdmin().cid);
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 1);
  EXPECT_FALSE(status.done) << "the late completion is discarded";
}

TEST(TimeConversion, LongDurationsDoNotOverflow) {
  uint64_t hz = spdk_get_ticks_hz();
  EXPECT_EQ(nvme_us_to_ticks(20000000000000ull), hz * 20000000ull);  // hz * us would overflow 64 bits
  EXPECT_EQ(nvme_ms_to_ticks(2500), 2 * hz + hz / 2);
}

}  // namespace
}  // namespace kyt::test
