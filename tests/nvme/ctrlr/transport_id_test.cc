// Transport ID text, comparison, host ID, protection-check flags, controller option defaults and the quirk table.
#include <cstring>
#include <string>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

class TransportIdTest : public CtrlrTest {
 protected:
  spdk_nvme_transport_id Empty() {
    spdk_nvme_transport_id trid;
    std::memset(&trid, 0, sizeof(trid));
    return trid;
  }
};

TEST_F(TransportIdTest, ParsesPcieAddressWithEitherSeparatorAndAnyCase) {
  spdk_nvme_transport_id a = Empty();
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&a, "trtype:PCIe traddr:0000:01:00.0"));
  EXPECT_EQ(SPDK_NVME_TRANSPORT_PCIE, a.trtype);
  EXPECT_STREQ("0000:01:00.0", a.traddr);

  spdk_nvme_transport_id b = Empty();
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&b, "  trtype=pcie\ttraddr=0000:01:00.0\n"));
  EXPECT_EQ(SPDK_NVME_TRANSPORT_PCIE, b.trtype);
  EXPECT_STREQ("0000:01:00.0", b.traddr);
  EXPECT_EQ(0, spdk_nvme_transport_id_compare(&a, &b));

  spdk_nvme_transport_id c = Empty();
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&c, "TrType:PCIE TRADDR:0000:01:00.0 trsvcid:4420 subnqn:nqn.x adrfam:ipv4"));
  EXPECT_STREQ("4420", c.trsvcid);
  EXPECT_STREQ("nqn.x", c.subnqn);
  EXPECT_EQ(SPDK_NVMF_ADRFAM_IPV4, c.adrfam);
}

TEST_F(TransportIdTest, KeyReaderErrorsFailTheParse) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"trtype PCIe", "Key without ':' or '=' separator"},
      {"trtype PCIe traddr:0000:01:00.0", "Key without ':' or '=' separator"},
      {"trtype:", "Key without value"},
      {"trtype: traddr:0000:01:00.0", "Key without value"},
      {"abcdefghijabcdefghijabcdefghijab:1", "Key length 32 greater than maximum allowed 31"},
  };
  for (const Case& c : cases) {
    log_->Clear();
    spdk_nvme_transport_id trid = Empty();
    EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, c.text)) << c.text;
    EXPECT_TRUE(log_->Contains(c.message)) << c.text;
    EXPECT_TRUE(log_->Contains("Failed to parse transport ID")) << c.text;
  }

  log_->Clear();
  std::string long_value = "traddr:" + std::string(1024, 'a');
  spdk_nvme_transport_id trid = Empty();
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, long_value.c_str()));
  EXPECT_TRUE(log_->Contains("Value length 1024 greater than maximum allowed 1023"));
}

TEST_F(TransportIdTest, UnknownTypeFailsUnknownKeyIsIgnored) {
  spdk_nvme_transport_id trid = Empty();
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, "trtype:RDMA traddr:1.2.3.4"));
  EXPECT_TRUE(log_->Contains("Unknown trtype 'RDMA'"));

  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, "adrfam:IPv5"));
  EXPECT_TRUE(log_->Contains("Unknown adrfam 'IPv5'"));

  trid = Empty();
  EXPECT_EQ(0, spdk_nvme_transport_id_parse(&trid, "color:blue trtype:PCIe hostaddr:x ns:1 traddr:0000:02:00.0"));
  EXPECT_TRUE(log_->Contains("Unknown transport ID key 'color'"));
  EXPECT_FALSE(log_->Contains("Unknown transport ID key 'hostaddr'"));
  EXPECT_FALSE(log_->Contains("Unknown transport ID key 'ns'"));
  EXPECT_STREQ("0000:02:00.0", trid.traddr);

  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(nullptr, "trtype:PCIe"));
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, nullptr));
}

TEST_F(TransportIdTest, FieldsNotNamedKeepTheirContents) {
  spdk_nvme_transport_id trid = Empty();
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&trid, "trtype:PCIe traddr:0000:03:00.0 trsvcid:1"));
  ASSERT_EQ(0, spdk_nvme_transport_id_parse(&trid, "traddr:0000:04:00.0"));
  EXPECT_STREQ("0000:04:00.0", trid.traddr);
  EXPECT_STREQ("1", trid.trsvcid);
  EXPECT_EQ(SPDK_NVME_TRANSPORT_PCIE, trid.trtype);
}

