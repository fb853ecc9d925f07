// Admin command set, driven through the admin queue.
#include "sim_test_util.h"

namespace kyt::sim::testing {
namespace {

template <typename T>
T At(const TestHost::Buffer& b, size_t offset) {
  T v;
  std::memcpy(&v, b.ptr + offset, sizeof(T));
  return v;
}

class AdminTest : public SimTest {
 protected:
  SimConfig Namespaces() {
    SimConfig c = FastConfig();
    NamespaceConfig a, b, d, e;
    a.nsid = 1;
    a.blocks = 1000;
    b.nsid = 2;
    b.blocks = 5000000000ull;  // above 2^32 blocks
    b.lba_format = 3;
    d.nsid = 4;
    d.blocks = 64;
    d.active = false;
    e.nsid = 7;
    e.blocks = 128;
    e.lba_format = 1;
    e.extended_lba = true;
    c.namespaces = {a, b, d, e};
    c.max_namespaces = 8;
    return c;
  }
  Status Features(uint8_t opcode, uint8_t fid, uint32_t cdw11, uint32_t* cdw0 = nullptr, uint32_t sel = 0,
                  const TestHost::Buffer* data = nullptr) {
    Command c = Cmd(opcode);
    c.cdw10 = fid | sel << 8;
    c.cdw11 = cdw11;
    if (data) c.prp1 = data->iova;
    Completion done{};
    Status st = host_->AdminCommand(c, &done);
    if (cdw0) *cdw0 = done.cdw0;
    return st;
  }
  Status LogPage(uint8_t lid, uint32_t bytes, TestHost::Buffer* out, uint64_t offset = 0, bool retain = false,
                 uint32_t nsid = 0xFFFFFFFF) {
    if (!out->ptr) *out = host_->Alloc(std::max<uint32_t>(bytes, 4096));
    Command c = Cmd(admin_opc::kGetLogPage, nsid);
    const uint32_t numd = bytes / 4 - 1;
    c.cdw10 = lid | (retain ? 1u << 15 : 0) | (numd & 0xFFFF) << 16;
    c.cdw11 = numd >> 16;
    c.cdw12 = static_cast<uint32_t>(offset);
    c.cdw13 = static_cast<uint32_t>(offset >> 32);
    host_->BuildPrps(out->iova, bytes, &c.prp1, &c.prp2);
    return host_->AdminCommand(c);
  }
  Status Attach(uint32_t nsid, bool attach, std::vector<uint16_t> ids) {
    TestHost::Buffer list = host_->Alloc(4096);
    uint16_t n = static_cast<uint16_t>(ids.size());
    std::memcpy(list.ptr, &n, 2);
    if (!ids.empty()) std::memcpy(list.ptr + 2, ids.data(), 2 * ids.size());
    Command c = Cmd(admin_opc::kNamespaceAttachment, nsid);
    c.cdw10 = attach ? 0 : 1;
    c.prp1 = list.iova;
    return host_->AdminCommand(c);
  }
};

TEST_F(AdminTest, IdentifyController) {
  SimConfig c = Namespaces();
  c.kas = 10;
  c.mdts = 6;
  c.serial = "SIM-SERIAL-1";
  Start(c);
  TestHost::Buffer id;
  ASSERT_OK(host_->Identify(1, 0, &id));
  EXPECT_EQ(At<uint16_t>(id, 0), 0x1d1d);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(id.ptr + 4), 20), "SIM-SERIAL-1        ");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(id.ptr + 24), 29), "KYT Simulated NVMe Controller");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(id.ptr + 64), 8), "1.0     ");
  EXPECT_EQ(id.ptr[77], 6);                       // MDTS
  EXPECT_EQ(At<uint16_t>(id, 78), 1);             // CNTLID
  EXPECT_EQ(At<uint32_t>(id, 80), 0x00010300u);   // VER
  EXPECT_EQ(At<uint32_t>(id, 92) & 0x100, 0x100u);  // OAES: namespace attribute notices
  EXPECT_EQ(At<uint32_t>(id, 96) & 1, 1u);        // CTRATT: 128-bit host identifier
  EXPECT_EQ(At<uint16_t>(id, 256), 0x0A);         // OACS: format, namespace management
  EXPECT_EQ(id.ptr[258], 3);                      // ACL
  EXPECT_EQ(id.ptr[259], 3);                      // AERL
  EXPECT_EQ(At<uint16_t>(id, 320), 10);           // KAS
  EXPECT_EQ(id.ptr[512], 0x66);                   // SQES
  EXPECT_EQ(id.ptr[513], 0x44);                   // CQES
  EXPECT_EQ(At<uint32_t>(id, 516), 8u);           // NN
  EXPECT_EQ(At<uint16_t>(id, 520) & 0x4, 0x4);    // ONCS: DSM
  EXPECT_EQ(id.ptr[525] & 1, 1);                  // VWC
  EXPECT_EQ(At<uint32_t>(id, 536), 0u);           // SGLS
  EXPECT_EQ(std::string(reinterpret_cast<char*>(id.ptr + 768)), "nqn.2019-08.dev.kyt:sim:SIM-SERIAL-1");
  EXPECT_GT(At<uint64_t>(id, 280), At<uint64_t>(id, 296));  // TNVMCAP above UNVMCAP
}

