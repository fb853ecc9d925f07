// Namespaces: values derived from crafted Identify data (construction by Identify is tested on the simulated
// controller).
#include "fake_device.h"

namespace kyt::test {
namespace {

// A controller record with Identify data only: enough for the derived values.
class NsData : public ::testing::Test {
 protected:
  void SetUp() override {
    ctrlr_.nsdata = &d_;
    ctrlr_.max_xfer_size = 128 * 1024;
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

// Sizes of the chosen format (LBADS past 32 bits is guarded); protection information only with metadata; a namespace
// made inactive keeps nothing.
TEST_F(NsData, SizesProtectionAndDestruct) {
  Format(9, 8, true, 2);
  EXPECT_EQ(Sizes(), (std::vector<uint64_t>{512, 520, 8, 128 * 1024 / 520}));
  Format(9, 8, false, 2);
  EXPECT_EQ(Sizes(), (std::vector<uint64_t>{512, 512, 8, 256}));
  Format(40, 0);
  EXPECT_EQ(Sizes(), (std::vector<uint64_t>{0, 0, 0, 0}));
  d_.dps.raw = 0x0B;  // type 3, metadata first
  Format(9, 0);
  EXPECT_EQ(spdk_nvme_ns_get_pi_type(&ns_), SPDK_NVME_FMT_NVM_PROTECTION_DISABLE);
  Format(9, 8);
  EXPECT_EQ(spdk_nvme_ns_get_pi_type(&ns_), SPDK_NVME_FMT_NVM_PROTECTION_TYPE3);
  nvme_ns_destruct(&ns_);
  EXPECT_EQ(Sizes(), (std::vector<uint64_t>{0, 0, 0, 0}));
  EXPECT_EQ(spdk_nvme_ns_get_pi_type(&ns_), 0);
}

}  // namespace
}  // namespace kyt::test
