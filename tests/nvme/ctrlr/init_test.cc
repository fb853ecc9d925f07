// The controller initialisation state machine on the simulated controller: start states, time-outs, failures,
// queue counts, asynchronous events, keep alive, namespaces and the re-initialisation of a reset.
#include <chrono>
#include <cstring>
#include <thread>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

using States = std::vector<std::string>;

// From "enable admin queue" to "ready" on the simulated controller (VS 1.3, one namespace, CTRATT host ID, KAS 0).
const States kAdminStates = {
    "enable admin queue", "identify controller", "wait for identify controller", "set number of queues",
    "wait for set number of queues", "get number of queues", "wait for get number of queues", "construct namespaces",
    "identify active ns", "identify ns", "wait for identify ns", "identify namespace id descriptors",
    "wait for identify namespace id descriptors", "configure AER", "wait for configure aer",
    "set supported log pages", "set supported features", "set doorbell buffer config", "set keep alive timeout",
    "set host ID", "wait for set host ID", "ready"};

using InitTest = CtrlrTest;

// Poll the admin queue (up to two seconds) until `done` holds.
template <typename F>
void PollAdminUntil(spdk_nvme_ctrlr* ctrlr, F done) {
  for (int i = 0; i < 2000 && !done(); i++) {
    spdk_nvme_ctrlr_process_admin_completions(ctrlr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST_F(InitTest, EnabledAndReadyOrDisabledAndNotReadyReachReady) {
  struct {
    bool enabled;
    States head;
    std::vector<std::string> lines;
  } cases[] = {
      {true,
       {"delay init", "init", "disable controller by writing CC.EN = 0",
        "wait for CSTS.RDY = 0 after disabling controller", "enable controller by writing CC.EN = 1",
        "wait for CSTS.RDY = 1 after enabling controller"},
       {"CC.EN is 1 and CSTS.RDY is 1.", "NVMe Controller is currently enabled.", "Disabling NVMe Controller.",
        "Setting CC.EN = 0", "1ms of delay before setting CC.EN = 1"}},
      {false,
       {"delay init", "init", "enable controller by writing CC.EN = 1",
        "wait for CSTS.RDY = 1 after enabling controller"},
       {"CC.EN is 0 and CSTS.RDY is 0.", "NVMe Controller is currently disabled.", "Enabling NVMe Controller."}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.enabled ? "EN 1 RDY 1" : "EN 0 RDY 0");
    log_->Clear();
    SimConfig config = FastSimConfig();
    config.start_enabled = config.start_ready = c.enabled;
    SimController& sim = AddSim(config);
    spdk_nvme_ctrlr* ctrlr = Attach();
    ASSERT_NE(nullptr, ctrlr);
    States expected = c.head;
    expected.insert(expected.end(), kAdminStates.begin(), kAdminStates.end());
    EXPECT_EQ(expected, log_->States());
    c.lines.insert(c.lines.end(), {"Adding 2 second delay before initializing the controller",
                                   "CSTS.RDY is 1. The controller is now ready", "NVMe Version: 1.3.0",
                                   // Time limits: ready waits use override_cap_to, admin steps admin_timeout_ms.
                                   "Setting state to \"delay init\" (no timeout)\n",
                                   "Setting state to \"init\" (timeout 60000 ms)\n",
                                   "Setting state to \"enable admin queue\" (timeout 300000 ms)\n",
                                   "Setting state to \"ready\" (no timeout)\n"});
    for (const std::string& l : c.lines) EXPECT_TRUE(log_->Contains(l)) << l;
    EXPECT_EQ(c.enabled, log_->Contains("Setting CC.EN = 0"));
    EXPECT_EQ(c.enabled, sim.counters().resets >= 1);
    // The controller runs with the enable step's settings; the host identifier has the size it announces.
    union spdk_nvme_cc_register cc;
    cc.raw = sim.ReadRegister32(0x14);
    EXPECT_EQ(1u, cc.bits.en);
    EXPECT_EQ(6u, cc.bits.iosqes);
    EXPECT_EQ(4u, cc.bits.iocqes);
    EXPECT_EQ(0u, cc.bits.mps | cc.bits.css | cc.bits.shn);
    EXPECT_EQ(1u, sim.ReadRegister32(0x1C) & 1);
    auto host_id = AdminLogged(sim, SPDK_NVME_OPC_SET_FEATURES, 0x81);
    ASSERT_EQ(1u, host_id.size());
    EXPECT_EQ(1u, host_id[0].cdw11) << "extended (16-byte) form";
  }
}

// RDY pinned against EN at the start: EN 1 RDY 0 is waited for, then disabled; EN 0 RDY 1 is waited for until the
// ready time limit, then forcibly disabled.
TEST_F(InitTest, ReadyDifferentFromEnableIsWaitedFor) {
  struct {
    bool enabled;
    nvme_ctrlr_state pinned_until;
    States head;
    std::vector<std::string> lines;
  } cases[] = {
      {true, NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_1,
       {"delay init", "init", "wait for CSTS.RDY = 1", "disable controller by writing CC.EN = 0"},
       {"CC.EN is 1 and CSTS.RDY is 0.", "Waiting until NVMe Controller is enabled", "NVMe Controller is enabled\n"}},
      {false, NVME_CTRLR_STATE_DISABLE,
       {"delay init", "init", "wait for CSTS.RDY = 0", "disable controller by writing CC.EN = 0",
        "wait for CSTS.RDY = 0 after disabling controller", "enable controller by writing CC.EN = 1"},
       {"CC.EN is 0 and CSTS.RDY is 1.", "Waiting until NVMe Controller is disabled",
        "Forcibly disabling NVMe Controller now"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.enabled ? "EN 1 RDY 0" : "EN 0 RDY 1");
    log_->Clear();
    SimConfig config = FastSimConfig();
    config.start_enabled = c.enabled;
    config.start_ready = !c.enabled;
    config.ready_delay_us = config.disable_delay_us = 5000000;  // long enough to pin RDY before the device moves it
    SimController& sim = AddSim(config);
    sim.SetReadyStuck(true);
    ProbeRecord record;
    record.override_cap_to = 10000;  // 100 ms of real time at the test clock
    spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
    ASSERT_NE(nullptr, ctx);
    ASSERT_TRUE(StepUntilState(ctx, c.pinned_until));
    EXPECT_FALSE(InitCtrlr(ctx)->is_failed);
    sim.SetReadyStuck(false);  // the change the previous owner started completes
    ASSERT_EQ(0, PollToEnd(ctx));
    ASSERT_NE(nullptr, record.ctrlr);
    attached_.push_back(record.ctrlr);
    for (const std::string& l : c.lines) EXPECT_TRUE(log_->Contains(l)) << l;
    EXPECT_EQ(c.enabled, !log_->Contains("Forcibly disabling"));
    States states = log_->States();
    EXPECT_EQ("ready", states.back());
    states.resize(c.head.size());
    EXPECT_EQ(c.head, states);
  }
}

// The 2-second start delay, and the ready time limit: override_cap_to, else CAP.TO x 500 ms, else none. When CSTS
// reads all ones, a controller without a limit fails at once; within a limit it waits for it (the device may return).
TEST_F(InitTest, StartDelayReadyTimeLimitAndUnreadableCsts) {
  struct {
    uint8_t cap_to;
    uint32_t override_cap_to, limit_ms;
    bool removed;
  } cases[] = {{0x20, 60000, 60000, false}, {0x20, 0, 16000, false}, {0, 0, 0, true}, {0, 3600000, 3600000, true}};
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.cap_to) << " " << c.override_cap_to);
    log_->Clear();
    SimConfig config = FastSimConfig();
    config.timeout = c.cap_to;
    SimController& sim = AddSim(config);
    ProbeRecord record;
    record.override_cap_to = c.override_cap_to;  // an hour: no load reaches it before the test ends it below
    spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
    ASSERT_NE(nullptr, ctx);
    spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
    const uint64_t before = spdk_get_ticks();
    ASSERT_EQ(0, nvme_ctrlr_process_init(ctrlr));  // delay init -> init, with the ready time limit
    const uint64_t after = spdk_get_ticks();
    ASSERT_EQ(NVME_CTRLR_STATE_INIT, ctrlr->state);
    if (c.limit_ms == 0) {
      EXPECT_EQ(0u, ctrlr->state_timeout_tsc);
    } else {
      EXPECT_LE(ctrlr->state_timeout_tsc - after, nvme_ms_to_ticks(c.limit_ms));
      EXPECT_GE(ctrlr->state_timeout_tsc - before, nvme_ms_to_ticks(c.limit_ms));
    }
    EXPECT_LE(ctrlr->sleep_timeout_tsc - after, nvme_ms_to_ticks(2000));
    EXPECT_GE(ctrlr->sleep_timeout_tsc - before, nvme_ms_to_ticks(2000));
    if (!c.removed) {
      EXPECT_EQ(0, PollToEnd(ctx));
      ASSERT_NE(nullptr, record.ctrlr);
      EXPECT_EQ(0, spdk_nvme_detach(record.ctrlr));
      continue;
    }
    sim.Remove(false);  // on the bus, answering all ones
    WaitForStartDelay(ctrlr);
    EXPECT_EQ(c.limit_ms == 0 ? -EIO : 0, nvme_ctrlr_process_init(ctrlr));
    EXPECT_EQ(c.limit_ms == 0, ctrlr->is_failed);
    EXPECT_FALSE(ctrlr->is_removed);
    EXPECT_EQ(c.limit_ms == 0, log_->Contains("Failed to read CC and CSTS in state 1"));
    if (c.limit_ms != 0) ctrlr->state_timeout_tsc = spdk_get_ticks();  // the limit passes now
    EXPECT_EQ(-EIO, PollToEnd(ctx));
    EXPECT_EQ(c.limit_ms != 0, log_->Contains("Initialization timed out in state 1"));
    EXPECT_EQ(0, record.attach_calls);
  }
}

TEST_F(InitTest, ControllerThatNeverBecomesReadyTimesOut) {
  SimController& sim = AddSim();
  sim.SetReadyStuck(true);  // RDY stays 0 after CC.EN = 1
  ProbeRecord record;
  record.override_cap_to = 500;
  EXPECT_EQ(-EIO, Probe(sim.address(), &record));
  EXPECT_EQ(0, record.attach_calls);
  EXPECT_TRUE(log_->Contains("Initialization timed out in state 7"));
  EXPECT_TRUE(log_->Contains("Failed to initialize SSD: " + sim.address()));
  EXPECT_TRUE(log_->Contains("in failed state."));
  EXPECT_FALSE(IsAttached(sim.address()));
  // Nothing of the failed attempt is left behind: the device attaches once it behaves.
  sim.SetReadyStuck(false);
  EXPECT_NE(nullptr, Attach());
}

TEST_F(InitTest, SendFailureInALaterStateEndsInTheErrorState) {
  SimController& sim = AddSim();
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_IDENTIFY));
  spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
  ctrlr->is_failed = true;  // submissions are refused from now on
  EXPECT_EQ(-ENXIO, nvme_ctrlr_process_init(ctrlr));
  EXPECT_EQ(NVME_CTRLR_STATE_ERROR, ctrlr->state);
  EXPECT_EQ(-1, nvme_ctrlr_process_init(ctrlr));
  EXPECT_TRUE(log_->Contains("Ctrlr " + std::string(ctrlr->trid.traddr) + " is in error state"));
  EXPECT_EQ(-EIO, PollToEnd(ctx));
  EXPECT_EQ(0, record.attach_calls);
}

