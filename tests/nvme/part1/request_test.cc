// The request layer: error injection, time-outs, the retry rule, the failed-controller rule, blocking waits that
// give up safely, and the printable status and opcode texts.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_device.h"
#include "kyt/env_test.h"

using kyt::test::CplLog;
using kyt::test::FakeDevice;
using kyt::test::IoOpts;

namespace {

class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    FakeDevice::Options o;
    o.bus = NextBus();
    dev_.reset(new FakeDevice(o));
    ctrlr_ = dev_->Construct();
    ASSERT_NE(ctrlr_, nullptr);
    spdk_nvme_io_qpair_opts io = IoOpts(16);
    q_ = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, 1, &io);
    ASSERT_NE(q_, nullptr);
    buf_ = static_cast<uint8_t*>(spdk_zmalloc(64 * 1024, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
    ASSERT_NE(buf_, nullptr);
  }
  void TearDown() override
  {
    if (q_) {
      q_->no_deletion_notification_needed = 1;  // the tests' completion logs are gone by now
      nvme_pcie_ctrlr_delete_io_qpair_data_structure(q_);
    }
    spdk_free(buf_);
    dev_.reset();
    spdk_nvme_retry_count = 0;
    kyt_env_test_set_clock_scale(1);
  }
  static uint8_t NextBus()
  {
    static uint8_t bus = 0x80;
    return bus++;
  }
  int Io(uint8_t opc, CplLog* log)
  {
    spdk_nvme_cmd cmd{};
    cmd.opc = opc;
    cmd.nsid = 1;
    return spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, q_, &cmd, buf_, 512, &CplLog::Cb, log);
  }
  uint16_t Tail() const { return nvme_pcie_qpair(q_)->sq_tail; }
  uint16_t LastCid() const { return FakeDevice::SqEntry(q_, (uint16_t)((Tail() + 15) % 16)).cid; }

  std::unique_ptr<FakeDevice> dev_;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
  spdk_nvme_qpair* q_ = nullptr;
  uint8_t* buf_ = nullptr;
};

TEST_F(RequestTest, InjectionReplacesOnlySuccessfulCompletionsOfItsOpcode)
{
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_READ, false, 0, 2,
                                                    SPDK_NVME_SCT_MEDIA_ERROR, SPDK_NVME_SC_UNRECOVERED_READ_ERROR),
            0);
  CplLog log;
  // A write is not touched.
  ASSERT_EQ(Io(SPDK_NVME_OPC_WRITE, &log), 0);
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
  // The count is used up: the next write goes to the device.
  ASSERT_EQ(Io(SPDK_NVME_OPC_WRITE, &log), 0);
  EXPECT_EQ(Tail(), 1);

  // Removal stops further injection; a second add for the same opcode overwrites the entry.
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_READ, true, 0, 5, 0, 6), 0);
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_READ, false, 0, 1, 0, 6), 0);
  int entries = 0;
  nvme_error_cmd* e;
  TAILQ_FOREACH(e, &q_->err_cmd_head, link) entries++;
  EXPECT_EQ(entries, 2);
  spdk_nvme_qpair_remove_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_READ);
  spdk_nvme_qpair_remove_cmd_error_injection(ctrlr_, q_, SPDK_NVME_OPC_WRITE);
  EXPECT_TRUE(TAILQ_EMPTY(&q_->err_cmd_head));
}

TEST_F(RequestTest, AdminInjectionWithNullQpair)
{
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, nullptr, SPDK_NVME_OPC_GET_FEATURES, true, 0, 1,
                                                    SPDK_NVME_SCT_COMMAND_SPECIFIC, SPDK_NVME_SC_INVALID_LOG_PAGE),
            0);
  EXPECT_FALSE(TAILQ_EMPTY(&ctrlr_->adminq->err_cmd_head));
  CplLog log;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, SPDK_NVME_FEAT_ARBITRATION, 0, nullptr, 0, &CplLog::Cb, &log), 0);
  EXPECT_EQ(nvme_pcie_qpair(ctrlr_->adminq)->sq_tail, 0);
  spdk_delay_us(10);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  ASSERT_EQ(log.cpls.size(), 1u);
  EXPECT_EQ(log.cpls[0].status.sct, SPDK_NVME_SCT_COMMAND_SPECIFIC);
  EXPECT_EQ(log.cpls[0].status.sc, SPDK_NVME_SC_INVALID_LOG_PAGE);
}

