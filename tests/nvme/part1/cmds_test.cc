// Command builders: the submission entries they place, their bounce buffers, argument checks and the abort limit.
#include <cstring>
#include <functional>

#include "fake_device.h"

namespace kyt::test {
namespace {

using CmdsTest = DevTest;

struct Expect {
  uint8_t opc;
  uint32_t nsid, cdw10, cdw11, cdw12, cdw13;
};

void CheckCmd(const spdk_nvme_cmd& c, const Expect& e, const char* what)
{
  SCOPED_TRACE(what);
  EXPECT_EQ(c.opc, e.opc);
  EXPECT_EQ(c.nsid, e.nsid);
  EXPECT_EQ(c.cdw10, e.cdw10);
  EXPECT_EQ(c.cdw11, e.cdw11);
  EXPECT_EQ(c.cdw12, e.cdw12);
  EXPECT_EQ(c.cdw13, e.cdw13);
  EXPECT_EQ(c.fuse, 0);
  EXPECT_EQ(c.psdt, 0);
}

TEST_F(CmdsTest, BuildersWithoutDataPlaceExactEntries)
{
  CplLog log;
  auto cb = &CplLog::Cb;
  spdk_nvme_format fmt{};
  fmt.lbaf = 3;
  fmt.ms = 1;
  fmt.pi = 2;
  fmt.ses = 1;
  spdk_nvme_fw_commit commit{};
  commit.fs = 2;
  commit.ca = SPDK_NVME_FW_COMMIT_REPLACE_AND_ENABLE_IMG;
  spdk_nvme_sanitize san{};
  san.sanact = 2;
  san.ause = 1;
  union spdk_nvme_feat_async_event_configuration aec;
  aec.raw = 0x31F;
  struct Case {
    const char* what;
    std::function<int()> call;
    Expect e;
    uint64_t prp1 = 0, prp2 = 0;
  };
  std::vector<Case> cases = {
      {"set num queues", [&] { return nvme_ctrlr_cmd_set_num_queues(ctrlr_, 8, cb, &log); },
       {0x09, 0, 0x07, 7u | (7u << 16), 0, 0}},
      {"get num queues", [&] { return nvme_ctrlr_cmd_get_num_queues(ctrlr_, cb, &log); }, {0x0A, 0, 0x07, 0, 0, 0}},
      {"async event config", [&] { return nvme_ctrlr_cmd_set_async_event_config(ctrlr_, aec, cb, &log); },
       {0x09, 0, 0x0B, 0x31F, 0, 0}},
      {"delete ns", [&] { return nvme_ctrlr_cmd_delete_ns(ctrlr_, 9, cb, &log); }, {0x0D, 9, 1, 0, 0, 0}},
      {"format", [&] { return nvme_ctrlr_cmd_format(ctrlr_, 2, &fmt, cb, &log); },
       {0x80, 2, 3u | (1u << 4) | (2u << 5) | (1u << 9), 0, 0, 0}},
      {"fw commit", [&] { return nvme_ctrlr_cmd_fw_commit(ctrlr_, &commit, cb, &log); },
       {0x10, 0, 2u | (1u << 3), 0, 0, 0}},
      {"sanitize", [&] { return nvme_ctrlr_cmd_sanitize(ctrlr_, 0xFFFFFFFF, &san, 0xABCD, cb, &log); },
       {0x84, 0xFFFFFFFF, 2u | (1u << 3), 0xABCD, 0, 0}},
      {"get feature", [&] { return spdk_nvme_ctrlr_cmd_get_feature(ctrlr_, 0x0E, 0x55, nullptr, 0, cb, &log); },
       {0x0A, 0, 0x0E, 0x55, 0, 0}},
      {"set feature ns",
       [&] { return spdk_nvme_ctrlr_cmd_set_feature_ns(ctrlr_, 0x05, 0x11, 0x22, nullptr, 0, cb, &log, 4); },
       {0x09, 4, 0x05, 0x11, 0x22, 0}},
      {"abort", [&] { return spdk_nvme_ctrlr_cmd_abort(ctrlr_, nullptr, 0x1234, cb, &log); },
       {0x08, 0, 0x1234u << 16, 0, 0, 0}},
      {"dbbuf", [&] { return nvme_ctrlr_cmd_doorbell_buffer_config(ctrlr_, 0x10000, 0x20000, cb, &log); },
       {0x7C, 0, 0, 0, 0, 0}, 0x10000, 0x20000},
  };
  for (auto& c : cases) {
    uint16_t tail = AdminTail();
    ASSERT_EQ(c.call(), 0) << c.what;
    ASSERT_EQ(AdminTail(), (uint16_t)(tail + 1)) << c.what;
    spdk_nvme_cmd cmd = LastAdmin();
    CheckCmd(cmd, c.e, c.what);
    EXPECT_EQ(cmd.dptr.prp.prp1, c.prp1) << c.what;
    EXPECT_EQ(cmd.dptr.prp.prp2, c.prp2) << c.what;
    CompleteLastAdmin();
  }
  EXPECT_EQ(log.cpls.size(), cases.size());
}

// Data of the device reaches the caller's buffer through a bounce buffer, and host data goes out the same way but
// never flows back.
TEST_F(CmdsTest, DataIsCopiedThroughBounceBuffersInItsDirectionOnly)
{
  nvme_completion_poll_status st{};
  spdk_nvme_ctrlr_data cdata{};
  ASSERT_EQ(nvme_ctrlr_cmd_identify(ctrlr_, 1, 5, 7, &cdata, sizeof(cdata), nvme_completion_poll_cb, &st), 0);
  spdk_nvme_cmd c = LastAdmin();
  CheckCmd(c, {0x06, 7, (5u << 16) | 1, 0, 0, 0}, "identify");
  ASSERT_NE(c.dptr.prp.prp1, Phys(&cdata)) << "not the caller's buffer";
  memset(FakeDevice::Dma(c.dptr.prp.prp1, 4096), 0x5A, 4096);
  CompleteLastAdmin();
  ASSERT_TRUE(st.done);
  EXPECT_EQ(cdata.vid, 0x5A5A);
  EXPECT_EQ(cdata.vs[1023], 0x5A);
  uint8_t sec[256] = {};
  ASSERT_EQ(nvme_ctrlr_cmd_security_receive(ctrlr_, 1, 0xFFFF, 0xFF, sec, sizeof(sec), nvme_completion_poll_cb, &st),
            0);
  c = LastAdmin();
  CheckCmd(c, {0x82, 0, (1u << 24) | (0xFFFFu << 8) | 0xFF, 256, 0, 0}, "security receive");
  memset(FakeDevice::Dma(c.dptr.prp.prp1, 256), 0x3C, 256);
  CompleteLastAdmin();
  EXPECT_EQ(sec[255], 0x3C);

  using Call = std::function<int(void*, nvme_completion_poll_status*)>;
  using CtrlrList = spdk_nvme_ctrlr_list;
  auto poll = nvme_completion_poll_cb;
  struct Case {
    const char* what;
    Call call;
    Expect e;
    uint32_t size;
  } cases[] = {
      {"attach ns", [&](void* p, auto* s) { return nvme_ctrlr_cmd_attach_ns(ctrlr_, 3, (CtrlrList*)p, poll, s); },
       {0x15, 3, 0, 0, 0, 0}, 4096},
      {"detach ns", [&](void* p, auto* s) { return nvme_ctrlr_cmd_detach_ns(ctrlr_, 3, (CtrlrList*)p, poll, s); },
       {0x15, 3, 1, 0, 0, 0}, 4096},
      {"create ns", [&](void* p, auto* s) { return nvme_ctrlr_cmd_create_ns(ctrlr_, (spdk_nvme_ns_data*)p, poll, s); },
       {0x0D, 0, 0, 0, 0, 0}, 4096},
      {"set feature",
       [&](void* p, auto* s) { return spdk_nvme_ctrlr_cmd_set_feature(ctrlr_, 3, 1, 2, p, 64, poll, s); },
       {0x09, 0, 0x03, 1, 2, 0}, 64},
      {"host id 8", [&](void* p, auto* s) { return nvme_ctrlr_cmd_set_host_id(ctrlr_, p, 8, poll, s); },
       {0x09, 0, 0x81, 0, 0, 0}, 8},
      {"host id 16", [&](void* p, auto* s) { return nvme_ctrlr_cmd_set_host_id(ctrlr_, p, 16, poll, s); },
       {0x09, 0, 0x81, 1, 0, 0}, 16},
      {"fw download",
       [&](void* p, auto* s) { return nvme_ctrlr_cmd_fw_image_download(ctrlr_, 4096, 8192, p, poll, s); },
       {0x11, 0, 1023, 2048, 0, 0}, 4096},
      {"security send",
       [&](void* p, auto* s) { return nvme_ctrlr_cmd_security_send(ctrlr_, 0xEF, 0x1234, 5, p, 512, poll, s); },
       {0x81, 0, 0xEF123405u, 512, 0, 0}, 512},
  };
  std::vector<uint8_t> user(4096);
  for (auto& c : cases) {
    for (size_t i = 0; i < user.size(); i++) user[i] = (uint8_t)(i * 7 + 1);
    nvme_completion_poll_status s{};
    ASSERT_EQ(c.call(user.data(), &s), 0) << c.what;
    spdk_nvme_cmd cmd = LastAdmin();
    CheckCmd(cmd, c.e, c.what);
    auto* dma = static_cast<uint8_t*>(FakeDevice::Dma(cmd.dptr.prp.prp1, c.size));
    ASSERT_NE(dma, nullptr) << c.what;
    EXPECT_EQ(memcmp(dma, user.data(), c.size), 0) << c.what;
    memset(dma, 0xEE, c.size);  // the device scribbles: nothing must flow back
    CompleteLastAdmin();
    EXPECT_TRUE(s.done) << c.what;
    EXPECT_EQ(user[0], 1) << c.what;
  }
}

TEST_F(CmdsTest, LogPageDwordCountsAndSizeChecks)
{
  std::vector<uint8_t> user(512 * 1024);
  CplLog log;
  auto get = [&](uint8_t page, uint32_t nsid, uint32_t size, uint64_t offset) {
    return spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, page, nsid, user.data(), size, offset, &CplLog::Cb, &log);
  };
  ASSERT_EQ(get(0x02, 0xFFFFFFFF, 4096, 0), 0);
  CheckCmd(LastAdmin(), {0x02, 0xFFFFFFFF, 0x02u | (0x3FFu << 16), 0, 0, 0}, "4 KiB");
  CompleteLastAdmin();
  ASSERT_EQ(get(0xC0, 0, 512 * 1024, 0), 0);
  CheckCmd(LastAdmin(), {0x02, 0, 0xC0u | (0xFFFFu << 16), 1, 0, 0}, "512 KiB");
  EXPECT_NE(LastAdmin().dptr.prp.prp2, 0u) << "a 512 KiB bounce buffer needs a PRP list";
  CompleteLastAdmin();