TEST_F(InitTest, CompletionErrorsStopOrContinueAsEachStepRequires) {
  struct {
    uint8_t opcode;
    const char* message;
    bool attaches;
  } cases[] = {
      {0x06, "nvme_identify_controller failed!", false},         // Identify Controller
      {0x09, "Set Features - Number of Queues failed!", true},   // the first Set Features
      {0x0A, "Get Features - Number of Queues failed!", false},  // the first Get Features
  };
  for (auto& c : cases) {
    SimController& sim = AddSim();
    sim.InjectFault(AdminFault(c.opcode, 0, 0x06));
    log_->Clear();
    ProbeRecord record;
    EXPECT_EQ(c.attaches ? 0 : -EIO, Probe(sim.address(), &record)) << c.message;
    EXPECT_TRUE(log_->Contains(c.message)) << c.message;
    EXPECT_EQ(c.attaches ? 1 : 0, record.attach_calls) << c.message;
    EXPECT_EQ(!c.attaches, log_->Contains("Failed to initialize SSD: " + sim.address())) << c.message;
    if (record.ctrlr) attached_.push_back(record.ctrlr);
  }

  // The keep alive timer's Get Features (KAS non-zero) stops the initialisation.
  SimConfig config = FastSimConfig();
  config.kas = 10;
  SimController& sim = AddSim(config);
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_SET_KEEP_ALIVE_TIMEOUT));
  spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
  sim.InjectFault(AdminFault(SPDK_NVME_OPC_GET_FEATURES, 0, 0x02));
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_ERROR));
  EXPECT_EQ(0u, ctrlr->opts.keep_alive_timeout_ms);
  EXPECT_TRUE(log_->Contains("Keep alive timeout Get Feature failed: SC 2 SCT 0"));
  EXPECT_EQ(-EIO, PollToEnd(ctx));
  EXPECT_EQ(0, record.attach_calls);
}

