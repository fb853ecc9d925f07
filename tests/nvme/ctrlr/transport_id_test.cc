// Transport ID text, comparison, host ID, protection-check flags, controller option defaults and the quirk table.
#include <cstring>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

using TransportIdTest = CtrlrTest;

TEST_F(TransportIdTest, ParsesTextsWithEitherSeparatorAndAnyCase) {
  spdk_nvme_transport_id a{}, b{}, c{};
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&a, "trtype:PCIe traddr:0000:01:00.0"));
  EXPECT_EQ(SPDK_NVME_TRANSPORT_PCIE, a.trtype);
  EXPECT_STREQ("0000:01:00.0", a.traddr);
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&b, "  trtype=pcie\ttraddr=0000:01:00.0\n"));
  EXPECT_EQ(0, spdk_nvme_transport_id_compare(&a, &b));
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&c, "TrType:PCIE TRADDR:0000:01:00.0 trsvcid:4420 subnqn:nqn.x "
                                                "adrfam:ipv4"));
  EXPECT_STREQ("4420", c.trsvcid);
  EXPECT_STREQ("nqn.x", c.subnqn);
  EXPECT_EQ(SPDK_NVMF_ADRFAM_IPV4, c.adrfam);
  // Fields not named keep their contents; unknown keys are logged and ignored, host keys silently.
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&c, "color:blue hostaddr:x ns:1 traddr:0000:04:00.0"));
  EXPECT_STREQ("0000:04:00.0", c.traddr);
  EXPECT_STREQ("4420", c.trsvcid);
  EXPECT_TRUE(log_->Contains("Unknown transport ID key 'color'"));
  EXPECT_FALSE(log_->Contains("key 'hostaddr'") || log_->Contains("key 'ns'"));
  // The longest values allowed.
  for (std::string ok : {"traddr:" + std::string(256, 'b'), "trsvcid:" + std::string(32, '1'),
                         "subnqn:" + std::string(223, 'n')}) {
    EXPECT_EQ(0, spdk_nvme_transport_id_parse(&c, ok.c_str())) << ok;
  }
  EXPECT_EQ(256u, std::strlen(c.traddr));
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(nullptr, "trtype:PCIe"));
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&c, nullptr));
  // The type and family texts; only PCIe is available.
  spdk_nvme_transport_type type;
  EXPECT_EQ(-ENOENT, spdk_nvme_transport_id_parse_trtype(&type, "TCP"));
  EXPECT_STREQ("PCIe", spdk_nvme_transport_id_trtype_str(SPDK_NVME_TRANSPORT_PCIE));
  EXPECT_EQ(nullptr, spdk_nvme_transport_id_trtype_str(static_cast<spdk_nvme_transport_type>(3)));
  EXPECT_FALSE(spdk_nvme_transport_available(static_cast<spdk_nvme_transport_type>(1)));
  EXPECT_STRCASEEQ("ipv6", spdk_nvme_transport_id_adrfam_str(SPDK_NVMF_ADRFAM_IPV6));
  EXPECT_EQ(nullptr, spdk_nvme_transport_id_adrfam_str(SPDK_NVMF_ADRFAM_INTRA_HOST));
}

TEST_F(TransportIdTest, MalformedTextsFailWithTheirMessages) {
  struct {
    std::string text, message;
    bool key_reader = false;  // errors of the key reader also say "Failed to parse transport ID"
  } cases[] = {
      {"trtype PCIe", "Key without ':' or '=' separator", true},
      {"trtype PCIe traddr:0000:01:00.0", "Key without ':' or '=' separator", true},
      {"trtype:", "Key without value", true},
      {"trtype: traddr:0000:01:00.0", "Key without value", true},
      {"abcdefghijabcdefghijabcdefghijab:1", "Key length 32 greater than maximum allowed 31", true},
      {"traddr:" + std::string(1024, 'a'), "Value length 1024 greater than maximum allowed 1023", true},
      {"trtype:RDMA traddr:1.2.3.4", "Unknown trtype 'RDMA'"},
      {"adrfam:IPv5", "Unknown adrfam 'IPv5'"},
      {"traddr:" + std::string(257, 'b'), "traddr length 257 greater than maximum allowed 256"},
      {"trsvcid:" + std::string(33, '1'), "trsvcid length 33 greater than maximum allowed 32"},
      {"subnqn:" + std::string(224, 'n'), "subnqn length 224 greater than maximum allowed 223"},
  };
  for (const auto& c : cases) {
    log_->Clear();
    spdk_nvme_transport_id trid{};
    EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, c.text.c_str())) << c.text;
    EXPECT_TRUE(log_->Contains(c.message)) << c.text;
    EXPECT_EQ(c.key_reader, log_->Contains("Failed to parse transport ID")) << c.text;
  }
}