  // Refused without sending: an offset without extended log page data, sizes below one dword (log pages, firmware
  // images), host identifiers neither 8 nor 16 bytes.
  uint16_t tail = AdminTail();
  EXPECT_EQ(get(0x02, 0, 512, 8), -EINVAL);
  for (uint32_t small = 0; small < 4; small++) {
    EXPECT_EQ(get(0x02, 0, small, 0), -EINVAL) << small;
    EXPECT_EQ(nvme_ctrlr_cmd_fw_image_download(ctrlr_, small, 0, user.data(), nullptr, nullptr), -EINVAL) << small;
  }
  EXPECT_EQ(nvme_ctrlr_cmd_set_host_id(ctrlr_, user.data(), 12, nullptr, nullptr), -EINVAL);
  ctrlr_->cdata.lpa.bits.edlp = 1;
  EXPECT_EQ(get(0x02, 0, 512, 6), -EINVAL) << "offset must be a multiple of 4";
  EXPECT_EQ(AdminTail(), tail);
  ASSERT_EQ(get(0x02, 0, 512, 0x100000008ull), 0);
  CheckCmd(LastAdmin(), {0x02, 0, 0x02u | (127u << 16), 0, 8, 1}, "offset");
}

TEST_F(CmdsTest, RawCommandsAreCopiedWholeWithOnlyCidAndDataPointerSet)
{
  spdk_nvme_cmd cmd{};
  cmd.opc = 0xC1;  // vendor specific, bidirectional
  cmd.nsid = 0x11223344;
  cmd.rsvd2 = 0xAAAAAAAA;
  cmd.rsvd3 = 0xBBBBBBBB;
  cmd.cdw10 = 10;
  cmd.cdw15 = 15;
  CplLog log;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_admin_raw(ctrlr_, &cmd, buf_, 8192, &CplLog::Cb, &log), 0);
  spdk_nvme_cmd c = LastAdmin();
  auto* outstanding = &nvme_pcie_qpair(ctrlr_->adminq)->outstanding_tr;
  EXPECT_EQ(c.cid, TAILQ_LAST(outstanding, nvme_pcie_qpair::nvme_outstanding_tr_head)->cid);
  c.cid = 0;
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_)) << "raw commands use the caller's DMA buffer";
  EXPECT_EQ(c.dptr.prp.prp2, Phys(buf_ + 4096));
  c.dptr.prp.prp1 = c.dptr.prp.prp2 = 0;
  EXPECT_EQ(memcmp(&c, &cmd, sizeof(c)), 0);
  CompleteLastAdmin();
  EXPECT_EQ(log.cpls.size(), 1u);
}