TEST_F(InitTest, BlockingWaitOfTheInitialisationIsBounded) {
  SimController& sim = AddSim();
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_CONSTRUCT_NS));
  InitCtrlr(ctx)->opts.admin_timeout_ms = 2000;  // 20 ms of real time
  // The active namespace list is read with a blocking wait: the controller never answers it.
  sim.InjectFault(AdminFault(SPDK_NVME_OPC_IDENTIFY, 0, 0, FaultRule::Action::kDrop));
  EXPECT_EQ(-EIO, PollToEnd(ctx));
  EXPECT_TRUE(log_->Contains("nvme_ctrlr_cmd_identify_active_ns_list failed!"));
  EXPECT_TRUE(log_->Contains("Failed to initialize SSD"));
  EXPECT_EQ(0, record.attach_calls);
}

TEST_F(InitTest, AllocatedQueueCountsLimitTheIoQueues) {
  SimConfig config = FastSimConfig();
  config.io_queues = 8;
  AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(8u, ctrlr->opts.num_io_queues);
  EXPECT_FALSE(spdk_bit_array_get(ctrlr->free_io_qids, 0));
  for (uint32_t i = 1; i <= 8; i++) EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, i)) << i;
  EXPECT_EQ(8u, spdk_bit_array_count_set(ctrlr->free_io_qids));

  // A smaller request wins over what the controller allocates; the request itself is sent as asked.
  SimController& sim = AddSim(config);
  ProbeRecord record;
  record.num_io_queues = 3;
  spdk_nvme_ctrlr* small = Attach(&record);
  ASSERT_NE(nullptr, small);
  EXPECT_EQ(3u, small->opts.num_io_queues);
  EXPECT_EQ(3u, spdk_bit_array_count_set(small->free_io_qids));
  auto sent = AdminLogged(sim, SPDK_NVME_OPC_SET_FEATURES, SPDK_NVME_FEAT_NUMBER_OF_QUEUES);
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(0x00020002u, sent[0].cdw11);
}

