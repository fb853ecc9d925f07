// The controller initialisation state machine on the simulated controller: start states, pauses and time limits,
// failures, queue counts, asynchronous events, keep alive, namespaces and the re-initialisation of a reset.
#include <cstring>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

using InitTest = CtrlrTest;

// Poll the admin queue (at most 30 s of the test clock) until `done` holds.
template <typename F>
void PollAdminUntil(spdk_nvme_ctrlr* ctrlr, F done) {
  kyt::sim::PollOnTestClock([&] { spdk_nvme_ctrlr_process_admin_completions(ctrlr); }, done, 30);
}

// The four start states a previous owner may leave. EN 1 RDY 1 is disabled first (its admin queue is unknown); EN 0
// RDY 0 is enabled at once. RDY held against EN is waited for: EN 1 RDY 0 until ready, then disabled; EN 0 RDY 1
// until the ready time limit (60 s; not a moment earlier), then forcibly disabled. All end ready with the enable
// step's settings and the host identifier in the size they announce.
TEST_F(InitTest, EveryStartStateReachesReady) {
  for (int start : {0b11, 0b00, 0b10, 0b01}) {  // EN, RDY
    const bool en = start & 2, held = start == 0b10 || start == 0b01;
    SimConfig config = FastSimConfig();
    config.start_enabled = en;
    config.start_ready = start & 1;
    config.start_ready_stuck = held;
    SimController& sim = AddSim(config);
    ProbeRecord record;
    spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
    ASSERT_NE(nullptr, ctx);
    spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
    if (held) {
      ASSERT_TRUE(StepUntilState(ctx, en ? NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_1
                                         : NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_0));
      for (uint64_t ms : {50000, 11000}) {  // EN 0 RDY 1: not passed after 50 s, passed after 61 s
        if (en) break;
        EXPECT_EQ(NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_0, ctrlr->state) << "before the limit";
        kyt_env_test_advance_clock(nvme_ms_to_ticks(ms));
        ASSERT_EQ(0, nvme_ctrlr_process_init(ctrlr));
      }
      sim.SetReadyStuck(false);  // EN 1 RDY 0: the enable the previous owner started completes
    }
    ASSERT_TRUE(start == 0b00 || StepUntilState(ctx, NVME_CTRLR_STATE_DISABLE)) << start;
    sim.SetReadyStuck(false);
    ASSERT_EQ(0, PollToEnd(ctx));
    attached_.push_back(record.ctrlr);
    EXPECT_EQ(en ? 1u : 0u, sim.counters().resets);
    EXPECT_EQ(0x00460001u, sim.ReadRegister32(0x14) & 0x00FFFFF1u) << "EN; 64/16-byte entries; 4 KiB; NVM; RR";
    auto host_id = AdminLogged(sim, SPDK_NVME_OPC_SET_FEATURES, 0x81);
    EXPECT_TRUE(host_id.size() == 1 && host_id[0].cdw11 == 1) << "extended (16-byte) form";
  }
}

// The 2-second start delay, and the ready time limit: override_cap_to, else CAP.TO x 500 ms, else none. When CSTS
// reads all ones the device is gone: the initialisation fails at once, whatever its limit, and marks it removed.
TEST_F(InitTest, StartDelayReadyTimeLimitAndUnreadableCsts) {
  struct {
    uint8_t cap_to;
    uint32_t override_cap_to, limit_ms;
    bool removed;
  } cases[] = {{0x20, 60000, 60000, false}, {0x20, 0, 16000, false}, {0, 0, 0, true}, {0, 3600000, 3600000, true}};
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.cap_to) << " " << c.override_cap_to);
    SimConfig config = FastSimConfig();
    config.timeout = c.cap_to;
    SimController& sim = AddSim(config);
    ProbeRecord record;
    record.override_cap_to = c.override_cap_to;
    spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
    ASSERT_NE(nullptr, ctx);
    spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
    const uint64_t before = spdk_get_ticks();
    ASSERT_EQ(0, nvme_ctrlr_process_init(ctrlr));  // delay init -> init, with the ready time limit
    const uint64_t after = spdk_get_ticks();
    const std::pair<uint64_t, uint32_t> limits[] = {{ctrlr->state_timeout_tsc, c.limit_ms},
                                                    {ctrlr->sleep_timeout_tsc, 2000}};
    for (auto [deadline, ms] : limits) {
      EXPECT_TRUE(ms ? deadline - after <= nvme_ms_to_ticks(ms) && deadline - before >= nvme_ms_to_ticks(ms)
                     : deadline == 0) << ms;
    }
    if (c.removed) {
      sim.Remove(false);  // on the bus, answering all ones
      SkipPause(ctrlr);
      EXPECT_EQ(-ENXIO, nvme_ctrlr_process_init(ctrlr));
      EXPECT_TRUE(ctrlr->is_failed && ctrlr->is_removed);
    }
    EXPECT_EQ(c.removed ? -EIO : 0, PollToEnd(ctx));
    if (record.ctrlr) attached_.push_back(record.ctrlr);
  }
}

