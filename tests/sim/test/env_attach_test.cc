// The controller as the environment's PCI layer presents it to a driver: attach by address, identity, config space,
// BAR0 mapping, removal.
#include "kyt/env_test.h"
#include "sim_test_util.h"
#include "spdk/env.h"

namespace kyt::sim::testing {
namespace {

class EnvAttachTest : public SimTest {
 protected:
  void SetUp() override {
    if (!TestHost::UsesEnvironmentMemory()) GTEST_SKIP() << "the environment did not start in this process";
  }
  static int Keep(void* ctx, spdk_pci_device* dev) {
    *static_cast<spdk_pci_device**>(ctx) = dev;
    return 0;
  }
};

TEST_F(EnvAttachTest, DriverSeesTheControllerThroughThePciLayer) {
  Start(FastConfig(), false);
  spdk_pci_addr addr{};
  ASSERT_EQ(spdk_pci_addr_parse(&addr, ctrl_->address().c_str()), 0);
  spdk_pci_device* dev = nullptr;
  ASSERT_EQ(spdk_pci_device_attach(spdk_pci_nvme_get_driver(), &EnvAttachTest::Keep, &dev, &addr), 0);
  ASSERT_NE(dev, nullptr);
  spdk_pci_id id = spdk_pci_device_get_id(dev);
  EXPECT_EQ(id.class_id, 0x010802u);
  EXPECT_EQ(id.vendor_id, 0x1d1d);
  uint32_t bar0 = 0;
  ASSERT_EQ(spdk_pci_device_cfg_read32(dev, &bar0, 0x10), 0);
  EXPECT_EQ(bar0 & 0xFFFFC000u, static_cast<uint32_t>(ctrl_->bar0_bus_address()));
  void* regs = nullptr;
  uint64_t phys = 0, size = 0;
  ASSERT_EQ(spdk_pci_device_map_bar(dev, 0, &regs, &phys, &size), 0);
  EXPECT_EQ(phys, ctrl_->bar0_bus_address());
  EXPECT_EQ(size, ctrl_->bar0_size());
  auto* r = static_cast<volatile uint32_t*>(regs);
  EXPECT_EQ(r[reg::kVs / 4], 0x00010300u);
  // A register write through the driver's mapping reaches the controller.
  TestHost::Buffer q = host_->Alloc(8192);
  r[reg::kAqa / 4] = 0x00070007;
  r[reg::kAsq / 4] = static_cast<uint32_t>(q.iova);
  r[reg::kAsq / 4 + 1] = static_cast<uint32_t>(q.iova >> 32);
  r[reg::kAcq / 4] = static_cast<uint32_t>(q.iova + 4096);
  r[reg::kAcq / 4 + 1] = static_cast<uint32_t>((q.iova + 4096) >> 32);
  r[reg::kCc / 4] = cc::kEn | 6u << 16 | 4u << 20;
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, csts::kRdy));
  EXPECT_EQ(r[reg::kCsts / 4] & 1, 1u);
  // Power off: config access through the handle fails and the device reads as removed.
  r[reg::kCc / 4] = 0;
  EXPECT_TRUE(host_->WaitCsts(csts::kRdy, 0));
  host_.reset();
  EXPECT_EQ(spdk_pci_device_unmap_bar(dev, 0, regs), 0);
  ctrl_->PowerOff();
  EXPECT_NE(spdk_pci_device_cfg_read32(dev, &bar0, 0x10), 0);
  EXPECT_TRUE(spdk_pci_device_is_removed(dev));
  spdk_pci_device_detach(dev);
}

}  // namespace
}  // namespace kyt::sim::testing
