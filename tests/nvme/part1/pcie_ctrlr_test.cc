// The PCIe controller: BAR0 mapping and repair, register access and the bus-error guard, CMB decisions.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>

#include "fake_device.h"

using kyt::test::FakeDevice;

namespace {

bool IsMapped(const void* addr)
{
  uintptr_t page = (uintptr_t)addr & ~(uintptr_t)4095;
  return msync((void*)page, 4096, MS_ASYNC) == 0 || errno != ENOMEM;
}

bool WroteCfg(const FakeDevice& d, uint32_t offset)
{
  for (auto& w : d.cfg_writes()) {
    if (w.first == offset) return true;
  }
  return false;
}

TEST(PcieCtrlr, MapsBar0CachesCapVsAndUnmapsOnDestruct)
{
  FakeDevice d;
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(ctrlr);
  ASSERT_NE(p->regs, nullptr);
  EXPECT_GE(p->regs_size, 64u * 1024);

  // The driver's mapping and the device's memory are the same bytes.
  d.SetReg32(SPDK_NVME_REG_INTMS, 0x12345678);
  uint32_t v = 0;
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_INTMS, &v), 0);
  EXPECT_EQ(v, 0x12345678u);
  EXPECT_EQ(nvme_transport_ctrlr_set_reg_4(ctrlr, SPDK_NVME_REG_INTMC, 0xA5A5A5A5u), 0);
  EXPECT_EQ(d.Reg32(SPDK_NVME_REG_INTMC), 0xA5A5A5A5u);
  EXPECT_EQ(nvme_transport_ctrlr_set_reg_8(ctrlr, SPDK_NVME_REG_ASQ, 0x1122334455667788ull), 0);
  EXPECT_EQ(d.Reg64(SPDK_NVME_REG_ASQ), 0x1122334455667788ull);

  // CAP and VS are cached: later register changes do not show through the cached getters.
  uint64_t cap = d.Reg64(SPDK_NVME_REG_CAP);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_cap(ctrlr), cap);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_vs(ctrlr), 0x00010400u);
  d.SetReg64(SPDK_NVME_REG_CAP, 0);
  d.SetReg32(SPDK_NVME_REG_VS, 0x00020000);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_cap(ctrlr), cap);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_vs(ctrlr), 0x00010400u);
  d.SetReg32(SPDK_NVME_REG_CSTS, 0x1);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_csts(ctrlr), 0x1u);

  // Derived from CAP: 4 KiB pages, stride 1, queue size clamped by MQES + 1 = 1024 and by the 32768 ceiling.
  EXPECT_EQ(ctrlr->page_size, 4096u);
  EXPECT_EQ(ctrlr->min_page_size, 4096u);
  EXPECT_EQ(p->doorbell_stride_u32, 1u);
  EXPECT_EQ(nvme_pcie_ctrlr_get_max_xfer_size(ctrlr), 4096u * 505);
  EXPECT_EQ(nvme_pcie_ctrlr_get_max_sges(ctrlr), 251u);

  // Bus mastering on, INTx off; a BAR that still matches is left alone.
  EXPECT_EQ(d.Cfg32(0x04) & 0x404u, 0x404u);
  EXPECT_FALSE(WroteCfg(d, 0x10));
  EXPECT_FALSE(WroteCfg(d, 0x14));

  // The admin queue pair exists with 128 entries.
  ASSERT_NE(ctrlr->adminq, nullptr);
  EXPECT_EQ(nvme_pcie_qpair(ctrlr->adminq)->num_entries, 128);
  EXPECT_EQ(ctrlr->adminq->id, 0);

  const void* regs = (const void*)p->regs;
  ASSERT_TRUE(IsMapped(regs));
  d.Destroy();
  EXPECT_FALSE(IsMapped(regs));
}

TEST(PcieCtrlr, RepairsBar0LostInAPowerCycle)
{
  FakeDevice::Options o;
  o.bus = 0x41;
  o.bar_phys = 0x1F0000000ull;  // above 4 GiB: both halves are written back
  o.bar0_programmed = false;
  FakeDevice d(o);
  ASSERT_NE(d.Construct(), nullptr);
  EXPECT_EQ(d.Cfg32(0x10), 0xF0000000u);
  EXPECT_EQ(d.Cfg32(0x14), 0x1u);
  EXPECT_EQ(d.Cfg16(0x04) & 0x2, 0x2) << "memory space enable";
  EXPECT_TRUE(WroteCfg(d, 0x10));
}

