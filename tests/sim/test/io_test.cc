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
  static void Fill(uint8_t* p, size_t n, uint32_t seed) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>((i * 31 + seed * 7 + (i >> 9)) & 0xFF);
  }
  TestHost::Queue* q_ = nullptr;
};

// Separate metadata moves through MPTR (dword aligned), extended LBAs carry it inline.
TEST_F(IoTest, MetadataSeparateAndExtended) {
  SimConfig c = FastConfig();
  c.namespaces.resize(2);
  c.namespaces[0].lba_format = c.namespaces[1].lba_format = 1;  // 512 + 8
  c.namespaces[1].nsid = 2;
  c.namespaces[1].extended_lba = true;
  StartWith(c);
  TestHost::Buffer data = host_->Alloc(4096), md = host_->Alloc(4096), back = host_->Alloc(4096);
  Fill(data.ptr, 4096, 1);
  Command w = Cmd(io_opc::kWrite, 1);
  w.cdw12 = 1;  // two blocks
  w.prp1 = data.iova;
  w.mptr = md.iova + 4;
  std::memset(md.ptr + 4, 0x5A, 16);
  Completion done;
  ASSERT_TRUE(host_->Submit(*q_, w, &done));
  ASSERT_OK(TestHost::StatusOf(done));
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 1, &block));
  EXPECT_EQ(block[512 + 7], 0x5A);
  w.mptr = md.iova + 2;
  ASSERT_TRUE(host_->Submit(*q_, w, &done));
  EXPECT_STATUS(TestHost::StatusOf(done), sct::kGeneric, sc::kInvalidField);

  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 2, 50, 4, data, 0, nullptr, 520));
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 2, 50, 4, back, 0, nullptr, 520));
  EXPECT_EQ(0, std::memcmp(data.ptr, back.ptr, 4 * 520));
  ASSERT_TRUE(ctrl_->ReadBlock(2, 53, &block));
  EXPECT_EQ(block[519], data.ptr[4 * 520 - 1]);
}

TEST_F(IoTest, DeallocationWriteZeroesAndCompare) {
  StartWith(FastConfig());
  TestHost::Buffer data = host_->Alloc(64 * 512), back = host_->Alloc(64 * 512);
  std::memset(data.ptr, 0xC3, 64 * 512);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 0, 64, data));
  // Dataset Management: deallocate blocks 4..11 and 40..41.
  TestHost::Buffer ranges = host_->Alloc(4096);
  auto range = [&](int i, uint32_t len, uint64_t slba) {
    std::memcpy(ranges.ptr + 16 * i + 4, &len, 4);
    std::memcpy(ranges.ptr + 16 * i + 8, &slba, 8);
  };
  range(0, 8, 4);
  range(1, 2, 40);
  Command dsm = Cmd(io_opc::kDatasetManagement, 1);
  dsm.cdw10 = 1;       // two ranges
  dsm.cdw11 = 1u << 2; // deallocate
  dsm.prp1 = ranges.iova;
  Completion done;
  ASSERT_TRUE(host_->Submit(*q_, dsm, &done));
  ASSERT_OK(TestHost::StatusOf(done));
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 0, 64, back));
  for (int b = 0; b < 64; ++b) {
    const bool gone = (b >= 4 && b < 12) || b == 40 || b == 41;
    EXPECT_EQ(back.ptr[b * 512 + 17], gone ? 0 : 0xC3) << b;
  }
  // Compare sees every byte; Write Zeroes and a deallocation read zeros alike. Without the deallocate attribute
  // nothing changes.
  EXPECT_OK(host_->Io(*q_, io_opc::kCompare, 1, 0, 4, data));
  data.ptr[4 * 512 - 1] ^= 1;
  EXPECT_STATUS(host_->Io(*q_, io_opc::kCompare, 1, 0, 4, data), sct::kMediaError, mesc::kCompareFailure);
  Command wz = Cmd(io_opc::kWriteZeroes, 1);
  wz.cdw10 = 50;
  ASSERT_TRUE(host_->Submit(*q_, wz, &done));
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 50, 1, back));
  EXPECT_EQ(back.ptr[17], 0);
  dsm.cdw11 = 0x3;
  range(1, 2, 60);
  ASSERT_TRUE(host_->Submit(*q_, dsm, &done));
  ASSERT_OK(TestHost::StatusOf(done));
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 60, 1, back));
  EXPECT_EQ(back.ptr[17], 0xC3);
  // A range beyond the namespace.
  range(0, 2, (1u << 20) - 1);
  dsm.cdw11 = 1u << 2;
  ASSERT_TRUE(host_->Submit(*q_, dsm, &done));
  EXPECT_STATUS(TestHost::StatusOf(done), sct::kGeneric, sc::kLbaOutOfRange);
}

