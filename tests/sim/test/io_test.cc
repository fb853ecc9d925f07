// NVM command set through I/O queues: data pointers, metadata, deallocation and error statuses.
#include "kyt_sim/protection_info.h"
#include "sim_test_util.h"

namespace kyt::sim::testing {
namespace {

class IoTest : public SimTest {
 protected:
  void StartWith(SimConfig c, uint32_t mps = 0) {
    Start(c, false);
    ASSERT_TRUE(host_->Enable(32, mps));
    ASSERT_OK(host_->CreateIoQueuePair(1, 64, &q_));
  }
  static void Fill(uint8_t* p, size_t n, uint32_t seed) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>((i * 31 + seed * 7 + (i >> 9)) & 0xFF);
  }
  TestHost::Queue* q_ = nullptr;
};

TEST_F(IoTest, ReadAfterWriteAtEveryOffsetAndLength) {
  SimConfig c = FastConfig();
  c.mdts = 0;  // no limit
  StartWith(c);
  uint32_t seed = 1;
  uint64_t lba = 0;
  for (uint32_t offset : {0u, 4u, 512u, 2048u, 4092u}) {
    for (uint32_t nlb : {1u, 7u, 8u, 9u, 16u, 17u, 64u}) {
      const size_t len = size_t(nlb) * 512;
      TestHost::Buffer out = host_->Alloc(len + 8192), in = host_->Alloc(len + 8192);
      Fill(out.ptr + offset, len, seed);
      ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, lba, nlb, out, offset)) << offset << " " << nlb;
      // Read back at another offset so that both sides' page splits differ.
      const uint32_t back_offset = (offset + 1024) % 4096;
      ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, lba, nlb, in, back_offset));
      ASSERT_EQ(0, std::memcmp(out.ptr + offset, in.ptr + back_offset, len)) << offset << " " << nlb;
      // The blocks landed where they belong.
      std::vector<uint8_t> block;
      ASSERT_TRUE(ctrl_->ReadBlock(1, lba + nlb - 1, &block));
      ASSERT_EQ(0, std::memcmp(block.data(), out.ptr + offset + len - 512, 512));
      lba += nlb;
      ++seed;
    }
  }
}

TEST_F(IoTest, ChainedPrpListsForLongTransfers) {
  SimConfig c = FastConfig();
  c.mdts = 0;
  StartWith(c);
  const uint32_t nlb = 600 * 8;  // 600 pages: the 512-entry list page chains to a second one
  const size_t len = size_t(nlb) * 512;
  TestHost::Buffer out = host_->Alloc(len + 4096), in = host_->Alloc(len + 4096);
  Fill(out.ptr + 256, len, 9);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 1000, nlb, out, 256));
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 1000, nlb, in, 0));
  EXPECT_EQ(0, std::memcmp(out.ptr + 256, in.ptr, len));
}

TEST_F(IoTest, LargerMemoryPageSize) {
  StartWith(FastConfig(), 1);  // 8 KiB pages
  EXPECT_EQ(host_->page_size(), 8192u);
  const size_t len = 64 * 512;
  TestHost::Buffer out = host_->Alloc(len + 16384, 8192), in = host_->Alloc(len + 16384, 8192);
  Fill(out.ptr + 6144, len, 3);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 0, 64, out, 6144));
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 0, 64, in, 100 * 4));
  EXPECT_EQ(0, std::memcmp(out.ptr + 6144, in.ptr + 400, len));
}

