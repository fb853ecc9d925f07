// Transport ID text and comparison, and the host identifier of the controller option defaults.
#include <cstring>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

using TransportIdTest = CtrlrTest;

// Either separator, any case, surrounding blanks; fields not named keep their contents, unknown keys are ignored;
// the longest values fit. One malformed text per check fails: no separator, no value, key or value too long, unknown
// type or family, fields too long.
TEST_F(TransportIdTest, ParsesTextsWithEitherSeparatorAnyCaseAndTheLongestValues) {
  spdk_nvme_transport_id a{}, b{};
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&a, "TrType:PCIe traddr:0000:01:00.0 trsvcid:4420 adrfam:ipv4"));
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&b, "  trtype=pcie\tTRADDR=0000:01:00.0\n"));
  EXPECT_TRUE(a.trtype == SPDK_NVME_TRANSPORT_PCIE && a.adrfam == SPDK_NVMF_ADRFAM_IPV4);
  EXPECT_EQ(0, spdk_nvme_transport_id_compare(&a, &b));
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&a, "color:blue hostaddr:x traddr:0000:04:00.0"));
  EXPECT_STREQ("0000:04:00.0", a.traddr);
  EXPECT_STREQ("4420", a.trsvcid);
  for (std::string ok : {"traddr:" + std::string(256, 'b'), "trsvcid:" + std::string(32, '1'),
                         "subnqn:" + std::string(223, 'n')}) {
    EXPECT_EQ(0, spdk_nvme_transport_id_parse(&a, ok.c_str())) << ok;
  }
  EXPECT_EQ(256u, std::strlen(a.traddr));
  const std::string bad[] = {"trtype PCIe", "trtype PCIe traddr:0000:01:00.0", "trtype:", "trtype: traddr:01:00.0",
                             "abcdefghijabcdefghijabcdefghijab:1", "traddr:" + std::string(1024, 'a'),
                             "trtype:RDMA traddr:1.2.3.4", "adrfam:IPv5", "traddr:" + std::string(257, 'b'),
                             "trsvcid:" + std::string(33, '1'), "subnqn:" + std::string(224, 'n')};
  for (const std::string& text : bad) EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&b, text.c_str())) << text;
}

// PCIe addresses compare as addresses (the short form is the same device).
TEST_F(TransportIdTest, CompareByPciAddressForPcie) {
  spdk_nvme_transport_id a{}, b{};
  a.trtype = b.trtype = SPDK_NVME_TRANSPORT_PCIE;
  std::strcpy(a.traddr, "0000:01:00.0");
  std::strcpy(b.traddr, "01:00.0");
  EXPECT_EQ(0, spdk_nvme_transport_id_compare(&a, &b));
  std::strcpy(b.traddr, "0000:02:00.0");
  EXPECT_TRUE(spdk_nvme_transport_id_compare(&a, &b) < 0 && spdk_nvme_transport_id_compare(&b, &a) > 0);
}

// The host identifier the controller is given is the driver's own.
TEST_F(TransportIdTest, DefaultControllerOptionsCarryTheDriversHostId) {
  spdk_nvme_ctrlr_opts opts;
  spdk_nvme_ctrlr_get_default_ctrlr_opts(&opts, sizeof(opts));
  EXPECT_EQ(0, std::memcmp(opts.extended_host_id, &g_spdk_nvme_driver->default_extended_host_id, 16));
}

}  // namespace
}  // namespace kyt::nvme_test
