// Shared helpers of the controller, driver-core and attach tests: the started environment with a fast test clock,
// capture of the driver's log lines, simulated controllers at addresses no other test process uses, and probe
// helpers that record what the driver's callbacks saw.
#ifndef KYT_TESTS_NVME_CTRLR_TEST_UTIL_H
#define KYT_TESTS_NVME_CTRLR_TEST_UTIL_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kyt/env_test.h"
#include "kyt_sim/sim_controller.h"
#include "nvme_internal.h"

namespace kyt::nvme_test {

// Test clock factor: the 2-second start delay takes 20 ms, the default admin time-out 3 s.
constexpr uint32_t kClockScale = 100;

struct LogLine {
  int level;
  std::string text;  // the message with its line breaks
};

// Every message of the driver while it is alive, debug lines of the "nvme" flag included.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<LogLine> Lines() const;
  // The messages containing `needle`.
  std::vector<std::string> Matching(const std::string& needle) const;
  bool Contains(const std::string& needle) const { return !Matching(needle).empty(); }
  // The state names of the "Setting state to" lines, in order.
  std::vector<std::string> States() const;
  void Clear();
};

// A PCI address that no other concurrently running test process uses (domain from the process id).
std::string UniqueAddress();

// A namespace of the simulated controller.
kyt::sim::NamespaceConfig Ns(uint32_t nsid, uint64_t blocks, uint8_t lba_format = 0, bool active = true);

// Fast simulated controller timings.
kyt::sim::SimConfig FastSimConfig();

// What the probe and attach callbacks saw.
struct ProbeRecord {
  int probe_calls = 0;
  int attach_calls = 0;
  spdk_nvme_ctrlr* ctrlr = nullptr;
  spdk_nvme_ctrlr_opts probe_opts{};  // the defaults the driver offered
  // Applied in the probe callback, like the device layer: 0 leaves the driver's default.
  uint32_t io_queue_size = 0;
  uint32_t override_cap_to = 60000;
  uint32_t keep_alive_timeout_ms = UINT32_MAX;  // UINT32_MAX: default
  uint32_t num_io_queues = 0;
  bool accept = true;
};

spdk_nvme_transport_id PcieTrid(const std::string& address);
int Probe(const std::string& address, ProbeRecord* record);
// Probe asynchronously and return the context; the constructed controller is the first of its init list.
spdk_nvme_probe_ctx* ProbeAsync(const std::string& address, ProbeRecord* record);
spdk_nvme_ctrlr* InitCtrlr(spdk_nvme_probe_ctx* ctx);
// Poll until the probe ends; its result.
int PollToEnd(spdk_nvme_probe_ctx* ctx);
// Step the initialisation of ctx's controller until it reaches `state` (true), fails or time runs out (false).
bool StepUntilState(spdk_nvme_probe_ctx* ctx, nvme_ctrlr_state state, int max_seconds = 30);
// Wait, without stepping, until a pause of the initialisation (the start delay) is over.
void WaitForStartDelay(spdk_nvme_ctrlr* ctrlr);

// Outstanding admin commands with an opcode.
int OutstandingAdmin(spdk_nvme_ctrlr* ctrlr, uint8_t opcode);
// Commands with an opcode in the simulated controller's log (admin queue when admin is set).
int LoggedCommands(kyt::sim::SimController& sim, uint8_t opcode, bool admin);

// Fixture: environment started, fast clock, log captured.
class CtrlrTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;

  // A simulated controller at a fresh address.
  kyt::sim::SimController& AddSim(const kyt::sim::SimConfig& config = FastSimConfig());
  // Probe the last simulated controller and expect it attached.
  spdk_nvme_ctrlr* Attach(ProbeRecord* record = nullptr);

  std::unique_ptr<LogCapture> log_;
  std::vector<std::unique_ptr<kyt::sim::SimController>> sims_;
  std::vector<spdk_nvme_ctrlr*> attached_;  // detached at tear-down
  ProbeRecord default_record_;
};

}  // namespace kyt::nvme_test

#endif  // KYT_TESTS_NVME_CTRLR_TEST_UTIL_H
