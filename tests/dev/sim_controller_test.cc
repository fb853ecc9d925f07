// Controllers, their manager, namespaces and register access on the simulated drive.
#include <gtest/gtest.h>

#include "nvme/dma_context.h"
#include "nvme/io_manager.h"
#include "nvme/namespace_manager.h"
#include "nvme/nvme_io_ctx.h"
#include "nvme/nvme_admin_ctx.h"
#include "nvme/nvme_queue_manager.h"
#include "runner/admin_cmd_records.h"
#include "sim_fixture.h"

namespace kyt_dev_test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class ControllerTest : public SimDeviceTest {};

TEST_F(ControllerTest, ManagerKeysControllersByExactAddressText) {
  auto a = manager_->GetController("0000:5e:00.0");
  EXPECT_EQ(manager_->GetController("0000:5e:00.0"), a);
  auto upper = manager_->GetController("0000:5E:00.0");
  EXPECT_NE(upper, a);
  EXPECT_FALSE(a->IsInitialized());
  EXPECT_EQ(a->GetCommandTimeoutUs(), 300000000u);
  auto validators = manager_->GetDataValidatorManager();
  ASSERT_NE(validators, nullptr);
  manager_->Teardown();
  EXPECT_TRUE(manager_->IsTornDown());
  EXPECT_EQ(manager_->GetDataValidatorManager(), nullptr);
  manager_->Teardown();  // once only
}

TEST_F(ControllerTest, AttachTimeoutRules) {
  // No device at the address: the time-out is still taken, nothing attaches and nothing is logged.
  auto absent = manager_->GetController(address_);
  CaptureStdout();
  absent->ScanAttachement(5000);
  EXPECT_EQ(GetCapturedStdout().find("NVME: Device"), std::string::npos);
  EXPECT_FALSE(absent->IsInitialized());
  EXPECT_EQ(absent->GetCommandTimeoutUs(), 5000000u);

  StartSim();
  absent->NotifyPowerOff();
  EXPECT_TRUE(absent->IsPowerOffNotified());
  CaptureStdout();
  absent->ScanAttachement(0);  // 0 keeps the time-out
  const auto lines = SplitLines(GetCapturedStdout());
  ASSERT_TRUE(absent->IsInitialized());
  EXPECT_TRUE(Contains(lines, "NVME: Device Attachment Detected with TO: 5000000"));
  EXPECT_TRUE(Contains(lines, "NVME: Device Initialized"));
  EXPECT_FALSE(absent->IsPowerOffNotified());
  EXPECT_FALSE(absent->IsTimedOut());

  // On an attached controller a scan changes nothing.
  auto ctx = absent->GetControllerCtx();
  absent->ScanAttachement(7000);
  EXPECT_EQ(absent->GetCommandTimeoutUs(), 5000000u);
  EXPECT_EQ(absent->GetControllerCtx(), ctx);

  // Validators are sized to the controller's namespace count.
  EXPECT_EQ(manager_->GetDataValidatorManager()->GetSize(), config_.max_namespaces);
}

TEST_F(ControllerTest, DefaultTimeoutAndGeometry) {
  CaptureStdout();
  auto c = Attach();
  const auto lines = SplitLines(GetCapturedStdout());
  EXPECT_TRUE(Contains(lines, "NVME: Device Attachment Detected with TO: 300000000"));
  ASSERT_TRUE(c->IsInitialized());
  const uint32_t max_xfer = c->GetMaxXferSize();
  EXPECT_GT(max_xfer, 0u);
  EXPECT_EQ(c->GetAdjustedXferSize(0), max_xfer);
  EXPECT_EQ(c->GetAdjustedXferSize(max_xfer + 1), max_xfer);
  EXPECT_EQ(c->GetAdjustedXferSize(4096), 4096u);
  // Requested 65536 entries; the driver clamps to CAP.MQES + 1.
  EXPECT_EQ(c->GetMaxQueueDepth(), config_.mqes + 1u);
  EXPECT_EQ(c->GetAdjustedQueueDepth(0), config_.mqes + 1u);
  EXPECT_EQ(c->GetAdjustedQueueDepth(16), 16u);
  EXPECT_EQ(c->GetAdjustedQueueDepth(100000), config_.mqes + 1u);
}

