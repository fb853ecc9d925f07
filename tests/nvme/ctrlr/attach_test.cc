// Probe, attach and detach by PCI address, references, failures, and attaching again after a controller failed or
// its device was power-cycled.
#include <cstring>
#include <string>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

using kyt::sim::FaultRule;
using kyt::sim::SimConfig;
using kyt::sim::SimController;
using kyt::sim::Status;

class AttachTest : public CtrlrTest {
 protected:
  bool IsAttached(const std::string& address) {
    spdk_nvme_transport_id trid = PcieTrid(address);
    nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
    bool found = spdk_nvme_get_ctrlr_by_trid_unsafe(&trid) != nullptr;
    nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);
    return found;
  }

  // Identify Controller through the admin queue: the controller answers.
  void ExpectWorking(spdk_nvme_ctrlr* ctrlr, SimController& sim) {
    EXPECT_FALSE(ctrlr->is_failed);
    EXPECT_FALSE(ctrlr->is_removed);
    EXPECT_EQ(NVME_CTRLR_STATE_READY, ctrlr->state);
    auto* data = static_cast<spdk_nvme_ctrlr_data*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ctrlr_data), 4096, nullptr));
    ASSERT_NE(nullptr, data);
    spdk_nvme_cmd cmd;
    std::memset(&cmd, 0, sizeof(cmd));
    cmd.opc = SPDK_NVME_OPC_IDENTIFY;
    cmd.cdw10 = SPDK_NVME_IDENTIFY_CTRLR;
    nvme_completion_poll_status status;
    std::memset(&status, 0, sizeof(status));
    ASSERT_EQ(0, spdk_nvme_ctrlr_cmd_admin_raw(ctrlr, &cmd, data, sizeof(*data), nvme_completion_poll_cb, &status));
    EXPECT_EQ(0, spdk_nvme_wait_for_completion_robust_lock(ctrlr->adminq, &status, &ctrlr->ctrlr_lock));
    EXPECT_EQ(sim.config().vendor_id, data->vid);
    spdk_dma_free(data);
  }
};

TEST_F(AttachTest, ProbeAttachesWithTheDeviceLayersOptions) {
  SimController& sim = AddSim();
  ProbeRecord record;
  record.io_queue_size = 65536;
  record.override_cap_to = 60000;
  spdk_nvme_ctrlr* ctrlr = Attach(&record);
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(1, record.probe_calls);
  EXPECT_EQ(1, record.attach_calls);
  // The probe callback was offered the defaults.
  EXPECT_EQ(1024u, record.probe_opts.num_io_queues);
  EXPECT_EQ(256u, record.probe_opts.io_queue_size);
  EXPECT_EQ(0u, record.probe_opts.override_cap_to);
  // Its changes reached the controller, the queue size clamped to CAP.MQES + 1.
  EXPECT_EQ(1024u, ctrlr->opts.io_queue_size);
  EXPECT_EQ(60000u, ctrlr->opts.override_cap_to);
  EXPECT_EQ(SPDK_NVME_TRANSPORT_PCIE, spdk_nvme_ctrlr_get_transport_id(ctrlr)->trtype);
  EXPECT_EQ(sim.address(), std::string(spdk_nvme_ctrlr_get_transport_id(ctrlr)->traddr));
  EXPECT_TRUE(IsAttached(sim.address()));
  EXPECT_TRUE(g_spdk_nvme_driver->initialized);
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_TRUE(log_->Contains("Scanning Controllers"));
  EXPECT_TRUE(log_->Contains("PCI address is supplied"));
  EXPECT_TRUE(log_->Contains("Starting PCI Device Attachment"));
  ExpectWorking(ctrlr, sim);
}

TEST_F(AttachTest, SecondProbeReusesTheControllerWithOneMoreReference) {
  SimController& sim = AddSim();
  ProbeRecord first;
  spdk_nvme_ctrlr* ctrlr = Attach(&first);
  ASSERT_NE(nullptr, ctrlr);
  attached_.clear();  // references are released by the test itself
  int identifies = LoggedCommands(sim, SPDK_NVME_OPC_IDENTIFY, true);

  ProbeRecord second;
  ASSERT_EQ(0, Probe(sim.address(), &second));
  EXPECT_EQ(ctrlr, second.ctrlr);
  EXPECT_EQ(1, second.probe_calls);
  EXPECT_EQ(1, second.attach_calls);
  EXPECT_EQ(2, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_EQ(identifies, LoggedCommands(sim, SPDK_NVME_OPC_IDENTIFY, true));  // not initialised again

  EXPECT_EQ(0, spdk_nvme_detach(ctrlr));
  EXPECT_TRUE(IsAttached(sim.address()));
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));
  ExpectWorking(ctrlr, sim);

  EXPECT_EQ(0, spdk_nvme_detach(ctrlr));
  EXPECT_FALSE(IsAttached(sim.address()));

  // The device was released: it attaches again.
  ProbeRecord third;
  ASSERT_EQ(0, Probe(sim.address(), &third));
  ASSERT_NE(nullptr, third.ctrlr);
  attached_.push_back(third.ctrlr);
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(third.ctrlr));
  ExpectWorking(third.ctrlr, sim);
}

