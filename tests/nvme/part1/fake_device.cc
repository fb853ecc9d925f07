#include "fake_device.h"

#include <emmintrin.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "kyt/env_test.h"

namespace kyt::test {

namespace {
constexpr uint64_t kDefaultCap = 1023ull | (1ull << 16) | (0x20ull << 24) | (1ull << 37) | (4ull << 52);
}

FakeDevice::FakeDevice(const Options& opts) : o_(opts)
{
  // Software functions are claimed machine-wide: a domain of this process's own keeps concurrent test processes
  // (ctest runs every test in its own process) from competing for the same address.
  char text[32];
  snprintf(text, sizeof(text), "%04x:%02x:00.0", 0x1000u + (unsigned)getpid() % 0xE000u, o_.bus);
  address_ = text;
  if (spdk_pci_addr_parse(&addr_, text) != 0) {
    throw std::runtime_error("bad test address");
  }

  fd_ = memfd_create("kyt-fake-bar0", 0);
  if (fd_ < 0 || ftruncate(fd_, (off_t)o_.bar_size) != 0) {
    throw std::runtime_error("memfd");
  }
  bar_ = static_cast<uint8_t*>(mmap(nullptr, o_.bar_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0));
  if (bar_ == MAP_FAILED) {
    throw std::runtime_error("mmap");
  }
  SetReg64(SPDK_NVME_REG_CAP, o_.cap ? o_.cap : kDefaultCap);
  SetReg32(SPDK_NVME_REG_VS, o_.vs);
  SetReg32(SPDK_NVME_REG_CMBSZ, o_.cmbsz);
  SetReg32(SPDK_NVME_REG_CMBLOC, o_.cmbloc);

  // Type 0 header of an NVMe function.
  uint32_t id = ((uint32_t)o_.device << 16) | o_.vendor;
  memcpy(&cfg_[0x00], &id, 4);
  uint32_t cls = 0x01080200u;  // class 01:08:02, revision 0
  memcpy(&cfg_[0x08], &cls, 4);
  uint32_t bar_lo = o_.bar0_programmed ? ((uint32_t)o_.bar_phys | 0x4u) : 0;  // 64-bit memory BAR
  uint32_t bar_hi = o_.bar0_programmed ? (uint32_t)(o_.bar_phys >> 32) : 0;
  memcpy(&cfg_[0x10], &bar_lo, 4);
  memcpy(&cfg_[0x14], &bar_hi, 4);
  uint16_t cmd = o_.bar0_programmed ? 0x0002 : 0x0000;
  memcpy(&cfg_[0x04], &cmd, 2);

  kyt_swdev_desc desc{};
  desc.addr = addr_;
  desc.id.class_id = 0x010802;
  desc.id.vendor_id = o_.vendor;
  desc.id.device_id = o_.device;
  desc.id.subvendor_id = o_.vendor;
  desc.id.subdevice_id = 0x1100;
  desc.bar0_fd = fd_;
  desc.bar0_size = o_.bar_size;
  desc.bar0_phys = o_.bar_phys;
  desc.ops.cfg_read = &FakeDevice::CfgRead;
  desc.ops.cfg_write = &FakeDevice::CfgWrite;
  desc.ctx = this;
  if (kyt_swdev_register(&desc) != 0) {
    throw std::runtime_error("kyt_swdev_register " + address_);
  }
  if (spdk_pci_device_attach(spdk_pci_nvme_get_driver(), &FakeDevice::EnumCb, this, &addr_) != 0 || !dev_) {
    kyt_swdev_unregister(&addr_);
    throw std::runtime_error("spdk_pci_device_attach " + address_);
  }

  spdk_nvme_ctrlr_get_default_ctrlr_opts(&opts_, sizeof(opts_));
}

FakeDevice::~FakeDevice()
{
  Destroy();
  kyt_swdev_unregister(&addr_);
  if (bar_) {
    munmap(bar_, o_.bar_size);
  }
  if (fd_ >= 0) {
    close(fd_);
  }
}

int FakeDevice::EnumCb(void* ctx, spdk_pci_device* dev)
{
  static_cast<FakeDevice*>(ctx)->dev_ = dev;
  return 0;
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
  self->cfg_writes_.emplace_back(offset, len);
  return 0;
}

spdk_nvme_ctrlr* FakeDevice::Construct()
{
  spdk_nvme_transport_id trid{};
  trid.trtype = SPDK_NVME_TRANSPORT_PCIE;
  snprintf(trid.traddr, sizeof(trid.traddr), "%s", address_.c_str());
  ctrlr_ = nvme_pcie_ctrlr_construct(&trid, &opts_, dev_);
  if (ctrlr_) {
    // The device handle now belongs to the controller, which detaches it at destruction.
    dev_ = nullptr;
  }
  return ctrlr_;
}

void FakeDevice::Destroy()
{
  if (ctrlr_) {
    nvme_ctrlr_destruct(ctrlr_);
    ctrlr_ = nullptr;
  } else if (dev_) {
    spdk_pci_device_detach(dev_);
    dev_ = nullptr;
  }
  queues_.clear();
}

uint32_t FakeDevice::Reg32(uint32_t offset) const
{
  return __atomic_load_n(reinterpret_cast<uint32_t*>(bar_ + offset), __ATOMIC_SEQ_CST);
}

uint64_t FakeDevice::Reg64(uint32_t offset) const
{
  uint64_t v;
  memcpy(&v, bar_ + offset, 8);
  return v;
}

void FakeDevice::SetReg32(uint32_t offset, uint32_t value)
{
  __atomic_store_n(reinterpret_cast<uint32_t*>(bar_ + offset), value, __ATOMIC_SEQ_CST);
}

void FakeDevice::SetReg64(uint32_t offset, uint64_t value)
{
  memcpy(bar_ + offset, &value, 8);
}

void FakeDevice::Vanish()
{
  if (ftruncate(fd_, 0) != 0) {
    throw std::runtime_error("ftruncate");
  }
  munmap(bar_, o_.bar_size);
  bar_ = nullptr;
}

uint32_t FakeDevice::Cfg32(uint32_t offset) const
{
  uint32_t v;
  memcpy(&v, &cfg_[offset], 4);
  return v;
}

uint16_t FakeDevice::Cfg16(uint32_t offset) const
{
  uint16_t v;
  memcpy(&v, &cfg_[offset], 2);
  return v;
}

void FakeDevice::SetCfg32(uint32_t offset, uint32_t value)
{
  memcpy(&cfg_[offset], &value, 4);
}

static uint32_t Stride(uint64_t cap)
{
  return 1u << ((cap >> 32) & 0xF);
}

uint32_t FakeDevice::SqDoorbell(uint16_t qid) const
{
  return Reg32(0x1000 + (2u * qid) * Stride(Reg64(0)) * 4);
}

uint32_t FakeDevice::CqDoorbell(uint16_t qid) const
{
  return Reg32(0x1000 + (2u * qid + 1) * Stride(Reg64(0)) * 4);
}

spdk_nvme_cmd FakeDevice::SqEntry(spdk_nvme_qpair* qpair, uint16_t slot)
{
  spdk_nvme_cmd cmd;
  _mm_sfence();
  memcpy(&cmd, (const void*)&nvme_pcie_qpair(qpair)->cmd[slot], sizeof(cmd));
  return cmd;
}

void FakeDevice::Post(spdk_nvme_qpair* qpair, uint16_t cid, uint8_t sct, uint8_t sc, uint32_t cdw0, bool dnr)
{
  struct nvme_pcie_qpair* pq = nvme_pcie_qpair(qpair);
  DevQueue& q = queues_[qpair];
  spdk_nvme_cpl cpl{};
  cpl.cdw0 = cdw0;
  cpl.sqid = qpair->id;
  cpl.cid = cid;
  cpl.sqhd = pq->sq_tail;
  cpl.status.sct = sct;
  cpl.status.sc = sc;
  cpl.status.dnr = dnr ? 1 : 0;
  cpl.status.p = q.phase;
  // Everything but the status word first, then the status with the phase tag.
  spdk_nvme_cpl* slot = &pq->cpl[q.cq_tail];
  uint16_t status = cpl.status_raw;
  cpl.status_raw = slot->status_raw;
  memcpy(slot, &cpl, sizeof(cpl));
  __atomic_store_n(&slot->status_raw, status, __ATOMIC_RELEASE);
  if (++q.cq_tail == pq->num_entries) {
    q.cq_tail = 0;
    q.phase ^= 1;
  }
}

int FakeDevice::PostAllPending(spdk_nvme_qpair* qpair)
{
  struct nvme_pcie_qpair* pq = nvme_pcie_qpair(qpair);
  DevQueue& q = queues_[qpair];
  int n = 0;
  while (q.sq_seen != pq->sq_tail) {
    spdk_nvme_cmd cmd = SqEntry(qpair, q.sq_seen);
    Post(qpair, cmd.cid);
    q.sq_seen = (uint16_t)((q.sq_seen + 1) % pq->num_entries);
    n++;
  }
  return n;
}

void* FakeDevice::Dma(uint64_t iova, uint64_t len)
{
  return kyt_env_iova_to_vaddr(iova, len);
}

AdminResponder::AdminResponder(FakeDevice* dev, spdk_nvme_ctrlr* ctrlr, Handler handler)
    : dev_(dev), ctrlr_(ctrlr), handler_(std::move(handler)), start_tail_(dev->SqDoorbell(0)),
      thread_([this] { Run(); })
{
}

AdminResponder::~AdminResponder()
{
  stop_ = true;
  thread_.join();
}

std::vector<spdk_nvme_cmd> AdminResponder::Seen()
{
  std::lock_guard<std::mutex> lock(mu_);
  return seen_;
}

void AdminResponder::Run()
{
  uint32_t seen = start_tail_;
  uint16_t entries = nvme_pcie_qpair(ctrlr_->adminq)->num_entries;
  while (!stop_) {
    uint32_t tail = dev_->SqDoorbell(0);
    while (seen != tail) {
      spdk_nvme_cmd c = FakeDevice::SqEntry(ctrlr_->adminq, (uint16_t)seen);
      uint8_t sc = handler_ ? handler_(c) : 0;
      {
        std::lock_guard<std::mutex> lock(mu_);
        seen_.push_back(c);
      }
      dev_->Post(ctrlr_->adminq, c.cid, 0, sc);
      seen = (seen + 1) % entries;
    }
    std::this_thread::yield();
  }
}

spdk_nvme_io_qpair_opts IoOpts(uint32_t entries, uint32_t requests, bool delay_doorbell)
{
  spdk_nvme_io_qpair_opts o{};
  o.qprio = SPDK_NVME_QPRIO_URGENT;
  o.io_queue_size = entries;
  o.io_queue_requests = requests ? requests : entries * 2;
  o.delay_pcie_doorbell = delay_doorbell;
  return o;
}

}  // namespace kyt::test