TEST_F(IoTest, ErrorStatuses) {
  SimConfig c = FastConfig();
  NamespaceConfig a, big, off;
  a.nsid = 1;
  a.blocks = 1000;
  big.nsid = 2;
  big.blocks = (1ull << 32) + 10;
  off.nsid = 3;
  off.blocks = 10;
  off.active = false;
  c.namespaces = {a, big, off};
  c.mdts = 2;  // 16 KiB
  StartWith(c);
  TestHost::Buffer data = host_->Alloc(64 * 1024);
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, 999, 2, data), sct::kGeneric, sc::kLbaOutOfRange);
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, ~uint64_t(0), 1, data), sct::kGeneric, sc::kLbaOutOfRange);
  EXPECT_OK(host_->Io(*q_, io_opc::kRead, 1, 999, 1, data));
  for (uint32_t nsid : {3u, 0u}) {  // inactive, none
    EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, nsid, 0, 1, data), sct::kGeneric, sc::kInvalidNamespaceOrFormat);
  }
  EXPECT_OK(host_->Io(*q_, io_opc::kRead, 1, 0, 32, data));  // exactly MDTS
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, 0, 33, data), sct::kGeneric, sc::kInvalidField);
  // Beyond 2^32 blocks, the upper SLBA dword counts.
  std::memset(data.ptr, 0x42, 512);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 2, (1ull << 32) + 9, 1, data));
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(2, (1ull << 32) + 9, &block));
  EXPECT_EQ(block[0], 0x42);
  ASSERT_TRUE(ctrl_->ReadBlock(2, 9, &block));
  EXPECT_EQ(block[0], 0);
  EXPECT_STATUS(host_->Io(*q_, io_opc::kWrite, 2, (1ull << 32) + 10, 1, data), sct::kGeneric, sc::kLbaOutOfRange);
  // Bad data pointers.
  Command r = Cmd(io_opc::kRead, 1);
  r.prp1 = data.iova + 2;
  Completion done;
  ASSERT_TRUE(host_->Submit(*q_, r, &done));
  EXPECT_STATUS(TestHost::StatusOf(done), sct::kGeneric, sc::kInvalidPrpOffset);
  r.prp1 = 0x40000;
  ASSERT_TRUE(host_->Submit(*q_, r, &done));
  EXPECT_STATUS(TestHost::StatusOf(done), sct::kGeneric, sc::kDataTransferError);
  EXPECT_TRUE(done.dnr());
}

TEST_F(IoTest, UncorrectableBlocksFailReadsUntilRewritten) {
  StartWith(FastConfig());
  TestHost::Buffer data = host_->Alloc(8 * 512);
  std::memset(data.ptr, 0x11, 8 * 512);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 0, 8, data));
  TestHost::Buffer none;
  ASSERT_OK(host_->Io(*q_, io_opc::kWriteUncorrectable, 1, 3, 2, none));  // blocks 3 and 4
  ASSERT_TRUE(ctrl_->MarkUncorrectable(1, 100));
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, 0, 8, data), sct::kMediaError, mesc::kUnrecoveredReadError);
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, 100, 1, data), sct::kMediaError, mesc::kUnrecoveredReadError);
  EXPECT_OK(host_->Io(*q_, io_opc::kRead, 1, 0, 3, data));
  // Writing block 3 heals it; block 4 stays bad.
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 3, 1, data));
  EXPECT_OK(host_->Io(*q_, io_opc::kRead, 1, 3, 1, data));
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, 4, 1, data), sct::kMediaError, mesc::kUnrecoveredReadError);
}

TEST(Crc16T10DifTest, KnownValue) {
  const char* digits = "123456789";
  EXPECT_EQ(Crc16T10Dif(reinterpret_cast<const uint8_t*>(digits), 9), 0xD0DB);
  uint8_t zeros[512] = {};
  EXPECT_EQ(Crc16T10Dif(zeros, 512), 0);
}

TEST_F(IoTest, FirstEightBytesMode) {
  SimConfig c = FastConfig();
  c.store_first_8_bytes = true;
  NamespaceConfig ns;
  ns.lba_format = 2;
  c.namespaces = {ns};
  StartWith(c);
  TestHost::Buffer data = host_->Alloc(8192), back = host_->Alloc(8192);
  Fill(data.ptr, 8192, 6);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 3, 2, data, 0, nullptr, 4096));
  std::memset(back.ptr, 0xFF, 8192);
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 4, 2, back, 0, nullptr, 4096));  // block 5 was never written
  EXPECT_EQ(0, std::memcmp(back.ptr, data.ptr + 4096, 8));
  EXPECT_EQ(0, std::memcmp(back.ptr + 4096, std::vector<uint8_t>(8).data(), 8));
  // Only the first 8 bytes of a block are moved: the rest of the host's buffer is left as it was.
  EXPECT_EQ(back.ptr[8], 0xFF);
  EXPECT_EQ(back.ptr[4095], 0xFF);
  EXPECT_EQ(back.ptr[8191], 0xFF);
}

}  // namespace
}  // namespace kyt::sim::testing