TEST_F(AdminTest, IdentifyNamespacesListsAndDescriptors) {
  Start(Namespaces());
  TestHost::Buffer ns;
  ASSERT_OK(host_->Identify(0, 2, &ns));
  EXPECT_EQ(At<uint64_t>(ns, 0), 5000000000ull);  // NSZE
  EXPECT_EQ(At<uint64_t>(ns, 8), 5000000000ull);  // NCAP
  EXPECT_EQ(At<uint64_t>(ns, 16), 0u);            // NUSE
  EXPECT_EQ(ns.ptr[25], 3);                       // NLBAF (zero-based)
  EXPECT_EQ(ns.ptr[26], 3);                       // FLBAS
  EXPECT_EQ(ns.ptr[29], 0);                       // DPS
  EXPECT_EQ(ns.ptr[33] & 7, 1);                   // DLFEAT: deallocated reads zeros
  EXPECT_EQ(At<uint16_t>(ns, 128 + 4 * 3), 8);    // LBAF3 MS
  EXPECT_EQ(ns.ptr[128 + 4 * 3 + 2], 12);         // LBAF3 LBADS
  EXPECT_EQ(ns.ptr[128 + 4 * 0 + 2], 9);

  TestHost::Buffer ext;
  ASSERT_OK(host_->Identify(0, 7, &ext));
  EXPECT_EQ(ext.ptr[26], 0x11);  // format 1, extended LBA

  TestHost::Buffer inactive;
  ASSERT_OK(host_->Identify(0, 4, &inactive));  // allocated but not attached: zeros
  EXPECT_EQ(At<uint64_t>(inactive, 0), 0u);
  TestHost::Buffer allocated;
  ASSERT_OK(host_->Identify(0x11, 4, &allocated));
  EXPECT_EQ(At<uint64_t>(allocated, 0), 64u);
  TestHost::Buffer unused;
  ASSERT_OK(host_->Identify(0, 5, &unused));  // within NN, never allocated
  EXPECT_EQ(At<uint64_t>(unused, 0), 0u);
  EXPECT_STATUS(host_->Identify(0, 9, &unused), sct::kGeneric, sc::kInvalidNamespaceOrFormat);
  EXPECT_STATUS(host_->Identify(0, 0, &unused), sct::kGeneric, sc::kInvalidNamespaceOrFormat);

  TestHost::Buffer list;
  ASSERT_OK(host_->Identify(2, 0, &list));
  EXPECT_EQ(At<uint32_t>(list, 0), 1u);
  EXPECT_EQ(At<uint32_t>(list, 4), 2u);
  EXPECT_EQ(At<uint32_t>(list, 8), 7u);
  EXPECT_EQ(At<uint32_t>(list, 12), 0u);
  ASSERT_OK(host_->Identify(2, 2, &list));  // after a start NSID
  EXPECT_EQ(At<uint32_t>(list, 0), 7u);
  EXPECT_EQ(At<uint32_t>(list, 4), 0u);
  EXPECT_STATUS(host_->Identify(2, 0xFFFFFFFE, &list), sct::kGeneric, sc::kInvalidNamespaceOrFormat);
  ASSERT_OK(host_->Identify(0x10, 0, &list));  // allocated list includes the inactive one
  EXPECT_EQ(At<uint32_t>(list, 8), 4u);

  TestHost::Buffer desc;
  ASSERT_OK(host_->Identify(3, 1, &desc));
  EXPECT_EQ(desc.ptr[0], 2);   // NGUID
  EXPECT_EQ(desc.ptr[1], 16);
  EXPECT_EQ(desc.ptr[20], 3);  // UUID
  EXPECT_EQ(desc.ptr[21], 16);
  EXPECT_EQ(desc.ptr[24 + 6] >> 4, 4);  // version 4
  EXPECT_EQ(desc.ptr[40], 0);  // end of list
  EXPECT_STATUS(host_->Identify(3, 4, &desc), sct::kGeneric, sc::kInvalidNamespaceOrFormat);

  TestHost::Buffer ctrls;
  ASSERT_OK(host_->Identify(0x13, 0, &ctrls));
  EXPECT_EQ(At<uint16_t>(ctrls, 0), 1);
  EXPECT_EQ(At<uint16_t>(ctrls, 2), 1);
  EXPECT_STATUS(host_->Identify(0x55, 0, &ctrls), sct::kGeneric, sc::kInvalidField);
}