TEST_F(AttachTest, DecliningProbeCallbackAttachesNothing) {
  SimController& sim = AddSim();
  ProbeRecord record;
  record.accept = false;
  EXPECT_EQ(0, Probe(sim.address(), &record));
  EXPECT_EQ(1, record.probe_calls);
  EXPECT_EQ(0, record.attach_calls);
  EXPECT_FALSE(IsAttached(sim.address()));
  EXPECT_EQ(0u, sim.CommandLogTotal());
}

TEST_F(AttachTest, NoDeviceAtTheAddress) {
  ProbeRecord record;
  EXPECT_EQ(-1, Probe(UniqueAddress(), &record));
  EXPECT_EQ(0, record.probe_calls);
  EXPECT_TRUE(log_->Contains("Failed to scan controllers"));
  EXPECT_TRUE(log_->Contains("Create probe context failed"));
}

TEST_F(AttachTest, InitialisationFailureCallsNoAttachCallback) {
  SimController& sim = AddSim();
  FaultRule rule;
  rule.admin = true;
  rule.opcode = SPDK_NVME_OPC_IDENTIFY;
  rule.count = 1;
  rule.status = Status::Of(0, 0x06);
  sim.InjectFault(rule);
  ProbeRecord record;
  EXPECT_EQ(-EIO, Probe(sim.address(), &record));
  EXPECT_EQ(1, record.probe_calls);
  EXPECT_EQ(0, record.attach_calls);
  EXPECT_TRUE(log_->Contains("Failed to initialize SSD: " + sim.address()));
  EXPECT_FALSE(IsAttached(sim.address()));
}

TEST_F(AttachTest, ConnectReturnsTheAttachedController) {
  SimController& sim = AddSim();
  spdk_nvme_transport_id trid = PcieTrid(sim.address());
  spdk_nvme_ctrlr_opts opts;
  spdk_nvme_ctrlr_get_default_ctrlr_opts(&opts, sizeof(opts));
  opts.num_io_queues = 5;
  opts.override_cap_to = 60000;
  EXPECT_EQ(nullptr, spdk_nvme_connect(&trid, &opts, sizeof(opts) - 4));
  EXPECT_TRUE(log_->Contains("Invalid opts size"));
  EXPECT_EQ(nullptr, spdk_nvme_connect(nullptr, &opts, sizeof(opts)));
  EXPECT_TRUE(log_->Contains("No transport ID specified"));

  spdk_nvme_ctrlr* ctrlr = spdk_nvme_connect(&trid, &opts, sizeof(opts));
  ASSERT_NE(nullptr, ctrlr);
  attached_.push_back(ctrlr);
  EXPECT_EQ(5u, ctrlr->opts.num_io_queues);
  ExpectWorking(ctrlr, sim);
}

TEST_F(AttachTest, FailedControllerIsReplacedOnTheNextProbe) {
  SimController& sim = AddSim();
  ProbeRecord first;
  spdk_nvme_ctrlr* old = Attach(&first);
  ASSERT_NE(nullptr, old);
  attached_.clear();
  // The device layer gives up on a controller whose command timed out: marked failed, dropped without detach.
  nvme_ctrlr_fail(old, false);

  ProbeRecord second;
  ASSERT_EQ(0, Probe(sim.address(), &second));
  ASSERT_NE(nullptr, second.ctrlr);
  attached_.push_back(second.ctrlr);
  EXPECT_TRUE(log_->Contains("Replacing controller " + sim.address()));
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(second.ctrlr));
  ExpectWorking(second.ctrlr, sim);
}

TEST_F(AttachTest, PowerCycledDeviceAttachesAgainAfterDetach) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* old = Attach();
  ASSERT_NE(nullptr, old);
  attached_.clear();
  sim.PowerOff();
  // What the device layer does when the device has gone: mark it removed and detach.
  EXPECT_EQ(0xFFFFFFFFu, spdk_nvme_ctrlr_get_regs_csts(old));
  nvme_ctrlr_fail(old, true);
  EXPECT_EQ(0, spdk_nvme_detach(old));
  sim.PowerOn();

  ProbeRecord record;
  ASSERT_EQ(0, Probe(sim.address(), &record));
  ASSERT_NE(nullptr, record.ctrlr);
  attached_.push_back(record.ctrlr);
  ExpectWorking(record.ctrlr, sim);
}

TEST_F(AttachTest, PowerCycledDeviceOfAControllerNeverDetachedIsAttachedAfresh) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* old = Attach();
  ASSERT_NE(nullptr, old);
  attached_.clear();
  sim.PowerOff();
  sim.PowerOn();
  // Nobody told the driver; its old controller still holds the address.
  EXPECT_TRUE(IsAttached(sim.address()));

  ProbeRecord record;
  ASSERT_EQ(0, Probe(sim.address(), &record));
  ASSERT_NE(nullptr, record.ctrlr);
  attached_.push_back(record.ctrlr);
  EXPECT_EQ(1, record.attach_calls);
  EXPECT_TRUE(log_->Contains("Replacing controller"));
  ExpectWorking(record.ctrlr, sim);
}

TEST_F(AttachTest, DetachOfAnUnknownControllerIsHarmless) {
  EXPECT_EQ(0, spdk_nvme_detach(nullptr));
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  attached_.clear();
  EXPECT_EQ(0, spdk_nvme_detach(ctrlr));
  EXPECT_FALSE(IsAttached(sim.address()));
}

}  // namespace
}  // namespace kyt::nvme_test