class NamespaceTest : public SimDeviceTest {
 protected:
  NamespaceTest() {
    config_.max_namespaces = 4;
    kyt::sim::NamespaceConfig ns2;
    ns2.nsid = 2;
    ns2.blocks = 1000000;
    ns2.lba_format = 0;
    kyt::sim::NamespaceConfig ns3;
    ns3.nsid = 3;
    ns3.blocks = 2000;
    ns3.lba_format = 3;  // 4096 + 8 metadata
    ns3.extended_lba = true;
    ns3.active = false;
    kyt::sim::NamespaceConfig ns4;
    ns4.nsid = 4;
    ns4.blocks = 4000;
    ns4.lba_format = 1;  // 512 + 8 metadata, separate
    config_.namespaces = {ns2, ns3, ns4};
  }
};

TEST_F(NamespaceTest, TableAndPlaceholder) {
  Attach();
  auto& namespaces = Ctx().GetNamespaceManager();
  EXPECT_EQ(namespaces.GetMaxNamespaceId(), 4u);
  EXPECT_EQ(namespaces.GetTableSize(), 4u);
  EXPECT_EQ(namespaces.GetFirstActiveNamespaceId(), 2u);
  for (uint32_t nsid : {0u, 5u}) {
    auto ph = namespaces.GetNamespace(nsid);
    EXPECT_FALSE(ph->IsActive());
    EXPECT_EQ(ph->GetId(), 0u);
    EXPECT_EQ(ph->GetLbaSize(), 0u);
    EXPECT_EQ(ph->GetData(), nullptr);
  }
  auto ns1 = namespaces.GetNamespace(1);
  EXPECT_FALSE(ns1->IsActive());
  EXPECT_EQ(ns1->GetId(), 1u);
  EXPECT_EQ(ns1->GetSize(), 0u);

  auto ns2 = namespaces.GetNamespace(2);
  ASSERT_TRUE(ns2->IsActive());
  EXPECT_EQ(ns2->GetSize(), 1000000u);
  EXPECT_EQ(ns2->GetLbaSize(), 512u);
  EXPECT_EQ(ns2->GetMetaSize(), 0u);
  EXPECT_EQ(ns2->GetSectorBufferSize(), 512u);
  const uint32_t max = ns2->GetMaxXferSize();
  EXPECT_GT(max, 0u);
  CaptureStdout();
  EXPECT_EQ(ns2->GetAdjustedXferSize(0), max);
  EXPECT_EQ(ns2->GetAdjustedXferSize(1048576), 1048576u);
  EXPECT_EQ(GetCapturedStdout(), "NVME: NS Max Transfer Size: " + std::to_string(max) + "\nNVME: NS Max Transfer Size: " +
                                     std::to_string(max) + "\n");

  EXPECT_FALSE(namespaces.GetNamespace(3)->IsActive());
  auto ns4 = namespaces.GetNamespace(4);
  ASSERT_TRUE(ns4->IsActive());
  EXPECT_EQ(ns4->GetMetaSize(), 8u);
  EXPECT_EQ(ns4->GetMetaBufferSize(), 8u);  // separate metadata buffer
}

TEST_F(NamespaceTest, ChangeFormatKeepsCapacity) {
  Attach();
  auto& namespaces = Ctx().GetNamespaceManager();
  namespaces.ChangeFormat(2, 2);  // 4096-byte blocks
  auto ns2 = namespaces.GetNamespace(2);
  EXPECT_EQ(ns2->GetLbaSize(), 4096u);
  EXPECT_EQ(ns2->GetSize(), 125000u);
  namespaces.ChangeFormat(0, 2);
  EXPECT_EQ(ns2->GetLbaSize(), 512u);
  EXPECT_EQ(ns2->GetSize(), 1000000u);

  namespaces.ChangeFormat(1, 0);  // no such NSID: nothing happens, nothing added
  EXPECT_EQ(namespaces.GetTableSize(), 4u);
  EXPECT_EQ(ns2->GetLbaSize(), 512u);

  namespaces.ChangeFormat(2, kyt::nvme::NamespaceManager::kBroadcastNsid);
  EXPECT_EQ(ns2->GetLbaSize(), 4096u);
  EXPECT_EQ(namespaces.GetNamespace(4)->GetLbaSize(), 4096u);
  EXPECT_EQ(namespaces.GetNamespace(4)->GetSize(), 500u);
  EXPECT_FALSE(namespaces.GetNamespace(3)->IsActive());
}