TEST_F(AdminTest, NumberOfQueuesIsNegotiatedAndLimitsQueueIdentifiers) {
  SimConfig c = FastConfig();
  c.io_queues = 16;
  Start(c);
  uint32_t cdw0 = 0;
  ASSERT_OK(Features(admin_opc::kGetFeatures, feature::kNumberOfQueues, 0, &cdw0));
  EXPECT_EQ(cdw0, 15u | 15u << 16);
  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kNumberOfQueues, 1023 | 1023u << 16, &cdw0));
  EXPECT_EQ(cdw0, 15u | 15u << 16);  // NSQA | NCQA << 16, capped at what the controller has
  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kNumberOfQueues, 3 | 1u << 16, &cdw0));
  EXPECT_EQ(cdw0, 3u | 1u << 16);
  EXPECT_STATUS(Features(admin_opc::kSetFeatures, feature::kNumberOfQueues, 0xFFFF), sct::kGeneric,
                sc::kInvalidField);
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(2, 8, &q));  // CQ 2 and SQ 2 are allowed (NCQA 1 means two CQs)
  Command cq = Cmd(admin_opc::kCreateIoCq);
  cq.prp1 = host_->Alloc(4096).iova;
  cq.cdw10 = 3 | 7u << 16;
  cq.cdw11 = 1;
  EXPECT_STATUS(host_->AdminCommand(cq), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  // No more changes once I/O queues exist.
  EXPECT_STATUS(Features(admin_opc::kSetFeatures, feature::kNumberOfQueues, 0), sct::kGeneric,
                sc::kCommandSequenceError);
  // A reset returns the default.
  ASSERT_TRUE(host_->Disable());
  ASSERT_TRUE(host_->Enable());
  ASSERT_OK(Features(admin_opc::kGetFeatures, feature::kNumberOfQueues, 0, &cdw0));
  EXPECT_EQ(cdw0, 15u | 15u << 16);
}

