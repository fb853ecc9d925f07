// Namespaces: values derived from crafted Identify data, UUID descriptors, and construction by Identify.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "fake_device.h"

using kyt::test::FakeDevice;

namespace {

// A controller record with Identify data only: enough for the derived values.
class NsData : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ctrlr_ = static_cast<spdk_nvme_ctrlr*>(calloc(1, sizeof(spdk_nvme_ctrlr)));
    nsdata_ = static_cast<spdk_nvme_ns_data*>(calloc(2, sizeof(spdk_nvme_ns_data)));
    ctrlr_->nsdata = nsdata_;
    ctrlr_->max_xfer_size = 128 * 1024;
    ctrlr_->min_page_size = 4096;
    ns_ = static_cast<spdk_nvme_ns*>(calloc(1, sizeof(spdk_nvme_ns)));
    ns_->ctrlr = ctrlr_;
    ns_->id = 1;
  }
  void TearDown() override
  {
    free(ns_);
    free(nsdata_);
    free(ctrlr_);
  }
  spdk_nvme_ns_data& d() { return nsdata_[0]; }
  void Format(uint8_t index, uint8_t lbads, uint16_t ms, bool extended)
  {
    d().flbas.bits.format = index;
    d().flbas.bits.extended = extended;
    d().lbaf[index].lbads = lbads;
    d().lbaf[index].ms = ms;
  }

  spdk_nvme_ctrlr* ctrlr_ = nullptr;
  spdk_nvme_ns_data* nsdata_ = nullptr;
  spdk_nvme_ns* ns_ = nullptr;
};

TEST_F(NsData, ExtendedLbaAddsMetadataToTheSectorSize)
{
  Format(2, 9, 8, true);
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_sector_size(ns_), 512u);
  EXPECT_EQ(spdk_nvme_ns_get_extended_sector_size(ns_), 520u);
  EXPECT_EQ(spdk_nvme_ns_get_md_size(ns_), 8u);
  EXPECT_TRUE(spdk_nvme_ns_supports_extended_lba(ns_));
  EXPECT_EQ(ns_->sectors_per_max_io, 128u * 1024 / 520);

  Format(2, 9, 8, false);
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_extended_sector_size(ns_), 512u);
  EXPECT_EQ(spdk_nvme_ns_get_md_size(ns_), 8u);
  EXPECT_FALSE(spdk_nvme_ns_supports_extended_lba(ns_));
  EXPECT_EQ(ns_->sectors_per_max_io, 256u);

  Format(0, 12, 0, false);
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_sector_size(ns_), 4096u);
  EXPECT_EQ(ns_->sectors_per_max_io, 32u);
}

TEST_F(NsData, FlagsComeFromControllerAndNamespaceData)
{
  Format(0, 9, 0, false);
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_flags(ns_), 0u);

  ctrlr_->cdata.oncs.raw = 0x0004;  // dataset management
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_flags(ns_), (uint32_t)SPDK_NVME_NS_DEALLOCATE_SUPPORTED);
  ctrlr_->cdata.oncs.raw = 0x0008;  // write zeroes
  ctrlr_->cdata.vwc.raw = 0x01;
  d().nsrescap.raw = 0x02;
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_flags(ns_), (uint32_t)(SPDK_NVME_NS_WRITE_ZEROES_SUPPORTED | SPDK_NVME_NS_FLUSH_SUPPORTED |
                                                    SPDK_NVME_NS_RESERVATION_SUPPORTED));

  // Protection information needs metadata.
  d().dps.raw = 0x03;
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_pi_type(ns_), SPDK_NVME_FMT_NVM_PROTECTION_DISABLE);
  EXPECT_FALSE(spdk_nvme_ns_get_flags(ns_) & SPDK_NVME_NS_DPS_PI_SUPPORTED);
  Format(0, 9, 8, false);
  d().dps.raw = 0x0B;  // type 3, metadata first
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_pi_type(ns_), SPDK_NVME_FMT_NVM_PROTECTION_TYPE3);
  EXPECT_TRUE(spdk_nvme_ns_get_flags(ns_) & SPDK_NVME_NS_DPS_PI_SUPPORTED);
}

TEST_F(NsData, StripeFromNoiobOrTheVendorByte)
{
  Format(0, 9, 0, false);
  ctrlr_->cdata.vs[3] = 5;  // 4 KiB << 5 = 128 KiB
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(ns_), 0u) << "vendor byte only with the quirk";
  ctrlr_->quirks = NVME_QUIRK_VENDOR_STRIPE;
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(ns_), 256u);
  d().noiob = 64;
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(ns_), 64u) << "the namespace's own boundary wins";
  d().noiob = 0;
  ctrlr_->cdata.vs[3] = 200;  // would shift far past 64 bits
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(ns_), UINT32_MAX);
}

TEST_F(NsData, OversizedLbadsIsGuarded)
{
  Format(0, 40, 0, false);
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_sector_size(ns_), 0u);
  EXPECT_EQ(ns_->sectors_per_max_io, 0u);
}

