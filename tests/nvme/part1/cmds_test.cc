// Command builders: the submission entries they place, their bounce buffers, argument checks and the abort limit.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "fake_device.h"

using kyt::test::CplLog;
using kyt::test::FakeDevice;

namespace {

class CmdsTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    FakeDevice::Options o;
    o.bus = NextBus();
    dev_.reset(new FakeDevice(o));
    ctrlr_ = dev_->Construct();
    ASSERT_NE(ctrlr_, nullptr);
  }
  void TearDown() override { dev_.reset(); }
  static uint8_t NextBus()
  {
    static uint8_t bus = 0xA0;
    return bus++;
  }
  uint16_t AdminTail() const { return nvme_pcie_qpair(ctrlr_->adminq)->sq_tail; }
  // The entry the last call placed.
  spdk_nvme_cmd Last() const { return FakeDevice::SqEntry(ctrlr_->adminq, (uint16_t)(AdminTail() + 127) % 128); }
  void CompleteLast(uint8_t sc = 0, uint32_t cdw0 = 0)
  {
    dev_->Post(ctrlr_->adminq, Last().cid, 0, sc, cdw0);
    spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  }

  std::unique_ptr<FakeDevice> dev_;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
};

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
  struct Case {
    const char* what;
    std::function<int()> call;
    Expect e;
  };
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
       {0x08, 0, (0x1234u << 16) | 0, 0, 0, 0}},
  };
  for (auto& c : cases) {
    uint16_t tail = AdminTail();
    ASSERT_EQ(c.call(), 0) << c.what;
    ASSERT_EQ(AdminTail(), (uint16_t)(tail + 1)) << c.what;
    spdk_nvme_cmd cmd = Last();
    CheckCmd(cmd, c.e, c.what);
    EXPECT_EQ(cmd.dptr.prp.prp1, 0u) << c.what;
    CompleteLast();
  }
  EXPECT_EQ(log.cpls.size(), cases.size());
}

TEST_F(CmdsTest, DoorbellBufferConfigCarriesBothPages)
{
  CplLog log;
  ASSERT_EQ(nvme_ctrlr_cmd_doorbell_buffer_config(ctrlr_, 0x10000, 0x20000, &CplLog::Cb, &log), 0);
  spdk_nvme_cmd c = Last();
  CheckCmd(c, {0x7C, 0, 0, 0, 0, 0}, "dbbuf");
  EXPECT_EQ(c.dptr.prp.prp1, 0x10000u);
  EXPECT_EQ(c.dptr.prp.prp2, 0x20000u);
}

TEST_F(CmdsTest, IdentifyCopiesDeviceDataBackThroughABounceBuffer)
{
  nvme_completion_poll_status st{};
  spdk_nvme_ctrlr_data user;
  memset(&user, 0, sizeof(user));
  ASSERT_EQ(nvme_ctrlr_cmd_identify(ctrlr_, 1, 5, 7, &user, sizeof(user), nvme_completion_poll_cb, &st), 0);
  spdk_nvme_cmd c = Last();
  CheckCmd(c, {0x06, 7, (5u << 16) | 1, 0, 0, 0}, "identify");
  ASSERT_NE(c.dptr.prp.prp1, spdk_vtophys(&user, nullptr)) << "not the caller's buffer";
  auto* dma = static_cast<uint8_t*>(FakeDevice::Dma(c.dptr.prp.prp1, 4096));
  ASSERT_NE(dma, nullptr);
  memset(dma, 0x5A, 4096);
  CompleteLast();
  ASSERT_TRUE(st.done);
  EXPECT_EQ(user.vid, 0x5A5A);
  EXPECT_EQ(user.vs[1023], 0x5A);
}