TEST(PcieCtrlr, Bar0LowBitsAreIgnoredWhenComparing)
{
  FakeDevice::Options o;
  o.bus = 0x42;
  FakeDevice d(o);
  d.SetCfg32(0x10, 0xC0000000u | 0x3FFFu);  // bits 0-13 differ (type, prefetch, size probing leftovers)
  ASSERT_NE(d.Construct(), nullptr);
  EXPECT_FALSE(WroteCfg(d, 0x10));
}

TEST(PcieCtrlr, VanishedBarReadsAllOnesWithoutKillingTheProcess)
{
  FakeDevice::Options o;
  o.bus = 0x43;
  FakeDevice d(o);
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(ctrlr);
  uint64_t cap = spdk_nvme_ctrlr_get_regs_cap(ctrlr);
  volatile void* regs_before = p->regs;

  d.Vanish();
  uint32_t v = 0;
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_CSTS, &v), -1);
  EXPECT_EQ(v, 0xFFFFFFFFu);
  EXPECT_TRUE(p->is_remapped);
  EXPECT_EQ((volatile void*)p->regs, regs_before) << "repaired in place";
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_csts(ctrlr), 0xFFFFFFFFu);
  uint64_t v8 = 0;
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_8(ctrlr, SPDK_NVME_REG_CAP, &v8), -1);
  EXPECT_EQ(v8, ~0ull);
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_cmbsz(ctrlr), 0u);
  // Cached values survive.
  EXPECT_EQ(spdk_nvme_ctrlr_get_regs_cap(ctrlr), cap);

  // No second remap: a value written into the private page stays readable.
  EXPECT_EQ(nvme_transport_ctrlr_set_reg_4(ctrlr, SPDK_NVME_REG_INTMS, 0x55AA55AAu), 0);
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_INTMS, &v), 0);
  EXPECT_EQ(v, 0x55AA55AAu);
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_CSTS, &v), -1);

  ctrlr->is_removed = true;  // as the device layer marks it; destruct then only detaches and frees
}

// The guard is in place before the first register access: a device that is already gone fails the construction
// instead of killing the process.
TEST(PcieCtrlr, DeviceGoneBeforeConstructionFailsCleanly)
{
  FakeDevice::Options o;
  o.bus = 0x4D;
  FakeDevice d(o);
  d.Vanish();
  EXPECT_EQ(d.Construct(), nullptr);
}

TEST(PcieCtrlr, AllOnesDeviceReadsAsFailure)
{
  FakeDevice::Options o;
  o.bus = 0x44;
  FakeDevice d(o);
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  d.SetReg32(SPDK_NVME_REG_CSTS, 0xFFFFFFFFu);
  uint32_t v = 0;
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_CSTS, &v), -1);
  EXPECT_FALSE(nvme_pcie_ctrlr(ctrlr)->is_remapped);
  d.SetReg32(SPDK_NVME_REG_CSTS, 0xFFFFFFFEu);
  EXPECT_EQ(nvme_transport_ctrlr_get_reg_4(ctrlr, SPDK_NVME_REG_CSTS, &v), 0);
}

TEST(PcieCtrlr, UnreadableCapFailsConstruction)
{
  FakeDevice::Options o;
  o.bus = 0x45;
  o.cap = ~0ull;
  FakeDevice d(o);
  EXPECT_EQ(d.Construct(), nullptr);
}

TEST(PcieCtrlr, EnableWritesAdminQueueRegisters)
{
  FakeDevice::Options o;
  o.bus = 0x46;
  FakeDevice d(o);
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  ASSERT_EQ(nvme_pcie_ctrlr_enable(ctrlr), 0);
  struct nvme_pcie_qpair* aq = nvme_pcie_qpair(ctrlr->adminq);
  EXPECT_EQ(d.Reg64(SPDK_NVME_REG_ASQ), aq->cmd_bus_addr);
  EXPECT_EQ(d.Reg64(SPDK_NVME_REG_ACQ), aq->cpl_bus_addr);
  EXPECT_EQ(d.Reg32(SPDK_NVME_REG_AQA), (127u << 16) | 127u);
  EXPECT_EQ(aq->cmd_bus_addr % 0x200000, 0u);
}