TEST_F(CmdsTest, AbortLimitAllowsAclPlusOneAndSendsQueuedAborts)
{
  ctrlr_->cdata.acl = 0;  // zero-based: one abort at a time
  CplLog first, second, third;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_abort(ctrlr_, nullptr, 1, &CplLog::Cb, &first), 0);
  EXPECT_EQ(AdminTail(), 1) << "the first abort is sent";
  spdk_nvme_cmd a1 = LastAdmin();
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_abort(ctrlr_, nullptr, 2, &CplLog::Cb, &second), 0);
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_abort(ctrlr_, nullptr, 3, &CplLog::Cb, &third), 0);
  EXPECT_EQ(AdminTail(), 1) << "the others wait";
  EXPECT_EQ(ctrlr_->outstanding_aborts, 1u);

  dev_->Post(ctrlr_->adminq, a1.cid, 0, 0, 0x1);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  ASSERT_EQ(first.cpls.size(), 1u);
  EXPECT_EQ(first.cpls[0].cdw0, 0x1u) << "the caller sees the device's completion";
  EXPECT_EQ(AdminTail(), 2) << "the next queued abort went out";
  EXPECT_EQ(LastAdmin().cdw10, 2u << 16);
  CompleteLastAdmin();
  EXPECT_EQ(second.cpls.size(), 1u);
  EXPECT_EQ(LastAdmin().cdw10, 3u << 16);
  CompleteLastAdmin();
  EXPECT_EQ(third.cpls.size(), 1u);
  EXPECT_EQ(ctrlr_->outstanding_aborts, 0u);

  // An abort for an I/O queue carries its identifier.
  spdk_nvme_qpair* q = MakeQueue(16, false, 5);
  ASSERT_NE(q, nullptr);
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_abort(ctrlr_, q, 0x42, &CplLog::Cb, &first), 0);
  EXPECT_EQ(LastAdmin().cdw10, (0x42u << 16) | 5);
  CompleteLastAdmin();
}

TEST_F(CmdsTest, ExhaustedAdminPoolGivesEnomem)
{
  CplLog log;
  int rc = 0, sent = 0;
  while ((rc = nvme_ctrlr_cmd_get_num_queues(ctrlr_, &CplLog::Cb, &log)) == 0 && sent < 1000) sent++;
  EXPECT_EQ(rc, -ENOMEM);
  EXPECT_EQ(sent, NVME_ADMIN_REQUESTS);
}

}  // namespace
}  // namespace kyt::test
