// Probe, attach and detach by PCI address, references, failures, and attaching again after a controller failed or
// its device was power-cycled.
#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

using AttachTest = CtrlrTest;

// The probe callback is offered the defaults and its changes reach the controller (the queue size clamped to
// CAP.MQES + 1). A second probe hands out the same controller with one more reference, without initialising it
// again; it stays attached until the last reference goes, and attaches again afterwards. A declining probe callback,
// or an address without a device, attaches nothing.
TEST_F(AttachTest, ProbeAttachesWithTheDeviceLayersOptionsAndCountsReferences) {
  SimController& sim = AddSim();
  ProbeRecord record;
  record.io_queue_size = 65536;
  spdk_nvme_ctrlr* ctrlr = Attach(&record);
  ASSERT_NE(nullptr, ctrlr);
  EXPECT_EQ((std::vector<uint32_t>{1024, 256, 1024}),
            (std::vector<uint32_t>{record.probe_opts.num_io_queues, record.probe_opts.io_queue_size,
                                   ctrlr->opts.io_queue_size}));
  EXPECT_EQ(sim.address(), std::string(spdk_nvme_ctrlr_get_transport_id(ctrlr)->traddr));
  attached_.clear();  // references are released by the test itself
  const size_t identifies = AdminLogged(sim, SPDK_NVME_OPC_IDENTIFY).size();
  ProbeRecord second;
  ASSERT_EQ(0, Probe(sim.address(), &second));
  EXPECT_EQ(ctrlr, second.ctrlr);
  EXPECT_EQ(2, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_EQ(identifies, AdminLogged(sim, SPDK_NVME_OPC_IDENTIFY).size()) << "not initialised again";
  EXPECT_EQ(0, spdk_nvme_detach(ctrlr));
  EXPECT_TRUE(IsAttached(sim.address()));
  ExpectWorking(ctrlr, sim);
  EXPECT_EQ(0, spdk_nvme_detach(ctrlr));
  EXPECT_FALSE(IsAttached(sim.address()));
  ExpectWorking(Attach(), sim);

  SimController& declined = AddSim();
  ProbeRecord no;
  no.accept = false;
  EXPECT_EQ(0, Probe(declined.address(), &no));
  EXPECT_TRUE(no.probe_calls == 1 && !IsAttached(declined.address()) && declined.CommandLogTotal() == 0);
  spdk_nvme_transport_id none = PcieTrid(UniqueAddress());
  EXPECT_EQ(-1, spdk_nvme_probe(&none, nullptr, nullptr, nullptr, nullptr));
}

// A re-probe never hands back a failed or removed controller as if it were healthy.
TEST_F(AttachTest, ReprobeAfterAFailureOrAPowerCycleYieldsAWorkingController) {
  enum Case { kTimedOut, kPowerCycledAndDetached, kPowerCycledUnnoticed };
  for (Case c : {kTimedOut, kPowerCycledAndDetached, kPowerCycledUnnoticed}) {
    SCOPED_TRACE(c);
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
    spdk_nvme_ctrlr* ctrlr = Attach();
    ASSERT_NE(nullptr, ctrlr);
    EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));
    ExpectWorking(ctrlr, sim);
  }
}

}  // namespace
}  // namespace kyt::nvme_test