// CMB inside BAR0 (BIR 0) at 4 MiB, in 4 KiB units.
FakeDevice::Options CmbOptions(uint8_t bus, uint32_t sz_units, uint32_t flags)
{
  FakeDevice::Options o;
  o.bus = bus;
  o.bar_size = 16ull << 20;
  o.bar_phys = 0xD0000000ull;
  o.cmbloc = (1024u << 12) | 0;       // OFST 1024 x 4 KiB = 4 MiB, BIR 0
  o.cmbsz = (sz_units << 12) | flags;  // SZU 0 (4 KiB)
  return o;
}

TEST(PcieCtrlr, CmbForSubmissionQueuesOnly)
{
  FakeDevice d(CmbOptions(0x47, 256, 0x1 /* SQS */));
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(ctrlr);
  ASSERT_NE(p->cmb_bar_virt_addr, nullptr);
  EXPECT_FALSE(p->cmb_io_data_supported);
  EXPECT_EQ(p->cmb_size, 256u * 4096);
  EXPECT_TRUE(ctrlr->opts.use_cmb_sqs);
  EXPECT_EQ(spdk_nvme_ctrlr_alloc_cmb_io_buffer(ctrlr, 4096), nullptr);

  // An I/O submission ring lands in the CMB at a page-aligned offset; its completions stay in host memory.
  spdk_nvme_io_qpair_opts io = kyt::test::IoOpts(64);
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

TEST(PcieCtrlr, SmallDataCmbIsNotUsedAtAll)
{
  FakeDevice d(CmbOptions(0x48, 256, 0x1 | 0x8 /* SQS, RDS */));
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  EXPECT_EQ(nvme_pcie_ctrlr(ctrlr)->cmb_bar_virt_addr, nullptr);
  EXPECT_FALSE(ctrlr->opts.use_cmb_sqs);
}

TEST(PcieCtrlr, CmbWithoutSqsSwitchesOffCmbQueues)
{
  FakeDevice d(CmbOptions(0x49, 256, 0x2 /* CQS only */));
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  EXPECT_FALSE(ctrlr->opts.use_cmb_sqs);
}

TEST(PcieCtrlr, CmbBeyondTheBarIsIgnored)
{
  FakeDevice::Options o = CmbOptions(0x4A, 4096 /* 16 MiB from 4 MiB: past a 16 MiB BAR */, 0x1);
  FakeDevice d(o);
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  EXPECT_EQ(nvme_pcie_ctrlr(ctrlr)->cmb_bar_virt_addr, nullptr);
  EXPECT_FALSE(ctrlr->opts.use_cmb_sqs);
}

TEST(PcieCtrlr, ReservedOrUpperHalfBirMeansNoCmb)
{
  FakeDevice::Options o = CmbOptions(0x4B, 256, 0x1);
  o.cmbloc = (1024u << 12) | 1;  // BIR 1: upper half of the 64-bit BAR0
  FakeDevice d(o);
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  EXPECT_EQ(nvme_pcie_ctrlr(ctrlr)->cmb_bar_virt_addr, nullptr);
}

TEST(PcieCtrlr, CmbIoBuffersComeFromTheRegisteredPart)
{
  FakeDevice d(CmbOptions(0x4C, 2048 /* 8 MiB */, 0x1 | 0x8 | 0x10));
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  ASSERT_NE(ctrlr, nullptr);
  struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(ctrlr);
  if (p->cmb_bar_virt_addr == nullptr) {
    GTEST_SKIP() << "the environment cannot register BAR memory for DMA here";
  }
  EXPECT_TRUE(p->cmb_io_data_supported);
  EXPECT_EQ((uintptr_t)p->cmb_mem_register_addr % 0x200000, 0u);
  EXPECT_EQ(p->cmb_mem_register_size % 0x200000, 0u);
  EXPECT_EQ(spdk_nvme_ctrlr_alloc_cmb_io_buffer(ctrlr, 0), nullptr);
  uint8_t* a = static_cast<uint8_t*>(spdk_nvme_ctrlr_alloc_cmb_io_buffer(ctrlr, 6));
  uint8_t* b = static_cast<uint8_t*>(spdk_nvme_ctrlr_alloc_cmb_io_buffer(ctrlr, 8));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b - a, 8) << "rounded up to a multiple of 4";
  EXPECT_EQ(spdk_nvme_ctrlr_alloc_cmb_io_buffer(ctrlr, p->cmb_mem_register_size), nullptr);
  spdk_nvme_ctrlr_free_cmb_io_buffer(ctrlr, a, 6);
}

}  // namespace