TEST_F(AdminTest, CreateAndDeleteQueuesWithEachStatusCode) {
  SimConfig c = FastConfig();
  c.mqes = 63;
  Start(c);
  auto create_cq = [&](uint16_t qid, uint32_t size, uint32_t cdw11, uint64_t prp1) {
    Command cmd = Cmd(admin_opc::kCreateIoCq);
    cmd.prp1 = prp1;
    cmd.cdw10 = qid | (size - 1) << 16;
    cmd.cdw11 = cdw11;
    return host_->AdminCommand(cmd);
  };
  auto create_sq = [&](uint16_t qid, uint32_t size, uint16_t cqid, uint32_t flags, uint64_t prp1) {
    Command cmd = Cmd(admin_opc::kCreateIoSq);
    cmd.prp1 = prp1;
    cmd.cdw10 = qid | (size - 1) << 16;
    cmd.cdw11 = flags | uint32_t(cqid) << 16;
    return host_->AdminCommand(cmd);
  };
  auto del = [&](uint8_t opc, uint16_t qid) {
    Command cmd = Cmd(opc);
    cmd.cdw10 = qid;
    return host_->AdminCommand(cmd);
  };
  const uint64_t mem = host_->Alloc(64 * 1024).iova;
  EXPECT_STATUS(create_cq(0, 8, 1, mem), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_STATUS(create_cq(65, 8, 1, mem), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_STATUS(create_cq(1, 1, 1, mem), sct::kCommandSpecific, cssc::kInvalidQueueSize);
  EXPECT_STATUS(create_cq(1, 65, 1, mem), sct::kCommandSpecific, cssc::kInvalidQueueSize);
  EXPECT_STATUS(create_cq(1, 8, 0, mem), sct::kGeneric, sc::kInvalidField);  // not contiguous
  EXPECT_STATUS(create_cq(1, 8, 1 | 2 | 5u << 16, mem), sct::kCommandSpecific, cssc::kInvalidInterruptVector);
  EXPECT_STATUS(create_cq(1, 8, 1, mem + 256), sct::kGeneric, sc::kInvalidPrpOffset);
  EXPECT_STATUS(create_cq(1, 8, 1, 0x10000), sct::kGeneric, sc::kDataTransferError);
  ASSERT_OK(create_cq(1, 64, 1, mem));
  EXPECT_STATUS(create_cq(1, 8, 1, mem + 4096), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);  // exists

  EXPECT_STATUS(create_sq(1, 8, 2, 1, mem + 8192), sct::kCommandSpecific, cssc::kCompletionQueueInvalid);
  EXPECT_STATUS(create_sq(1, 8, 0, 1, mem + 8192), sct::kCommandSpecific, cssc::kCompletionQueueInvalid);
  EXPECT_STATUS(create_sq(0, 8, 1, 1, mem + 8192), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_STATUS(create_sq(1, 65, 1, 1, mem + 8192), sct::kCommandSpecific, cssc::kInvalidQueueSize);
  EXPECT_STATUS(create_sq(1, 8, 1, 0, mem + 8192), sct::kGeneric, sc::kInvalidField);
  ASSERT_OK(create_sq(1, 8, 1, 1, mem + 8192));
  ASSERT_OK(create_sq(2, 8, 1, 1 | 2u << 1, mem + 12288));  // two SQs on one CQ
  EXPECT_STATUS(create_sq(2, 8, 1, 1, mem + 16384), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);

  EXPECT_STATUS(del(admin_opc::kDeleteIoCq, 1), sct::kCommandSpecific, cssc::kInvalidQueueDeletion);
  EXPECT_STATUS(del(admin_opc::kDeleteIoSq, 0), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_STATUS(del(admin_opc::kDeleteIoSq, 3), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_OK(del(admin_opc::kDeleteIoSq, 1));
  EXPECT_STATUS(del(admin_opc::kDeleteIoCq, 1), sct::kCommandSpecific, cssc::kInvalidQueueDeletion);
  EXPECT_OK(del(admin_opc::kDeleteIoSq, 2));
  EXPECT_STATUS(del(admin_opc::kDeleteIoSq, 2), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_OK(del(admin_opc::kDeleteIoCq, 1));
  EXPECT_STATUS(del(admin_opc::kDeleteIoCq, 1), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_STATUS(del(admin_opc::kDeleteIoCq, 0), sct::kCommandSpecific, cssc::kInvalidQueueIdentifier);
  EXPECT_EQ(ctrl_->Queues().size(), 2u);
}

TEST_F(AdminTest, DeletingASubmissionQueueAbortsItsCommands) {
  Start();
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(1, 16, &q));
  FaultRule hold;
  hold.action = FaultRule::Action::kDrop;
  hold.opcode = io_opc::kFlush;
  ctrl_->InjectFault(hold);
  Command flush = Cmd(io_opc::kFlush, 1);
  const uint16_t held = host_->Push(*q, flush);
  host_->Ring(*q);
  // Wait until the controller fetched it (two queue creations before it).
  for (int i = 0; i < 1000 && ctrl_->counters().commands < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(host_->Peek(*q));
  Command del = Cmd(admin_opc::kDeleteIoSq);
  del.cdw10 = 1;
  ASSERT_OK(host_->AdminCommand(del));
  Completion c;
  ASSERT_TRUE(host_->Reap(*q, &c));
  EXPECT_EQ(c.cid, held);
  EXPECT_EQ(c.sct(), 0);
  EXPECT_EQ(c.sc(), sc::kAbortedSqDeletion);
  EXPECT_EQ(c.sqid, 1);
  EXPECT_FALSE(host_->Peek(*q));
}

TEST_F(AdminTest, FeaturesKeepTheirValuesAndReportDefaultsAndCapabilities) {
  SimConfig c = FastConfig();
  c.kas = 10;
  Start(c);
  uint32_t v = 0;
  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kArbitration, 0x03020107));
  ASSERT_OK(Features(admin_opc::kGetFeatures, feature::kArbitration, 0, &v));
  EXPECT_EQ(v, 0x03020107u);
  ASSERT_OK(Features(admin_opc::kGetFeatures, feature::kArbitration, 0, &v, 1));  // default
  EXPECT_EQ(v, 0u);
  ASSERT_OK(Features(admin_opc::kGetFeatures, feature::kArbitration, 0, &v, 3));  // capabilities
  EXPECT_EQ(v, 0x4u);
  EXPECT_STATUS(Features(admin_opc::kGetFeatures, feature::kArbitration, 0, &v, 4), sct::kGeneric, sc::kInvalidField);
  // Saving is not supported.
  Command save = Cmd(admin_opc::kSetFeatures);
  save.cdw10 = feature::kArbitration | 1u << 31;
  EXPECT_STATUS(host_->AdminCommand(save), sct::kCommandSpecific, cssc::kFeatureNotSaveable);

  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kTemperatureThreshold, 350));
  ASSERT_OK(Features(admin_opc::kGetFeatures, feature::kTemperatureThreshold, 0, &v));
  EXPECT_EQ(v, 350u);
  EXPECT_STATUS(Features(admin_opc::kSetFeatures, feature::kTemperatureThreshold, 350 | 3u << 16), sct::kGeneric,
                sc::kInvalidField);
  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kVolatileWriteCache, 0));
  ASSERT_OK(Features(admin_opc::kGetFeatures, feature::kVolatileWriteCache, 0, &v));
  EXPECT_EQ(v, 0u);
  EXPECT_STATUS(Features(admin_opc::kSetFeatures, feature::kPowerManagement, 1), sct::kGeneric, sc::kInvalidField);
  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kAsyncEventConfig, 0x11F));
  ASSERT_OK(Features(admin_opc::kGetFeatures, feature::kAsyncEventConfig, 0, &v));
  EXPECT_EQ(v, 0x11Fu);
  // Keep alive: rounded up to the KAS granularity (1 s).
  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kKeepAliveTimer, 1500));
  ASSERT_OK(Features(admin_opc::kGetFeatures, feature::kKeepAliveTimer, 0, &v));
  EXPECT_EQ(v, 2000u);
  ASSERT_OK(host_->AdminCommand(Cmd(admin_opc::kKeepAlive)));
  // Host identifier: 128 bits only.
  TestHost::Buffer hostid = host_->Alloc(4096);
  for (int i = 0; i < 16; ++i) hostid.ptr[i] = static_cast<uint8_t>(i + 1);
  EXPECT_STATUS(Features(admin_opc::kSetFeatures, feature::kHostIdentifier, 0, nullptr, 0, &hostid), sct::kGeneric,
                sc::kInvalidField);
  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kHostIdentifier, 1, nullptr, 0, &hostid));
  TestHost::Buffer back = host_->Alloc(4096);
  ASSERT_OK(Features(admin_opc::kGetFeatures, feature::kHostIdentifier, 1, nullptr, 0, &back));
  EXPECT_EQ(0, std::memcmp(back.ptr, hostid.ptr, 16));
  EXPECT_STATUS(Features(admin_opc::kGetFeatures, 0x7E, 0), sct::kGeneric, sc::kInvalidField);
}

