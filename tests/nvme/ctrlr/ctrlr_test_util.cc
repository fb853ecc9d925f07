#include "ctrlr_test_util.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace kyt::nvme_test {
namespace {

std::mutex g_log_lock;
std::vector<std::string>* g_lines = nullptr;

bool ProbeCb(void* cb_ctx, const spdk_nvme_transport_id*, spdk_nvme_ctrlr_opts* opts) {
  auto* record = static_cast<ProbeRecord*>(cb_ctx);
  record->probe_calls++;
  record->probe_opts = *opts;
  if (record->io_queue_size != 0) opts->io_queue_size = record->io_queue_size;
  if (record->num_io_queues != 0) opts->num_io_queues = record->num_io_queues;
  opts->override_cap_to = record->override_cap_to;
  return record->accept;
}

void AttachCb(void* cb_ctx, const spdk_nvme_transport_id*, spdk_nvme_ctrlr* ctrlr, const spdk_nvme_ctrlr_opts*) {
  static_cast<ProbeRecord*>(cb_ctx)->attach_calls++;
  static_cast<ProbeRecord*>(cb_ctx)->ctrlr = ctrlr;
}

}  // namespace

LogCapture::LogCapture() {
  std::lock_guard<std::mutex> guard(g_log_lock);
  g_lines = new std::vector<std::string>();
  spdk_log_open([](int, const char*, const int, const char*, const char* msg) {
    std::lock_guard<std::mutex> guard(g_log_lock);
    if (g_lines != nullptr) g_lines->push_back(msg);
  });
  spdk_log_set_flag("nvme");
}

LogCapture::~LogCapture() {
  spdk_log_clear_flag("nvme");
  spdk_log_close();
  std::lock_guard<std::mutex> guard(g_log_lock);
  delete g_lines;
  g_lines = nullptr;
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> guard(g_log_lock);
  return *g_lines;
}

std::vector<std::string> LogCapture::States() const {
  static const std::string kPrefix = "Setting state to \"";
  std::vector<std::string> out;
  for (const std::string& l : Lines()) {
    size_t start = l.find(kPrefix);
    if (start == std::string::npos) continue;
    start += kPrefix.size();
    out.push_back(l.substr(start, l.find('"', start) - start));
  }
  return out;
}

std::string UniqueAddress() {
  static int n = 0;
  char text[32];
  std::snprintf(text, sizeof(text), "%04x:%02x:%02x.0", 0x1000 + (unsigned)getpid() % 0xE000, 0x10 + n / 32, n % 32);
  ++n;
  return text;
}

kyt::sim::NamespaceConfig Ns(uint32_t nsid, uint64_t blocks, uint8_t lba_format, bool active) {
  kyt::sim::NamespaceConfig ns;
  ns.nsid = nsid;
  ns.blocks = blocks;
  ns.lba_format = lba_format;
  ns.active = active;
  return ns;
}

SimConfig FastSimConfig() {
  SimConfig c;
  c.ready_delay_us = c.disable_delay_us = c.shutdown_delay_us = 1000;
  return c;
}

FaultRule AdminFault(uint8_t opcode, uint8_t sct, uint8_t sc, FaultRule::Action action) {
  FaultRule rule;
  rule.admin = true;
  rule.opcode = opcode;
  rule.count = 1;
  rule.action = action;
  rule.status = kyt::sim::Status::Of(sct, sc);
  return rule;
}

spdk_nvme_transport_id PcieTrid(const std::string& address) {
  spdk_nvme_transport_id trid{};
  EXPECT_EQ(0, spdk_nvme_transport_id_parse(&trid, ("trtype:PCIe traddr:" + address).c_str()));
  return trid;
}

spdk_nvme_probe_ctx* ProbeAsync(const std::string& address, ProbeRecord* record) {
  spdk_nvme_transport_id trid = PcieTrid(address);
  return spdk_nvme_probe_async(&trid, record, ProbeCb, AttachCb, nullptr);
}

void SkipPause(spdk_nvme_ctrlr* ctrlr) {
  const uint64_t now = spdk_get_ticks();
  if (ctrlr != nullptr && ctrlr->sleep_timeout_tsc > now) {
    kyt_env_test_advance_clock(ctrlr->sleep_timeout_tsc - now + 1);
  }
}

int PollToEnd(spdk_nvme_probe_ctx* ctx) {
  int rc;
  do {
    SkipPause(InitCtrlr(ctx));
  } while ((rc = spdk_nvme_probe_poll_async(ctx)) == -EAGAIN);
  return rc;
}