TEST_F(IoTest, MetadataSeparateAndExtended) {
  SimConfig c = FastConfig();
  NamespaceConfig sep, ext;
  sep.nsid = 1;
  sep.blocks = 100;
  sep.lba_format = 3;  // 4096 + 8, metadata through MPTR
  ext.nsid = 2;
  ext.blocks = 100;
  ext.lba_format = 1;  // 512 + 8 inline
  ext.extended_lba = true;
  c.namespaces = {sep, ext};
  StartWith(c);

  TestHost::Buffer data = host_->Alloc(3 * 4096), md = host_->Alloc(4096);
  Fill(data.ptr, 3 * 4096, 1);
  Fill(md.ptr, 24, 2);
  Command w = Cmd(io_opc::kWrite, 1);
  w.cdw10 = 10;
  w.cdw12 = 2;
  w.mptr = md.iova;
  host_->BuildPrps(data.iova, 3 * 4096, &w.prp1, &w.prp2);
  Completion done;
  ASSERT_TRUE(host_->Submit(*q_, w, &done));
  ASSERT_OK(TestHost::StatusOf(done));
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 11, &block));
  EXPECT_EQ(0, std::memcmp(block.data(), data.ptr + 4096, 4096));
  EXPECT_EQ(0, std::memcmp(block.data() + 4096, md.ptr + 8, 8));
  TestHost::Buffer data2 = host_->Alloc(3 * 4096), md2 = host_->Alloc(4096);
  Command r = w;
  r.cdw0 = io_opc::kRead;
  r.mptr = md2.iova;
  host_->BuildPrps(data2.iova, 3 * 4096, &r.prp1, &r.prp2);
  ASSERT_TRUE(host_->Submit(*q_, r, &done));
  ASSERT_OK(TestHost::StatusOf(done));
  EXPECT_EQ(0, std::memcmp(data.ptr, data2.ptr, 3 * 4096));
  EXPECT_EQ(0, std::memcmp(md.ptr, md2.ptr, 24));
  r.mptr = md2.iova + 2;  // metadata pointer not dword aligned
  ASSERT_TRUE(host_->Submit(*q_, r, &done));
  EXPECT_STATUS(TestHost::StatusOf(done), sct::kGeneric, sc::kInvalidField);

  // Extended: 520-byte blocks back to back in the data buffer.
  TestHost::Buffer x = host_->Alloc(4 * 520), y = host_->Alloc(4 * 520);
  Fill(x.ptr, 4 * 520, 5);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 2, 50, 4, x, 0, nullptr, 520));
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 2, 50, 4, y, 0, nullptr, 520));
  EXPECT_EQ(0, std::memcmp(x.ptr, y.ptr, 4 * 520));
  ASSERT_TRUE(ctrl_->ReadBlock(2, 53, &block));
  EXPECT_EQ(0, std::memcmp(block.data(), x.ptr + 3 * 520, 520));
}

TEST_F(IoTest, DeallocatedAndZeroedBlocksReadAsZeros) {
  StartWith(FastConfig());
  TestHost::Buffer data = host_->Alloc(64 * 512), back = host_->Alloc(64 * 512);
  std::memset(data.ptr, 0xC3, 64 * 512);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 0, 64, data));
  SimController::NamespaceInfo info;
  ASSERT_TRUE(ctrl_->GetNamespace(1, &info));
  EXPECT_EQ(info.allocated_blocks, 64u);
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
  ASSERT_TRUE(ctrl_->GetNamespace(1, &info));
  EXPECT_EQ(info.allocated_blocks, 54u);
  // Without the deallocate attribute nothing changes.
  dsm.cdw11 = 0x3;
  ASSERT_TRUE(host_->Submit(*q_, dsm, &done));
  ASSERT_OK(TestHost::StatusOf(done));
  ASSERT_TRUE(ctrl_->GetNamespace(1, &info));
  EXPECT_EQ(info.allocated_blocks, 54u);
  // A range beyond the namespace.
  range(0, 2, (1u << 20) - 1);
  dsm.cdw11 = 1u << 2;
  ASSERT_TRUE(host_->Submit(*q_, dsm, &done));
  EXPECT_STATUS(TestHost::StatusOf(done), sct::kGeneric, sc::kLbaOutOfRange);

  // Write Zeroes.
  Command wz = Cmd(io_opc::kWriteZeroes, 1);
  wz.cdw10 = 50;
  wz.cdw12 = 3;
  ASSERT_TRUE(host_->Submit(*q_, wz, &done));
  ASSERT_OK(TestHost::StatusOf(done));
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 0, 64, back));
  for (int b = 48; b < 56; ++b) EXPECT_EQ(back.ptr[b * 512], (b >= 50 && b < 54) ? 0 : 0xC3) << b;
}