TEST_F(AdminTest, KeepAliveIsRefusedWithoutSupportAndExpiryIsFatal) {
  Start();  // KAS 0
  EXPECT_STATUS(host_->AdminCommand(Cmd(admin_opc::kKeepAlive)), sct::kGeneric, sc::kInvalidOpcode);
  EXPECT_STATUS(Features(admin_opc::kGetFeatures, feature::kKeepAliveTimer, 0), sct::kGeneric, sc::kInvalidField);
  SimConfig c = FastConfig();
  c.kas = 5;  // 500 ms granularity
  Start(c);
  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kKeepAliveTimer, 500));
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_OK(host_->AdminCommand(Cmd(admin_opc::kKeepAlive)));
  }
  EXPECT_EQ(host_->Read32(reg::kCsts) & csts::kCfs, 0u);
  EXPECT_TRUE(host_->WaitCsts(csts::kCfs, csts::kCfs, 2000));
}

TEST_F(AdminTest, LogPagesWithLengthsAndOffsets) {
  Start();
  // Error information: an invalid opcode makes an entry.
  Command bad = Cmd(0x7E);
  EXPECT_STATUS(host_->AdminCommand(bad), sct::kGeneric, sc::kInvalidOpcode);
  TestHost::Buffer log;
  ASSERT_OK(LogPage(log_page::kErrorInformation, 64, &log));
  EXPECT_EQ(At<uint64_t>(log, 0), 1u);                              // error count
  EXPECT_EQ(At<uint16_t>(log, 8), 0);                               // SQID
  EXPECT_EQ(At<uint16_t>(log, 12) >> 1 & 0xFF, sc::kInvalidOpcode);  // status field
  // SMART / health: 512 bytes, read in two halves with an offset.
  TestHost::Buffer smart, half;
  ASSERT_OK(LogPage(log_page::kSmartHealth, 512, &smart));
  EXPECT_EQ(smart.ptr[3], 100);                // available spare
  EXPECT_EQ(At<uint16_t>(smart, 1), 313);      // composite temperature
  EXPECT_EQ(At<uint64_t>(smart, 176), 1u);     // error log entries
  ASSERT_OK(LogPage(log_page::kSmartHealth, 256, &half, 256));
  EXPECT_EQ(0, std::memcmp(half.ptr, smart.ptr + 256, 256));
  EXPECT_STATUS(LogPage(log_page::kSmartHealth, 512, &half, 2), sct::kGeneric, sc::kInvalidField);  // not dword
  EXPECT_STATUS(LogPage(log_page::kSmartHealth, 512, &half, 1024), sct::kGeneric, sc::kInvalidField);  // beyond
  EXPECT_STATUS(LogPage(log_page::kSmartHealth, 512, &half, 0, false, 1), sct::kGeneric, sc::kInvalidField);
  // More than the page: the rest is zeros.
  TestHost::Buffer big = host_->Alloc(8192);
  std::memset(big.ptr, 0xEE, 8192);
  ASSERT_OK(LogPage(log_page::kFirmwareSlot, 8192, &big));
  EXPECT_EQ(big.ptr[0], 1);                         // active slot 1
  EXPECT_EQ(std::string(reinterpret_cast<char*>(big.ptr + 8), 8), "1.0     ");
  EXPECT_EQ(big.ptr[8191], 0);
  TestHost::Buffer x;
  EXPECT_STATUS(LogPage(0x70, 512, &x), sct::kCommandSpecific, cssc::kInvalidLogPage);
}