TEST_F(NamespaceTest, FormatNvmReachesTheDevice) {
  Attach();
  AdminCmdInput input{};
  AdminCmdOutput output{};
  input.code = kAdminCmdFormatNvm;
  input.params.format.nsid = 2;
  input.params.format.format.lbaf = 2;
  NvmeAdminCtx admin;
  admin.input = &input;
  admin.output = &output;
  ASSERT_EQ(controller_->SendFormatNvmAsync(&admin), 0);
  ASSERT_TRUE(PollUntil([&] { Ctx().GetQueueManager().ProcessAdminCompletions(); }, [&] { return admin.done; }));
  EXPECT_EQ(output.cpl.status_raw & 0x1FE, 0);
  kyt::sim::SimController::NamespaceInfo info;
  ASSERT_TRUE(sim_->GetNamespace(2, &info));
  EXPECT_EQ(info.format_index, 2);
  EXPECT_EQ(info.data_size, 4096u);
  bool seen = false;
  for (const auto& entry : AdminLog()) {
    if (entry.command.opcode() == 0x80) {
      seen = true;
      EXPECT_EQ(entry.command.nsid, 2u);
      EXPECT_EQ(entry.command.cdw10 & 0xF, 2u);
    }
  }
  EXPECT_TRUE(seen);
  // The cached geometry follows the new format once the runner applies it.
  Ctx().GetNamespaceManager().ChangeFormat(2, 2);
  EXPECT_EQ(Ctx().GetNamespaceManager().GetNamespace(2)->GetLbaSize(), 4096u);
}

TEST_F(NamespaceTest, NamespaceManagementPassesTheDriverResultOn) {
  Attach();
  AdminCmdInput input{};
  AdminCmdOutput output{};
  input.code = kAdminCmdNamespaceManagement;
  input.params.ns_mgmt.nsid = 4;
  EXPECT_EQ(controller_->SendNamespaceManagement(input, output), 0);
  EXPECT_FALSE(Ctx().GetNamespaceManager().GetNamespace(4)->IsActive());
  // Deleting it again fails on the device and the failure is reported.
  EXPECT_LT(controller_->SendNamespaceManagement(input, output), 0);

  // Detaching NSID 2 from this controller: the table follows.
  AdminCmdInput attach{};
  attach.code = kAdminCmdNamespaceAttachment;
  attach.params.ns_attach.nsid = 2;
  attach.params.ns_attach.attach = false;
  attach.params.ns_attach.ctrlr_list.ctrlr_count = 1;
  attach.params.ns_attach.ctrlr_list.ctrlr_list[0] = config_.cntlid;
  EXPECT_EQ(controller_->SendNamespaceAttachement(attach, output), 0);
  EXPECT_FALSE(Ctx().GetNamespaceManager().GetNamespace(2)->IsActive());
  EXPECT_EQ(Ctx().GetNamespaceManager().GetFirstActiveNamespaceId(), 0u);
  attach.params.ns_attach.attach = true;
  EXPECT_EQ(controller_->SendNamespaceAttachement(attach, output), 0);
  EXPECT_EQ(Ctx().GetNamespaceManager().GetFirstActiveNamespaceId(), 2u);
}

class RemovalTest : public SimDeviceTest {};