// A controller that never becomes ready fails at the ready time limit and leaves nothing behind: it attaches once it
// behaves.
TEST_F(InitTest, ControllerThatNeverBecomesReadyTimesOut) {
  SimController& sim = AddSim();
  sim.SetReadyStuck(true);  // RDY stays 0 after CC.EN = 1
  ProbeRecord record;
  record.override_cap_to = 500;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_TRUE(ctx && StepUntilState(ctx, NVME_CTRLR_STATE_ENABLE_WAIT_FOR_READY_1));
  kyt_env_test_advance_clock(nvme_ms_to_ticks(501));
  EXPECT_EQ(-EIO, PollToEnd(ctx));
  EXPECT_FALSE(record.attach_calls || IsAttached(sim.address()));
  sim.SetReadyStuck(false);
  EXPECT_NE(nullptr, Attach());
}

// An error completion stops the initialisation where the controller cannot be used without the answer (identify, the
// allocated queues, the keep alive timer); a step whose command cannot be sent ends it in the error state.
TEST_F(InitTest, CompletionAndSendErrorsStopOrContinueAsEachStepRequires) {
  const std::pair<uint8_t, bool> cases[] = {{SPDK_NVME_OPC_IDENTIFY, false}, {SPDK_NVME_OPC_SET_FEATURES, true},
                                            {SPDK_NVME_OPC_GET_FEATURES, false}};
  for (auto [opcode, attaches] : cases) {
    SimController& sim = AddSim();
    sim.InjectFault(AdminFault(opcode, 0, 0x06));  // the first command of the opcode
    ProbeRecord record;
    EXPECT_EQ(attaches ? 0 : -EIO, Probe(sim.address(), &record)) << int(opcode);
    if (record.ctrlr) attached_.push_back(record.ctrlr);
  }
  for (bool send_fails : {false, true}) {
    SimConfig config = FastSimConfig();
    config.kas = 10;
    SimController& sim = AddSim(config);
    ProbeRecord record;
    spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
    ASSERT_TRUE(ctx && StepUntilState(ctx, NVME_CTRLR_STATE_SET_KEEP_ALIVE_TIMEOUT));
    spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
    sim.InjectFault(AdminFault(SPDK_NVME_OPC_GET_FEATURES, 0, 0x02));
    ctrlr->is_failed = send_fails;  // submissions are refused
    int rc = 0;
    while (rc == 0 && ctrlr->state != NVME_CTRLR_STATE_ERROR && ctrlr->state != NVME_CTRLR_STATE_READY) {
      rc = nvme_ctrlr_process_init(ctrlr);
    }
    EXPECT_EQ(send_fails ? -ENXIO : 0, rc);
    EXPECT_EQ(NVME_CTRLR_STATE_ERROR, ctrlr->state);
    EXPECT_EQ(-1, nvme_ctrlr_process_init(ctrlr));
    EXPECT_EQ(-EIO, PollToEnd(ctx));
    EXPECT_EQ(0, record.attach_calls);
  }
}

TEST_F(InitTest, BlockingWaitOfTheInitialisationIsBounded) {
  SimController& sim = AddSim();
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_TRUE(ctx && StepUntilState(ctx, NVME_CTRLR_STATE_CONSTRUCT_NS));
  // The active namespace list is read with a blocking wait: the controller never answers it. Nothing has to complete
  // any more, so the clock may run fast.
  sim.InjectFault(AdminFault(SPDK_NVME_OPC_IDENTIFY, 0, 0, FaultRule::Action::kDrop));
  kyt_env_test_set_clock_scale(10000);
  EXPECT_EQ(-EIO, PollToEnd(ctx));
}

// The identifiers of the I/O queues the controller allocates, or the fewer the caller asks for (asked as it asked).
TEST_F(InitTest, AllocatedQueueCountsLimitTheIoQueues) {
  SimConfig config = FastSimConfig();
  config.io_queues = 8;
  for (uint32_t asked : {0u, 3u}) {
    SimController& sim = AddSim(config);
    ProbeRecord record;
    record.num_io_queues = asked;
    spdk_nvme_ctrlr* ctrlr = Attach(&record);
    ASSERT_NE(nullptr, ctrlr);
    EXPECT_FALSE(spdk_bit_array_get(ctrlr->free_io_qids, 0));
    EXPECT_EQ(asked ? asked : 8, spdk_bit_array_count_set(ctrlr->free_io_qids));
    auto sent = AdminLogged(sim, SPDK_NVME_OPC_SET_FEATURES, SPDK_NVME_FEAT_NUMBER_OF_QUEUES);
    EXPECT_EQ(asked ? 0x00020002u : 0x03FF03FFu, sent.at(0).cdw11);
  }
}