int Probe(const std::string& address, ProbeRecord* record) {
  spdk_nvme_probe_ctx* ctx = ProbeAsync(address, record);
  return ctx == nullptr ? -1 : PollToEnd(ctx);
}

bool StepUntilState(spdk_nvme_probe_ctx* ctx, nvme_ctrlr_state state) {
  spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
  int rc = ctrlr == nullptr ? -1 : 0;
  kyt::sim::PollOnTestClock(
      [&] {
        SkipPause(ctrlr);
        rc = nvme_ctrlr_process_init(ctrlr);
      },
      [&] { return rc != 0 || ctrlr->state == state; }, 60);
  return rc == 0 && ctrlr->state == state;
}

bool IsAttached(const std::string& address) {
  spdk_nvme_transport_id trid = PcieTrid(address);
  nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
  bool found = spdk_nvme_get_ctrlr_by_trid_unsafe(&trid) != nullptr;
  nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);
  return found;
}

int OutstandingAdmin(spdk_nvme_ctrlr* ctrlr, uint8_t opcode) {
  int n = 0;
  nvme_tracker* tr;
  nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
  TAILQ_FOREACH(tr, &nvme_pcie_qpair(ctrlr->adminq)->outstanding_tr, tq_list) {
    if (tr->req != nullptr && tr->req->cmd.opc == opcode) n++;
  }
  nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
  return n;
}

std::vector<kyt::sim::Command> AdminLogged(SimController& sim, uint8_t opcode, int cdw10_low) {
  std::vector<kyt::sim::Command> out;
  for (const kyt::sim::LoggedCommand& c : sim.CommandLogSnapshot()) {
    bool cdw10_matches = cdw10_low < 0 || (c.command.cdw10 & 0xFF) == (uint32_t)cdw10_low;
    if (c.sqid == 0 && c.command.opcode() == opcode && cdw10_matches) {
      out.push_back(c.command);
    }
  }
  return out;
}

void CtrlrTest::SetUpTestSuite() { ASSERT_EQ(0, kyt_env_test_init("kyt_nvme_ctrlr_test")); }

void CtrlrTest::SetUp() {
  kyt_env_test_set_clock_scale(1);
  kyt_env_test_clock_pace_thread();  // the test steps the driver: the clock waits for it as for the drives
  log_ = std::make_unique<LogCapture>();
}

void CtrlrTest::TearDown() {
  if (HasFailure()) {
    // The driver's lines of a failed test help more than the assertion alone.
    for (const std::string& l : log_->Lines()) std::printf("driver log: %s", l.c_str());
  }
  for (spdk_nvme_ctrlr* c : attached_) spdk_nvme_detach(c);
  attached_.clear();
  sims_.clear();
  log_.reset();
}

SimController& CtrlrTest::AddSim(const SimConfig& config) {
  sims_.push_back(std::make_unique<SimController>(UniqueAddress(), config));
  return *sims_.back();
}

spdk_nvme_ctrlr* CtrlrTest::Attach(ProbeRecord* record) {
  ProbeRecord local;
  if (record == nullptr) record = &local;
  EXPECT_EQ(0, Probe(sims_.back()->address(), record));
  EXPECT_NE(nullptr, record->ctrlr);
  if (record->ctrlr != nullptr) attached_.push_back(record->ctrlr);
  return record->ctrlr;
}

void CtrlrTest::ExpectWorking(spdk_nvme_ctrlr* ctrlr, SimController& sim) {
  EXPECT_FALSE(ctrlr->is_failed || ctrlr->is_removed);
  EXPECT_EQ(NVME_CTRLR_STATE_READY, ctrlr->state);
  auto* data = static_cast<spdk_nvme_ctrlr_data*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ctrlr_data), 4096, nullptr));
  ASSERT_NE(nullptr, data);
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_IDENTIFY;
  cmd.cdw10 = SPDK_NVME_IDENTIFY_CTRLR;
  nvme_completion_poll_status status{};
  ASSERT_EQ(0, spdk_nvme_ctrlr_cmd_admin_raw(ctrlr, &cmd, data, sizeof(*data), nvme_completion_poll_cb, &status));
  EXPECT_EQ(0, spdk_nvme_wait_for_completion_robust_lock(ctrlr->adminq, &status, &ctrlr->ctrlr_lock));
  EXPECT_EQ(sim.config().vendor_id, data->vid);
  spdk_dma_free(data);
}

}  // namespace kyt::nvme_test
