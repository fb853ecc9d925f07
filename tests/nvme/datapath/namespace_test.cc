// Namespaces: values derived from crafted Identify data and UUID descriptors (construction by Identify is tested on
// the simulated controller).
#include <cstring>

#include "fake_device.h"

namespace kyt::test {
namespace {

// A controller record with Identify data only: enough for the derived values.
class NsData : public ::testing::Test {
 protected:
  void SetUp() override {
    ctrlr_.nsdata = &d_;
    ctrlr_.max_xfer_size = 128 * 1024;
    ctrlr_.min_page_size = 4096;
    ns_.ctrlr = &ctrlr_;
    ns_.id = 1;
  }
  void Format(uint8_t lbads, uint16_t ms, bool extended = false, uint8_t index = 0) {
    d_.flbas.bits.format = index;
    d_.flbas.bits.extended = extended;
    d_.lbaf[index].lbads = lbads;
    d_.lbaf[index].ms = ms;
    nvme_ns_set_identify_data(&ns_);
  }
  std::vector<uint64_t> Sizes() {  // sector, extended sector, metadata, sectors per largest transfer
    return {spdk_nvme_ns_get_sector_size(&ns_), spdk_nvme_ns_get_extended_sector_size(&ns_),
            spdk_nvme_ns_get_md_size(&ns_), ns_.sectors_per_max_io};
  }
  spdk_nvme_ctrlr ctrlr_{};
  spdk_nvme_ns_data d_{};
  spdk_nvme_ns ns_{};
};

// Sizes of the chosen format (LBADS past 32 bits is guarded); flags from controller and namespace data; protection
// information only with metadata; a namespace made inactive keeps nothing; the deallocated-read value.
TEST_F(NsData, SizesFlagsProtectionAndDestruct) {
  Format(9, 8, true, 2);
  EXPECT_EQ(Sizes(), (std::vector<uint64_t>{512, 520, 8, 128 * 1024 / 520}));
  Format(9, 8, false, 2);
  EXPECT_EQ(Sizes(), (std::vector<uint64_t>{512, 512, 8, 256}));
  Format(40, 0);
  EXPECT_EQ(Sizes(), (std::vector<uint64_t>{0, 0, 0, 0}));
  ctrlr_.cdata.oncs.raw = 0x000C;  // dataset management, write zeroes
  ctrlr_.cdata.vwc.raw = 0x01;
  d_.nsrescap.raw = 0x02;
  d_.dps.raw = 0x03;
  Format(9, 0);
  EXPECT_EQ(spdk_nvme_ns_get_flags(&ns_), (uint32_t)(SPDK_NVME_NS_DEALLOCATE_SUPPORTED | SPDK_NVME_NS_FLUSH_SUPPORTED |
                                                     SPDK_NVME_NS_WRITE_ZEROES_SUPPORTED |
                                                     SPDK_NVME_NS_RESERVATION_SUPPORTED));
  d_.dps.raw = 0x0B;  // type 3, metadata first
  Format(9, 8);
  EXPECT_EQ(spdk_nvme_ns_get_pi_type(&ns_), SPDK_NVME_FMT_NVM_PROTECTION_TYPE3);
  d_.dlfeat.raw = 0x02;
  EXPECT_EQ(spdk_nvme_ns_get_dealloc_logical_block_read_value(&ns_), SPDK_NVME_DEALLOC_READ_FF);
  ctrlr_.quirks = NVME_QUIRK_DEALLOC_READS_ZERO;
  EXPECT_EQ(spdk_nvme_ns_get_dealloc_logical_block_read_value(&ns_), SPDK_NVME_DEALLOC_READ_00);
  nvme_ns_destruct(&ns_);
  EXPECT_EQ(Sizes(), (std::vector<uint64_t>{0, 0, 0, 0}));
  EXPECT_EQ(spdk_nvme_ns_get_flags(&ns_), 0u);
}

TEST_F(NsData, StripeFromNoiobOrTheVendorByte) {
  ctrlr_.cdata.vs[3] = 5;  // 4 KiB << 5 = 128 KiB
  Format(9, 0);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(&ns_), 0u) << "vendor byte only with the quirk";
  ctrlr_.quirks = NVME_QUIRK_VENDOR_STRIPE;
  Format(9, 0);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(&ns_), 256u);
  d_.noiob = 64;
  Format(9, 0);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(&ns_), 64u) << "the namespace's own boundary wins";
  d_.noiob = 0;
  ctrlr_.cdata.vs[3] = 200;  // would shift far past 64 bits
  Format(9, 0);
  EXPECT_EQ(spdk_nvme_ns_get_optimal_io_boundary(&ns_), UINT32_MAX);
}

// The UUID descriptor, 16 bytes, behind others; a descriptor running past the end of the list ends the walk.
TEST_F(NsData, UuidFromTheDescriptorList) {
  uint8_t* list = ns_.id_desc_list;
  size_t off = 0;
  auto put = [&](uint8_t type, uint8_t len) {
    list[off] = type;
    list[off + 1] = len;
    off += 4 + len;
  };
  put(SPDK_NVME_NIDT_EUI64, 8);
  put(SPDK_NVME_NIDT_NGUID, 16);
  put(SPDK_NVME_NIDT_UUID, 16);
  EXPECT_EQ(spdk_nvme_ns_get_uuid(&ns_), &list[12 + 20 + 4]);
  list[12 + 20 + 1] = 8;
  EXPECT_EQ(spdk_nvme_ns_get_uuid(&ns_), nullptr) << "a UUID must be 16 bytes";
  for (off = 0; off + 12 <= 4092;) put(SPDK_NVME_NIDT_EUI64, 8);
  put(SPDK_NVME_NIDT_UUID, 16);
  EXPECT_EQ(spdk_nvme_ns_get_uuid(&ns_), nullptr);
}

}  // namespace
}  // namespace kyt::test