TEST_F(IoTest, CompareAndFlush) {
  StartWith(FastConfig());
  TestHost::Buffer data = host_->Alloc(4096);
  Fill(data.ptr, 4096, 4);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 8, 8, data));
  EXPECT_OK(host_->Io(*q_, io_opc::kCompare, 1, 8, 8, data));
  data.ptr[4000] ^= 1;
  EXPECT_STATUS(host_->Io(*q_, io_opc::kCompare, 1, 8, 8, data), sct::kMediaError, mesc::kCompareFailure);
  TestHost::Buffer none;
  EXPECT_OK(host_->Io(*q_, io_opc::kFlush, 1, 0, 1, none));
  EXPECT_OK(host_->Io(*q_, io_opc::kFlush, kBroadcastNsid, 0, 1, none));
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
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 3, 0, 1, data), sct::kGeneric, sc::kInvalidNamespaceOrFormat);
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 9, 0, 1, data), sct::kGeneric, sc::kInvalidNamespaceOrFormat);
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 0, 0, 1, data), sct::kGeneric, sc::kInvalidNamespaceOrFormat);
  EXPECT_STATUS(host_->Io(*q_, io_opc::kWrite, kBroadcastNsid, 0, 1, data), sct::kGeneric,
                sc::kInvalidNamespaceOrFormat);
  EXPECT_OK(host_->Io(*q_, io_opc::kRead, 1, 0, 32, data));  // exactly MDTS
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, 0, 33, data), sct::kGeneric, sc::kInvalidField);
  EXPECT_STATUS(host_->Io(*q_, 0x7F, 1, 0, 1, data), sct::kGeneric, sc::kInvalidOpcode);
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
  EXPECT_FALSE(ctrl_->MarkUncorrectable(1, (1u << 20) - 1, 2));
  Completion c;
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, 0, 8, data, 0, &c), sct::kMediaError, mesc::kUnrecoveredReadError);
  EXPECT_STATUS(host_->Io(*q_, io_opc::kCompare, 1, 4, 1, data), sct::kMediaError, mesc::kUnrecoveredReadError);
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, 100, 1, data), sct::kMediaError, mesc::kUnrecoveredReadError);
  EXPECT_OK(host_->Io(*q_, io_opc::kRead, 1, 0, 3, data));
  // The error log names the first bad block; SMART counts media errors.
  TestHost::Buffer log = host_->Alloc(4096);
  Command get = Cmd(admin_opc::kGetLogPage, kBroadcastNsid);
  get.cdw10 = log_page::kErrorInformation | 255u << 16;  // 1 KiB: 16 entries
  get.prp1 = log.iova;
  ASSERT_OK(host_->AdminCommand(get));
  uint64_t lbas[3];
  for (int i = 0; i < 3; ++i) std::memcpy(&lbas[i], log.ptr + 64 * i + 16, 8);  // newest first
  EXPECT_EQ(lbas[0], 100u);
  EXPECT_EQ(lbas[1], 4u);
  EXPECT_EQ(lbas[2], 3u);
  get.cdw10 = log_page::kSmartHealth | 127u << 16;
  ASSERT_OK(host_->AdminCommand(get));
  uint64_t media;
  std::memcpy(&media, log.ptr + 160, 8);
  EXPECT_EQ(media, 3u);
  // Writing block 3 heals it; block 4 stays bad.
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 3, 1, data));
  EXPECT_OK(host_->Io(*q_, io_opc::kRead, 1, 3, 1, data));
  EXPECT_STATUS(host_->Io(*q_, io_opc::kRead, 1, 4, 1, data), sct::kMediaError, mesc::kUnrecoveredReadError);
  Command wz = Cmd(io_opc::kWriteZeroes, 1);
  wz.cdw10 = 4;
  ASSERT_TRUE(host_->Submit(*q_, wz, &c));
  EXPECT_OK(host_->Io(*q_, io_opc::kRead, 1, 4, 1, data));
}