// AERL + 1 requests, at most 8, stay outstanding; a completed one is sent again, one refused for the limit is not.
TEST_F(InitTest, AsynchronousEventRequestsStayOutstandingAndRepost) {
  SimConfig config = FastSimConfig();
  config.aerl = 15;
  AddSim(config);
  EXPECT_EQ(8, OutstandingAdmin(Attach(), SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));
  config.aerl = 3;
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(4, OutstandingAdmin(ctrlr, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));
  sim.SetCriticalWarning(0x01);  // completes one
  PollAdminUntil(ctrlr, [&] { return AdminLogged(sim, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST).size() > 4; });
  EXPECT_EQ(4, OutstandingAdmin(ctrlr, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST)) << "the completed request was sent again";

  SimController& limited = AddSim();  // AERL 3
  limited.InjectFault(AdminFault(SPDK_NVME_OPC_ASYNC_EVENT_REQUEST, 1, 0x05));
  spdk_nvme_ctrlr* refused = Attach();
  auto sent = [&] { return AdminLogged(limited, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST).size(); };
  auto outstanding = [&] { return OutstandingAdmin(refused, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST); };
  PollAdminUntil(refused, [&] { return outstanding() < 4 || sent() > 4; });
  EXPECT_EQ(3, outstanding());
  EXPECT_EQ(4u, sent());
}

// Keep alive only when wanted and supported: a controller without KAS is not asked for its timer; one that reports
// its timer as 0 has keep alive switched off. No Keep Alive goes out, however long the admin queue is polled.
TEST_F(InitTest, KeepAliveOnlyWhenTheControllerSupportsIt) {
  SimConfig config = FastSimConfig();
  for (uint8_t kas : {0, 10}) {
    config.kas = kas;
    SimController& sim = AddSim(config);
    spdk_nvme_ctrlr* ctrlr = Attach();
    ASSERT_NE(nullptr, ctrlr);
    EXPECT_EQ(kas ? 2u : 1u, AdminLogged(sim, SPDK_NVME_OPC_GET_FEATURES).size()) << "number of queues, timer";
    const uint16_t tail = nvme_pcie_qpair(ctrlr->adminq)->sq_tail;
    kyt_env_test_advance_clock(nvme_ms_to_ticks(60000));
    spdk_nvme_ctrlr_process_admin_completions(ctrlr);
    EXPECT_EQ(tail, nvme_pcie_qpair(ctrlr->adminq)->sq_tail) << int(kas);
  }
}

// The namespaces after initialisation: NN records, the active ones in order, their data; none for NN 0. A device
// without namespace lists (a quirk) has every NSID up to NN active.
TEST_F(InitTest, NamespacesAfterInitialisation) {
  SimConfig config = FastSimConfig();
  config.max_namespaces = 8;
  config.namespaces = {Ns(1, 4096), Ns(2, 4096, 0, false), Ns(3, 1024, 2)};
  AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(8u, spdk_nvme_ctrlr_get_num_ns(ctrlr));
  std::vector<uint32_t> active;
  for (uint32_t n = spdk_nvme_ctrlr_get_first_active_ns(ctrlr); n; n = spdk_nvme_ctrlr_get_next_active_ns(ctrlr, n)) {
    active.push_back(n);
  }
  EXPECT_EQ(active, (std::vector<uint32_t>{1, 3}));
  for (uint32_t nsid = 0; nsid <= 9; nsid++) {
    EXPECT_EQ(nsid == 1 || nsid == 3, spdk_nvme_ctrlr_is_active_ns(ctrlr, nsid)) << nsid;
    EXPECT_EQ(nsid >= 1 && nsid <= 8, spdk_nvme_ctrlr_get_ns(ctrlr, nsid) != nullptr) << nsid;
  }
  EXPECT_FALSE(spdk_nvme_ns_is_active(spdk_nvme_ctrlr_get_ns(ctrlr, 2)));
  EXPECT_EQ(1024u * 4096u, spdk_nvme_ns_get_size(spdk_nvme_ctrlr_get_ns(ctrlr, 3)));
  EXPECT_NE(nullptr, spdk_nvme_ns_get_uuid(spdk_nvme_ctrlr_get_ns(ctrlr, 1)));  // from the descriptors (VS 1.3)
  EXPECT_EQ(4096u << 5, spdk_nvme_ctrlr_get_max_xfer_size(ctrlr));                // MDTS 5 of 4 KiB pages

  SimController& sim = AddSim();
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_TRUE(ctx && StepUntilState(ctx, NVME_CTRLR_STATE_CONSTRUCT_NS));
  InitCtrlr(ctx)->cdata.nn = 0;
  ASSERT_EQ(0, PollToEnd(ctx));
  attached_.push_back(record.ctrlr);
  EXPECT_TRUE(spdk_nvme_ctrlr_get_num_ns(record.ctrlr) == 0 && !spdk_nvme_ctrlr_get_ns(record.ctrlr, 1));

  config = FastSimConfig();
  config.vendor_id = 0x8086;
  config.device_id = 0x5845;
  config.max_namespaces = 1;
  SimController& nolists = AddSim(config);
  ctrlr = Attach();
  EXPECT_TRUE(AdminLogged(nolists, SPDK_NVME_OPC_IDENTIFY, 2).empty());
  EXPECT_TRUE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 1));
}