TEST_F(TransportIdTest, FieldLengthLimits) {
  spdk_nvme_transport_id trid = Empty();
  std::string ok = "traddr:" + std::string(256, 'b');
  EXPECT_EQ(0, spdk_nvme_transport_id_parse(&trid, ok.c_str()));
  EXPECT_EQ(256u, std::strlen(trid.traddr));

  std::string too_long = "traddr:" + std::string(257, 'b');
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, too_long.c_str()));
  EXPECT_TRUE(log_->Contains("traddr length 257 greater than maximum allowed 256"));

  std::string svc = "trsvcid:" + std::string(33, '1');
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, svc.c_str()));
  EXPECT_TRUE(log_->Contains("trsvcid length 33 greater than maximum allowed 32"));
  svc = "trsvcid:" + std::string(32, '1');
  EXPECT_EQ(0, spdk_nvme_transport_id_parse(&trid, svc.c_str()));

  std::string nqn = "subnqn:" + std::string(224, 'n');
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, nqn.c_str()));
  EXPECT_TRUE(log_->Contains("subnqn length 224 greater than maximum allowed 223"));
  nqn = "subnqn:" + std::string(223, 'n');
  EXPECT_EQ(0, spdk_nvme_transport_id_parse(&trid, nqn.c_str()));
}

TEST_F(TransportIdTest, TypeAndAddressFamilyTexts) {
  spdk_nvme_transport_type type;
  EXPECT_EQ(0, spdk_nvme_transport_id_parse_trtype(&type, "pCiE"));
  EXPECT_EQ(SPDK_NVME_TRANSPORT_PCIE, type);
  EXPECT_EQ(-ENOENT, spdk_nvme_transport_id_parse_trtype(&type, "TCP"));
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse_trtype(&type, nullptr));
  EXPECT_STREQ("PCIe", spdk_nvme_transport_id_trtype_str(SPDK_NVME_TRANSPORT_PCIE));
  EXPECT_EQ(nullptr, spdk_nvme_transport_id_trtype_str(static_cast<spdk_nvme_transport_type>(3)));
  EXPECT_TRUE(spdk_nvme_transport_available(SPDK_NVME_TRANSPORT_PCIE));
  EXPECT_FALSE(spdk_nvme_transport_available(static_cast<spdk_nvme_transport_type>(1)));

  struct {
    const char* text;
    spdk_nvmf_adrfam value;
  } families[] = {{"ipv4", SPDK_NVMF_ADRFAM_IPV4}, {"IPv6", SPDK_NVMF_ADRFAM_IPV6}, {"ib", SPDK_NVMF_ADRFAM_IB},
                  {"Fc", SPDK_NVMF_ADRFAM_FC}};
  for (const auto& f : families) {
    spdk_nvmf_adrfam adrfam;
    EXPECT_EQ(0, spdk_nvme_transport_id_parse_adrfam(&adrfam, f.text));
    EXPECT_EQ(f.value, adrfam);
    EXPECT_NE(nullptr, spdk_nvme_transport_id_adrfam_str(f.value));
    EXPECT_EQ(0, strcasecmp(f.text, spdk_nvme_transport_id_adrfam_str(f.value)));
  }
  spdk_nvmf_adrfam adrfam;
  EXPECT_EQ(-ENOENT, spdk_nvme_transport_id_parse_adrfam(&adrfam, "intra_host"));
  EXPECT_EQ(nullptr, spdk_nvme_transport_id_adrfam_str(SPDK_NVMF_ADRFAM_INTRA_HOST));
}