class ProtectionTest : public IoTest {
 protected:
  // Namespace 1: 512 + 8 with type 1 in separate metadata; 2: 4096 + 8 extended, type 3, first 8 bytes.
  void SetUp() override {
    SimConfig c = FastConfig();
    NamespaceConfig a, b;
    a.nsid = 1;
    a.blocks = 1000;
    a.lba_format = 1;
    a.pi_type = 1;
    b.nsid = 2;
    b.blocks = 100;
    b.lba_format = 3;
    b.extended_lba = true;
    b.pi_type = 3;
    b.pi_first = true;
    c.namespaces = {a, b};
    StartWith(c);
  }
  // A command with PRINFO and the expected tags.
  Command PiCommand(uint8_t opcode, uint32_t nsid, uint64_t slba, uint32_t nlb, bool pract, uint8_t prchk,
                    uint32_t ref, uint16_t app, uint16_t mask, const TestHost::Buffer& data, uint32_t bytes,
                    const TestHost::Buffer* md = nullptr) {
    Command c = Cmd(opcode, nsid);
    c.cdw10 = static_cast<uint32_t>(slba);
    c.cdw12 = (nlb - 1) | (pract ? 1u << 29 : 0) | uint32_t(prchk) << 26;
    c.cdw14 = ref;
    c.cdw15 = app | uint32_t(mask) << 16;
    host_->BuildPrps(data.iova, bytes, &c.prp1, &c.prp2);
    if (md) c.mptr = md->iova;
    return c;
  }
  Status Run(const Command& c) {
    Completion done{};
    if (!host_->Submit(*q_, c, &done)) return Status::Of(sct::kVendor, 0xFF);
    return TestHost::StatusOf(done);
  }
};

TEST_F(ProtectionTest, InsertedTuplesCheckOnReadAndStripWithoutMetadataTransfer) {
  TestHost::Buffer data = host_->Alloc(4 * 512), back = host_->Alloc(4 * 512), md = host_->Alloc(64);
  Fill(data.ptr, 4 * 512, 21);
  // PRACT with 8 bytes of metadata: no metadata crosses the bus (MPTR unused).
  ASSERT_OK(Run(PiCommand(io_opc::kWrite, 1, 40, 4, true, 0, 40, 0x1234, 0xFFFF, data, 4 * 512)));
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 41, &block));
  const uint16_t guard = Crc16T10Dif(data.ptr + 512, 512);
  EXPECT_EQ(block[512], guard >> 8);
  EXPECT_EQ(block[513], guard & 0xFF);
  EXPECT_EQ(block[514], 0x12);
  EXPECT_EQ(block[515], 0x34);
  EXPECT_EQ(block[519], 41);  // reference tag = LBA for type 1
  // Reads checking everything pass, stripped or with the tuples transferred.
  EXPECT_OK(Run(PiCommand(io_opc::kRead, 1, 40, 4, true, 7, 40, 0x1234, 0xFFFF, back, 4 * 512)));
  EXPECT_EQ(0, std::memcmp(back.ptr, data.ptr, 4 * 512));
  EXPECT_OK(Run(PiCommand(io_opc::kRead, 1, 40, 4, false, 7, 40, 0x1234, 0xFFFF, back, 4 * 512, &md)));
  EXPECT_EQ(md.ptr[8 + 7], 41);
  // Wrong expectations: application tag (masked compare), then a corrupted block fails its guard.
  EXPECT_STATUS(Run(PiCommand(io_opc::kRead, 1, 40, 4, true, 2, 40, 0x1235, 0xFFFF, back, 4 * 512)),
                sct::kMediaError, mesc::kAppTagCheckError);
  EXPECT_OK(Run(PiCommand(io_opc::kRead, 1, 40, 4, true, 2, 40, 0x1235, 0xFFF0, back, 4 * 512)));
  ASSERT_TRUE(ctrl_->CorruptBlock(1, 42, 100, 0x40));
  EXPECT_STATUS(Run(PiCommand(io_opc::kRead, 1, 40, 4, true, 4, 40, 0, 0, back, 4 * 512)), sct::kMediaError,
                mesc::kGuardCheckError);
  EXPECT_OK(Run(PiCommand(io_opc::kRead, 1, 40, 4, true, 3, 40, 0x1234, 0xFFFF, back, 4 * 512)));  // no guard check
  // Type 1: the initial reference tag must be the LBA.
  EXPECT_STATUS(Run(PiCommand(io_opc::kRead, 1, 40, 4, true, 1, 41, 0, 0, back, 4 * 512)), sct::kCommandSpecific,
                cssc::kInvalidProtectionInfo);
  // Unwritten blocks carry an all-ones tuple: never checked.
  EXPECT_OK(Run(PiCommand(io_opc::kRead, 1, 500, 2, true, 7, 500, 0x1234, 0xFFFF, back, 2 * 512)));
}