struct TimeoutLog {
  std::vector<std::pair<spdk_nvme_qpair*, uint16_t>> calls;
  static void Cb(void* arg, spdk_nvme_ctrlr*, spdk_nvme_qpair* q, uint16_t cid)
  {
    static_cast<TimeoutLog*>(arg)->calls.emplace_back(q, cid);
  }
};

TEST_F(RequestTest, TimeoutCallbackRunsOncePerLateAdminCommand)
{
  TimeoutLog tlog;
  ctrlr_->state = NVME_CTRLR_STATE_READY;
  spdk_nvme_ctrlr_register_timeout_callback(ctrlr_, 1000, &TimeoutLog::Cb, &tlog);
  ASSERT_TRUE(ctrlr_->timeout_enabled);

  CplLog log;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, SPDK_NVME_FEAT_ARBITRATION, 0, nullptr, 0, &CplLog::Cb, &log), 0);
  uint16_t cid = FakeDevice::SqEntry(ctrlr_->adminq, 0).cid;
  // An I/O command submitted at the same time is not watched.
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);

  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  EXPECT_TRUE(tlog.calls.empty()) << "not late yet";
  spdk_delay_us(1500);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  spdk_nvme_qpair_process_completions(q_, 0);
  ASSERT_EQ(tlog.calls.size(), 1u);
  EXPECT_EQ(tlog.calls[0].first, nullptr) << "admin queue";
  EXPECT_EQ(tlog.calls[0].second, cid);
  for (int i = 0; i < 5; i++) {
    spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  }
  EXPECT_EQ(tlog.calls.size(), 1u) << "once per request";
  // The command stays outstanding and completes normally.
  dev_->Post(ctrlr_->adminq, cid);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  EXPECT_EQ(log.cpls.size(), 1u);
  ctrlr_->state = NVME_CTRLR_STATE_INIT;
}

TEST_F(RequestTest, TimeoutSkipsAsyncEventRequestsAndControllersNotReady)
{
  TimeoutLog tlog;
  spdk_nvme_ctrlr_register_timeout_callback(ctrlr_, 100, &TimeoutLog::Cb, &tlog);
  CplLog log;
  spdk_nvme_cmd aer{};
  aer.opc = SPDK_NVME_OPC_ASYNC_EVENT_REQUEST;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_admin_raw(ctrlr_, &aer, nullptr, 0, &CplLog::Cb, &log), 0);
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, SPDK_NVME_FEAT_ARBITRATION, 0, nullptr, 0, &CplLog::Cb, &log), 0);
  spdk_delay_us(500);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  EXPECT_TRUE(tlog.calls.empty()) << "state is not ready";
  ctrlr_->state = NVME_CTRLR_STATE_READY;
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  ASSERT_EQ(tlog.calls.size(), 1u) << "the AER is skipped, the later command is not";
  EXPECT_EQ(tlog.calls[0].second, FakeDevice::SqEntry(ctrlr_->adminq, 1).cid);
  ctrlr_->state = NVME_CTRLR_STATE_INIT;
  // Asynchronous event requests end with an SQ-deletion abort, without retry.
  nvme_pcie_admin_qpair_abort_aers(ctrlr_->adminq);
  ASSERT_EQ(log.cpls.size(), 1u);
  EXPECT_EQ(log.cpls[0].status.sc, SPDK_NVME_SC_ABORTED_SQ_DELETION);
  EXPECT_EQ(log.cpls[0].status.dnr, 0);
}

TEST(RetryRule, OnlyNamespaceNotReadyFormatInProgressAndInternalPathErrorRetry)
{
  auto cpl = [](uint8_t sct, uint8_t sc, bool dnr) {
    spdk_nvme_cpl c{};
    c.status.sct = sct;
    c.status.sc = sc;
    c.status.dnr = dnr;
    return c;
  };
  spdk_nvme_cpl c;
  c = cpl(0, 0x82, false);
  EXPECT_TRUE(nvme_completion_is_retry(&c));
  c = cpl(0, 0x84, false);
  EXPECT_TRUE(nvme_completion_is_retry(&c));
  c = cpl(3, 0x00, false);
  EXPECT_TRUE(nvme_completion_is_retry(&c));
  c = cpl(0, 0x82, true);
  EXPECT_FALSE(nvme_completion_is_retry(&c));
  c = cpl(0, 0x83, false);
  EXPECT_FALSE(nvme_completion_is_retry(&c));
  c = cpl(0, 0x06, false);
  EXPECT_FALSE(nvme_completion_is_retry(&c));
  c = cpl(1, 0x82, false);
  EXPECT_FALSE(nvme_completion_is_retry(&c));
  c = cpl(3, 0x60, false);
  EXPECT_FALSE(nvme_completion_is_retry(&c));
  c = cpl(2, 0x84, false);
  EXPECT_FALSE(nvme_completion_is_retry(&c));
}