TEST_F(AdminTest, AsyncEventRequestsStayOutstandingAndReportNamespaceChanges) {
  SimConfig c = Namespaces();
  c.aerl = 1;  // two outstanding
  Start(c);
  ASSERT_OK(Features(admin_opc::kSetFeatures, feature::kAsyncEventConfig, 0x1FF));
  TestHost::Queue& a = host_->admin();
  const uint16_t aer1 = host_->Push(a, Cmd(admin_opc::kAsyncEventRequest));
  const uint16_t aer2 = host_->Push(a, Cmd(admin_opc::kAsyncEventRequest));
  host_->Ring(a);
  Completion third;
  ASSERT_TRUE(host_->Submit(a, Cmd(admin_opc::kAsyncEventRequest), &third));
  EXPECT_EQ(third.sct(), sct::kCommandSpecific);
  EXPECT_EQ(third.sc(), cssc::kAerLimitExceeded);
  EXPECT_FALSE(host_->Peek(a));  // the first two stay outstanding
  // Attaching namespace 4 completes one with a notice pointing at the changed namespace list.
  ASSERT_OK(Attach(4, true, {1}));
  Completion ev;
  ASSERT_TRUE(host_->Reap(a, &ev));
  EXPECT_EQ(ev.cid, aer1);
  EXPECT_EQ(ev.cdw0 & 0x7, aen::kTypeNotice);
  EXPECT_EQ(ev.cdw0 >> 8 & 0xFF, aen::kNoticeNamespaceAttributeChanged);
  EXPECT_EQ(ev.cdw0 >> 16 & 0xFF, log_page::kChangedNamespaceList);
  // A second change is masked until the log page is read.
  ASSERT_OK(Attach(4, false, {1}));
  EXPECT_FALSE(host_->Peek(a));
  TestHost::Buffer changed;
  ASSERT_OK(LogPage(log_page::kChangedNamespaceList, 4096, &changed));
  EXPECT_EQ(At<uint32_t>(changed, 0), 4u);
  EXPECT_EQ(At<uint32_t>(changed, 4), 4u);
  // Reading it cleared the mask: the notice held back meanwhile now completes the second request.
  Completion more;
  ASSERT_TRUE(host_->Reap(a, &more));
  EXPECT_EQ(more.cid, aer2);
  EXPECT_EQ(more.cdw0 & 0x7, aen::kTypeNotice);
  // Namespace 4 was detached again: not in the active list.
  TestHost::Buffer list;
  ASSERT_OK(host_->Identify(2, 0, &list));
  EXPECT_EQ(At<uint32_t>(list, 8), 7u);
}

TEST_F(AdminTest, AbortFindsHeldCommandsOnly) {
  Start();
  TestHost::Queue& a = host_->admin();
  const uint16_t aer = host_->Push(a, Cmd(admin_opc::kAsyncEventRequest));
  host_->Ring(a);
  Command abort = Cmd(admin_opc::kAbort);
  abort.cdw10 = 0 | uint32_t(aer) << 16;
  Completion aborted, done;
  const uint16_t abort_cid = host_->Push(a, abort);
  host_->Ring(a);
  ASSERT_TRUE(host_->Reap(a, &aborted));
  EXPECT_EQ(aborted.cid, aer);
  EXPECT_EQ(aborted.sc(), sc::kAbortRequested);
  ASSERT_TRUE(host_->Reap(a, &done));
  EXPECT_EQ(done.cid, abort_cid);
  EXPECT_EQ(done.cdw0 & 1, 0u);  // aborted
  // Nothing to abort: bit 0 set.
  abort.cdw10 = 0 | 0x999u << 16;
  ASSERT_TRUE(host_->Submit(a, abort, &done));
  EXPECT_EQ(done.cdw0 & 1, 1u);
}

