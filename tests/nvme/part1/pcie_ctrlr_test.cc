// The PCIe controller: BAR0 mapping and repair, register access and the bus-error guard, CMB decisions.
#include <sys/mman.h>

#include <cerrno>

#include "fake_device.h"

namespace kyt::test {
namespace {

bool IsMapped(const void* addr)
{
  uintptr_t page = (uintptr_t)addr & ~(uintptr_t)4095;
  return msync((void*)page, 4096, MS_ASYNC) == 0 || errno != ENOMEM;
}

TEST(PcieCtrlr, MapsBar0CachesCapVsAndUnmapsOnDestruct)
{
  FakeDevice d;
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(ctrlr);
  ASSERT_NE(p->regs, nullptr);
  // The driver's mapping and the device's memory are the same bytes.
  d.SetReg32(SPDK_NVME_REG_INTMS, 0x12345678);
  uint32_t v = 0;
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_INTMS, &v), 0);
  EXPECT_EQ(v, 0x12345678u);
  EXPECT_EQ(nvme_transport_ctrlr_set_reg_4(ctrlr, SPDK_NVME_REG_INTMC, 0xA5A5A5A5u), 0);
  EXPECT_EQ(d.Reg32(SPDK_NVME_REG_INTMC), 0xA5A5A5A5u);
  EXPECT_EQ(nvme_transport_ctrlr_set_reg_8(ctrlr, SPDK_NVME_REG_ASQ, 0x1122334455667788ull), 0);
  EXPECT_EQ(d.Reg64(SPDK_NVME_REG_ASQ), 0x1122334455667788ull);
  // CAP and VS are cached: later register changes do not show through the cached getters; CSTS is read live.
  uint64_t cap = d.Reg64(SPDK_NVME_REG_CAP);
  d.SetReg64(SPDK_NVME_REG_CAP, 0);
  d.SetReg32(SPDK_NVME_REG_VS, 0x00020000);
  d.SetReg32(SPDK_NVME_REG_CSTS, 0x1);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_cap(ctrlr), cap);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_vs(ctrlr), 0x00010400u);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_csts(ctrlr), 0x1u);
  // Derived from CAP: 4 KiB pages, stride 1, transfer and SGE limits.
  EXPECT_EQ(ctrlr->page_size, 4096u);
  EXPECT_EQ(p->doorbell_stride_u32, 1u);
  EXPECT_EQ(nvme_pcie_ctrlr_get_max_xfer_size(ctrlr), 4096u * 505);
  EXPECT_EQ(nvme_pcie_ctrlr_get_max_sges(ctrlr), 251u);
  // Bus mastering on, INTx off; a BAR that still matches is left alone.
  EXPECT_EQ(d.Cfg32(0x04) & 0x404u, 0x404u);
  EXPECT_FALSE(d.WroteCfg(0x10) || d.WroteCfg(0x14));
  EXPECT_EQ(nvme_pcie_qpair(ctrlr->adminq)->num_entries, 128);
  // Enable writes the admin queue registers.
  ASSERT_EQ(nvme_pcie_ctrlr_enable(ctrlr), 0);
  struct nvme_pcie_qpair* aq = nvme_pcie_qpair(ctrlr->adminq);
  EXPECT_EQ(d.Reg64(SPDK_NVME_REG_ASQ), aq->cmd_bus_addr);
  EXPECT_EQ(d.Reg64(SPDK_NVME_REG_ACQ), aq->cpl_bus_addr);
  EXPECT_EQ(d.Reg32(SPDK_NVME_REG_AQA), (127u << 16) | 127u);

  const void* regs = (const void*)p->regs;
  ASSERT_TRUE(IsMapped(regs));
  d.Destroy();
  EXPECT_FALSE(IsMapped(regs));
}

TEST(PcieCtrlr, RepairsBar0LostInAPowerCycleIgnoringItsLowBits)
{
  FakeDevice::Options o;
  o.bar_phys = 0x1F0000000ull;  // above 4 GiB: both halves are written back
  o.bar0_programmed = false;
  FakeDevice d(o);
  ASSERT_NE(d.Construct(), nullptr);
  EXPECT_EQ(d.Cfg32(0x10), 0xF0000000u);
  EXPECT_EQ(d.Cfg32(0x14), 0x1u);
  EXPECT_EQ(d.Cfg32(0x04) & 0x2, 0x2u) << "memory space enable";

  FakeDevice same;
  same.SetCfg32(0x10, 0xC0000000u | 0x3FFFu);  // bits 0-13 differ (type, prefetch, size probing leftovers)
  ASSERT_NE(same.Construct(), nullptr);
  EXPECT_FALSE(same.WroteCfg(0x10));
}