TEST_F(InitTest, AsynchronousEventRequestsStayOutstandingAndRepost) {
  SimConfig config = FastSimConfig();
  config.aerl = 3;
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(4u, ctrlr->num_aers);
  EXPECT_EQ(4, OutstandingAdmin(ctrlr, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));
  std::vector<uint32_t> events;
  spdk_nvme_ctrlr_register_aer_callback(
      ctrlr,
      [](void* arg, const spdk_nvme_cpl* cpl) { static_cast<std::vector<uint32_t>*>(arg)->push_back(cpl->cdw0); },
      &events);
  sim.SetCriticalWarning(0x01);
  PollAdminUntil(ctrlr, [&] { return !events.empty(); });
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(1u, events[0] & 0x7);  // SMART / health status event
  EXPECT_EQ(4, OutstandingAdmin(ctrlr, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST)) << "the completed request was sent again";

  // More requests than the driver keeps are not asked for.
  config.aerl = 15;
  AddSim(config);
  spdk_nvme_ctrlr* many = Attach();
  ASSERT_NE(nullptr, many);
  EXPECT_EQ(8, OutstandingAdmin(many, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));

  // A request the controller refuses for its limit is not sent again.
  SimController& limited = AddSim();  // AERL 3
  limited.InjectFault(AdminFault(SPDK_NVME_OPC_ASYNC_EVENT_REQUEST, 1, 0x05));
  spdk_nvme_ctrlr* refused = Attach();
  ASSERT_NE(nullptr, refused);
  PollAdminUntil(refused, [&] { return log_->Contains("Do not repost this AER"); });
  EXPECT_TRUE(log_->Contains(
      "Controller appears out-of-spec for asynchronous event request\nhandling.  Do not repost this AER.\n"));
  EXPECT_EQ(3, OutstandingAdmin(refused, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));
  EXPECT_EQ(4u, AdminLogged(limited, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST).size());
}