TEST_F(InitTest, ResetReinitialisesAndForgetsNamespacesMadeInactiveMeanwhile) {
  SimConfig config = FastSimConfig();
  config.max_namespaces = 4;
  config.namespaces = {Ns(1, 4096), Ns(2, 2048)};
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  // Detach namespace 2 behind the driver's back: a raw Namespace Attachment command.
  auto* list = static_cast<spdk_nvme_ctrlr_list*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ctrlr_list), 4096, nullptr));
  list->ctrlr_count = 1;
  list->ctrlr_list[0] = ctrlr->cntlid;
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_NS_ATTACHMENT, cmd.nsid = 2, cmd.cdw10 = 1;  // detach
  nvme_completion_poll_status status{};
  ASSERT_EQ(0, spdk_nvme_ctrlr_cmd_admin_raw(ctrlr, &cmd, list, sizeof(*list), nvme_completion_poll_cb, &status));
  ASSERT_EQ(0, spdk_nvme_wait_for_completion_robust_lock(ctrlr->adminq, &status, &ctrlr->ctrlr_lock));
  spdk_dma_free(list);
  // What the device layer's reset does: disable, drop the event requests, restart the machine at the enable step.
  ctrlr->is_resetting = true;
  ASSERT_EQ(0, nvme_transport_ctrlr_set_reg_4(ctrlr, 0x14, sim.ReadRegister32(0x14) & ~1u));
  kyt::sim::PollOnTestClock([] {}, [&] { return (spdk_nvme_ctrlr_get_regs_csts(ctrlr) & 1) == 0; }, 30);
  nvme_transport_admin_qpair_abort_aers(ctrlr->adminq);
  ctrlr->state = NVME_CTRLR_STATE_ENABLE;
  ctrlr->state_timeout_tsc = spdk_get_ticks() + nvme_ms_to_ticks(60000);
  int rc = 0;
  kyt::sim::PollOnTestClock([&] { rc = nvme_ctrlr_process_init(ctrlr); },
                            [&] { return rc != 0 || ctrlr->state == NVME_CTRLR_STATE_READY; }, 30);
  ctrlr->is_resetting = false;
  ASSERT_EQ(NVME_CTRLR_STATE_READY, ctrlr->state);
  EXPECT_TRUE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 1) && !spdk_nvme_ctrlr_is_active_ns(ctrlr, 2));
  EXPECT_FALSE(spdk_nvme_ns_is_active(spdk_nvme_ctrlr_get_ns(ctrlr, 2)));
  EXPECT_EQ(0u, spdk_nvme_ns_get_num_sectors(spdk_nvme_ctrlr_get_ns(ctrlr, 2)));
  EXPECT_EQ(4096u, spdk_nvme_ns_get_num_sectors(spdk_nvme_ctrlr_get_ns(ctrlr, 1)));
  // The re-initialisation restored the event requests and the queue identifiers.
  EXPECT_EQ(4, OutstandingAdmin(ctrlr, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));
  EXPECT_EQ(64u, spdk_bit_array_count_set(ctrlr->free_io_qids));
}

TEST_F(InitTest, RejectedDoorbellBufferIsNotUsedByQueuePairs) {
  SimController& sim = AddSim();
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_TRUE(ctx && StepUntilState(ctx, NVME_CTRLR_STATE_SET_DB_BUF_CFG));
  spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
  ctrlr->cdata.oacs.bits.doorbell_buffer_config = 1;  // announce it: this controller answers Invalid Opcode
  ASSERT_EQ(0, PollToEnd(ctx));
  attached_.push_back(ctrlr);
  EXPECT_EQ(1u, AdminLogged(sim, SPDK_NVME_OPC_DOORBELL_BUFFER_CONFIG).size());
  EXPECT_TRUE(ctrlr->shadow_doorbell == nullptr && ctrlr->eventidx == nullptr);
}

}  // namespace
}  // namespace kyt::nvme_test