TEST_F(ProtectionTest, HostSuppliedTuplesAreCheckedOnWrite) {
  TestHost::Buffer data = host_->Alloc(2 * 4104), back = host_->Alloc(2 * 4104);
  Fill(data.ptr, 2 * 4104, 5);
  // Extended LBAs, tuple first in the metadata, type 3: the reference tag does not advance.
  for (int b = 0; b < 2; ++b) {
    uint8_t* block = data.ptr + b * 4104;
    const uint16_t guard = Crc16T10Dif(block, 4096);
    uint8_t tuple[8] = {uint8_t(guard >> 8), uint8_t(guard), 0xAB, 0xCD, 0, 0, 0x77, 0x77};
    std::memcpy(block + 4096, tuple, 8);
  }
  EXPECT_OK(Run(PiCommand(io_opc::kWrite, 2, 7, 2, false, 7, 0x7777, 0xABCD, 0xFFFF, data, 2 * 4104)));
  EXPECT_STATUS(Run(PiCommand(io_opc::kWrite, 2, 7, 2, false, 1, 0x7778, 0xABCD, 0xFFFF, data, 2 * 4104)),
                sct::kMediaError, mesc::kRefTagCheckError);
  data.ptr[4104 + 5] ^= 1;  // second block's data no longer matches its guard
  EXPECT_STATUS(Run(PiCommand(io_opc::kWrite, 2, 7, 2, false, 4, 0, 0, 0, data, 2 * 4104)), sct::kMediaError,
                mesc::kGuardCheckError);
  EXPECT_OK(Run(PiCommand(io_opc::kWrite, 2, 7, 2, false, 0, 0, 0, 0, data, 2 * 4104)));  // not checked
  EXPECT_OK(Run(PiCommand(io_opc::kRead, 2, 7, 2, false, 0, 0, 0, 0, back, 2 * 4104)));
  EXPECT_EQ(0, std::memcmp(data.ptr, back.ptr, 2 * 4104));
  EXPECT_STATUS(Run(PiCommand(io_opc::kRead, 2, 7, 2, false, 4, 0, 0, 0, back, 2 * 4104)), sct::kMediaError,
                mesc::kGuardCheckError);
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

TEST_F(IoTest, StorageSurvivesResetsAndPowerCycles) {
  StartWith(FastConfig());
  TestHost::Buffer data = host_->Alloc(4096);
  Fill(data.ptr, 4096, 8);
  ASSERT_OK(host_->Io(*q_, io_opc::kWrite, 1, 20, 8, data));
  std::vector<uint8_t> before;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 20, &before));
  EXPECT_EQ(0, std::memcmp(before.data(), data.ptr, 512));
  const std::vector<uint8_t> written(data.ptr, data.ptr + 4096);
  ASSERT_TRUE(host_->Disable());
  ctrl_->PowerOff();
  host_.reset();  // its memory goes with it
  ctrl_->PowerOn();
  host_ = std::make_unique<TestHost>(*ctrl_);
  ASSERT_TRUE(host_->Enable());
  ASSERT_OK(host_->CreateIoQueuePair(1, 16, &q_));
  TestHost::Buffer back = host_->Alloc(4096);
  ASSERT_OK(host_->Io(*q_, io_opc::kRead, 1, 20, 8, back));
  std::vector<uint8_t> after;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 20, &after));
  EXPECT_EQ(before, after);
  EXPECT_EQ(0, std::memcmp(written.data(), back.ptr, 4096));
}

}  // namespace
}  // namespace kyt::sim::testing