TEST_F(InitTest, KeepAliveOnlyWhenTheControllerSupportsIt) {
  SimController& without = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(0u, ctrlr->opts.keep_alive_timeout_ms);
  EXPECT_EQ(0u, ctrlr->keep_alive_interval_ticks);
  int polls = 0;
  PollAdminUntil(ctrlr, [&] { return ++polls > 20; });
  EXPECT_EQ(0u, AdminLogged(without, SPDK_NVME_OPC_KEEP_ALIVE).size());
  EXPECT_EQ(1u, AdminLogged(without, SPDK_NVME_OPC_GET_FEATURES).size()) << "only the number of queues";

  // A controller that supports keep alive but reports its timer as 0 has it switched off: none is sent.
  SimConfig config = FastSimConfig();
  config.kas = 10;
  SimController& with = AddSim(config);
  spdk_nvme_ctrlr* ka = Attach();
  ASSERT_NE(nullptr, ka);
  EXPECT_TRUE(log_->Contains("Setting state to \"wait for set keep alive timeout\""));
  EXPECT_EQ(0u, ka->keep_alive_interval_ticks);
  polls = 0;
  PollAdminUntil(ka, [&] { return ++polls > 20; });
  EXPECT_TRUE(AdminLogged(with, SPDK_NVME_OPC_KEEP_ALIVE).empty());
}

TEST_F(InitTest, NamespacesAndTheirDataAfterInitialisation) {
  SimConfig config = FastSimConfig();
  config.max_namespaces = 8;
  config.namespaces = {Ns(1, 4096), Ns(2, 4096, 0, false), Ns(3, 1024, 2)};
  AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(8u, spdk_nvme_ctrlr_get_num_ns(ctrlr));
  EXPECT_EQ(1u, spdk_nvme_ctrlr_get_first_active_ns(ctrlr));
  EXPECT_EQ(3u, spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 1));
  EXPECT_EQ(0u, spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 3));
  for (uint32_t nsid = 0; nsid <= 9; nsid++) {
    EXPECT_EQ(nsid == 1 || nsid == 3, spdk_nvme_ctrlr_is_active_ns(ctrlr, nsid)) << nsid;
    spdk_nvme_ns* ns = spdk_nvme_ctrlr_get_ns(ctrlr, nsid);
    EXPECT_EQ(nsid >= 1 && nsid <= 8, ns != nullptr) << nsid;
    if (ns != nullptr) {
      EXPECT_EQ(nsid == 1 || nsid == 3, spdk_nvme_ns_is_active(ns)) << nsid;
    }
  }
  spdk_nvme_ns* ns1 = spdk_nvme_ctrlr_get_ns(ctrlr, 1);
  EXPECT_EQ(512u, spdk_nvme_ns_get_sector_size(ns1));
  EXPECT_EQ(4096u, spdk_nvme_ns_get_num_sectors(ns1));
  EXPECT_EQ(1024u * 4096u, spdk_nvme_ns_get_size(spdk_nvme_ctrlr_get_ns(ctrlr, 3)));
  EXPECT_NE(nullptr, spdk_nvme_ns_get_uuid(ns1));  // from the identification descriptors (VS 1.3)
  // Controller data and what was derived from it.
  EXPECT_EQ(4096u << 5, spdk_nvme_ctrlr_get_max_xfer_size(ctrlr));  // MDTS 5 of 4 KiB pages
  EXPECT_TRUE(spdk_nvme_ctrlr_is_log_page_supported(ctrlr, SPDK_NVME_LOG_HEALTH_INFORMATION));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_log_page_supported(ctrlr, SPDK_NVME_INTEL_LOG_PAGE_DIRECTORY));
  EXPECT_TRUE(spdk_nvme_ctrlr_is_feature_supported(ctrlr, SPDK_NVME_FEAT_VOLATILE_WRITE_CACHE));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_feature_supported(ctrlr, SPDK_NVME_FEAT_HOST_MEM_BUFFER));

  // A controller reporting NN 0 reaches ready without namespaces.
  SimController& sim = AddSim();
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_CONSTRUCT_NS));
  InitCtrlr(ctx)->cdata.nn = 0;
  ASSERT_EQ(0, PollToEnd(ctx));
  ASSERT_NE(nullptr, record.ctrlr);
  attached_.push_back(record.ctrlr);
  EXPECT_TRUE(log_->Contains("controller has 0 namespaces"));
  EXPECT_EQ(0u, spdk_nvme_ctrlr_get_num_ns(record.ctrlr));
  EXPECT_EQ(0u, spdk_nvme_ctrlr_get_first_active_ns(record.ctrlr));
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_get_ns(record.ctrlr, 1));
}

