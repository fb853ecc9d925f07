#include "fake_device.h"

#include <emmintrin.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "kyt/env_test.h"

namespace kyt::test {

namespace {
constexpr uint64_t kDefaultCap = 1023ull | (1ull << 16) | (0x20ull << 24) | (1ull << 37) | (4ull << 52);
uint8_t g_next_bus = 0x40;
}  // namespace

FakeDevice::FakeDevice(const Options& opts) : o_(opts)
{
  // Software functions are claimed machine-wide: a domain of this process's own keeps concurrent test processes
  // (ctest runs every test in its own process) from competing for the same address.
  char text[32];
  snprintf(text, sizeof(text), "%04x:%02x:00.0", 0x1000u + (unsigned)getpid() % 0xE000u, g_next_bus++);
  fd_ = memfd_create("kyt-fake-bar0", 0);
  if (spdk_pci_addr_parse(&addr_, text) != 0 || fd_ < 0 || ftruncate(fd_, (off_t)o_.bar_size) != 0) {
    throw std::runtime_error("fake device set-up");
  }
  bar_ = static_cast<uint8_t*>(mmap(nullptr, o_.bar_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0));
  if (bar_ == MAP_FAILED) throw std::runtime_error("mmap");
  SetReg64(SPDK_NVME_REG_CAP, o_.cap ? o_.cap : kDefaultCap);
  SetReg32(SPDK_NVME_REG_VS, 0x00010400);
  SetReg32(SPDK_NVME_REG_CMBSZ, o_.cmbsz);
  SetReg32(SPDK_NVME_REG_CMBLOC, o_.cmbloc);

  // Type 0 header of an NVMe function (QEMU's ids), class 01:08:02, 64-bit memory BAR0.
  SetCfg32(0x00, 0x00101b36u);
  SetCfg32(0x08, 0x01080200u);
  SetCfg32(0x10, o_.bar0_programmed ? ((uint32_t)o_.bar_phys | 0x4u) : 0);
  SetCfg32(0x14, o_.bar0_programmed ? (uint32_t)(o_.bar_phys >> 32) : 0);
  SetCfg32(0x04, o_.bar0_programmed ? 0x0002 : 0x0000);

  kyt_swdev_desc desc{};
  desc.addr = addr_;
  desc.id = {0x010802, 0x1b36, 0x0010, 0x1b36, 0x1100};
  desc.bar0_fd = fd_;
  desc.bar0_size = o_.bar_size;
  desc.bar0_phys = o_.bar_phys;
  desc.ops.cfg_read = &FakeDevice::CfgRead;
  desc.ops.cfg_write = &FakeDevice::CfgWrite;
  desc.ctx = this;
  if (kyt_swdev_register(&desc) != 0) throw std::runtime_error(std::string("kyt_swdev_register ") + text);
  auto enum_cb = [](void* ctx, spdk_pci_device* dev) {
    static_cast<FakeDevice*>(ctx)->dev_ = dev;
    return 0;
  };
  if (spdk_pci_device_attach(spdk_pci_nvme_get_driver(), enum_cb, this, &addr_) != 0 || !dev_) {
    kyt_swdev_unregister(&addr_);
    throw std::runtime_error(std::string("spdk_pci_device_attach ") + text);
  }
  spdk_nvme_ctrlr_get_default_ctrlr_opts(&opts_, sizeof(opts_));
}

FakeDevice::~FakeDevice()
{
  Destroy();
  kyt_swdev_unregister(&addr_);
  if (bar_) munmap(bar_, o_.bar_size);
  close(fd_);
}

int FakeDevice::CfgRead(void* ctx, void* value, uint32_t len, uint32_t offset)
{
  memcpy(value, &static_cast<FakeDevice*>(ctx)->cfg_[offset], len);
  return 0;
}

int FakeDevice::CfgWrite(void* ctx, const void* value, uint32_t len, uint32_t offset)
{
  auto* self = static_cast<FakeDevice*>(ctx);
  memcpy(&self->cfg_[offset], value, len);
  self->cfg_writes_.push_back(offset);
  return 0;
}

spdk_nvme_ctrlr* FakeDevice::Construct()
{
  spdk_nvme_transport_id trid{};
  trid.trtype = SPDK_NVME_TRANSPORT_PCIE;
  spdk_pci_addr_fmt(trid.traddr, sizeof(trid.traddr), &addr_);
  ctrlr_ = nvme_pcie_ctrlr_construct(&trid, &opts_, dev_);
  if (ctrlr_) dev_ = nullptr;  // the device handle now belongs to the controller, which detaches it at destruction
  return ctrlr_;
}

void FakeDevice::Destroy()
{
  if (ctrlr_) {
    nvme_ctrlr_destruct(ctrlr_);
  } else if (dev_) {
    spdk_pci_device_detach(dev_);
  }
  ctrlr_ = nullptr;
  dev_ = nullptr;
  cq_.clear();
}

void FakeDevice::Vanish()
{
  if (ftruncate(fd_, 0) != 0) throw std::runtime_error("ftruncate");
  munmap(bar_, o_.bar_size);
  bar_ = nullptr;
}

bool FakeDevice::WroteCfg(uint32_t offset) const
{
  return std::find(cfg_writes_.begin(), cfg_writes_.end(), offset) != cfg_writes_.end();
}

spdk_nvme_cmd FakeDevice::SqEntry(spdk_nvme_qpair* qpair, uint16_t slot)
{
  spdk_nvme_cmd cmd;
  _mm_sfence();
  memcpy(&cmd, (const void*)&nvme_pcie_qpair(qpair)->cmd[slot], sizeof(cmd));
  return cmd;
}

void FakeDevice::Post(spdk_nvme_qpair* qpair, uint16_t cid, uint8_t sct, uint8_t sc, uint32_t cdw0)
{
  struct nvme_pcie_qpair* pq = nvme_pcie_qpair(qpair);
  auto it = cq_.emplace(qpair, std::make_pair(uint16_t(0), uint8_t(1))).first;
  uint16_t& tail = it->second.first;
  uint8_t& phase = it->second.second;
  spdk_nvme_cpl cpl{};
  cpl.cdw0 = cdw0;
  cpl.sqid = qpair->id;
  cpl.cid = cid;
  cpl.sqhd = pq->sq_tail;
  cpl.status.sct = sct;
  cpl.status.sc = sc;
  cpl.status.p = phase;
  // Everything but the status word first, then the status with the phase tag.
  spdk_nvme_cpl* slot = &pq->cpl[tail];
  uint16_t status = cpl.status_raw;
  cpl.status_raw = slot->status_raw;
  memcpy(slot, &cpl, sizeof(cpl));
  __atomic_store_n(&slot->status_raw, status, __ATOMIC_RELEASE);
  if (++tail == pq->num_entries) {
    tail = 0;
    phase ^= 1;
  }
}

void* FakeDevice::Dma(uint64_t iova, uint64_t len) { return kyt_env_iova_to_vaddr(iova, len); }

spdk_nvme_io_qpair_opts IoOpts(uint32_t entries, bool delay_doorbell)
{
  spdk_nvme_io_qpair_opts o{};
  o.qprio = SPDK_NVME_QPRIO_URGENT;
  o.io_queue_size = entries;
  o.io_queue_requests = entries * 2;
  o.delay_pcie_doorbell = delay_doorbell;
  return o;
}

void DevTest::SetUp()
{
  dev_.reset(new FakeDevice());
  ctrlr_ = dev_->Construct();
  ASSERT_NE(ctrlr_, nullptr);
  buf_ = static_cast<uint8_t*>(spdk_zmalloc(520 * 4096, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  ASSERT_NE(buf_, nullptr);
}

void DevTest::TearDown()
{
  for (auto* q : qpairs_) {
    q->no_deletion_notification_needed = 1;  // the tests' completion logs are gone by now
    nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
  }
  spdk_free(buf_);
  dev_.reset();
  spdk_nvme_retry_count = 0;
  kyt_env_test_set_clock_scale(1);
}

spdk_nvme_qpair* DevTest::MakeQueue(uint32_t entries, bool delay, uint16_t qid)
{
  spdk_nvme_io_qpair_opts o = IoOpts(entries, delay);
  spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, qid, &o);
  if (q) qpairs_.push_back(q);
  return q;
}

void DevTest::Drop(spdk_nvme_qpair* q)
{
  qpairs_.erase(std::find(qpairs_.begin(), qpairs_.end(), q));
  dev_->ForgetQueue(q);
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
}

int DevTest::Io(spdk_nvme_qpair* q, uint8_t opc, void* data, uint32_t len, CplLog* log)
{
  spdk_nvme_cmd cmd{};
  cmd.opc = opc;
  cmd.nsid = 1;
  cmd.cdw10 = 0x1000;
  cmd.cdw12 = len / 512 - 1;
  cmd.cdw15 = 0xCAFEF00D;
  return spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, q, &cmd, data, len, &CplLog::Cb, log);
}

void DevTest::CompleteLastAdmin(uint8_t sc, uint32_t cdw0)
{
  dev_->Post(ctrlr_->adminq, LastAdmin().cid, 0, sc, cdw0);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
}

int DevTest::Count(nvme_request* first)
{
  int n = 0;
  for (; first; first = STAILQ_NEXT(first, stailq)) n++;
  return n;
}

}  // namespace kyt::test
