// NVM command set through I/O queues: metadata, deallocation, error statuses, media errors.
#include "kyt_sim/protection_info.h"
#include "sim_test_util.h"

namespace kyt::sim::testing {
namespace {

class IoTest : public SimTest {
 protected:
  void StartWith(const SimConfig& c) {
    Start(c);
    ASSERT_OK(host_->CreateIoQueuePair(1, 64, &q_));
  }
  static void Fill(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>((i * 31 + (i >> 9)) & 0xFF);
  }
  Status Run(const Command& c) {
    Completion done;
    return host_->Submit(*q_, c, &done) ? TestHost::StatusOf(done) : Status::Of(sct::kVendor, 0xFF);
  }
  TestHost::Queue* q_ = nullptr;
};

// Extended LBAs carry the metadata inline (separate metadata is seen by the driver's own metadata tests).
TEST_F(IoTest, ExtendedLbasCarryTheMetadataInline) {
  SimConfig c = FastConfig();
  c.namespaces.resize(1);
  c.namespaces[0].lba_format = 1;  // 512 + 8
  c.namespaces[0].extended_lba = true;
  StartWith(c);
  TestHost::Buffer data = host_->Alloc(4096), back = host_->Alloc(4096);
  Fill(data.ptr, 4096);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 50, 4, data, 0, nullptr, 520));
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 50, 4, back, 0, nullptr, 520));
  EXPECT_EQ(0, std::memcmp(data.ptr, back.ptr, 4 * 520));
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 53, &block));
  EXPECT_EQ(block[519], data.ptr[4 * 520 - 1]);
}

TEST_F(IoTest, DeallocationWriteZeroesAndCompare) {
  StartWith(FastConfig());
  TestHost::Buffer data = host_->Alloc(64 * 512), back = host_->Alloc(64 * 512), ranges = host_->Alloc(4096);
  std::memset(data.ptr, 0xC3, 64 * 512);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 0, 64, data));
  auto range = [&](int i, uint32_t len, uint64_t slba) {
    std::memcpy(ranges.ptr + 16 * i + 4, &len, 4);
    std::memcpy(ranges.ptr + 16 * i + 8, &slba, 8);
  };
  Command dsm = Cmd(io_opc::kDatasetManagement, 1);
  dsm.cdw10 = 1;  // two ranges
  dsm.prp1 = ranges.iova;
  range(0, 8, 4);
  range(1, 2, 60);
  dsm.cdw11 = 0x3;  // no deallocate attribute: nothing changes
  ASSERT_OK(Run(dsm));
  range(1, 2, 40);
  dsm.cdw11 = 1u << 2;
  ASSERT_OK(Run(dsm));
  Command wz = Cmd(io_opc::kWriteZeroes, 1);
  wz.cdw10 = 50;
  ASSERT_OK(Run(wz));
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 0, 64, back));
  for (int b = 0; b < 64; ++b) {
    const bool gone = (b >= 4 && b < 12) || b == 40 || b == 41 || b == 50;
    EXPECT_EQ(back.ptr[b * 512 + 17], gone ? 0 : 0xC3) << b;
  }
  range(0, 2, (1u << 20) - 1);  // beyond the namespace
  EXPECT_STATUS(Run(dsm), sct::kGeneric, sc::kLbaOutOfRange);
  // Compare sees every byte.
  EXPECT_OK(host_->Io(*q_, io_opc::kCompare, 1, 0, 4, data));
  data.ptr[4 * 512 - 1] ^= 1;
  EXPECT_STATUS(host_->Io(*q_, io_opc::kCompare, 1, 0, 4, data), sct::kMediaError, mesc::kCompareFailure);
}

