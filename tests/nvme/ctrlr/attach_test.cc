// Probe, attach and detach by PCI address, references, failures, and attaching again after a controller failed or
// its device was power-cycled.
#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

using AttachTest = CtrlrTest;

TEST_F(AttachTest, ProbeAttachesWithTheDeviceLayersOptions) {
  SimController& sim = AddSim();
  ProbeRecord record;
  record.io_queue_size = 65536;
  spdk_nvme_ctrlr* ctrlr = Attach(&record);
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ(1, record.probe_calls);
  EXPECT_EQ(1, record.attach_calls);
  // The probe callback was offered the defaults; its changes reached the controller, the queue size clamped to
  // CAP.MQES + 1.
  EXPECT_EQ(1024u, record.probe_opts.num_io_queues);
  EXPECT_EQ(256u, record.probe_opts.io_queue_size);
  EXPECT_EQ(0u, record.probe_opts.override_cap_to);
  EXPECT_EQ(1024u, ctrlr->opts.io_queue_size);
  EXPECT_EQ(60000u, ctrlr->opts.override_cap_to);
  EXPECT_EQ(sim.address(), std::string(spdk_nvme_ctrlr_get_transport_id(ctrlr)->traddr));
  EXPECT_TRUE(IsAttached(sim.address()));
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));
  for (const char* line : {"Scanning Controllers", "PCI address is supplied", "Starting PCI Device Attachment"}) {
    EXPECT_TRUE(log_->Contains(line)) << line;
  }
  ExpectWorking(ctrlr, sim);
}

TEST_F(AttachTest, SecondProbeReusesTheControllerWithOneMoreReference) {
  SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  attached_.clear();  // references are released by the test itself
  size_t identifies = AdminLogged(sim, SPDK_NVME_OPC_IDENTIFY).size();
  ProbeRecord second;
  ASSERT_EQ(0, Probe(sim.address(), &second));
  EXPECT_EQ(ctrlr, second.ctrlr);
  EXPECT_EQ(1, second.attach_calls);
  EXPECT_EQ(2, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_EQ(identifies, AdminLogged(sim, SPDK_NVME_OPC_IDENTIFY).size()) << "not initialised again";

  EXPECT_EQ(0, spdk_nvme_detach(ctrlr));
  EXPECT_TRUE(IsAttached(sim.address()));
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));
  ExpectWorking(ctrlr, sim);
  EXPECT_EQ(0, spdk_nvme_detach(ctrlr));
  EXPECT_FALSE(IsAttached(sim.address()));
  EXPECT_EQ(0, spdk_nvme_detach(nullptr));

  // The device was released: it attaches again.
  ProbeRecord third;
  spdk_nvme_ctrlr* again = Attach(&third);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(again));
  ExpectWorking(again, sim);
}

TEST_F(AttachTest, DecliningProbeCallbackOrNoDeviceAttachesNothing) {
  SimController& sim = AddSim();
  ProbeRecord record;
  record.accept = false;
  EXPECT_EQ(0, Probe(sim.address(), &record));
  EXPECT_EQ(1, record.probe_calls);
  EXPECT_EQ(0, record.attach_calls);
  EXPECT_FALSE(IsAttached(sim.address()));
  EXPECT_EQ(0u, sim.CommandLogTotal());

  ProbeRecord none;
  EXPECT_EQ(-1, Probe(UniqueAddress(), &none));
  EXPECT_EQ(0, none.probe_calls);
  EXPECT_TRUE(log_->Contains("Failed to scan controllers"));
  EXPECT_TRUE(log_->Contains("Create probe context failed"));
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

// A re-probe never hands back a failed or removed controller as if it were healthy.
TEST_F(AttachTest, ReprobeAfterAFailureOrAPowerCycleYieldsAWorkingController) {
  enum Case { kTimedOut, kPowerCycledAndDetached, kPowerCycledUnnoticed };
  for (Case c : {kTimedOut, kPowerCycledAndDetached, kPowerCycledUnnoticed}) {
    SCOPED_TRACE(c);
    log_->Clear();
    SimController& sim = AddSim();
    spdk_nvme_ctrlr* old = Attach();
    ASSERT_NE(nullptr, old);
    attached_.pop_back();
    if (c == kTimedOut) {
      nvme_ctrlr_fail(old, false);  // the device layer gives up on it and drops it without detaching
    } else {
      sim.PowerOff();
      if (c == kPowerCycledAndDetached) {  // the device layer saw it go: marked removed and detached
        EXPECT_EQ(0xFFFFFFFFu, spdk_nvme_ctrlr_get_regs_csts(old));
        nvme_ctrlr_fail(old, true);
        EXPECT_EQ(0, spdk_nvme_detach(old));
      }
      sim.PowerOn();
    }
    EXPECT_EQ(c != kPowerCycledAndDetached, IsAttached(sim.address()));
    ProbeRecord record;
    spdk_nvme_ctrlr* ctrlr = Attach(&record);
    ASSERT_NE(nullptr, ctrlr);
    EXPECT_EQ(1, record.attach_calls);
    EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));
    EXPECT_EQ(c != kPowerCycledAndDetached, log_->Contains("Replacing controller " + sim.address()));
    ExpectWorking(ctrlr, sim);
  }
}

}  // namespace
}  // namespace kyt::nvme_test