TEST_F(RemovalTest, ReadyControllerStaysUnlessForced) {
  auto c = Attach();
  CaptureStdout();
  c->ScanRemoval(false);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_TRUE(c->IsInitialized());

  CaptureStdout();
  c->ScanRemoval(true);
  const auto lines = SplitLines(GetCapturedStdout());
  EXPECT_TRUE(Contains(lines, "NVME: Detaching the device forcibily"));
  EXPECT_TRUE(Contains(lines, "NVME: Detaching Device"));
  EXPECT_FALSE(c->IsInitialized());
  EXPECT_EQ(c->GetControllerCtx(), nullptr);

  // Not attached: nothing happens, whatever `force` is.
  CaptureStdout();
  c->ScanRemoval(true);
  c->ScanRemoval(false);
  EXPECT_EQ(GetCapturedStdout(), "");

  // The same drive attaches again and works.
  c->ScanAttachement(0);
  ASSERT_TRUE(c->IsInitialized());
  EXPECT_NE(CreateQueuePair(), 0);
}

TEST_F(RemovalTest, PowerOffIsSeenThroughBar0) {
  auto c = Attach();
  ASSERT_NE(CreateQueuePair(), 0);  // freed on the vanished device without any command
  sim_->PowerOff();
  CaptureStdout();
  c->ScanRemoval(false);
  const auto lines = SplitLines(GetCapturedStdout());
  EXPECT_TRUE(Contains(lines, "NVME: Bar0 = 0x0"));
  EXPECT_TRUE(Contains(lines, "NVME: Bar0 Disappeared"));
  EXPECT_TRUE(Contains(lines, "NVME: Device Removal Detected"));
  EXPECT_FALSE(c->IsInitialized());

  // Back on the bus: a scan attaches it again (BAR0 is repaired by the driver).
  sim_->PowerOn();
  c->ScanAttachement(0);
  ASSERT_TRUE(c->IsInitialized());
  EXPECT_NE(CreateQueuePair(), 0);
}

TEST_F(RemovalTest, UnreadableCstsIsSeen) {
  auto c = Attach();
  sim_->Remove(false);  // every access answers all ones
  CaptureStdout();
  c->ScanRemoval(false);
  const auto lines = SplitLines(GetCapturedStdout());
  EXPECT_TRUE(Contains(lines, "NVME: CSTS = 0xffffffff"));
  EXPECT_TRUE(Contains(lines, "NVME: Failed to read CSTS register"));
  EXPECT_TRUE(Contains(lines, "NVME: Device Removal Detected"));
  EXPECT_FALSE(c->IsInitialized());
}

TEST_F(RemovalTest, ControllerNotReadyIsSeen) {
  auto c = Attach();
  // Disable the controller behind the driver's back: RDY falls.
  auto& regs = Ctx().GetRegisterManager();
  uint32_t cc = 0;
  ASSERT_FALSE(regs.GetReg4(kyt::nvme::NvmeRegisterManager::kCcOffset, cc));
  ASSERT_FALSE(regs.SetReg4(kyt::nvme::NvmeRegisterManager::kCcOffset, cc & ~1u));
  ASSERT_TRUE(PollUntil([] {}, [&] { return (regs.GetCstsRegister() & 1u) == 0; }));
  CaptureStdout();
  c->ScanRemoval(false);
  const auto lines = SplitLines(GetCapturedStdout());
  EXPECT_TRUE(Contains(lines, "NVME: CSTS = 0x0"));
  EXPECT_TRUE(Contains(lines, "NVME: Controller is not ready"));
  EXPECT_FALSE(c->IsInitialized());
}

TEST_F(RemovalTest, RegisterManagerReportsFailures) {
  Attach();
  auto& regs = Ctx().GetRegisterManager();
  uint32_t vs = 0;
  EXPECT_FALSE(regs.GetReg4(kyt::nvme::NvmeRegisterManager::kVsOffset, vs));
  EXPECT_EQ(vs, config_.version);
  EXPECT_EQ(regs.GetVsRegister(), config_.version);
  EXPECT_EQ(regs.GetCapRegister() & 0xFFFF, config_.mqes);
  sim_->Remove(false);
  uint32_t csts = 0;
  EXPECT_TRUE(regs.GetReg4(kyt::nvme::NvmeRegisterManager::kCstsOffset, csts));
  EXPECT_EQ(csts, 0xFFFFFFFFu);
  EXPECT_EQ(regs.GetCstsRegister(), 0xFFFFFFFFu);
  EXPECT_EQ(regs.GetVsRegister(), config_.version);  // cached
}