TEST_F(InitTest, ResetReinitialisesAndForgetsNamespacesMadeInactiveMeanwhile) {
  SimConfig config = FastSimConfig();
  config.max_namespaces = 4;
  config.namespaces = {Ns(1, 4096), Ns(2, 2048)};
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  ASSERT_EQ(2048u, spdk_nvme_ns_get_num_sectors(spdk_nvme_ctrlr_get_ns(ctrlr, 2)));

  // Detach namespace 2 behind the driver's back: a raw Namespace Attachment command.
  auto* list = static_cast<spdk_nvme_ctrlr_list*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ctrlr_list), 4096, nullptr));
  ASSERT_NE(nullptr, list);
  list->ctrlr_count = 1;
  list->ctrlr_list[0] = ctrlr->cntlid;
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_NS_ATTACHMENT;
  cmd.nsid = 2;
  cmd.cdw10 = 1;  // detach
  nvme_completion_poll_status status{};
  ASSERT_EQ(0, spdk_nvme_ctrlr_cmd_admin_raw(ctrlr, &cmd, list, sizeof(*list), nvme_completion_poll_cb, &status));
  ASSERT_EQ(0, spdk_nvme_wait_for_completion_robust_lock(ctrlr->adminq, &status, &ctrlr->ctrlr_lock));
  spdk_dma_free(list);
  sim.ClearCommandLog();

  // What the device layer's reset does: disable, drop the event requests, restart the machine at the enable step.
  ctrlr->is_resetting = true;
  union spdk_nvme_cc_register cc;
  ASSERT_EQ(0, nvme_transport_ctrlr_get_reg_4(ctrlr, 0x14, &cc.raw));
  cc.bits.en = 0;
  ASSERT_EQ(0, nvme_transport_ctrlr_set_reg_4(ctrlr, 0x14, cc.raw));
  for (int i = 0; i < 5000 && (spdk_nvme_ctrlr_get_regs_csts(ctrlr) & 1); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  nvme_transport_admin_qpair_abort_aers(ctrlr->adminq);
  ctrlr->state = NVME_CTRLR_STATE_ENABLE;
  ctrlr->state_timeout_tsc = spdk_get_ticks() + 10 * spdk_get_ticks_hz();
  int rc = 0;
  for (int i = 0; i < 1000000 && rc == 0 && ctrlr->state != NVME_CTRLR_STATE_READY; i++) {
    rc = nvme_ctrlr_process_init(ctrlr);
  }
  ctrlr->is_resetting = false;
  ASSERT_EQ(NVME_CTRLR_STATE_READY, ctrlr->state);

  EXPECT_EQ(4u, spdk_nvme_ctrlr_get_num_ns(ctrlr));
  EXPECT_TRUE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 1));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 2));
  EXPECT_FALSE(spdk_nvme_ns_is_active(spdk_nvme_ctrlr_get_ns(ctrlr, 2)));
  EXPECT_EQ(0u, spdk_nvme_ns_get_num_sectors(spdk_nvme_ctrlr_get_ns(ctrlr, 2)));
  EXPECT_EQ(4096u, spdk_nvme_ns_get_num_sectors(spdk_nvme_ctrlr_get_ns(ctrlr, 1)));
  // The re-initialisation asked the controller again and restored the event requests.
  EXPECT_GE(AdminLogged(sim, SPDK_NVME_OPC_IDENTIFY).size(), 3u);
  EXPECT_EQ(4, OutstandingAdmin(ctrlr, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));
  EXPECT_EQ(64u, spdk_bit_array_count_set(ctrlr->free_io_qids));
}