TEST_F(RequestTest, RetryableFailureIsResubmittedOnlyWithinTheRetryCount)
{
  CplLog log;
  // Default count 0: no retry.
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  dev_->Post(q_, LastCid(), 0, SPDK_NVME_SC_NAMESPACE_NOT_READY);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 1);
  ASSERT_EQ(log.cpls.size(), 1u);
  EXPECT_EQ(log.cpls[0].status.sc, SPDK_NVME_SC_NAMESPACE_NOT_READY);

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
  spdk_nvme_io_qpair_opts io = IoOpts(4);
  spdk_nvme_qpair* small = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, 2, &io);
  ASSERT_NE(small, nullptr);
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_READ;
  for (int i = 0; i < 4; i++) {  // 3 outstanding, 1 parked
    ASSERT_EQ(spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, small, &cmd, buf_, 512, &CplLog::Cb, &log), 0);
  }
  ctrlr_->is_failed = true;
  EXPECT_EQ(spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, small, &cmd, buf_, 512, &CplLog::Cb, &log), -ENXIO);
  EXPECT_TRUE(log.cpls.empty()) << "a refused submission runs no callback";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(small, 0), 0);
  ASSERT_EQ(log.cpls.size(), 4u);
  for (auto& c : log.cpls) {
    EXPECT_EQ(c.status.sc, SPDK_NVME_SC_ABORTED_BY_REQUEST);
    EXPECT_EQ(c.status.dnr, 1);
  }
  EXPECT_TRUE(STAILQ_EMPTY(&small->queued_req));
  ctrlr_->is_failed = false;
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(small);
}

TEST_F(RequestTest, DisabledQueuePairParksUntilItIsUsedOutsideAReset)
{
  CplLog log;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  EXPECT_TRUE(q_->is_enabled);
  nvme_qpair_disable(q_);
  ctrlr_->is_resetting = true;
  ASSERT_EQ(Io(SPDK_NVME_OPC_READ, &log), 0);
  EXPECT_EQ(Tail(), 1) << "parked while disabled";
  EXPECT_FALSE(STAILQ_EMPTY(&q_->queued_req));
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 0);
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

TEST_F(RequestTest, WaitGivesUpWhenTheDeviceIsGoneAndIgnoresTheLateCompletion)
{
  nvme_completion_poll_status status{};
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, SPDK_NVME_FEAT_ARBITRATION, 0, nullptr, 0,
                                            nvme_completion_poll_cb, &status),
            0);
  uint16_t cid = FakeDevice::SqEntry(ctrlr_->adminq, 0).cid;
  dev_->SetReg32(SPDK_NVME_REG_CSTS, 0xFFFFFFFFu);
  EXPECT_EQ(spdk_nvme_wait_for_completion(ctrlr_->adminq, &status), -EIO);
  EXPECT_FALSE(status.done);

  // The device answers late: the status record is not touched.
  dev_->SetReg32(SPDK_NVME_REG_CSTS, 0x1);
  status.cpl.cdw0 = 0xDEAD;
  dev_->Post(ctrlr_->adminq, cid, 0, 0, 0x1234);
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 1);
  EXPECT_FALSE(status.done);
  EXPECT_EQ(status.cpl.cdw0, 0xDEADu);
}