class TimeoutTest : public SimDeviceTest {};

TEST_F(TimeoutTest, LostAdminCommandMarksTimedOutAndDropsContextWithoutDetach) {
  auto c = Attach(1000);  // 1 s command time-out on the environment's clock
  kyt::sim::FaultRule rule;
  rule.admin = true;
  rule.opcode = 0x0A;  // Get Features
  rule.action = kyt::sim::FaultRule::Action::kDrop;
  sim_->InjectFault(rule);

  spdk_nvme_cmd cmd{};
  cmd.opc = 0x0A;
  cmd.cdw10 = 0x07;  // Number of Queues
  auto generic = std::make_shared<NvmeGenericCtx>();
  generic->cmd = &cmd;
  ASSERT_EQ(Ctx().GetQueueManager().SubmitGenericCommand(generic), 0u);
  CaptureStdout();
  const bool timed_out =
      PollUntil([&] { Ctx().GetQueueManager().ProcessAdminCompletions(); }, [&] { return c->IsTimedOut(); });
  const auto lines = SplitLines(GetCapturedStdout());
  ASSERT_TRUE(timed_out);
  EXPECT_TRUE(Ctx().IsTimedOut());
  EXPECT_FALSE(generic->status.done);
  const auto timeout_lines = LinesWithPrefix(lines, "NvmeController::TimedOut - command timed out, qpair = ");
  ASSERT_FALSE(timeout_lines.empty());
  EXPECT_NE(timeout_lines[0].find(", cid = "), std::string::npos);

  // Dropping the context after a time-out does not detach.
  CaptureStdout();
  c->ScanRemoval(true);
  const auto removal = SplitLines(GetCapturedStdout());
  EXPECT_TRUE(Contains(removal, "NVME: Detaching the device forcibily"));
  EXPECT_FALSE(Contains(removal, "NVME: Detaching Device"));
  EXPECT_FALSE(c->IsInitialized());
  EXPECT_TRUE(c->IsTimedOut());

  // A later attachment recovers the controller and clears the flag.
  sim_->ClearFaults();
  c->ScanAttachement(0);
  ASSERT_TRUE(c->IsInitialized());
  EXPECT_FALSE(c->IsTimedOut());
  EXPECT_NE(CreateQueuePair(), 0);
}

class ErrorInjectionTest : public SimDeviceTest {};

TEST_F(ErrorInjectionTest, LogLinesAndMissingQueue) {
  Attach();
  CaptureStdout();
  EXPECT_EQ(Ctx().InjectCommandError(0, 2, false, 0, 1, 0, 129), 0);
  std::cout << 255 << std::endl;  // the stream is decimal again
  EXPECT_EQ(Ctx().InjectCommandError(5, 2, false, 0, 1, 0, 129), 0);  // no such queue pair: nothing armed or logged
  EXPECT_EQ(GetCapturedStdout(), "NVME: InjectCommandError: OPC=0x02, SCT=0x00, SC=0x81\n255\n");

  // Armed on an I/O queue pair, the next read completes with the injected status.
  const uint16_t qid = CreateQueuePair();
  ASSERT_NE(qid, 0);
  EXPECT_EQ(Ctx().InjectCommandError(qid, 2, false, 0, 1, 1, 0x85), 0);
  NvmeIoCtx read;
  read.nsid = 1;
  read.qid = qid;
  read.num_blocks = 1;
  read.data = std::make_unique<DmaContext>(512);
  ASSERT_EQ(Ctx().GetIoManager().SendReadAsync(&read), kIoOpsSubmitted);
  ASSERT_TRUE(PollUntil([&] { Ctx().GetQueueManager().ProcessIoCompletions(qid); }, [&] { return read.completed; }));
  EXPECT_EQ(read.cpl.status.sct, 1);
  EXPECT_EQ(read.cpl.status.sc, 0x85);
}

}  // namespace
}  // namespace kyt_dev_test
