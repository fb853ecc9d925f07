#include "sim_test_util.h"

namespace kyt::sim::testing {
namespace {

class SmokeTest : public SimTest {};

TEST_F(SmokeTest, IdentifyAndReadAfterWrite) {
  Start();
  TestHost::Buffer id;
  ASSERT_OK(host_->Identify(1, 0, &id));
  uint16_t vid;
  std::memcpy(&vid, id.ptr, 2);
  EXPECT_EQ(vid, 0x1d1d);
  TestHost::Queue* q = nullptr;
  ASSERT_OK(host_->CreateIoQueuePair(1, 64, &q));
  TestHost::Buffer data = host_->Alloc(8192);
  for (size_t i = 0; i < 8192; ++i) data.ptr[i] = static_cast<uint8_t>(i * 7);
  ASSERT_OK(host_->Io(*q, io_opc::kWrite, 1, 100, 16, data));
  TestHost::Buffer back = host_->Alloc(8192);
  ASSERT_OK(host_->Io(*q, io_opc::kRead, 1, 100, 16, back));
  EXPECT_EQ(0, std::memcmp(data.ptr, back.ptr, 8192));
  std::printf("host memory from the environment: %s\n", TestHost::UsesEnvironmentMemory() ? "yes" : "no");
}

}  // namespace
}  // namespace kyt::sim::testing