TEST_F(RequestTest, WaitGivesUpAfterTheAdminTimeoutAndKeepsTheBounceBufferAlive)
{
  ctrlr_->opts.admin_timeout_ms = 3;
  uint8_t user[512];
  memset(user, 0xAB, sizeof(user));
  {
    nvme_completion_poll_status status{};
    ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, SPDK_NVME_LOG_HEALTH_INFORMATION, 0xFFFFFFFF, user,
                                               sizeof(user), 0, nvme_completion_poll_cb, &status),
              0);
    EXPECT_EQ(spdk_nvme_wait_for_completion(ctrlr_->adminq, &status), -EIO);
  }
  // Late data and completion: the bounce buffer still exists, the caller's buffer is not written.
  spdk_nvme_cmd c = FakeDevice::SqEntry(ctrlr_->adminq, 0);
  auto* bounce = static_cast<uint8_t*>(FakeDevice::Dma(c.dptr.prp.prp1, 512));
  ASSERT_NE(bounce, nullptr);
  memset(bounce, 0x11, 512);
  dev_->Post(ctrlr_->adminq, c.cid);
  EXPECT_EQ(spdk_nvme_ctrlr_process_admin_completions(ctrlr_), 1);
  for (uint8_t b : user) {
    ASSERT_EQ(b, 0xAB);
  }
}

TEST_F(RequestTest, WaitReturnsTheCompletionAndErrorsAsEio)
{
  nvme_completion_poll_status status{};
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, SPDK_NVME_FEAT_ARBITRATION, 0, nullptr, 0,
                                            nvme_completion_poll_cb, &status),
            0);
  dev_->Post(ctrlr_->adminq, FakeDevice::SqEntry(ctrlr_->adminq, 0).cid, 0, 0, 42);
  EXPECT_EQ(spdk_nvme_wait_for_completion_robust_lock(ctrlr_->adminq, &status, &ctrlr_->ctrlr_lock), 0);
  EXPECT_TRUE(status.done);
  EXPECT_EQ(status.cpl.cdw0, 42u);

  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, SPDK_NVME_FEAT_ARBITRATION, 0, nullptr, 0,
                                            nvme_completion_poll_cb, &status),
            0);
  dev_->Post(ctrlr_->adminq, FakeDevice::SqEntry(ctrlr_->adminq, 1).cid, 0, SPDK_NVME_SC_INVALID_FIELD);
  EXPECT_EQ(spdk_nvme_wait_for_completion_timeout(ctrlr_->adminq, &status, 1), -EIO);
  EXPECT_TRUE(status.done);
  EXPECT_EQ(status.cpl.status.sc, SPDK_NVME_SC_INVALID_FIELD);
}

TEST_F(RequestTest, WaitWithATimeoutInSecondsEnds)
{
  kyt_env_test_set_clock_scale(1000);  // one second of ticks in about a millisecond
  nvme_completion_poll_status status{};
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, SPDK_NVME_FEAT_ARBITRATION, 0, nullptr, 0,
                                            nvme_completion_poll_cb, &status),
            0);
  EXPECT_EQ(spdk_nvme_wait_for_completion_timeout(ctrlr_->adminq, &status, 2), -EIO);
  EXPECT_FALSE(status.done);
}

TEST(TimeConversion, LongDurationsDoNotOverflow)
{
  uint64_t hz = spdk_get_ticks_hz();
  uint64_t us = 20000000000000ull;  // 20 000 000 s: hz * us would overflow 64 bits
  EXPECT_EQ(nvme_us_to_ticks(us), hz * 20000000ull);
  EXPECT_EQ(nvme_us_to_ticks(1500000), hz + hz / 2);
  EXPECT_EQ(nvme_ms_to_ticks(2500), 2 * hz + hz / 2);
}