TEST_F(CmdsTest, HostToDeviceDataIsCopiedInAndNotBack)
{
  struct Case {
    const char* what;
    std::function<int(void*, nvme_completion_poll_status*)> call;
    Expect e;
    uint32_t size;
  };
  std::vector<Case> cases = {
      {"attach ns",
       [&](void* p, nvme_completion_poll_status* s) {
         return nvme_ctrlr_cmd_attach_ns(ctrlr_, 3, (spdk_nvme_ctrlr_list*)p, nvme_completion_poll_cb, s);
       },
       {0x15, 3, 0, 0, 0, 0}, 4096},
      {"detach ns",
       [&](void* p, nvme_completion_poll_status* s) {
         return nvme_ctrlr_cmd_detach_ns(ctrlr_, 3, (spdk_nvme_ctrlr_list*)p, nvme_completion_poll_cb, s);
       },
       {0x15, 3, 1, 0, 0, 0}, 4096},
      {"create ns",
       [&](void* p, nvme_completion_poll_status* s) {
         return nvme_ctrlr_cmd_create_ns(ctrlr_, (spdk_nvme_ns_data*)p, nvme_completion_poll_cb, s);
       },
       {0x0D, 0, 0, 0, 0, 0}, 4096},
      {"set feature",
       [&](void* p, nvme_completion_poll_status* s) {
         return spdk_nvme_ctrlr_cmd_set_feature(ctrlr_, 0x03, 1, 2, p, 64, nvme_completion_poll_cb, s);
       },
       {0x09, 0, 0x03, 1, 2, 0}, 64},
      {"host id 8",
       [&](void* p, nvme_completion_poll_status* s) {
         return nvme_ctrlr_cmd_set_host_id(ctrlr_, p, 8, nvme_completion_poll_cb, s);
       },
       {0x09, 0, 0x81, 0, 0, 0}, 8},
      {"host id 16",
       [&](void* p, nvme_completion_poll_status* s) {
         return nvme_ctrlr_cmd_set_host_id(ctrlr_, p, 16, nvme_completion_poll_cb, s);
       },
       {0x09, 0, 0x81, 1, 0, 0}, 16},
      {"fw download",
       [&](void* p, nvme_completion_poll_status* s) {
         return nvme_ctrlr_cmd_fw_image_download(ctrlr_, 4096, 8192, p, nvme_completion_poll_cb, s);
       },
       {0x11, 0, 1023, 2048, 0, 0}, 4096},
      {"security send",
       [&](void* p, nvme_completion_poll_status* s) {
         return nvme_ctrlr_cmd_security_send(ctrlr_, 0xEF, 0x1234, 5, p, 512, nvme_completion_poll_cb, s);
       },
       {0x81, 0, 0xEF123405u, 512, 0, 0}, 512},
  };
  std::vector<uint8_t> user(4096);
  for (auto& c : cases) {
    for (size_t i = 0; i < user.size(); i++) user[i] = (uint8_t)(i * 7 + 1);
    nvme_completion_poll_status st{};
    ASSERT_EQ(c.call(user.data(), &st), 0) << c.what;
    spdk_nvme_cmd cmd = Last();
    CheckCmd(cmd, c.e, c.what);
    auto* dma = static_cast<uint8_t*>(FakeDevice::Dma(cmd.dptr.prp.prp1, c.size));
    ASSERT_NE(dma, nullptr) << c.what;
    EXPECT_EQ(memcmp(dma, user.data(), c.size), 0) << c.what;
    memset(dma, 0xEE, c.size);  // the device scribbles: nothing must flow back
    CompleteLast();
    EXPECT_TRUE(st.done) << c.what;
    EXPECT_EQ(user[0], 1) << c.what;
  }
}

TEST_F(CmdsTest, SecurityReceiveReadsIntoTheCallersBuffer)
{
  nvme_completion_poll_status st{};
  uint8_t user[256] = {};
  ASSERT_EQ(nvme_ctrlr_cmd_security_receive(ctrlr_, 1, 0xFFFF, 0xFF, user, sizeof(user), nvme_completion_poll_cb, &st),
            0);
  spdk_nvme_cmd c = Last();
  CheckCmd(c, {0x82, 0, (1u << 24) | (0xFFFFu << 8) | 0xFF, 256, 0, 0}, "security receive");
  memset(FakeDevice::Dma(c.dptr.prp.prp1, 256), 0x3C, 256);
  CompleteLast();
  EXPECT_EQ(user[255], 0x3C);
}

