// Namespaces: values derived from crafted Identify data and UUID descriptors (construction by Identify is tested on
// the simulated controller).
#include <cstring>

#include "fake_device.h"

namespace kyt::test {
namespace {

// A controller record with Identify data only: enough for the derived values.
class NsData : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ctrlr_.nsdata = &d_;
    ctrlr_.max_xfer_size = 128 * 1024;
    ctrlr_.min_page_size = 4096;
    ns_.ctrlr = &ctrlr_;
    ns_.id = 1;
  }
  void Format(uint8_t index, uint8_t lbads, uint16_t ms, bool extended)
  {
    d_.flbas.bits.format = index;
    d_.flbas.bits.extended = extended;
    d_.lbaf[index].lbads = lbads;
    d_.lbaf[index].ms = ms;
    nvme_ns_set_identify_data(&ns_);
  }
  spdk_nvme_ctrlr ctrlr_{};
  spdk_nvme_ns_data d_{};
  spdk_nvme_ns ns_{};
};

TEST_F(NsData, SectorSizesMetadataAndMaxIo)
{
  struct {
    uint8_t index, lbads;
    uint16_t ms;
    bool extended;
    uint32_t sector, extended_sector, per_max_io;
  } cases[] = {{2, 9, 8, true, 512, 520, 128 * 1024 / 520},
               {2, 9, 8, false, 512, 512, 256},
               {0, 12, 0, false, 4096, 4096, 32},
               {0, 40, 0, false, 0, 0, 0}};  // LBADS past 32 bits is guarded
  for (auto& c : cases) {
    Format(c.index, c.lbads, c.ms, c.extended);
    EXPECT_EQ(spdk_nvme_ns_get_sector_size(&ns_), c.sector) << int(c.lbads);
    EXPECT_EQ(spdk_nvme_ns_get_extended_sector_size(&ns_), c.extended_sector) << int(c.lbads);
    EXPECT_EQ(spdk_nvme_ns_get_md_size(&ns_), c.ms) << int(c.lbads);
    EXPECT_EQ(spdk_nvme_ns_supports_extended_lba(&ns_), c.extended) << int(c.lbads);
    EXPECT_EQ(ns_.sectors_per_max_io, c.per_max_io) << int(c.lbads);
  }
}

TEST_F(NsData, FlagsComeFromControllerAndNamespaceData)
{
  Format(0, 9, 0, false);
  EXPECT_EQ(spdk_nvme_ns_get_flags(&ns_), 0u);
  ctrlr_.cdata.oncs.raw = 0x0004;  // dataset management
  Format(0, 9, 0, false);
  EXPECT_EQ(spdk_nvme_ns_get_flags(&ns_), (uint32_t)SPDK_NVME_NS_DEALLOCATE_SUPPORTED);
  ctrlr_.cdata.oncs.raw = 0x0008;  // write zeroes
  ctrlr_.cdata.vwc.raw = 0x01;
  d_.nsrescap.raw = 0x02;
  Format(0, 9, 0, false);
  EXPECT_EQ(spdk_nvme_ns_get_flags(&ns_),
            (uint32_t)(SPDK_NVME_NS_WRITE_ZEROES_SUPPORTED | SPDK_NVME_NS_FLUSH_SUPPORTED |
                       SPDK_NVME_NS_RESERVATION_SUPPORTED));
  // Protection information needs metadata.
  d_.dps.raw = 0x03;
  Format(0, 9, 0, false);
  EXPECT_EQ(spdk_nvme_ns_get_pi_type(&ns_), SPDK_NVME_FMT_NVM_PROTECTION_DISABLE);
  EXPECT_FALSE(spdk_nvme_ns_get_flags(&ns_) & SPDK_NVME_NS_DPS_PI_SUPPORTED);
  d_.dps.raw = 0x0B;  // type 3, metadata first
  Format(0, 9, 8, false);
  EXPECT_EQ(spdk_nvme_ns_get_pi_type(&ns_), SPDK_NVME_FMT_NVM_PROTECTION_TYPE3);
  EXPECT_TRUE(spdk_nvme_ns_get_flags(&ns_) & SPDK_NVME_NS_DPS_PI_SUPPORTED);
}