TEST_F(InitTest, RejectedDoorbellBufferIsNotUsedByQueuePairs) {
  SimController& sim = AddSim();
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_SET_DB_BUF_CFG));
  spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
  ctrlr->cdata.oacs.bits.doorbell_buffer_config = 1;  // announce it: this controller answers Invalid Opcode
  ASSERT_EQ(0, PollToEnd(ctx));
  attached_.push_back(ctrlr);
  EXPECT_EQ(1u, AdminLogged(sim, SPDK_NVME_OPC_DOORBELL_BUFFER_CONFIG).size());
  EXPECT_TRUE(log_->Contains("Doorbell buffer config failed"));
  EXPECT_EQ(nullptr, ctrlr->shadow_doorbell);
  spdk_nvme_qpair* qpair = spdk_nvme_ctrlr_alloc_io_qpair(ctrlr, nullptr, 0);
  ASSERT_NE(nullptr, qpair);
  EXPECT_FALSE(nvme_pcie_qpair(qpair)->flags.has_shadow_doorbell);
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(qpair));
}

TEST_F(InitTest, VendorLogDirectoryAndQuirksOfIntelDevices) {
  SimConfig config = FastSimConfig();
  config.vendor_id = 0x8086;
  config.device_id = 0x0A54;  // quirks 0x2B
  SimController& intel = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(0x2Bu, ctrlr->quirks);
  EXPECT_EQ(1u, AdminLogged(intel, SPDK_NVME_OPC_GET_LOG_PAGE).size());  // the directory, refused
  EXPECT_TRUE(log_->Contains("Intel log pages not supported on Intel drive!"));
  for (uint8_t feature : {0xC1, 0xC2, 0xC6, 0xC8, 0xC9, 0xD5, 0xE2}) {
    EXPECT_TRUE(spdk_nvme_ctrlr_is_feature_supported(ctrlr, feature)) << int(feature);
  }
  // No directory and no namespace lists for this one: every NSID up to NN counts as active.
  log_->Clear();
  config.device_id = 0x5845;
  config.max_namespaces = 1;
  SimController& nolists = AddSim(config);
  spdk_nvme_ctrlr* ctrlr2 = Attach();
  ASSERT_NE(nullptr, ctrlr2);
  EXPECT_EQ(0x140u, ctrlr2->quirks);
  EXPECT_EQ(0u, AdminLogged(nolists, SPDK_NVME_OPC_GET_LOG_PAGE).size());
  EXPECT_FALSE(log_->Contains("Intel log pages"));
  EXPECT_TRUE(AdminLogged(nolists, SPDK_NVME_OPC_IDENTIFY, 2).empty());
  EXPECT_TRUE(AdminLogged(nolists, SPDK_NVME_OPC_IDENTIFY, 3).empty());
  EXPECT_TRUE(spdk_nvme_ctrlr_is_active_ns(ctrlr2, 1));
  EXPECT_TRUE(spdk_nvme_ns_is_active(spdk_nvme_ctrlr_get_ns(ctrlr2, 1)));
}

}  // namespace
}  // namespace kyt::nvme_test