TEST(PcieCtrlr, VanishedBarReadsAllOnesWithoutKillingTheProcess)
{
  FakeDevice d;
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(ctrlr);
  uint64_t cap = spdk_nvme_ctrlr_get_regs_cap(ctrlr);
  volatile void* regs_before = p->regs;
  // All ones from a live BAR is a failed read too, but no remap.
  d.SetReg32(SPDK_NVME_REG_CSTS, 0xFFFFFFFFu);
  uint32_t v = 0;
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_CSTS, &v), -1);
  EXPECT_FALSE(p->is_remapped);
  d.SetReg32(SPDK_NVME_REG_CSTS, 0xFFFFFFFEu);
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_CSTS, &v), 0);

  d.Vanish();
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_CSTS, &v), -1);
  EXPECT_EQ(v, 0xFFFFFFFFu);
  EXPECT_TRUE(p->is_remapped);
  EXPECT_EQ((volatile void*)p->regs, regs_before) << "repaired in place";
  uint64_t v8 = 0;
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_8(ctrlr, SPDK_NVME_REG_CAP, &v8), -1);
  EXPECT_EQ(v8, ~0ull);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_cap(ctrlr), cap) << "cached values survive";
  // No second remap: a value written into the private page stays readable.
  EXPECT_EQ(nvme_transport_ctrlr_set_reg_4(ctrlr, SPDK_NVME_REG_INTMS, 0x55AA55AAu), 0);
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_INTMS, &v), 0);
  EXPECT_EQ(v, 0x55AA55AAu);
  ctrlr->is_removed = true;  // as the device layer marks it; destruct then only detaches and frees
}

// The guard is in place before the first register access: a device already gone, or with an unreadable CAP, fails
// the construction instead of killing the process.
TEST(PcieCtrlr, UnreadableDeviceFailsConstructionCleanly)
{
  FakeDevice gone;
  gone.Vanish();
  EXPECT_EQ(gone.Construct(), nullptr);
  FakeDevice::Options o;
  o.cap = ~0ull;
  FakeDevice ones(o);
  EXPECT_EQ(ones.Construct(), nullptr);
}

TEST(PcieCtrlr, CmbDecisions)
{
  // CMB inside BAR0 (BIR 0) at 4 MiB, in 4 KiB units, in a 16 MiB BAR.
  struct {
    const char* what;
    uint32_t units, flags, bir;
    bool mapped, cmb_sqs;
  } cases[] = {
      {"SQS only", 256, 0x1, 0, true, true},
      {"small data (RDS)", 256, 0x1 | 0x8, 0, false, false},
      {"CQS only", 256, 0x2, 0, false, false},
      {"beyond the BAR", 4096, 0x1, 0, false, false},
      {"upper half of BAR0", 256, 0x1, 1, false, false},
  };
  for (auto& c : cases) {
    FakeDevice::Options o;
    o.bar_size = 16ull << 20;
    o.bar_phys = 0xD0000000ull;
    o.cmbloc = (1024u << 12) | c.bir;
    o.cmbsz = (c.units << 12) | c.flags;
    FakeDevice d(o);
    spdk_nvme_ctrlr* ctrlr = d.Construct();
    ASSERT_NE(ctrlr, nullptr) << c.what;
    struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(ctrlr);
    EXPECT_EQ(p->cmb_bar_virt_addr != nullptr, c.mapped) << c.what;
    EXPECT_EQ(ctrlr->opts.use_cmb_sqs, c.cmb_sqs) << c.what;
    if (!c.cmb_sqs) continue;
    EXPECT_FALSE(p->cmb_io_data_supported);
    EXPECT_EQ(p->cmb_size, 256u * 4096);
    EXPECT_EQ(spdk_nvme_ctrlr_alloc_cmb_io_buffer(ctrlr, 4096), nullptr);
    // An I/O submission ring lands in the CMB at a page-aligned offset; its completions stay in host memory.
    spdk_nvme_io_qpair_opts io = IoOpts(64);
    spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr, 1, &io);
    ASSERT_NE(q, nullptr);
    struct nvme_pcie_qpair* pq = nvme_pcie_qpair(q);
    EXPECT_TRUE(pq->sq_in_cmb);
    uint64_t off = (uint64_t)((uint8_t*)pq->cmd - (uint8_t*)p->cmb_bar_virt_addr);
    EXPECT_GE(off, 4ull << 20);
    EXPECT_EQ(off % 4096, 0u);
    EXPECT_EQ(pq->cmd_bus_addr, p->cmb_bar_phys_addr + off);
    nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
  }
}

TEST(PcieCtrlr, CmbIoBuffersComeFromTheRegisteredPart)
{
  FakeDevice::Options o;
  o.bar_size = 16ull << 20;
  o.bar_phys = 0xD0000000ull;
  o.cmbloc = 1024u << 12;
  o.cmbsz = (2048u << 12) | 0x1 | 0x8 | 0x10;  // 8 MiB, SQS, RDS, WDS
  FakeDevice d(o);
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(ctrlr);
  if (p->cmb_bar_virt_addr == nullptr) GTEST_SKIP() << "the environment cannot register BAR memory for DMA here";
  EXPECT_TRUE(p->cmb_io_data_supported);
  EXPECT_EQ((uintptr_t)p->cmb_mem_register_addr % 0x200000, 0u);
  EXPECT_EQ(p->cmb_mem_register_size % 0x200000, 0u);
  EXPECT_EQ(spdk_nvme_ctrlr_alloc_cmb_io_buffer(ctrlr, 0), nullptr);
  uint8_t* a = static_cast<uint8_t*>(spdk_nvme_ctrlr_alloc_cmb_io_buffer(ctrlr, 6));
  uint8_t* b = static_cast<uint8_t*>(spdk_nvme_ctrlr_alloc_cmb_io_buffer(ctrlr, 8));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(b - a, 8) << "rounded up to a multiple of 4";
  EXPECT_EQ(spdk_nvme_ctrlr_alloc_cmb_io_buffer(ctrlr, p->cmb_mem_register_size), nullptr);
  spdk_nvme_ctrlr_free_cmb_io_buffer(ctrlr, a, 6);
}

}  // namespace
}  // namespace kyt::test
