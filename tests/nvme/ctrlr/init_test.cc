// The controller initialisation state machine on the simulated controller: start states, time-outs, failures,
// queue counts, asynchronous events, keep alive, namespaces and the re-initialisation of a reset.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

using kyt::sim::FaultRule;
using kyt::sim::SimConfig;
using kyt::sim::SimController;
using kyt::sim::Status;

// From "enable admin queue" to "ready" on the simulated controller (VS 1.3, one namespace, CTRATT host ID, KAS 0).
const std::vector<std::string> kAdminStates = {
    "enable admin queue",
    "identify controller",
    "wait for identify controller",
    "set number of queues",
    "wait for set number of queues",
    "get number of queues",
    "wait for get number of queues",
    "construct namespaces",
    "identify active ns",
    "identify ns",
    "wait for identify ns",
    "identify namespace id descriptors",
    "wait for identify namespace id descriptors",
    "configure AER",
    "wait for configure aer",
    "set supported log pages",
    "set supported features",
    "set doorbell buffer config",
    "set keep alive timeout",
    "set host ID",
    "wait for set host ID",
    "ready",
};

std::vector<std::string> Concat(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

FaultRule AdminStatus(uint8_t opcode, uint8_t sct, uint8_t sc) {
  FaultRule rule;
  rule.admin = true;
  rule.opcode = opcode;
  rule.count = 1;
  rule.action = FaultRule::Action::kStatus;
  rule.status = Status::Of(sct, sc);
  return rule;
}

class InitTest : public CtrlrTest {};

TEST_F(InitTest, EnabledAndReadyIsDisabledWaitedForAndEnabled) {
  SimConfig config = FastSimConfig();
  config.start_enabled = true;
  config.start_ready = true;
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(NVME_CTRLR_STATE_READY, ctrlr->state);

  EXPECT_EQ(Concat({"delay init", "init", "disable controller by writing CC.EN = 0",
                    "wait for CSTS.RDY = 0 after disabling controller", "enable controller by writing CC.EN = 1",
                    "wait for CSTS.RDY = 1 after enabling controller"},
                   kAdminStates),
            log_->States());
  EXPECT_TRUE(log_->Contains("CC.EN is 1 and CSTS.RDY is 1."));
  EXPECT_TRUE(log_->Contains("NVMe Controller is currently enabled."));
  EXPECT_TRUE(log_->Contains("Disabling NVMe Controller."));
  EXPECT_TRUE(log_->Contains("Setting CC.EN = 0"));
  EXPECT_TRUE(log_->Contains("1ms of delay before setting CC.EN = 1"));
  EXPECT_TRUE(log_->Contains("CSTS.RDY is 1. The controller is now ready"));
  EXPECT_TRUE(log_->Contains("NVMe Version: 1.3.0"));

  // Exact texts with their time limits: ready waits use override_cap_to, admin steps admin_timeout_ms.
  EXPECT_TRUE(log_->Contains("Setting state to \"delay init\" (no timeout)\n"));
  EXPECT_TRUE(log_->Contains("Setting state to \"init\" (timeout 60000 ms)\n"));
  EXPECT_TRUE(log_->Contains("Setting state to \"enable admin queue\" (timeout 300000 ms)\n"));
  EXPECT_TRUE(log_->Contains("Setting state to \"ready\" (no timeout)\n"));

  // The controller really runs: CC.EN and CSTS.RDY set, the settings of the enable step in CC.
  union spdk_nvme_cc_register cc;
  cc.raw = sim.ReadRegister32(0x14);
  EXPECT_EQ(1u, cc.bits.en);
  EXPECT_EQ(6u, cc.bits.iosqes);
  EXPECT_EQ(4u, cc.bits.iocqes);
  EXPECT_EQ(0u, cc.bits.mps);
  EXPECT_EQ(0u, cc.bits.css);
  EXPECT_EQ(0u, cc.bits.shn);
  EXPECT_EQ(1u, sim.ReadRegister32(0x1C) & 1);
  EXPECT_GE(sim.counters().resets, 1u);
}

TEST_F(InitTest, DisabledAndNotReadyGoesStraightToEnable) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(Concat({"delay init", "init", "enable controller by writing CC.EN = 1",
                    "wait for CSTS.RDY = 1 after enabling controller"},
                   kAdminStates),
            log_->States());
  EXPECT_TRUE(log_->Contains("CC.EN is 0 and CSTS.RDY is 0."));
  EXPECT_TRUE(log_->Contains("NVMe Controller is currently disabled."));
  EXPECT_TRUE(log_->Contains("Enabling NVMe Controller."));
  EXPECT_FALSE(log_->Contains("Setting CC.EN = 0"));
  EXPECT_EQ(0u, sim.counters().resets);
  EXPECT_TRUE(log_->Contains("Adding 2 second delay before initializing the controller"));
}

