// The completion status word, filled through the driver's own bit fields and read back by the system's one decoder.
#include "nvme/completion_status.h"

#include <gtest/gtest.h>

namespace {

using kyt::nvme::CompletionStatus;

CompletionStatus Status(uint16_t sct, uint16_t sc, bool flags = false) {
  spdk_nvme_cpl cpl{};
  cpl.status.sct = sct & 0x7;
  cpl.status.sc = sc & 0xFF;
  cpl.status.p = cpl.status.m = cpl.status.dnr = flags;
  cpl.status.rsvd2 = flags ? 3 : 0;
  return CompletionStatus(cpl);
}

TEST(CompletionStatusTest, ReadsEachFieldFromItsBits) {
  const CompletionStatus media = Status(SPDK_NVME_SCT_MEDIA_ERROR, SPDK_NVME_SC_UNRECOVERED_READ_ERROR, true);
  EXPECT_EQ(media.Type(), SPDK_NVME_SCT_MEDIA_ERROR);
  EXPECT_EQ(media.Code(), SPDK_NVME_SC_UNRECOVERED_READ_ERROR);
  EXPECT_TRUE(media.Phase() && media.More() && media.DoNotRetry());
  const CompletionStatus vendor = Status(SPDK_NVME_SCT_VENDOR_SPECIFIC, 0xFF);
  EXPECT_FALSE(vendor.Phase() || vendor.More() || vendor.DoNotRetry());
}

// Failed (the script's rule) counts the status code only; an error (the driver's) the status code type too.
TEST(CompletionStatusTest, FailedErrorAndHostTimeOut) {
  EXPECT_FALSE(Status(SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_SUCCESS, true).IsError());
  EXPECT_FALSE(Status(SPDK_NVME_SCT_PATH, SPDK_NVME_SC_INTERNAL_PATH_ERROR).Failed());
  EXPECT_TRUE(Status(SPDK_NVME_SCT_PATH, SPDK_NVME_SC_INTERNAL_PATH_ERROR).IsError());
  EXPECT_TRUE(Status(SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_INVALID_FIELD).Failed());
  EXPECT_TRUE(Status(SPDK_NVME_SCT_PATH, SPDK_NVME_SC_ABORTED_BY_HOST).HostTimedOut());
  EXPECT_FALSE(Status(SPDK_NVME_SCT_PATH, SPDK_NVME_SC_HOST_PATH_ERROR).HostTimedOut());
  EXPECT_FALSE(Status(SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_ABORTED_BY_HOST).HostTimedOut());
}

}  // namespace