TEST_F(NsData, SizeActivityAndDeallocatedReadValue)
{
  Format(0, 12, 0, false);
  d().nsze = 1000;
  d().ncap = 0;
  d().dlfeat.raw = 0x02;
  nvme_ns_set_identify_data(ns_);
  EXPECT_EQ(spdk_nvme_ns_get_num_sectors(ns_), 1000u);
  EXPECT_EQ(spdk_nvme_ns_get_size(ns_), 1000u * 4096);
  EXPECT_FALSE(spdk_nvme_ns_is_active(ns_));
  d().ncap = 1;
  EXPECT_TRUE(spdk_nvme_ns_is_active(ns_));
  EXPECT_EQ(spdk_nvme_ns_get_dealloc_logical_block_read_value(ns_), SPDK_NVME_DEALLOC_READ_FF);
  ctrlr_->quirks = NVME_QUIRK_DEALLOC_READS_ZERO;
  EXPECT_EQ(spdk_nvme_ns_get_dealloc_logical_block_read_value(ns_), SPDK_NVME_DEALLOC_READ_00);
  EXPECT_EQ(spdk_nvme_ns_get_max_io_xfer_size(ns_), 128u * 1024);
  EXPECT_EQ(spdk_nvme_ns_get_id(ns_), 1u);
  EXPECT_EQ(spdk_nvme_ns_get_ctrlr(ns_), ctrlr_);
  EXPECT_EQ(spdk_nvme_ns_get_data(ns_), &nsdata_[0]);

  nvme_ns_destruct(ns_);
  EXPECT_EQ(d().nsze, 0u);
  EXPECT_EQ(spdk_nvme_ns_get_sector_size(ns_), 0u);
  EXPECT_EQ(spdk_nvme_ns_get_flags(ns_), 0u);
  EXPECT_FALSE(spdk_nvme_ns_is_active(ns_));
}

void PutDesc(uint8_t* list, size_t* off, uint8_t type, uint8_t len, uint8_t fill)
{
  list[*off] = type;
  list[*off + 1] = len;
  memset(&list[*off + 4], fill, len);
  *off += 4 + len;
}

TEST_F(NsData, UuidFromTheDescriptorList)
{
  size_t off = 0;
  EXPECT_EQ(spdk_nvme_ns_get_uuid(ns_), nullptr) << "empty list";
  PutDesc(ns_->id_desc_list, &off, SPDK_NVME_NIDT_UUID, 16, 0x42);
  const uint8_t* uuid = spdk_nvme_ns_get_uuid(ns_);
  ASSERT_EQ(uuid, &ns_->id_desc_list[4]);
  EXPECT_EQ(uuid[15], 0x42);

  memset(ns_->id_desc_list, 0, sizeof(ns_->id_desc_list));
  off = 0;
  PutDesc(ns_->id_desc_list, &off, SPDK_NVME_NIDT_EUI64, 8, 0x01);
  PutDesc(ns_->id_desc_list, &off, SPDK_NVME_NIDT_NGUID, 16, 0x02);
  PutDesc(ns_->id_desc_list, &off, SPDK_NVME_NIDT_UUID, 16, 0x03);
  uuid = spdk_nvme_ns_get_uuid(ns_);
  ASSERT_EQ(uuid, &ns_->id_desc_list[12 + 20 + 4]);
  EXPECT_EQ(uuid[0], 0x03);

  memset(ns_->id_desc_list, 0, sizeof(ns_->id_desc_list));
  off = 0;
  PutDesc(ns_->id_desc_list, &off, SPDK_NVME_NIDT_UUID, 8, 0x03);
  EXPECT_EQ(spdk_nvme_ns_get_uuid(ns_), nullptr) << "a UUID must be 16 bytes";

  // A descriptor running past the end of the list ends the walk, even a UUID.
  memset(ns_->id_desc_list, 0, sizeof(ns_->id_desc_list));
  off = 0;
  while (off + 12 <= 4092) {
    PutDesc(ns_->id_desc_list, &off, SPDK_NVME_NIDT_EUI64, 8, 0x01);
  }
  ASSERT_EQ(off, 4092u);
  ns_->id_desc_list[off] = SPDK_NVME_NIDT_UUID;
  ns_->id_desc_list[off + 1] = 16;
  EXPECT_EQ(spdk_nvme_ns_get_uuid(ns_), nullptr);
}