TEST_F(InitTest, EnabledButNotReadyIsWaitedForThenDisabled) {
  SimConfig config = FastSimConfig();
  config.start_enabled = true;
  config.start_ready = false;
  config.ready_delay_us = 5000000;  // long enough to pin RDY at 0 before the controller raises it
  SimController& sim = AddSim(config);
  sim.SetReadyStuck(true);
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_1));
  EXPECT_TRUE(log_->Contains("CC.EN is 1 and CSTS.RDY is 0."));
  EXPECT_TRUE(log_->Contains("Waiting until NVMe Controller is enabled"));
  sim.SetReadyStuck(false);  // the enable the previous owner started completes
  ASSERT_EQ(0, PollToEnd(ctx));
  ASSERT_NE(nullptr, record.ctrlr);
  attached_.push_back(record.ctrlr);
  std::vector<std::string> states = log_->States();
  ASSERT_GE(states.size(), 5u);
  EXPECT_EQ("wait for CSTS.RDY = 1", states[2]);
  EXPECT_EQ("disable controller by writing CC.EN = 0", states[3]);
  EXPECT_EQ("ready", states.back());
  EXPECT_TRUE(log_->Contains("CSTS.RDY is 1\n"));
  EXPECT_TRUE(log_->Contains("NVMe Controller is enabled\n"));
  EXPECT_FALSE(log_->Contains("Forcibly disabling"));
}

TEST_F(InitTest, ReadyStuckWhileDisabledIsForciblyDisabled) {
  SimConfig config = FastSimConfig();
  config.start_enabled = false;
  config.start_ready = true;
  config.disable_delay_us = 5000000;  // long enough to pin RDY before the controller lowers it
  SimController& sim = AddSim(config);
  sim.SetReadyStuck(true);

  ProbeRecord record;
  record.override_cap_to = 10000;  // 100 ms of real time at the test clock, past the disable delay
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_INIT_WAIT_FOR_READY_0));
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_DISABLE));
  EXPECT_TRUE(log_->Contains("Forcibly disabling NVMe Controller now"));
  EXPECT_FALSE(InitCtrlr(ctx)->is_failed);

  sim.SetReadyStuck(false);
  EXPECT_EQ(0, PollToEnd(ctx));
  ASSERT_NE(nullptr, record.ctrlr);
  attached_.push_back(record.ctrlr);
  EXPECT_TRUE(log_->Contains("CC.EN is 0 and CSTS.RDY is 1."));
  EXPECT_TRUE(log_->Contains("Waiting until NVMe Controller is disabled"));
  EXPECT_FALSE(log_->Contains("Initialization timed out"));
  std::vector<std::string> states = log_->States();
  EXPECT_EQ((std::vector<std::string>{"delay init", "init", "wait for CSTS.RDY = 0",
                                      "disable controller by writing CC.EN = 0",
                                      "wait for CSTS.RDY = 0 after disabling controller",
                                      "enable controller by writing CC.EN = 1"}),
            std::vector<std::string>(states.begin(), states.begin() + 6));
}

