#include "ctrlr_test_util.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace kyt::nvme_test {
namespace {

std::mutex g_log_lock;
std::vector<LogLine>* g_lines = nullptr;

void CaptureLog(int level, const char* file, const int line, const char* func, const char* msg) {
  std::lock_guard<std::mutex> guard(g_log_lock);
  if (g_lines != nullptr) {
    g_lines->push_back(LogLine{level, msg});
  }
}

bool ProbeCb(void* cb_ctx, const spdk_nvme_transport_id* trid, spdk_nvme_ctrlr_opts* opts) {
  auto* record = static_cast<ProbeRecord*>(cb_ctx);
  record->probe_calls++;
  record->probe_opts = *opts;
  if (record->io_queue_size != 0) opts->io_queue_size = record->io_queue_size;
  opts->override_cap_to = record->override_cap_to;
  if (record->keep_alive_timeout_ms != UINT32_MAX) opts->keep_alive_timeout_ms = record->keep_alive_timeout_ms;
  if (record->num_io_queues != 0) opts->num_io_queues = record->num_io_queues;
  return record->accept;
}

void AttachCb(void* cb_ctx, const spdk_nvme_transport_id* trid, spdk_nvme_ctrlr* ctrlr,
              const spdk_nvme_ctrlr_opts* opts) {
  auto* record = static_cast<ProbeRecord*>(cb_ctx);
  record->attach_calls++;
  record->ctrlr = ctrlr;
}

}  // namespace

LogCapture::LogCapture() {
  std::lock_guard<std::mutex> guard(g_log_lock);
  g_lines = new std::vector<LogLine>();
  spdk_log_open(CaptureLog);
  spdk_log_set_flag("nvme");
}

LogCapture::~LogCapture() {
  spdk_log_clear_flag("nvme");
  spdk_log_close();
  std::lock_guard<std::mutex> guard(g_log_lock);
  delete g_lines;
  g_lines = nullptr;
}

std::vector<LogLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> guard(g_log_lock);
  return *g_lines;
}

std::vector<std::string> LogCapture::Matching(const std::string& needle) const {
  std::vector<std::string> out;
  for (const LogLine& l : Lines()) {
    if (l.text.find(needle) != std::string::npos) out.push_back(l.text);
  }
  return out;
}

std::vector<std::string> LogCapture::States() const {
  static const std::string kPrefix = "Setting state to \"";
  std::vector<std::string> out;
  for (const std::string& l : Matching(kPrefix)) {
    size_t start = l.find(kPrefix) + kPrefix.size();
    out.push_back(l.substr(start, l.find('"', start) - start));
  }
  return out;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> guard(g_log_lock);
  g_lines->clear();
}

std::string UniqueAddress() {
  static int n = 0;
  char text[32];
  // Domains 0x1000..0xEFFF: from the process id, so that tests running at once never claim the same address.
  std::snprintf(text, sizeof(text), "%04x:%02x:%02x.%x", 0x1000 + (unsigned)getpid() % 0xE000, 0x10 + n / 32,
                n % 32, 0);
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

kyt::sim::SimConfig FastSimConfig() {
  kyt::sim::SimConfig c;
  c.ready_delay_us = 1000;
  c.disable_delay_us = 1000;
  c.shutdown_delay_us = 1000;
  return c;
}

spdk_nvme_transport_id PcieTrid(const std::string& address) {
  spdk_nvme_transport_id trid;
  std::memset(&trid, 0, sizeof(trid));
  std::string text = "trtype:PCIe traddr:" + address;
  EXPECT_EQ(0, spdk_nvme_transport_id_parse(&trid, text.c_str()));
  return trid;
}

int Probe(const std::string& address, ProbeRecord* record) {
  spdk_nvme_transport_id trid = PcieTrid(address);
  return spdk_nvme_probe(&trid, record, ProbeCb, AttachCb, nullptr);
}

spdk_nvme_probe_ctx* ProbeAsync(const std::string& address, ProbeRecord* record) {
  spdk_nvme_transport_id trid = PcieTrid(address);
  return spdk_nvme_probe_async(&trid, record, ProbeCb, AttachCb, nullptr);
}

spdk_nvme_ctrlr* InitCtrlr(spdk_nvme_probe_ctx* ctx) { return TAILQ_FIRST(&ctx->init_ctrlrs); }

int PollToEnd(spdk_nvme_probe_ctx* ctx) {
  int rc;
  do {
    rc = spdk_nvme_probe_poll_async(ctx);
  } while (rc == -EAGAIN);
  return rc;
}

bool StepUntilState(spdk_nvme_probe_ctx* ctx, nvme_ctrlr_state state, int max_seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(max_seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    spdk_nvme_ctrlr* ctrlr = InitCtrlr(ctx);
    if (ctrlr == nullptr) return false;
    if (ctrlr->state == state) return true;
    if (nvme_ctrlr_process_init(ctrlr) != 0) return false;
  }
  return false;
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

int LoggedCommands(kyt::sim::SimController& sim, uint8_t opcode, bool admin) {
  int n = 0;
  for (const kyt::sim::LoggedCommand& c : sim.CommandLogSnapshot()) {
    if ((c.sqid == 0) == admin && c.command.opcode() == opcode) n++;
  }
  return n;
}

void WaitForStartDelay(spdk_nvme_ctrlr* ctrlr) {
  while (ctrlr->sleep_timeout_tsc != 0 && spdk_get_ticks() <= ctrlr->sleep_timeout_tsc) {
  }
}

void CtrlrTest::SetUpTestSuite() {
  ASSERT_EQ(0, kyt_env_test_init("kyt_nvme_ctrlr_test"));
  kyt_env_test_set_clock_scale(kClockScale);
}

void CtrlrTest::SetUp() {
  kyt_env_test_set_clock_scale(kClockScale);
  log_ = std::make_unique<LogCapture>();
}

void CtrlrTest::TearDown() {
  if (HasFailure() && log_ != nullptr) {
    // The driver's lines of a failed test help more than the assertion alone.
    for (const LogLine& l : log_->Lines()) {
      std::printf("driver log [%d]: %s%s", l.level, l.text.c_str(),
                  (!l.text.empty() && l.text.back() == '\n') ? "" : "\n");
    }
  }
  for (spdk_nvme_ctrlr* c : attached_) {
    spdk_nvme_detach(c);
  }
  attached_.clear();
  sims_.clear();
  log_.reset();
  kyt_env_test_set_clock_scale(kClockScale);
}

kyt::sim::SimController& CtrlrTest::AddSim(const kyt::sim::SimConfig& config) {
  sims_.push_back(std::make_unique<kyt::sim::SimController>(UniqueAddress(), config));
  return *sims_.back();
}

spdk_nvme_ctrlr* CtrlrTest::Attach(ProbeRecord* record) {
  if (record == nullptr) record = &default_record_;
  int rc = Probe(sims_.back()->address(), record);
  EXPECT_EQ(0, rc);
  EXPECT_NE(nullptr, record->ctrlr);
  if (rc == 0 && record->ctrlr != nullptr) attached_.push_back(record->ctrlr);
  return record->ctrlr;
}

}  // namespace kyt::nvme_test