TEST_F(NsData, StripeFromNoiobOrTheVendorByte)
{
  ctrlr_.cdata.vs[3] = 5;  // 4 KiB << 5 = 128 KiB
  Format(0, 9, 0, false);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(&ns_), 0u) << "vendor byte only with the quirk";
  ctrlr_.quirks = NVME_QUIRK_VENDOR_STRIPE;
  Format(0, 9, 0, false);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(&ns_), 256u);
  d_.noiob = 64;
  Format(0, 9, 0, false);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(&ns_), 64u) << "the namespace's own boundary wins";
  d_.noiob = 0;
  ctrlr_.cdata.vs[3] = 200;  // would shift far past 64 bits
  Format(0, 9, 0, false);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(&ns_), UINT32_MAX);
}

TEST_F(NsData, SizeActivityDeallocatedReadValueAndDestruct)
{
  d_.nsze = 1000;
  d_.dlfeat.raw = 0x02;
  Format(0, 12, 0, false);
  EXPECT_EQ(spdk_nvme_ns_get_size(&ns_), 1000u * 4096);
  EXPECT_FALSE(spdk_nvme_ns_is_active(&ns_)) << "NCAP 0";
  d_.ncap = 1;
  EXPECT_TRUE(spdk_nvme_ns_is_active(&ns_));
  EXPECT_EQ(spdk_nvme_ns_get_dealloc_logical_block_read_value(&ns_), SPDK_NVME_DEALLOC_READ_FF);
  ctrlr_.quirks = NVME_QUIRK_DEALLOC_READS_ZERO;
  EXPECT_EQ(spdk_nvme_ns_get_dealloc_logical_block_read_value(&ns_), SPDK_NVME_DEALLOC_READ_00);
  nvme_ns_destruct(&ns_);
  EXPECT_EQ(d_.nsze, 0u);
  EXPECT_EQ(spdk_nvme_ns_get_sector_size(&ns_), 0u);
  EXPECT_EQ(spdk_nvme_ns_get_flags(&ns_), 0u);
  EXPECT_FALSE(spdk_nvme_ns_is_active(&ns_));
}

TEST_F(NsData, UuidFromTheDescriptorList)
{
  uint8_t* list = ns_.id_desc_list;
  size_t off = 0;
  auto put = [&](uint8_t type, uint8_t len, uint8_t fill) {
    list[off] = type;
    list[off + 1] = len;
    memset(&list[off + 4], fill, len);
    off += 4 + len;
  };
  auto reset = [&] {
    memset(list, 0, sizeof(ns_.id_desc_list));
    off = 0;
  };
  EXPECT_EQ(spdk_nvme_ns_get_uuid(&ns_), nullptr) << "empty list";
  put(SPDK_NVME_NIDT_EUI64, 8, 0x01);
  put(SPDK_NVME_NIDT_NGUID, 16, 0x02);
  put(SPDK_NVME_NIDT_UUID, 16, 0x03);
  EXPECT_EQ(spdk_nvme_ns_get_uuid(&ns_), &list[12 + 20 + 4]);
  reset();
  put(SPDK_NVME_NIDT_UUID, 8, 0x03);
  EXPECT_EQ(spdk_nvme_ns_get_uuid(&ns_), nullptr) << "a UUID must be 16 bytes";
  // A descriptor running past the end of the list ends the walk, even a UUID.
  reset();
  while (off + 12 <= 4092) put(SPDK_NVME_NIDT_EUI64, 8, 0x01);
  ASSERT_EQ(off, 4092u);
  list[off] = SPDK_NVME_NIDT_UUID;
  list[off + 1] = 16;
  EXPECT_EQ(spdk_nvme_ns_get_uuid(&ns_), nullptr);
}

}  // namespace
}  // namespace kyt::test