TEST_F(InitTest, ReadyTimeoutComesFromOverrideElseFromCapTo) {
  SimConfig config = FastSimConfig();
  config.timeout = 0x20;  // CAP.TO: 16 s
  SimController& sim = AddSim(config);

  struct Case {
    uint32_t override_cap_to;
    uint64_t expected_ms;
  } cases[] = {{60000, 60000}, {0, 16000}};
  for (const Case& c : cases) {
    ProbeRecord record;
    record.override_cap_to = c.override_cap_to;
    spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
    ASSERT_NE(nullptr, ctx);
    spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
    const uint64_t before = spdk_get_ticks();
    ASSERT_EQ(0, nvme_ctrlr_process_init(ctrlr));  // delay init -> init, with the ready time limit
    const uint64_t after = spdk_get_ticks();
    ASSERT_EQ(NVME_CTRLR_STATE_INIT, ctrlr->state);
    const uint64_t limit = nvme_ms_to_ticks(c.expected_ms);
    EXPECT_LE(ctrlr->state_timeout_tsc - after, limit);
    EXPECT_GE(ctrlr->state_timeout_tsc - before, limit);
    // The 2-second start delay.
    EXPECT_LE(ctrlr->sleep_timeout_tsc - after, nvme_ms_to_ticks(2000));
    EXPECT_GE(ctrlr->sleep_timeout_tsc - before, nvme_ms_to_ticks(2000));
    EXPECT_EQ(0, PollToEnd(ctx));
    ASSERT_NE(nullptr, record.ctrlr);
    EXPECT_EQ(0, spdk_nvme_detach(record.ctrlr));
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
  spdk_nvme_transport_id trid = PcieTrid(sim.address());
  EXPECT_EQ(nullptr, spdk_nvme_get_ctrlr_by_trid_unsafe(&trid));

  // Nothing of the failed attempt is left behind: the device attaches once it behaves.
  sim.SetReadyStuck(false);
  ProbeRecord again;
  EXPECT_EQ(0, Probe(sim.address(), &again));
  ASSERT_NE(nullptr, again.ctrlr);
  attached_.push_back(again.ctrlr);
}

TEST_F(InitTest, UnreadableCstsWithoutTimeLimitFailsAtOnce) {
  SimConfig config = FastSimConfig();
  config.timeout = 0;  // CAP.TO 0 and no override: the ready waits have no time limit
  SimController& sim = AddSim(config);
  ProbeRecord record;
  record.override_cap_to = 0;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
  ASSERT_EQ(0, nvme_ctrlr_process_init(ctrlr));
  ASSERT_EQ(NVME_CTRLR_STATE_INIT, ctrlr->state);
  EXPECT_EQ(0u, ctrlr->state_timeout_tsc);

  sim.Remove(false);  // on the bus, answering all ones
  WaitForStartDelay(ctrlr);
  EXPECT_EQ(-EIO, nvme_ctrlr_process_init(ctrlr));
  EXPECT_TRUE(ctrlr->is_failed);
  EXPECT_FALSE(ctrlr->is_removed);
  EXPECT_TRUE(log_->Contains("Failed to read CC and CSTS in state 1"));
  EXPECT_EQ(-EIO, PollToEnd(ctx));
  EXPECT_EQ(0, record.attach_calls);
}

TEST_F(InitTest, UnreadableCstsWithTimeLimitWaitsForTheLimit) {
  SimController& sim = AddSim();
  ProbeRecord record;
  record.override_cap_to = 20000;  // 200 ms of real time, well past the 2-second start delay
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
  ASSERT_EQ(0, nvme_ctrlr_process_init(ctrlr));
  sim.Remove(false);
  WaitForStartDelay(ctrlr);
  // The first failed read inside the limit does not fail the controller: the device may come back.
  EXPECT_EQ(0, nvme_ctrlr_process_init(ctrlr));
  EXPECT_FALSE(ctrlr->is_failed);
  EXPECT_FALSE(log_->Contains("Failed to read CC and CSTS"));
  EXPECT_EQ(-EIO, PollToEnd(ctx));
  EXPECT_TRUE(log_->Contains("Initialization timed out in state 1"));
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
  EXPECT_EQ(0u, ctrlr->state_timeout_tsc);
  EXPECT_EQ(-1, nvme_ctrlr_process_init(ctrlr));
  EXPECT_TRUE(log_->Contains("Ctrlr " + std::string(ctrlr->trid.traddr) + " is in error state"));
  EXPECT_EQ(-EIO, PollToEnd(ctx));
  EXPECT_EQ(0, record.attach_calls);
}

TEST_F(InitTest, CompletionErrorsStopOrContinueAsEachStepRequires) {
  struct Case {
    uint8_t opcode;
    const char* message;
    bool attaches;
  } cases[] = {
      {0x06, "nvme_identify_controller failed!", false},        // Identify Controller
      {0x09, "Set Features - Number of Queues failed!", true},  // the first Set Features
      {0x0A, "Get Features - Number of Queues failed!", false}, // the first Get Features
  };
  for (const Case& c : cases) {
    SimController& sim = AddSim();
    sim.InjectFault(AdminStatus(c.opcode, 0, 0x06));
    log_->Clear();
    ProbeRecord record;
    int rc = Probe(sim.address(), &record);
    EXPECT_TRUE(log_->Contains(c.message)) << c.message;
    if (c.attaches) {
      EXPECT_EQ(0, rc);
      ASSERT_NE(nullptr, record.ctrlr);
      attached_.push_back(record.ctrlr);
    } else {
      EXPECT_EQ(-EIO, rc) << c.message;
      EXPECT_EQ(0, record.attach_calls);
      EXPECT_TRUE(log_->Contains("Failed to initialize SSD: " + sim.address()));
    }
  }
}

TEST_F(InitTest, AllocatedQueueCountsLimitTheIoQueues) {
  SimConfig config = FastSimConfig();
  config.io_queues = 8;
  AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(8u, ctrlr->opts.num_io_queues);
  ASSERT_NE(nullptr, ctrlr->free_io_qids);
  EXPECT_FALSE(spdk_bit_array_get(ctrlr->free_io_qids, 0));
  for (uint32_t i = 1; i <= 8; i++) EXPECT_TRUE(spdk_bit_array_get(ctrlr->free_io_qids, i)) << i;
  EXPECT_FALSE(spdk_bit_array_get(ctrlr->free_io_qids, 9));
  EXPECT_EQ(8u, spdk_bit_array_count_set(ctrlr->free_io_qids));

  // A smaller request wins over what the controller allocates; the request itself is sent as asked.
  SimController& sim2 = AddSim(config);
  ProbeRecord record;
  record.num_io_queues = 3;
  spdk_nvme_ctrlr* small = Attach(&record);
  ASSERT_NE(nullptr, small);
  EXPECT_EQ(3u, small->opts.num_io_queues);
  EXPECT_EQ(3u, spdk_bit_array_count_set(small->free_io_qids));
  bool seen = false;
  for (const kyt::sim::LoggedCommand& c : sim2.CommandLogSnapshot()) {
    if (c.sqid == 0 && c.command.opcode() == 0x09 && (c.command.cdw10 & 0xFF) == 0x07) {
      EXPECT_EQ(0x00020002u, c.command.cdw11);
      seen = true;
    }
  }
  EXPECT_TRUE(seen);
}

TEST_F(InitTest, AsynchronousEventRequestsStayOutstandingAndRepost) {
  SimConfig config = FastSimConfig();
  config.aerl = 3;
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(4u, ctrlr->num_aers);
  EXPECT_EQ(4, OutstandingAdmin(ctrlr, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));

  struct Events {
    int count = 0;
    uint32_t cdw0 = 0;
  } events;
  spdk_nvme_ctrlr_register_aer_callback(
      ctrlr,
      [](void* arg, const spdk_nvme_cpl* cpl) {
        auto* e = static_cast<Events*>(arg);
        e->count++;
        e->cdw0 = cpl->cdw0;
      },
      &events);
  sim.SetCriticalWarning(0x01);
  for (int i = 0; i < 2000 && events.count == 0; i++) {
    spdk_nvme_ctrlr_process_admin_completions(ctrlr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(1, events.count);
  EXPECT_EQ(1u, events.cdw0 & 0x7);  // SMART / health status event
  // The request that completed was sent again.
  EXPECT_EQ(4, OutstandingAdmin(ctrlr, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));

  // More requests than the driver keeps are not asked for.
  SimConfig many = FastSimConfig();
  many.aerl = 15;
  AddSim(many);
  spdk_nvme_ctrlr* ctrlr2 = Attach();
  ASSERT_NE(nullptr, ctrlr2);
  EXPECT_EQ(8u, ctrlr2->num_aers);
  EXPECT_EQ(8, OutstandingAdmin(ctrlr2, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));
}

TEST_F(InitTest, KeepAliveOnlyWhenTheControllerSupportsIt) {
  SimController& without = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(0u, ctrlr->opts.keep_alive_timeout_ms);
  EXPECT_EQ(0u, ctrlr->keep_alive_interval_ticks);
  for (int i = 0; i < 20; i++) {
    spdk_nvme_ctrlr_process_admin_completions(ctrlr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(0, LoggedCommands(without, SPDK_NVME_OPC_KEEP_ALIVE, true));
  EXPECT_EQ(0, LoggedCommands(without, SPDK_NVME_OPC_GET_FEATURES, true) -
                   1 /* Get Features Number of Queues */);

  SimConfig config = FastSimConfig();
  config.kas = 10;
  SimController& with = AddSim(config);
  spdk_nvme_ctrlr* ka = Attach();
  ASSERT_NE(nullptr, ka);
  EXPECT_TRUE(log_->Contains("Setting state to \"wait for set keep alive timeout\""));
  EXPECT_NE(0u, ka->keep_alive_interval_ticks);
  for (int i = 0; i < 200 && LoggedCommands(with, SPDK_NVME_OPC_KEEP_ALIVE, true) == 0; i++) {
    spdk_nvme_ctrlr_process_admin_completions(ka);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(LoggedCommands(with, SPDK_NVME_OPC_KEEP_ALIVE, true), 1);
}

TEST_F(InitTest, NamespacesAndTheirDataAfterInitialisation) {
  SimConfig config = FastSimConfig();
  config.max_namespaces = 8;
  config.namespaces = {Ns(1, 4096),
                       Ns(2, 4096, 0, false),
                       Ns(3, 1024, 2)};
  AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);

  EXPECT_EQ(8u, spdk_nvme_ctrlr_get_num_ns(ctrlr));
  EXPECT_EQ(1u, spdk_nvme_ctrlr_get_first_active_ns(ctrlr));
  EXPECT_EQ(3u, spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 1));
  EXPECT_EQ(0u, spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 3));
  EXPECT_EQ(0u, spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 2));
  EXPECT_TRUE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 1));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 2));
  EXPECT_TRUE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 3));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 9));
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_get_ns(ctrlr, 0));
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_get_ns(ctrlr, 9));

  spdk_nvme_ns* ns1 = spdk_nvme_ctrlr_get_ns(ctrlr, 1);
  spdk_nvme_ns* ns2 = spdk_nvme_ctrlr_get_ns(ctrlr, 2);
  spdk_nvme_ns* ns3 = spdk_nvme_ctrlr_get_ns(ctrlr, 3);
  ASSERT_TRUE(ns1 && ns2 && ns3);
  EXPECT_TRUE(spdk_nvme_ns_is_active(ns1));
  EXPECT_FALSE(spdk_nvme_ns_is_active(ns2));
  EXPECT_TRUE(spdk_nvme_ns_is_active(ns3));
  EXPECT_EQ(512u, spdk_nvme_ns_get_sector_size(ns1));
  EXPECT_EQ(4096u, spdk_nvme_ns_get_num_sectors(ns1));
  EXPECT_EQ(4096u, spdk_nvme_ns_get_sector_size(ns3));
  EXPECT_EQ(1024u * 4096u, spdk_nvme_ns_get_size(ns3));
  EXPECT_NE(nullptr, spdk_nvme_ns_get_uuid(ns1));  // from the identification descriptors (VS 1.3)

  // Controller data and what was derived from it.
  EXPECT_EQ(0x1d1du, spdk_nvme_ctrlr_get_data(ctrlr)->vid);
  EXPECT_EQ(1u, ctrlr->cntlid);
  EXPECT_EQ(4096u << 5, spdk_nvme_ctrlr_get_max_xfer_size(ctrlr));  // MDTS 5 of 4 KiB pages
  EXPECT_TRUE(spdk_nvme_ctrlr_is_log_page_supported(ctrlr, SPDK_NVME_LOG_ERROR));
  EXPECT_TRUE(spdk_nvme_ctrlr_is_log_page_supported(ctrlr, SPDK_NVME_LOG_HEALTH_INFORMATION));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_log_page_supported(ctrlr, SPDK_NVME_INTEL_LOG_PAGE_DIRECTORY));
  EXPECT_TRUE(spdk_nvme_ctrlr_is_feature_supported(ctrlr, SPDK_NVME_FEAT_NUMBER_OF_QUEUES));
  EXPECT_TRUE(spdk_nvme_ctrlr_is_feature_supported(ctrlr, SPDK_NVME_FEAT_VOLATILE_WRITE_CACHE));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_feature_supported(ctrlr, SPDK_NVME_FEAT_HOST_MEM_BUFFER));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_discovery(ctrlr));
}