TEST_F(TransportIdTest, CompareByPciAddressForPcie) {
  spdk_nvme_transport_id a = Empty(), b = Empty();
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
  spdk_nvme_transport_id x = Empty(), y = Empty();
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

TEST_F(TransportIdTest, HostIdText) {
  spdk_nvme_host_id host;
  std::memset(&host, 0, sizeof(host));
  ASSERT_EQ(0, spdk_nvme_host_id_parse(&host, "trtype:PCIe hostaddr:10.0.0.1 hostsvcid:9 traddr:x"));
  EXPECT_STREQ("10.0.0.1", host.hostaddr);
  EXPECT_STREQ("9", host.hostsvcid);
  EXPECT_FALSE(log_->Contains("Unknown transport ID key"));

  EXPECT_EQ(0, spdk_nvme_host_id_parse(&host, "weird:1"));
  EXPECT_TRUE(log_->Contains("Unknown transport ID key 'weird'"));

  EXPECT_EQ(-EINVAL, spdk_nvme_host_id_parse(&host, "hostaddr"));
  EXPECT_TRUE(log_->Contains("Failed to parse host ID"));

  std::string svc = "hostsvcid:" + std::string(33, '7');
  EXPECT_EQ(-EINVAL, spdk_nvme_host_id_parse(&host, svc.c_str()));
  EXPECT_TRUE(log_->Contains("trsvcid length 33 greater than maximum allowed 32"));
}

TEST_F(TransportIdTest, ProtectionCheckFlags) {
  uint32_t flags = 0;
  EXPECT_EQ(0, spdk_nvme_prchk_flags_parse(&flags, "prchk:reftag|guard"));
  EXPECT_EQ(SPDK_NVME_IO_FLAGS_PRCHK_REFTAG | SPDK_NVME_IO_FLAGS_PRCHK_GUARD, flags);
  flags = 0;
  EXPECT_EQ(0, spdk_nvme_prchk_flags_parse(&flags, "PRCHK=guard"));
  EXPECT_EQ(SPDK_NVME_IO_FLAGS_PRCHK_GUARD, flags);
  EXPECT_EQ(-EINVAL, spdk_nvme_prchk_flags_parse(&flags, "check:guard"));
  EXPECT_TRUE(log_->Contains("Unknown key 'check'"));
  EXPECT_EQ(-EINVAL, spdk_nvme_prchk_flags_parse(&flags, "prchk"));
  EXPECT_TRUE(log_->Contains("Failed to parse prchk"));

  EXPECT_STREQ("prchk:reftag", spdk_nvme_prchk_flags_str(SPDK_NVME_IO_FLAGS_PRCHK_REFTAG));
  EXPECT_STREQ("prchk:guard", spdk_nvme_prchk_flags_str(SPDK_NVME_IO_FLAGS_PRCHK_GUARD));
  EXPECT_STREQ("prchk:reftag|guard",
               spdk_nvme_prchk_flags_str(SPDK_NVME_IO_FLAGS_PRCHK_REFTAG | SPDK_NVME_IO_FLAGS_PRCHK_GUARD));
  EXPECT_EQ(nullptr, spdk_nvme_prchk_flags_str(0));
}

TEST_F(TransportIdTest, DefaultControllerOptions) {
  spdk_nvme_ctrlr_opts opts;
  std::memset(&opts, 0xA5, sizeof(opts));
  spdk_nvme_ctrlr_get_default_ctrlr_opts(&opts, sizeof(opts));
  EXPECT_EQ(1024u, opts.num_io_queues);
  EXPECT_TRUE(opts.use_cmb_sqs);
  EXPECT_EQ(SPDK_NVME_CC_AMS_RR, opts.arb_mechanism);
  EXPECT_EQ(10000u, opts.keep_alive_timeout_ms);
  EXPECT_EQ(0, opts.transport_retry_count);
  EXPECT_EQ(256u, opts.io_queue_size);
  EXPECT_EQ(512u, opts.io_queue_requests);
  EXPECT_EQ(SPDK_NVME_CC_CSS_NVM, opts.command_set);
  EXPECT_EQ(300000u, opts.admin_timeout_ms);
  EXPECT_FALSE(opts.header_digest);
  EXPECT_FALSE(opts.data_digest);
  EXPECT_FALSE(opts.disable_error_logging);
  EXPECT_EQ(0u, opts.override_cap_to);
  EXPECT_EQ('\0', opts.src_addr[0]);
  for (uint8_t b : opts.host_id) EXPECT_EQ(0, b);

  // The host NQN carries the driver's extended host ID as a lower-case UUID, without an "nqn." prefix.
  ASSERT_NE(nullptr, g_spdk_nvme_driver);
  char uuid[SPDK_UUID_STRING_LEN];
  ASSERT_EQ(0, spdk_uuid_fmt_lower(uuid, sizeof(uuid), &g_spdk_nvme_driver->default_extended_host_id));
  EXPECT_EQ(std::string("2014-08.org.nvmexpress:uuid:") + uuid, opts.hostnqn);
  EXPECT_EQ(0, std::memcmp(opts.extended_host_id, &g_spdk_nvme_driver->default_extended_host_id, 16));
  bool nonzero = false;
  for (uint8_t b : opts.extended_host_id) nonzero |= b != 0;
  EXPECT_TRUE(nonzero);
}

TEST_F(TransportIdTest, DefaultOptionsHonourTheCallersSize) {
  // An older caller's copy ends after keep_alive_timeout_ms: nothing beyond it may be written.
  size_t size = offsetof(spdk_nvme_ctrlr_opts, keep_alive_timeout_ms) + sizeof(uint32_t);
  unsigned char buf[sizeof(spdk_nvme_ctrlr_opts)];
  std::memset(buf, 0xEE, sizeof(buf));
  auto* opts = reinterpret_cast<spdk_nvme_ctrlr_opts*>(buf);
  spdk_nvme_ctrlr_get_default_ctrlr_opts(opts, size);
  EXPECT_EQ(1024u, opts->num_io_queues);
  EXPECT_EQ(10000u, opts->keep_alive_timeout_ms);
  for (size_t i = size; i < sizeof(buf); i++) {
    ASSERT_EQ(0xEE, buf[i]) << "byte " << i;
  }
}

TEST_F(TransportIdTest, QuirkTable) {
  struct Case {
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
  for (const Case& c : cases) {
    spdk_pci_id id{};
    id.class_id = 0x010802;
    id.vendor_id = c.vendor;
    id.device_id = c.device;
    id.subvendor_id = c.subvendor;
    id.subdevice_id = c.subdevice;
    EXPECT_EQ(c.flags, nvme_get_quirks(&id)) << std::hex << c.vendor << ":" << c.device;
  }
  EXPECT_EQ(0x02Bu, NVME_QUIRK_READ_LATENCY_PAGE | NVME_QUIRK_WRITE_LATENCY_PAGE | NVME_QUIRK_VENDOR_STRIPE |
                        NVME_QUIRK_DEALLOC_READS_ZERO);
}

}  // namespace
}  // namespace kyt::nvme_test