// Identify Namespace and the descriptor list as a device answers them.
struct NsAnswers {
  std::atomic<int> identify_ns{0}, identify_desc{0};
  std::atomic<uint8_t> ns_status{0}, desc_status{0};
  uint8_t Answer(const spdk_nvme_cmd& c)
  {
    if (c.opc == SPDK_NVME_OPC_IDENTIFY && (c.cdw10 & 0xFF) == SPDK_NVME_IDENTIFY_NS) {
      identify_ns++;
      auto* d = static_cast<spdk_nvme_ns_data*>(FakeDevice::Dma(c.dptr.prp.prp1, 4096));
      memset(d, 0, 4096);
      d->nsze = d->ncap = 2048;
      d->flbas.raw = 0x11;  // format 1, extended
      d->lbaf[1].lbads = 9;
      d->lbaf[1].ms = 8;
      return ns_status;
    }
    if (c.opc == SPDK_NVME_OPC_IDENTIFY && (c.cdw10 & 0xFF) == SPDK_NVME_IDENTIFY_NS_ID_DESCRIPTOR_LIST) {
      identify_desc++;
      auto* l = static_cast<uint8_t*>(FakeDevice::Dma(c.dptr.prp.prp1, 4096));
      memset(l, 0, 4096);
      l[0] = SPDK_NVME_NIDT_UUID;
      l[1] = 16;
      memset(l + 4, 0x99, 16);
      return desc_status;
    }
    return 0;
  }
};

class NsConstruct : public ::testing::Test {
 protected:
  void SetUp() override
  {
    FakeDevice::Options o;
    o.bus = NextBus();
    o.vs = vs_;
    dev_.reset(new FakeDevice(o));
    ctrlr_ = dev_->Construct();
    ASSERT_NE(ctrlr_, nullptr);
    ctrlr_->max_xfer_size = 64 * 1024;
    nsdata_ = static_cast<spdk_nvme_ns_data*>(
        spdk_zmalloc(sizeof(spdk_nvme_ns_data), 64, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
    saved_nsdata_ = ctrlr_->nsdata;
    ctrlr_->nsdata = nsdata_;
    ns_ = static_cast<spdk_nvme_ns*>(calloc(1, sizeof(spdk_nvme_ns)));
  }
  void TearDown() override
  {
    if (ctrlr_) ctrlr_->nsdata = saved_nsdata_;
    spdk_free(nsdata_);
    free(ns_);
    dev_.reset();
  }
  static uint8_t NextBus()
  {
    static uint8_t bus = 0xC0;
    return bus++;
  }
  uint32_t vs_ = 0x00010300;
  std::unique_ptr<FakeDevice> dev_;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
  spdk_nvme_ns_data* nsdata_ = nullptr;
  spdk_nvme_ns_data* saved_nsdata_ = nullptr;
  spdk_nvme_ns* ns_ = nullptr;
};

TEST_F(NsConstruct, IdentifiesTheNamespaceAndItsDescriptors)
{
  NsAnswers r;
  kyt::test::AdminResponder dev(dev_.get(), ctrlr_, [&](const spdk_nvme_cmd& c) { return r.Answer(c); });
  ASSERT_EQ(nvme_ns_construct(ns_, 1, ctrlr_), 0);
  EXPECT_EQ(r.identify_ns, 1);
  EXPECT_EQ(r.identify_desc, 1);
  EXPECT_EQ(spdk_nvme_ns_get_extended_sector_size(ns_), 520u);
  EXPECT_EQ(spdk_nvme_ns_get_num_sectors(ns_), 2048u);
  EXPECT_EQ(ns_->sectors_per_max_io, 64u * 1024 / 520);
  const uint8_t* uuid = spdk_nvme_ns_get_uuid(ns_);
  ASSERT_NE(uuid, nullptr);
  EXPECT_EQ(uuid[7], 0x99);
}

TEST_F(NsConstruct, FailedIdentifyLeavesAnEmptyNamespaceAndAFailedListIsReported)
{
  NsAnswers r;
  kyt::test::AdminResponder dev(dev_.get(), ctrlr_, [&](const spdk_nvme_cmd& c) { return r.Answer(c); });
  r.ns_status = SPDK_NVME_SC_INVALID_NAMESPACE_OR_FORMAT;
  r.desc_status = SPDK_NVME_SC_INVALID_FIELD;
  EXPECT_EQ(nvme_ns_construct(ns_, 1, ctrlr_), -EIO);
  EXPECT_EQ(ns_->id, 1u);
  EXPECT_EQ(spdk_nvme_ns_get_sector_size(ns_), 0u);
  EXPECT_EQ(nsdata_->nsze, 0u) << "the Identify data is zeroed";
  EXPECT_FALSE(spdk_nvme_ns_is_active(ns_));
  EXPECT_EQ(spdk_nvme_ns_get_uuid(ns_), nullptr);
}

class NsConstructOld : public NsConstruct {
 protected:
  void SetUp() override
  {
    vs_ = 0x00010201;
    NsConstruct::SetUp();
  }
};

TEST_F(NsConstructOld, ControllersBeforeVersion13AreNotAskedForDescriptors)
{
  NsAnswers r;
  kyt::test::AdminResponder dev(dev_.get(), ctrlr_, [&](const spdk_nvme_cmd& c) { return r.Answer(c); });
  ASSERT_EQ(nvme_ns_construct(ns_, 1, ctrlr_), 0);
  EXPECT_EQ(r.identify_ns, 1);
  EXPECT_EQ(r.identify_desc, 0);
}

}  // namespace