TEST_F(InitTest, ControllerWithoutNamespacesReachesReady) {
  SimController& sim = AddSim();
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_CONSTRUCT_NS));
  InitCtrlr(ctx)->cdata.nn = 0;  // as a controller reporting NN 0 would have answered
  ASSERT_EQ(0, PollToEnd(ctx));
  spdk_nvme_ctrlr* ctrlr = record.ctrlr;
  ASSERT_NE(nullptr, ctrlr);
  attached_.push_back(ctrlr);
  EXPECT_EQ(NVME_CTRLR_STATE_READY, ctrlr->state);
  EXPECT_TRUE(log_->Contains("controller has 0 namespaces"));
  EXPECT_EQ(0u, spdk_nvme_ctrlr_get_num_ns(ctrlr));
  EXPECT_EQ(0u, spdk_nvme_ctrlr_get_first_active_ns(ctrlr));
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_get_ns(ctrlr, 1));
  EXPECT_EQ(nullptr, ctrlr->active_ns_list);
}

// What the device layer's reset does: disable, drop the event requests, restart the machine at the enable step.
void ResetAndReinitialise(spdk_nvme_ctrlr* ctrlr) {
  ctrlr->is_resetting = true;
  union spdk_nvme_cc_register cc;
  ASSERT_EQ(0, nvme_transport_ctrlr_get_reg_4(ctrlr, 0x14, &cc.raw));
  cc.bits.en = 0;
  ASSERT_EQ(0, nvme_transport_ctrlr_set_reg_4(ctrlr, 0x14, cc.raw));
  for (int i = 0; i < 5000 && (spdk_nvme_ctrlr_get_regs_csts(ctrlr) & 1); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(0u, spdk_nvme_ctrlr_get_regs_csts(ctrlr) & 1);
  nvme_transport_admin_qpair_abort_aers(ctrlr->adminq);
  ctrlr->state = NVME_CTRLR_STATE_ENABLE;
  ctrlr->state_timeout_tsc = spdk_get_ticks() + 10 * spdk_get_ticks_hz();
  int rc = 0;
  for (int i = 0; i < 1000000 && rc == 0 && ctrlr->state != NVME_CTRLR_STATE_READY; i++) {
    rc = nvme_ctrlr_process_init(ctrlr);
  }
  ASSERT_EQ(0, rc);
  ASSERT_EQ(NVME_CTRLR_STATE_READY, ctrlr->state);
  ctrlr->is_resetting = false;
}

TEST_F(InitTest, ResetReinitialisesAndForgetsNamespacesMadeInactiveMeanwhile) {
  SimConfig config = FastSimConfig();
  config.max_namespaces = 4;
  config.namespaces = {Ns(1, 4096), Ns(2, 2048)};
  SimController& sim = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  ASSERT_TRUE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 2));
  ASSERT_EQ(2048u, spdk_nvme_ns_get_num_sectors(spdk_nvme_ctrlr_get_ns(ctrlr, 2)));

  // Detach namespace 2 behind the driver's back: a raw Namespace Attachment command.
  auto* list = static_cast<spdk_nvme_ctrlr_list*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ctrlr_list), 4096, nullptr));
  ASSERT_NE(nullptr, list);
  list->ctrlr_count = 1;
  list->ctrlr_list[0] = ctrlr->cntlid;
  spdk_nvme_cmd cmd;
  std::memset(&cmd, 0, sizeof(cmd));
  cmd.opc = SPDK_NVME_OPC_NS_ATTACHMENT;
  cmd.nsid = 2;
  cmd.cdw10 = 1;  // detach
  nvme_completion_poll_status status;
  std::memset(&status, 0, sizeof(status));
  ASSERT_EQ(0, spdk_nvme_ctrlr_cmd_admin_raw(ctrlr, &cmd, list, sizeof(*list), nvme_completion_poll_cb, &status));
  ASSERT_EQ(0, spdk_nvme_wait_for_completion_robust_lock(ctrlr->adminq, &status, &ctrlr->ctrlr_lock));
  spdk_dma_free(list);
  kyt::sim::SimController::NamespaceInfo info;
  ASSERT_TRUE(sim.GetNamespace(2, &info));
  ASSERT_FALSE(info.attached);

  sim.ClearCommandLog();
  ResetAndReinitialise(ctrlr);

  EXPECT_EQ(4u, spdk_nvme_ctrlr_get_num_ns(ctrlr));
  EXPECT_TRUE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 1));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_active_ns(ctrlr, 2));
  spdk_nvme_ns* ns2 = spdk_nvme_ctrlr_get_ns(ctrlr, 2);
  ASSERT_NE(nullptr, ns2);
  EXPECT_FALSE(spdk_nvme_ns_is_active(ns2));
  EXPECT_EQ(0u, spdk_nvme_ns_get_num_sectors(ns2));
  EXPECT_EQ(4096u, spdk_nvme_ns_get_num_sectors(spdk_nvme_ctrlr_get_ns(ctrlr, 1)));
  // The re-initialisation asked the controller again and restored the event requests.
  EXPECT_GE(LoggedCommands(sim, SPDK_NVME_OPC_IDENTIFY, true), 3);
  EXPECT_EQ(4, OutstandingAdmin(ctrlr, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));
  EXPECT_EQ(64u, spdk_bit_array_count_set(ctrlr->free_io_qids));
}