TEST(StatusStrings, TablesAndFallbacks)
{
  auto str = [](uint8_t sct, uint8_t sc) {
    spdk_nvme_status s{};
    s.sct = sct;
    s.sc = sc;
    return std::string(spdk_nvme_cpl_get_status_string(&s));
  };
  EXPECT_EQ(str(0, 0x00), "SUCCESS");
  EXPECT_EQ(str(0, 0x07), "ABORTED - BY REQUEST");
  EXPECT_EQ(str(0, 0x0A), "ABORTED - MISSING FUSED");
  EXPECT_EQ(str(0, 0x1F), "COMMAND NOT SUPPORTED FOR QUEUE IN CMB");
  EXPECT_EQ(str(0, 0x84), "FORMAT IN PROGRESS");
  EXPECT_EQ(str(0, 0x17), "GENERIC");
  EXPECT_EQ(str(1, 0x00), "INVALID COMPLETION QUEUE");
  EXPECT_EQ(str(1, 0x03), "ABORT CMD LIMIT EXCEEDED");
  EXPECT_EQ(str(1, 0x1B), "THINPROVISIONING NOT SUPPORTED");
  EXPECT_EQ(str(1, 0x82), "WRITE TO RO RANGE");
  EXPECT_EQ(str(1, 0x04), "COMMAND SPECIFIC");
  EXPECT_EQ(str(2, 0x81), "UNRECOVERED READ ERROR");
  EXPECT_EQ(str(2, 0xD0), "READ HIGH ECC");
  EXPECT_EQ(str(2, 0xF2), "OUT OF ORDER WRITE");
  EXPECT_EQ(str(2, 0x88), "MEDIA ERROR");
  EXPECT_EQ(str(3, 0x00), "INTERNAL PATH ERROR");
  EXPECT_EQ(str(3, 0x71), "ABORTED BY HOST");
  EXPECT_EQ(str(3, 0x01), "PATH ERROR");
  EXPECT_EQ(str(4, 0x00), "RESERVED");
  EXPECT_EQ(str(5, 0x00), "RESERVED");
  EXPECT_EQ(str(6, 0x02), "RESERVED");
  EXPECT_EQ(str(7, 0x00), "VENDOR SPECIFIC");
}

TEST(OpcodeStrings, AdminAndIoTables)
{
  EXPECT_STREQ(nvme_admin_opc_string(0x00), "DELETE IO SQ");
  EXPECT_STREQ(nvme_admin_opc_string(0x0C), "ASYNC EVENT REQUEST");
  EXPECT_STREQ(nvme_admin_opc_string(0x7C), "DOORBELL BUFFER CONFIG");
  EXPECT_STREQ(nvme_admin_opc_string(0xE2), "OCSSD / GEOMETRY");
  EXPECT_STREQ(nvme_admin_opc_string(0x03), "ADMIN COMMAND");
  EXPECT_STREQ(nvme_admin_opc_string(0xFF), "ADMIN COMMAND");
  EXPECT_STREQ(nvme_io_opc_string(0x00), "FLUSH");
  EXPECT_STREQ(nvme_io_opc_string(0x08), "WRITE ZEROES");
  EXPECT_STREQ(nvme_io_opc_string(0x15), "RESERVATION RELEASE");
  EXPECT_STREQ(nvme_io_opc_string(0x93), "OCSSD / VECTOR COPY");
  EXPECT_STREQ(nvme_io_opc_string(0x03), "IO COMMAND");
}

}  // namespace

namespace {

// Split requests: the children go out in order; after a failing child the rest are dropped unsent.
class SplitTest : public RequestTest {
 protected:
  nvme_request* Parent(int children, CplLog* log)
  {
    nvme_request* parent = nvme_allocate_request_null(q_, &CplLog::Cb, log);
    for (int i = 0; i < children; i++) {
      nvme_request* child = nvme_allocate_request_contig(q_, buf_ + i * 4096, 512, &CplLog::Cb, log);
      child->cmd.opc = SPDK_NVME_OPC_READ;
      child->cmd.cdw10 = (uint32_t)i;
      child->parent = parent;
      TAILQ_INSERT_TAIL(&parent->children, child, child_tailq);
      parent->num_children++;
    }
    return parent;
  }
  int FreeRequests()
  {
    int n = 0;
    nvme_request* r;
    STAILQ_FOREACH(r, &q_->free_req, stailq) n++;
    return n;
  }
};

TEST_F(SplitTest, ChildrenAreSubmittedInOrder)
{
  CplLog log;
  ASSERT_EQ(nvme_qpair_submit_request(q_, Parent(3, &log)), 0);
  EXPECT_EQ(Tail(), 3);
  for (uint16_t i = 0; i < 3; i++) {
    EXPECT_EQ(FakeDevice::SqEntry(q_, i).cdw10, i);
  }
}

TEST_F(SplitTest, RefusedChildrenReleaseTheParent)
{
  CplLog log;
  int free_before = FreeRequests();
  nvme_request* parent = Parent(3, &log);
  ctrlr_->is_failed = true;
  EXPECT_EQ(nvme_qpair_submit_request(q_, parent), -ENXIO);
  ctrlr_->is_failed = false;
  EXPECT_EQ(FreeRequests(), free_before) << "parent and children are back in the pool";
  EXPECT_TRUE(log.cpls.empty());
  EXPECT_EQ(Tail(), 0);
}

}  // namespace