TEST_F(TransportIdTest, CompareByPciAddressForPcie) {
  spdk_nvme_transport_id a{}, b{};
  a.trtype = b.trtype = SPDK_NVME_TRANSPORT_PCIE;
  std::strcpy(a.traddr, "0000:01:00.0");
  std::strcpy(b.traddr, "01:00.0");  // same device in the short form
  EXPECT_EQ(0, spdk_nvme_transport_id_compare(&a, &b));
  std::strcpy(b.traddr, "0000:02:00.0");
  EXPECT_LT(spdk_nvme_transport_id_compare(&a, &b), 0);
  EXPECT_GT(spdk_nvme_transport_id_compare(&b, &a), 0);
  std::strcpy(b.traddr, "not-an-address");
  EXPECT_EQ(-1, spdk_nvme_transport_id_compare(&a, &b));
  spdk_nvme_transport_id other = a;
  other.trtype = static_cast<spdk_nvme_transport_type>(3);
  EXPECT_EQ(3 - 256, spdk_nvme_transport_id_compare(&other, &a));

  // Other transports compare address without case, then family, service id without case, subsystem exactly.
  spdk_nvme_transport_id x{}, y{};
  x.trtype = y.trtype = static_cast<spdk_nvme_transport_type>(3);
  std::strcpy(x.traddr, "Host");
  std::strcpy(y.traddr, "hOST");
  std::strcpy(x.subnqn, "nqn.a");
  std::strcpy(y.subnqn, "nqn.a");
  EXPECT_EQ(0, spdk_nvme_transport_id_compare(&x, &y));
  std::strcpy(y.subnqn, "NQN.a");
  EXPECT_NE(0, spdk_nvme_transport_id_compare(&x, &y));
  std::strcpy(y.subnqn, "nqn.a");
  y.adrfam = SPDK_NVMF_ADRFAM_IPV6;
  EXPECT_LT(spdk_nvme_transport_id_compare(&x, &y), 0);
}

TEST_F(TransportIdTest, HostIdAndProtectionCheckTexts) {
  spdk_nvme_host_id host{};
  ASSERT_EQ(0, spdk_nvme_host_id_parse(&host, "trtype:PCIe hostaddr:10.0.0.1 hostsvcid:9 traddr:x"));
  EXPECT_STREQ("10.0.0.1", host.hostaddr);
  EXPECT_STREQ("9", host.hostsvcid);
  EXPECT_FALSE(log_->Contains("Unknown transport ID key"));
  EXPECT_EQ(0, spdk_nvme_host_id_parse(&host, "weird:1"));
  EXPECT_TRUE(log_->Contains("Unknown transport ID key 'weird'"));
  EXPECT_EQ(-EINVAL, spdk_nvme_host_id_parse(&host, "hostaddr"));
  EXPECT_TRUE(log_->Contains("Failed to parse host ID"));
  EXPECT_EQ(-EINVAL, spdk_nvme_host_id_parse(&host, ("hostsvcid:" + std::string(33, '7')).c_str()));
  EXPECT_TRUE(log_->Contains("trsvcid length 33 greater than maximum allowed 32"));

  const uint32_t both = SPDK_NVME_IO_FLAGS_PRCHK_REFTAG | SPDK_NVME_IO_FLAGS_PRCHK_GUARD;
  uint32_t flags = 0;
  EXPECT_EQ(0, spdk_nvme_prchk_flags_parse(&flags, "prchk:reftag|guard"));
  EXPECT_EQ(both, flags);
  flags = 0;
  EXPECT_EQ(0, spdk_nvme_prchk_flags_parse(&flags, "PRCHK=guard"));
  EXPECT_EQ(SPDK_NVME_IO_FLAGS_PRCHK_GUARD, flags);
  EXPECT_EQ(-EINVAL, spdk_nvme_prchk_flags_parse(&flags, "check:guard"));
  EXPECT_TRUE(log_->Contains("Unknown key 'check'"));
  EXPECT_EQ(-EINVAL, spdk_nvme_prchk_flags_parse(&flags, "prchk"));
  EXPECT_TRUE(log_->Contains("Failed to parse prchk"));
  EXPECT_STREQ("prchk:reftag", spdk_nvme_prchk_flags_str(SPDK_NVME_IO_FLAGS_PRCHK_REFTAG));
  EXPECT_STREQ("prchk:guard", spdk_nvme_prchk_flags_str(SPDK_NVME_IO_FLAGS_PRCHK_GUARD));
  EXPECT_STREQ("prchk:reftag|guard", spdk_nvme_prchk_flags_str(both));
  EXPECT_EQ(nullptr, spdk_nvme_prchk_flags_str(0));
}