TEST_F(InitTest, BlockingWaitOfTheInitialisationIsBounded) {
  SimController& sim = AddSim();
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_CONSTRUCT_NS));
  InitCtrlr(ctx)->opts.admin_timeout_ms = 2000;  // 20 ms of real time
  // The active namespace list is read with a blocking wait: the controller never answers it.
  FaultRule drop;
  drop.admin = true;
  drop.opcode = SPDK_NVME_OPC_IDENTIFY;
  drop.count = 1;
  drop.action = FaultRule::Action::kDrop;
  sim.InjectFault(drop);
  EXPECT_EQ(-EIO, PollToEnd(ctx));
  EXPECT_TRUE(log_->Contains("nvme_ctrlr_cmd_identify_active_ns_list failed!"));
  EXPECT_TRUE(log_->Contains("Failed to initialize SSD"));
  EXPECT_EQ(0, record.attach_calls);
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
  ASSERT_EQ(ctrlr, record.ctrlr);
  attached_.push_back(ctrlr);
  EXPECT_EQ(1, LoggedCommands(sim, SPDK_NVME_OPC_DOORBELL_BUFFER_CONFIG, true));
  EXPECT_TRUE(log_->Contains("Doorbell buffer config failed"));
  EXPECT_EQ(nullptr, ctrlr->shadow_doorbell);
  EXPECT_EQ(nullptr, ctrlr->eventidx);
  spdk_nvme_qpair* qpair = spdk_nvme_ctrlr_alloc_io_qpair(ctrlr, nullptr, 0);
  ASSERT_NE(nullptr, qpair);
  EXPECT_FALSE(nvme_pcie_qpair(qpair)->flags.has_shadow_doorbell);
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(qpair));
}

