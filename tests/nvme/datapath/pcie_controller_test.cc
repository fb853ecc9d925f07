// The PCIe controller: BAR0 mapping and repair, register access that survives a vanished device, CMB decisions.
#include <sys/mman.h>

#include <cerrno>

#include "fake_device.h"

namespace kyt::test {
namespace {

bool IsMapped(const void* addr) {
  return msync((void*)((uintptr_t)addr & ~(uintptr_t)4095), 4096, MS_ASYNC) == 0 || errno != ENOMEM;
}

// The driver's mapping and the device's memory are the same bytes (CSTS is read live); bus mastering on and INTx off;
// a BAR that still matches is left alone; enabling writes the admin queue registers (128 entries); a transfer fits
// the 505 entries of a PRP list page after PRP1; the destruction unmaps.
TEST(PcieCtrlr, MapsBar0ProgramsTheAdminQueueAndUnmapsOnDestruct) {
  FakeDevice d;
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  d.SetReg32(SPDK_NVME_REG_CSTS, 0x1);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_csts(ctrlr), 0x1u);
  EXPECT_EQ(d.Cfg32(0x04) & 0x404u, 0x404u);
  EXPECT_FALSE(d.WroteCfg(0x10) || d.WroteCfg(0x14));
  ASSERT_EQ(nvme_pcie_ctrlr_enable(ctrlr), 0);
  struct nvme_pcie_qpair* aq = nvme_pcie_qpair(ctrlr->adminq);
  EXPECT_EQ((std::vector<uint64_t>{d.Reg64(SPDK_NVME_REG_ASQ), d.Reg64(SPDK_NVME_REG_ACQ), d.Reg32(SPDK_NVME_REG_AQA)}),
            (std::vector<uint64_t>{aq->cmd_bus_addr, aq->cpl_bus_addr, (127u << 16) | 127u}));
  EXPECT_EQ(nvme_pcie_ctrlr_get_max_xfer_size(ctrlr), 4096u * 505);
  const void* regs = (const void*)nvme_pcie_ctrlr(ctrlr)->regs;
  ASSERT_TRUE(IsMapped(regs));
  d.Destroy();
  EXPECT_FALSE(IsMapped(regs));
}

// A BAR lost in a power cycle is written back, both halves above 4 GiB, with memory space on; a BAR that differs only
// in its low bits (type, prefetch, size probing leftovers) is not touched.
TEST(PcieCtrlr, RepairsBar0LostInAPowerCycleIgnoringItsLowBits) {
  FakeDevice::Options o;
  o.bar_phys = 0x1F0000000ull;
  o.bar0_programmed = false;
  FakeDevice d(o), same;
  ASSERT_NE(d.Construct(), nullptr);
  EXPECT_EQ((std::vector<uint32_t>{d.Cfg32(0x10), d.Cfg32(0x14), d.Cfg32(0x04) & 0x2}),
            (std::vector<uint32_t>{0xF0000000u, 0x1u, 0x2u}));
  same.SetCfg32(0x10, 0xC0000000u | 0x3FFFu);
  ASSERT_NE(same.Construct(), nullptr);
  EXPECT_FALSE(same.WroteCfg(0x10));
}

// All ones from a live BAR is a failed read too, but no remap. A vanished BAR reads all ones without killing the
// process, once remapped in place: cached values survive and a value written into the private page stays readable.
// A device already gone, or with an unreadable CAP, fails the construction instead.
TEST(PcieCtrlr, VanishedBarReadsAllOnesWithoutKillingTheProcess) {
  FakeDevice d;
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  const uint64_t cap = spdk_nvme_ctrlr_get_regs_cap(ctrlr);
  uint32_t v = 0;
  uint64_t v8 = 0;
  d.SetReg32(SPDK_NVME_REG_CSTS, 0xFFFFFFFFu);
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_CSTS, &v), -1);
  EXPECT_FALSE(nvme_pcie_ctrlr(ctrlr)->is_remapped);
  d.Vanish();
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_8(ctrlr, SPDK_NVME_REG_CAP, &v8), -1);
  EXPECT_EQ(v8, ~0ull);
  EXPECT_TRUE(nvme_pcie_ctrlr(ctrlr)->is_remapped);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_cap(ctrlr), cap);
  EXPECT_EQ(nvme_transport_ctrlr_set_reg_4(ctrlr, SPDK_NVME_REG_INTMS, 0x55AA55AAu), 0);
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_INTMS, &v), 0);
  EXPECT_EQ(v, 0x55AA55AAu);
  ctrlr->is_removed = true;  // as the device layer marks it; destruct then only detaches and frees

  FakeDevice gone;
  gone.Vanish();
  EXPECT_EQ(gone.Construct(), nullptr);
  FakeDevice::Options o;
  o.cap = ~0ull;
  FakeDevice ones(o);
  EXPECT_EQ(ones.Construct(), nullptr);
}

// A CMB inside BAR0 (BIR 0) at 4 MiB in a 16 MiB BAR, in 4 KiB units: mapped for submission queues when it offers
// them and nothing else it cannot serve.
TEST(PcieCtrlr, CmbDecisions) {
  struct {
    uint32_t units, flags, bir;
    bool mapped;
  } cases[] = {{256, 0x1, 0, true}, {256, 0x1 | 0x8, 0, false}, {256, 0x2, 0, false}, {4096, 0x1, 0, false},
               {256, 0x1, 1, false}, {2048, 0x1 | 0x8 | 0x10, 0, true}};  // SQS; RDS; CQS; too big; BIR 1; all
  for (auto& c : cases) {
    FakeDevice::Options o;
    o.bar_size = 16ull << 20;
    o.cmbloc = (1024u << 12) | c.bir;
    o.cmbsz = (c.units << 12) | c.flags;
    FakeDevice d(o);
    spdk_nvme_ctrlr* ctrlr = d.Construct();
    ASSERT_NE(ctrlr, nullptr);
    struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(ctrlr);
    if (c.flags == 0x19 && !p->cmb_bar_virt_addr) GTEST_SKIP() << "the environment cannot register BAR memory for DMA";
    EXPECT_EQ(p->cmb_bar_virt_addr != nullptr && ctrlr->opts.use_cmb_sqs, c.mapped) << c.units << " " << c.flags;
  }
}

}  // namespace
}  // namespace kyt::test