TEST_F(CmdsTest, InvalidHostIdSizeIsRefused)
{
  uint8_t id[16] = {};
  uint16_t tail = AdminTail();
  EXPECT_EQ(nvme_ctrlr_cmd_set_host_id(ctrlr_, id, 12, nullptr, nullptr), -EINVAL);
  EXPECT_EQ(AdminTail(), tail);
}

TEST_F(CmdsTest, GetLogPageDwordCountsAndChecks)
{
  std::vector<uint8_t> user(512 * 1024);
  CplLog log;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, 0x02, 0xFFFFFFFF, user.data(), 4096, 0, &CplLog::Cb, &log), 0);
  CheckCmd(Last(), {0x02, 0xFFFFFFFF, 0x02u | (0x3FFu << 16), 0, 0, 0}, "4 KiB");
  CompleteLast();
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, 0xC0, 0, user.data(), 512 * 1024, 0, &CplLog::Cb, &log), 0);
  CheckCmd(Last(), {0x02, 0, 0xC0u | (0xFFFFu << 16), 1, 0, 0}, "512 KiB");
  spdk_nvme_cmd big = Last();
  EXPECT_NE(big.dptr.prp.prp2, 0u) << "a 512 KiB bounce buffer needs a PRP list";
  CompleteLast();

  uint16_t tail = AdminTail();
  EXPECT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, 0x02, 0, user.data(), 512, 8, &CplLog::Cb, &log), -EINVAL)
      << "offset without extended log page data";
  EXPECT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, 0x02, 0, user.data(), 0, 0, &CplLog::Cb, &log), -EINVAL);
  for (uint32_t small = 1; small < 4; small++) {
    EXPECT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, 0x02, 0, user.data(), small, 0, &CplLog::Cb, &log), -EINVAL);
  }
  EXPECT_EQ(AdminTail(), tail) << "nothing was sent";

  ctrlr_->cdata.lpa.bits.edlp = 1;
  EXPECT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, 0x02, 0, user.data(), 512, 6, &CplLog::Cb, &log), -EINVAL)
      << "offset must be a multiple of 4";
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, 0x02, 0, user.data(), 512, 0x100000008ull, &CplLog::Cb, &log), 0);
  CheckCmd(Last(), {0x02, 0, 0x02u | (127u << 16), 0, 8, 1}, "offset");
  CompleteLast();
}

TEST_F(CmdsTest, FirmwareDownloadBelowOneDwordIsRefused)
{
  uint8_t img[4] = {};
  uint16_t tail = AdminTail();
  for (uint32_t size = 0; size < 4; size++) {
    EXPECT_EQ(nvme_ctrlr_cmd_fw_image_download(ctrlr_, size, 0, img, nullptr, nullptr), -EINVAL);
  }
  EXPECT_EQ(AdminTail(), tail);
}