TEST_F(InitTest, HostIdentifierOfTheSizeTheControllerAnnounces) {
  SimController& sim = AddSim();  // CTRATT bit 0: 128-bit host identifier
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  int sent = 0;
  for (const kyt::sim::LoggedCommand& c : sim.CommandLogSnapshot()) {
    if (c.sqid == 0 && c.command.opcode() == SPDK_NVME_OPC_SET_FEATURES && (c.command.cdw10 & 0xFF) == 0x81) {
      EXPECT_EQ(1u, c.command.cdw11);  // extended (16-byte) form
      sent++;
    }
  }
  EXPECT_EQ(1, sent);
  EXPECT_FALSE(log_->Contains("Set Features - Host ID failed"));
}

TEST_F(InitTest, VendorLogDirectoryAndQuirksOfIntelDevices) {
  SimConfig config = FastSimConfig();
  config.vendor_id = 0x8086;
  config.device_id = 0x0A54;  // quirks 0x2B
  SimController& intel = AddSim(config);
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(0x2Bu, ctrlr->quirks);
  EXPECT_EQ(1, LoggedCommands(intel, SPDK_NVME_OPC_GET_LOG_PAGE, true));  // the directory, refused
  EXPECT_TRUE(log_->Contains("Intel log pages not supported on Intel drive!"));
  EXPECT_FALSE(spdk_nvme_ctrlr_is_log_page_supported(ctrlr, SPDK_NVME_INTEL_LOG_PAGE_DIRECTORY));
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
  EXPECT_EQ(0, LoggedCommands(nolists, SPDK_NVME_OPC_GET_LOG_PAGE, true));
  EXPECT_FALSE(log_->Contains("Intel log pages"));
  for (const kyt::sim::LoggedCommand& c : nolists.CommandLogSnapshot()) {
    if (c.sqid == 0 && c.command.opcode() == SPDK_NVME_OPC_IDENTIFY) {
      EXPECT_NE(2u, c.command.cdw10 & 0xFF);
      EXPECT_NE(3u, c.command.cdw10 & 0xFF);
    }
  }
  EXPECT_TRUE(spdk_nvme_ctrlr_is_active_ns(ctrlr2, 1));
  EXPECT_TRUE(spdk_nvme_ns_is_active(spdk_nvme_ctrlr_get_ns(ctrlr2, 1)));
}