TEST_F(AdminTest, NamespaceManagementCreatesAttachesAndDeletes) {
  SimConfig c = Namespaces();
  c.total_capacity = 1ull << 45;
  Start(c);
  TestHost::Buffer data = host_->Alloc(4096);
  uint64_t nsze = 2048;
  std::memcpy(data.ptr, &nsze, 8);
  std::memcpy(data.ptr + 8, &nsze, 8);
  data.ptr[26] = 2;  // 4096-byte blocks
  Command create = Cmd(admin_opc::kNamespaceManagement);
  create.prp1 = data.iova;
  Completion done;
  ASSERT_OK(host_->AdminCommand(create, &done));
  EXPECT_EQ(done.cdw0, 3u);  // the lowest free NSID
  TestHost::Buffer id;
  ASSERT_OK(host_->Identify(0, 3, &id));
  EXPECT_EQ(At<uint64_t>(id, 0), 0u);  // not attached yet
  ASSERT_OK(Attach(3, true, {1}));
  ASSERT_OK(host_->Identify(0, 3, &id));
  EXPECT_EQ(At<uint64_t>(id, 0), 2048u);
  EXPECT_EQ(id.ptr[26], 2);
  EXPECT_STATUS(Attach(3, true, {1}), sct::kCommandSpecific, cssc::kNamespaceAlreadyAttached);
  EXPECT_STATUS(Attach(3, true, {9}), sct::kCommandSpecific, cssc::kControllerListInvalid);
  EXPECT_STATUS(Attach(3, true, {}), sct::kCommandSpecific, cssc::kControllerListInvalid);
  EXPECT_STATUS(Attach(6, true, {1}), sct::kGeneric, sc::kInvalidNamespaceOrFormat);
  ASSERT_OK(Attach(3, false, {1}));
  EXPECT_STATUS(Attach(3, false, {1}), sct::kCommandSpecific, cssc::kNamespaceNotAttached);

  // Errors of create.
  nsze = 1ull << 50;
  std::memcpy(data.ptr, &nsze, 8);
  std::memcpy(data.ptr + 8, &nsze, 8);
  EXPECT_STATUS(host_->AdminCommand(create), sct::kCommandSpecific, cssc::kNamespaceInsufficientCapacity);
  data.ptr[26] = 9;
  EXPECT_STATUS(host_->AdminCommand(create), sct::kCommandSpecific, cssc::kInvalidFormat);
  data.ptr[26] = 0;
  nsze = 16;
  std::memcpy(data.ptr, &nsze, 8);
  uint64_t ncap = 32;
  std::memcpy(data.ptr + 8, &ncap, 8);
  EXPECT_STATUS(host_->AdminCommand(create), sct::kGeneric, sc::kInvalidField);  // NCAP above NSZE
  std::memcpy(data.ptr + 8, &nsze, 8);
  for (int i = 0; i < 3; ++i) ASSERT_OK(host_->AdminCommand(create));  // NSIDs 5, 6, 8
  EXPECT_STATUS(host_->AdminCommand(create), sct::kCommandSpecific, cssc::kNamespaceIdUnavailable);

  Command del = Cmd(admin_opc::kNamespaceManagement, 3);
  del.cdw10 = 1;
  ASSERT_OK(host_->AdminCommand(del));
  EXPECT_STATUS(host_->AdminCommand(del), sct::kGeneric, sc::kInvalidNamespaceOrFormat);
  del.nsid = kBroadcastNsid;
  ASSERT_OK(host_->AdminCommand(del));
  ASSERT_OK(host_->Identify(0x10, 0, &id));
  EXPECT_EQ(At<uint32_t>(id, 0), 0u);
  EXPECT_TRUE(ctrl_->Namespaces().empty());
}