TEST_F(CmdsTest, RawCommandsAreCopiedWholeWithOnlyCidAndDataPointerSet)
{
  auto* buf = static_cast<uint8_t*>(spdk_zmalloc(8192, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  ASSERT_NE(buf, nullptr);
  spdk_nvme_cmd cmd;
  memset(&cmd, 0, sizeof(cmd));
  cmd.opc = 0xC1;  // vendor specific, bidirectional
  cmd.nsid = 0x11223344;
  cmd.rsvd2 = 0xAAAAAAAA;
  cmd.rsvd3 = 0xBBBBBBBB;
  cmd.cdw10 = 10;
  cmd.cdw11 = 11;
  cmd.cdw12 = 12;
  cmd.cdw13 = 13;
  cmd.cdw14 = 14;
  cmd.cdw15 = 15;
  CplLog log;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_admin_raw(ctrlr_, &cmd, buf, 8192, &CplLog::Cb, &log), 0);
  spdk_nvme_cmd c = Last();
  EXPECT_EQ(c.opc, 0xC1);
  EXPECT_EQ(c.nsid, 0x11223344u);
  EXPECT_EQ(c.rsvd2, 0xAAAAAAAAu);
  EXPECT_EQ(c.rsvd3, 0xBBBBBBBBu);
  EXPECT_EQ(c.cdw10, 10u);
  EXPECT_EQ(c.cdw15, 15u);
  EXPECT_EQ(c.dptr.prp.prp1, spdk_vtophys(buf, nullptr)) << "raw commands use the caller's DMA buffer";
  EXPECT_EQ(c.dptr.prp.prp2, spdk_vtophys(buf + 4096, nullptr));
  nvme_tracker *tr, *last = nullptr;
  TAILQ_FOREACH(tr, &nvme_pcie_qpair(ctrlr_->adminq)->outstanding_tr, tq_list) last = tr;
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(c.cid, last->cid);
  CompleteLast();
  EXPECT_EQ(log.cpls.size(), 1u);
  spdk_free(buf);
}

TEST_F(CmdsTest, AbortLimitAllowsAclPlusOneAndSendsQueuedAborts)
{
  ctrlr_->cdata.acl = 0;  // zero-based: one abort at a time
  CplLog first, second, third;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_abort(ctrlr_, nullptr, 1, &CplLog::Cb, &first), 0);
  EXPECT_EQ(AdminTail(), 1) << "the first abort is sent";
  spdk_nvme_cmd a1 = Last();
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_abort(ctrlr_, nullptr, 2, &CplLog::Cb, &second), 0);
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_abort(ctrlr_, nullptr, 3, &CplLog::Cb, &third), 0);
  EXPECT_EQ(AdminTail(), 1) << "the others wait";
  EXPECT_EQ(ctrlr_->outstanding_aborts, 1u);

  dev_->Post(ctrlr_->adminq, a1.cid, 0, 0, 0x1);
  spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  ASSERT_EQ(first.cpls.size(), 1u);
  EXPECT_EQ(first.cpls[0].cdw0, 0x1u) << "the caller sees the device's completion";
  EXPECT_EQ(AdminTail(), 2) << "the next queued abort went out";
  EXPECT_EQ(Last().cdw10, 2u << 16);
  EXPECT_EQ(ctrlr_->outstanding_aborts, 1u);
  CompleteLast();
  EXPECT_EQ(second.cpls.size(), 1u);
  EXPECT_EQ(Last().cdw10, 3u << 16);
  CompleteLast();
  EXPECT_EQ(third.cpls.size(), 1u);
  EXPECT_EQ(ctrlr_->outstanding_aborts, 0u);
}

TEST_F(CmdsTest, AbortOfAnIoQueueUsesItsIdentifier)
{
  spdk_nvme_io_qpair_opts o = kyt::test::IoOpts(16);
  spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, 5, &o);
  ASSERT_NE(q, nullptr);
  CplLog log;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_abort(ctrlr_, q, 0x42, &CplLog::Cb, &log), 0);
  EXPECT_EQ(Last().cdw10, (0x42u << 16) | 5);
  CompleteLast();
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
}

TEST_F(CmdsTest, ExhaustedAdminPoolGivesEnomem)
{
  CplLog log;
  int rc = 0, sent = 0;
  while ((rc = nvme_ctrlr_cmd_get_num_queues(ctrlr_, &CplLog::Cb, &log)) == 0) {
    sent++;
    ASSERT_LT(sent, 1000);
  }
  EXPECT_EQ(rc, -ENOMEM);
  EXPECT_EQ(sent, NVME_ADMIN_REQUESTS);
}

}  // namespace