TEST_F(InitTest, KeepAliveTimerErrorStopsTheInitialisation) {
  SimConfig config = FastSimConfig();
  config.kas = 10;
  SimController& sim = AddSim(config);
  ProbeRecord record;
  spdk_nvme_probe_ctx* ctx = ProbeAsync(sim.address(), &record);
  ASSERT_NE(nullptr, ctx);
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_SET_KEEP_ALIVE_TIMEOUT));
  spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
  sim.InjectFault(AdminStatus(SPDK_NVME_OPC_GET_FEATURES, 0, 0x02));
  ASSERT_TRUE(StepUntilState(ctx, NVME_CTRLR_STATE_ERROR));
  EXPECT_EQ(0u, ctrlr->opts.keep_alive_timeout_ms);
  EXPECT_TRUE(log_->Contains("Keep alive timeout Get Feature failed: SC 2 SCT 0"));
  EXPECT_EQ(-EIO, PollToEnd(ctx));
  EXPECT_EQ(0, record.attach_calls);
}

TEST_F(InitTest, EventRequestOverTheControllersLimitIsNotReposted) {
  SimController& sim = AddSim();  // AERL 3
  sim.InjectFault(AdminStatus(SPDK_NVME_OPC_ASYNC_EVENT_REQUEST, 1, 0x05));  // asynchronous event request limit
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  for (int i = 0; i < 2000 && !log_->Contains("Do not repost this AER"); i++) {
    spdk_nvme_ctrlr_process_admin_completions(ctrlr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(log_->Contains("Controller appears out-of-spec for asynchronous event request\nhandling.  Do not repost this AER.\n"));
  EXPECT_EQ(3, OutstandingAdmin(ctrlr, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST));
  EXPECT_EQ(4, LoggedCommands(sim, SPDK_NVME_OPC_ASYNC_EVENT_REQUEST, true));
}

}  // namespace
}  // namespace kyt::nvme_test