TEST_F(AdminTest, FormatChangesTheGeometryAndErasesData) {
  SimConfig c = Namespaces();
  Start(c);
  ASSERT_TRUE(ctrl_->WriteBlock(1, 5, std::vector<uint8_t>(512, 0x77)));
  Command fmt = Cmd(admin_opc::kFormatNvm, 1);
  fmt.cdw10 = 3 | 1u << 4 | 1u << 9;  // 4096 + 8 extended, user data erase
  ASSERT_OK(host_->AdminCommand(fmt));
  TestHost::Buffer id;
  ASSERT_OK(host_->Identify(0, 1, &id));
  EXPECT_EQ(id.ptr[26], 0x13);
  EXPECT_EQ(At<uint64_t>(id, 0), 1000u * 512 / 4096);  // the byte capacity is kept
  std::vector<uint8_t> block;
  ASSERT_TRUE(ctrl_->ReadBlock(1, 5, &block));
  EXPECT_EQ(block, std::vector<uint8_t>(4104, 0));

  fmt.cdw10 = 4;
  EXPECT_STATUS(host_->AdminCommand(fmt), sct::kCommandSpecific, cssc::kInvalidFormat);
  fmt.cdw10 = 0 | 1u << 5;  // protection information without metadata
  EXPECT_STATUS(host_->AdminCommand(fmt), sct::kCommandSpecific, cssc::kInvalidFormat);
  fmt.cdw10 = 1 | 4u << 5;  // no protection type 4
  EXPECT_STATUS(host_->AdminCommand(fmt), sct::kCommandSpecific, cssc::kInvalidFormat);
  fmt.cdw10 = 1 | 2u << 5 | 1u << 8;  // type 2 in the first 8 bytes of 512 + 8
  ASSERT_OK(host_->AdminCommand(fmt));
  ASSERT_OK(host_->Identify(0, 1, &id));
  EXPECT_EQ(id.ptr[28], 0x1F);  // DPC
  EXPECT_EQ(id.ptr[29], 0x0A);  // DPS: type 2, first
  EXPECT_EQ(id.ptr[26], 0x01);
  fmt.cdw10 = 0 | 2u << 9;  // cryptographic erase
  EXPECT_STATUS(host_->AdminCommand(fmt), sct::kGeneric, sc::kInvalidField);
  fmt.nsid = 4;  // inactive
  fmt.cdw10 = 0;
  EXPECT_STATUS(host_->AdminCommand(fmt), sct::kGeneric, sc::kInvalidNamespaceOrFormat);
  fmt.nsid = kBroadcastNsid;
  fmt.cdw10 = 2;
  ASSERT_OK(host_->AdminCommand(fmt));
  for (const auto& ns : ctrl_->Namespaces()) EXPECT_EQ(ns.data_size, ns.nsid == 4 ? 512u : 4096u) << ns.nsid;
}

TEST_F(AdminTest, SlowFormatReportsProgressAndHoldsIo) {
  SimConfig c = FastConfig();
  c.format_delay_us = 1000000;
  Start(c);
  TestHost::Queue* q;
  ASSERT_OK(host_->CreateIoQueuePair(1, 8, &q));
  TestHost::Queue& a = host_->admin();
  Command fmt = Cmd(admin_opc::kFormatNvm, 1);
  fmt.cdw10 = 2;
  const uint16_t cid = host_->Push(a, fmt);
  host_->Ring(a);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(host_->Peek(a));
  TestHost::Buffer data = host_->Alloc(4096);
  EXPECT_STATUS(host_->Io(*q, io_opc::kRead, 1, 0, 1, data), sct::kGeneric, sc::kFormatInProgress);
  Completion done;
  ASSERT_TRUE(host_->Reap(a, &done, 3000));  // the format completes later (Identify below was not sent yet)
  EXPECT_EQ(done.cid, cid);
  EXPECT_OK(TestHost::StatusOf(done));
  EXPECT_OK(host_->Io(*q, io_opc::kRead, 1, 0, 1, data));
}

TEST_F(AdminTest, UnknownOpcodesAndBadCommandFields) {
  Start();
  EXPECT_STATUS(host_->AdminCommand(Cmd(0xC1)), sct::kGeneric, sc::kInvalidOpcode);
  EXPECT_STATUS(host_->AdminCommand(Cmd(admin_opc::kFirmwareCommit)), sct::kGeneric, sc::kInvalidOpcode);
  EXPECT_STATUS(host_->AdminCommand(Cmd(admin_opc::kDoorbellBufferConfig)), sct::kGeneric, sc::kInvalidOpcode);
  Command sgl = Cmd(admin_opc::kIdentify);
  sgl.cdw0 |= 1u << 14;  // PSDT: SGL
  sgl.cdw10 = 1;
  EXPECT_STATUS(host_->AdminCommand(sgl), sct::kGeneric, sc::kInvalidField);
  Command fused = Cmd(admin_opc::kIdentify);
  fused.cdw0 |= 1u << 8;
  EXPECT_STATUS(host_->AdminCommand(fused), sct::kGeneric, sc::kInvalidField);
}

}  // namespace
}  // namespace kyt::sim::testing
