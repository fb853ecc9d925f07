// End to end against the simulated controller: attach, then data through I/O queue pairs built by this part of
// the driver (one-step creation, PRP lists, completions), and admin commands through the bounce-buffer path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "kyt/env_test.h"
#include "nvme_internal.h"

#ifdef KYT_HAVE_SIM
#include "kyt_sim/sim_registry.h"

namespace {

struct Done {
  bool done = false;
  spdk_nvme_cpl cpl{};
  static void Cb(void* arg, const spdk_nvme_cpl* cpl)
  {
    auto* d = static_cast<Done*>(arg);
    d->cpl = *cpl;
    d->done = true;
  }
};

bool PollUntil(spdk_nvme_qpair* q, Done& d)
{
  for (int i = 0; i < 2000000 && !d.done; i++) {
    if (spdk_nvme_qpair_process_completions(q, 0) < 0) return false;
  }
  return d.done;
}

class SimIo : public ::testing::Test {
 protected:
  void SetUp() override
  {
    char addr[32];
    snprintf(addr, sizeof(addr), "%04x:e0:00.0", 0x1000u + (unsigned)getpid() % 0xE000u);
    address_ = addr;
    kyt::sim::SimConfig cfg;
    sim_ = kyt::sim::SimRegistry::Instance().Create(address_, cfg);
    ASSERT_TRUE(sim_);

    spdk_nvme_transport_id trid{};
    std::string text = "trtype:PCIe traddr:" + address_;
    ASSERT_EQ(spdk_nvme_transport_id_parse(&trid, text.c_str()), 0);
    kyt_env_test_set_clock_scale(200);  // the attach waits 2 s before touching the controller
    ctrlr_ = spdk_nvme_connect(&trid, nullptr, 0);
    kyt_env_test_set_clock_scale(1);
    ASSERT_NE(ctrlr_, nullptr);
  }
  void TearDown() override
  {
    if (ctrlr_) spdk_nvme_detach(ctrlr_);
    kyt::sim::SimRegistry::Instance().Destroy(address_);
  }
  std::string address_;
  std::shared_ptr<kyt::sim::SimController> sim_;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
};

TEST_F(SimIo, DataRoundTripsThroughAnIoQueuePair)
{
  spdk_nvme_ns* ns = spdk_nvme_ctrlr_get_ns(ctrlr_, 1);
  ASSERT_NE(ns, nullptr);
  ASSERT_TRUE(spdk_nvme_ns_is_active(ns));
  uint32_t bs = spdk_nvme_ns_get_sector_size(ns);
  ASSERT_GT(bs, 0u);
  EXPECT_EQ(ns->sectors_per_max_io, spdk_nvme_ctrlr_get_max_xfer_size(ctrlr_) / spdk_nvme_ns_get_extended_sector_size(ns));

  spdk_nvme_qpair* q = spdk_nvme_ctrlr_alloc_io_qpair(ctrlr_, nullptr, 0);
  ASSERT_NE(q, nullptr);
  const uint32_t bytes = 3 * 4096 + 2048;  // a PRP list
  const uint32_t blocks = bytes / bs;
  auto* out = static_cast<uint8_t*>(spdk_zmalloc(bytes + 4096, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  auto* in = static_cast<uint8_t*>(spdk_zmalloc(bytes + 4096, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  ASSERT_TRUE(out && in);
  uint8_t* src = out + 512;  // not page aligned: prp1 carries an offset
  for (uint32_t i = 0; i < bytes; i++) src[i] = (uint8_t)(i * 31 + 7);

  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_WRITE;
  cmd.nsid = 1;
  cmd.cdw10 = 100;
  cmd.cdw12 = blocks - 1;
  Done w;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, q, &cmd, src, blocks * bs, &Done::Cb, &w), 0);
  ASSERT_TRUE(PollUntil(q, w));
  EXPECT_FALSE(spdk_nvme_cpl_is_error(&w.cpl));

  cmd.opc = SPDK_NVME_OPC_READ;
  Done r;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, q, &cmd, in, blocks * bs, &Done::Cb, &r), 0);
  ASSERT_TRUE(PollUntil(q, r));
  EXPECT_FALSE(spdk_nvme_cpl_is_error(&r.cpl));
  EXPECT_EQ(memcmp(in, src, blocks * bs), 0);

  // Beyond the namespace: the device's own error comes back unchanged.
  cmd.cdw10 = (uint32_t)spdk_nvme_ns_get_num_sectors(ns);
  cmd.cdw11 = (uint32_t)(spdk_nvme_ns_get_num_sectors(ns) >> 32);
  cmd.cdw12 = 0;
  Done e;
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_io_raw(ctrlr_, q, &cmd, in, bs, &Done::Cb, &e), 0);
  ASSERT_TRUE(PollUntil(q, e));
  EXPECT_EQ(e.cpl.status.sc, SPDK_NVME_SC_LBA_OUT_OF_RANGE);

  spdk_free(out);
  spdk_free(in);
  EXPECT_EQ(spdk_nvme_ctrlr_free_io_qpair(q), 0);
}

TEST_F(SimIo, AdminCommandsThroughBounceBuffers)
{
  spdk_nvme_health_information_page health;
  memset(&health, 0xFF, sizeof(health));
  nvme_completion_poll_status st{};
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_get_log_page(ctrlr_, SPDK_NVME_LOG_HEALTH_INFORMATION, 0xFFFFFFFF, &health,
                                             sizeof(health), 0, nvme_completion_poll_cb, &st),
            0);
  ASSERT_EQ(spdk_nvme_wait_for_completion_robust_lock(ctrlr_->adminq, &st, &ctrlr_->ctrlr_lock), 0);
  EXPECT_NE(health.available_spare, 0xFF) << "the device's data was copied into the caller's buffer";

  spdk_nvme_ctrlr_data cdata;
  memset(&cdata, 0, sizeof(cdata));
  ASSERT_EQ(nvme_ctrlr_cmd_identify(ctrlr_, SPDK_NVME_IDENTIFY_CTRLR, 0, 0, &cdata, sizeof(cdata),
                                    nvme_completion_poll_cb, &st),
            0);
  ASSERT_EQ(spdk_nvme_wait_for_completion(ctrlr_->adminq, &st), 0);
  EXPECT_EQ(memcmp(&cdata, spdk_nvme_ctrlr_get_data(ctrlr_), sizeof(cdata)), 0);
}

}  // namespace
#endif
