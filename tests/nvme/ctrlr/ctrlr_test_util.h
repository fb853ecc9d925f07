// Shared helpers of the controller, driver-core and attach tests: the started environment with the test clock at
// real speed (a test moves it past the pauses and time limits it wants to pass, so machine load cannot fire them),
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
#include "kyt_sim/test_clock.h"
#include "nvme_internal.h"

namespace kyt::nvme_test {

using kyt::sim::FaultRule;
using kyt::sim::SimConfig;
using kyt::sim::SimController;

// Every message of the driver while it is alive, debug lines of the "nvme" flag included.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> Lines() const;
  // The state names of the "Setting state to" lines, in order.
  std::vector<std::string> States() const;
};

// A PCI address that no other concurrently running test process uses (domain from the process id).
std::string UniqueAddress();
kyt::sim::NamespaceConfig Ns(uint32_t nsid, uint64_t blocks, uint8_t lba_format = 0, bool active = true);
// Fast simulated controller timings.
SimConfig FastSimConfig();
// One admin command of `opcode` answered with a status (or with `action`).
FaultRule AdminFault(uint8_t opcode, uint8_t sct, uint8_t sc, FaultRule::Action action = FaultRule::Action::kStatus);

// What the probe and attach callbacks saw.
struct ProbeRecord {
  int probe_calls = 0;
  int attach_calls = 0;
  spdk_nvme_ctrlr* ctrlr = nullptr;
  spdk_nvme_ctrlr_opts probe_opts{};  // the defaults the driver offered
  // Applied in the probe callback, like the device layer: 0 leaves the driver's default.
  uint32_t io_queue_size = 0;
  uint32_t override_cap_to = 60000;
  uint32_t num_io_queues = 0;
  bool accept = true;
};

spdk_nvme_transport_id PcieTrid(const std::string& address);
// Probe asynchronously; the constructed controller is InitCtrlr(ctx).
spdk_nvme_probe_ctx* ProbeAsync(const std::string& address, ProbeRecord* record);
inline spdk_nvme_ctrlr* InitCtrlr(spdk_nvme_probe_ctx* ctx) { return TAILQ_FIRST(&ctx->init_ctrlrs); }
// Move the clock past a pause of the initialisation (the 2-second start delay, the 1 ms before enabling).
void SkipPause(spdk_nvme_ctrlr* ctrlr);
// Poll until the probe ends, skipping the pauses; its result.
int PollToEnd(spdk_nvme_probe_ctx* ctx);
int Probe(const std::string& address, ProbeRecord* record);
// Step the initialisation of ctx's controller, skipping the pauses, until it reaches `state` (true) or fails.
bool StepUntilState(spdk_nvme_probe_ctx* ctx, nvme_ctrlr_state state);
bool IsAttached(const std::string& address);

// Outstanding admin commands with an opcode.
int OutstandingAdmin(spdk_nvme_ctrlr* ctrlr, uint8_t opcode);
// Admin commands with an opcode (and, when `cdw10_low` is not negative, that low byte of CDW10) the simulated
// controller fetched.
std::vector<kyt::sim::Command> AdminLogged(SimController& sim, uint8_t opcode, int cdw10_low = -1);

// Fixture: environment started, clock at real speed, log captured, simulated controllers and attached controllers released.
class CtrlrTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;
  SimController& AddSim(const SimConfig& config = FastSimConfig());
  // Probe the last simulated controller and expect it attached (detached at tear-down).
  spdk_nvme_ctrlr* Attach(ProbeRecord* record = nullptr);
  // Identify Controller through the admin queue: the controller answers.
  void ExpectWorking(spdk_nvme_ctrlr* ctrlr, SimController& sim);

  std::unique_ptr<LogCapture> log_;
  std::vector<std::unique_ptr<SimController>> sims_;
  std::vector<spdk_nvme_ctrlr*> attached_;
};

}  // namespace kyt::nvme_test

#endif  // KYT_TESTS_NVME_CTRLR_TEST_UTIL_H