TEST_F(IoTest, ErrorStatuses) {
  SimConfig c = FastConfig();
  NamespaceConfig a, big, off;
  a.blocks = 1000;
  big.nsid = 2;
  big.blocks = (1ull << 32) + 10;
  off.nsid = 3;
  off.active = false;
  c.namespaces = {a, big, off};
  c.mdts = 2;  // 16 KiB
  StartWith(c);
  TestHost::Buffer data = host_->Alloc(64 * 1024);
  const struct {
    uint32_t nsid;
    uint64_t slba;
    uint32_t nlb;
    uint8_t sc;
  } rows[] = {{1, 999, 1, 0},
              {1, 999, 2, sc::kLbaOutOfRange},
              {1, ~uint64_t(0), 1, sc::kLbaOutOfRange},
              {2, (1ull << 32) + 10, 1, sc::kLbaOutOfRange},
              {3, 0, 1, sc::kInvalidNamespaceOrFormat},  // inactive
              {0, 0, 1, sc::kInvalidNamespaceOrFormat},
              {1, 0, 32, 0},  // exactly MDTS
              {1, 0, 33, sc::kInvalidField}};
  for (const auto& r : rows) {
    EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, r.nsid, r.slba, r.nlb, data), 0, r.sc) << r.nsid << " " << r.slba;
  }
  // Beyond 2^32 blocks, the upper SLBA dword counts.
  std::memset(data.ptr, 0x42, 512);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 2, (1ull << 32) + 9, 1, data));
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(2, (1ull << 32) + 9, &block));
  EXPECT_EQ(block[0], 0x42);
  ASSERT_TRUE(ctrl_->ReadBlock(2, 9, &block));
  EXPECT_EQ(block[0], 0);
  // The data pointers' own checks reach the completion.
  Command r = Cmd(io_opc::kRead, 1);
  r.prp1 = data.iova + 2;
  EXPECT_STATUS(Run(r), sct::kGeneric, sc::kInvalidPrpOffset);
}

TEST_F(IoTest, UncorrectableBlocksFailReadsUntilRewritten) {
  StartWith(FastConfig());
  TestHost::Buffer data = host_->Alloc(8 * 512), none;
  ASSERT_OK(host_->Io(*q_, io_opc::kWriteUncorrectable, 1, 3, 2, none));  // blocks 3 and 4
  ASSERT_TRUE(ctrl_->MarkUncorrectable(1, 100));
  for (uint64_t lba : {0, 100}) {
    EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, lba, 8, data), sct::kMediaError, mesc::kUnrecoveredReadError);
  }
  EXPECT_OK(host_->Io(*q_, io_opc::kRead, 1, 0, 3, data));
  // Writing block 3 heals it; block 4 stays bad.
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 3, 1, data));
  EXPECT_OK(host_->Io(*q_, io_opc::kRead, 1, 3, 1, data));
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, 4, 1, data), sct::kMediaError, mesc::kUnrecoveredReadError);
}

TEST(Crc16T10DifTest, KnownValue) {
  EXPECT_EQ(Crc16T10Dif(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xD0DB);
}

TEST_F(IoTest, FirstEightBytesMode) {
  SimConfig c = FastConfig();
  c.store_first_8_bytes = true;
  NamespaceConfig ns;
  ns.lba_format = 2;
  c.namespaces = {ns};
  StartWith(c);
  TestHost::Buffer data = host_->Alloc(8192), back = host_->Alloc(8192);
  Fill(data.ptr, 8192);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 3, 2, data, 0, nullptr, 4096));
  std::memset(back.ptr, 0xFF, 8192);
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 4, 2, back, 0, nullptr, 4096));  // block 5 was never written
  EXPECT_EQ(0, std::memcmp(back.ptr, data.ptr + 4096, 8));
  EXPECT_EQ(0, std::memcmp(back.ptr + 4096, std::vector<uint8_t>(8).data(), 8));
  // Only the first 8 bytes of a block are moved: the rest of the host's buffer is left as it was.
  for (int i : {8, 4095, 8191}) EXPECT_EQ(back.ptr[i], 0xFF) << i;
}

}  // namespace
}  // namespace kyt::sim::testing