TEST_F(TransportIdTest, DefaultControllerOptionsHonourTheCallersSize) {
  spdk_nvme_ctrlr_opts opts;
  std::memset(&opts, 0xA5, sizeof(opts));
  spdk_nvme_ctrlr_get_default_ctrlr_opts(&opts, sizeof(opts));
  // (Queue counts and sizes, CAP.TO override and admin time-out are checked where the driver uses them.)
  EXPECT_TRUE(opts.use_cmb_sqs);
  EXPECT_EQ(10000u, opts.keep_alive_timeout_ms);
  EXPECT_EQ(512u, opts.io_queue_requests);
  // The host NQN carries the driver's extended host ID as a lower-case UUID, without an "nqn." prefix.
  char uuid[SPDK_UUID_STRING_LEN];
  ASSERT_EQ(0, spdk_uuid_fmt_lower(uuid, sizeof(uuid), &g_spdk_nvme_driver->default_extended_host_id));
  EXPECT_EQ(std::string("2014-08.org.nvmexpress:uuid:") + uuid, opts.hostnqn);
  EXPECT_EQ(0, std::memcmp(opts.extended_host_id, &g_spdk_nvme_driver->default_extended_host_id, 16));

  // An older caller's copy ends after keep_alive_timeout_ms: nothing beyond it may be written.
  size_t size = offsetof(spdk_nvme_ctrlr_opts, keep_alive_timeout_ms) + sizeof(uint32_t);
  unsigned char buf[sizeof(spdk_nvme_ctrlr_opts)];
  std::memset(buf, 0xEE, sizeof(buf));
  spdk_nvme_ctrlr_get_default_ctrlr_opts(reinterpret_cast<spdk_nvme_ctrlr_opts*>(buf), size);
  EXPECT_EQ(10000u, reinterpret_cast<spdk_nvme_ctrlr_opts*>(buf)->keep_alive_timeout_ms);
  for (size_t i = size; i < sizeof(buf); i++) ASSERT_EQ(0xEE, buf[i]) << "byte " << i;
}

TEST_F(TransportIdTest, QuirkTable) {
  struct {
    uint16_t vendor, device, subvendor, subdevice;
    uint64_t flags;
  } cases[] = {
      {0x8086, 0x0953, 0x1234, 0x5678, 0x02B}, {0x8086, 0x0A53, 0, 0, 0x02B},
      {0x8086, 0x0A54, 0xFFFF, 0x0001, 0x02B}, {0x8086, 0x0A55, 0x8086, 0x0A55, 0x02B},
      {0x8086, 0x0A56, 0x8086, 0x0000, 0x000}, {0x1C5F, 0x0540, 1, 1, 0x004},
      {0x144D, 0xA821, 2, 2, 0x004},           {0x144D, 0xA822, 3, 3, 0x004},
      {0x144D, 0xA823, 3, 3, 0x000},           {0x80EE, 0x4E56, 4, 4, 0x010},
      {0x8086, 0x5845, 5, 5, 0x140},           {0x1D1D, 0x1F1F, 6, 6, 0x0C0},
      {0x15AD, 0x07F0, 7, 7, 0x200},           {0x1B36, 0x0010, 0x1AF4, 0x1100, 0x000},
      {0x0000, 0x0000, 0, 0, 0x000},
  };
  for (const auto& c : cases) {
    spdk_pci_id id{0x010802, c.vendor, c.device, c.subvendor, c.subdevice};
    EXPECT_EQ(c.flags, nvme_get_quirks(&id)) << std::hex << c.vendor << ":" << c.device;
  }
}

}  // namespace
}  // namespace kyt::nvme_test
