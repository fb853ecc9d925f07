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
  const auto lines = LinesOf([&] { absent->ScanAttachement(0); });  // 0 keeps the time-out
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

TEST_F(ControllerTest, DefaultTimeoutGeometryAndTheManager) {
  // The manager keys controllers by their exact address text.
  auto other = manager_->GetController("0000:5e:00.0");
  EXPECT_EQ(manager_->GetController("0000:5e:00.0"), other);
  EXPECT_NE(manager_->GetController("0000:5E:00.0"), other);
  EXPECT_FALSE(other->IsInitialized());
  const auto lines = LinesOf([&] { Attach(); });
  auto c = controller_;
  EXPECT_TRUE(Contains(lines, "NVME: Device Attachment Detected with TO: 300000000"));
  ASSERT_TRUE(c->IsInitialized());
  // 0 and anything above the maximum give the maximum; the queue depth is clamped to CAP.MQES + 1.
  const uint32_t max_xfer = c->GetMaxXferSize(), depth = config_.mqes + 1u;
  EXPECT_GT(max_xfer, 0u);
  EXPECT_EQ(c->GetMaxQueueDepth(), depth);
  for (const auto& [asked, want] : {std::pair<uint32_t, uint32_t>{0, max_xfer}, {max_xfer + 1, max_xfer}, {4096, 4096}}) {
    EXPECT_EQ(c->GetAdjustedXferSize(asked), want) << asked;
  }
  for (const auto& [asked, want] : {std::pair<uint32_t, uint32_t>{0, depth}, {16, 16}, {100000, depth}}) {
    EXPECT_EQ(c->GetAdjustedQueueDepth(asked), want) << asked;
  }
  // Teardown drops the validators and happens once only.
  manager_->Teardown();
  EXPECT_TRUE(manager_->IsTornDown());
  EXPECT_EQ(manager_->GetDataValidatorManager(), nullptr);
  manager_->Teardown();
}

class NamespaceTest : public SimDeviceTest {
 protected:
  NamespaceTest() {
    // NSID 1 is not configured, 3 is allocated but inactive (4096 + 8 inline), 4 has 512 + 8 separate metadata.
    config_.max_namespaces = 4;
    // nsid, blocks, format, extended, PI type, PI first, active, UUID
    config_.namespaces = {{2, 1000000, 0, false, 0, false, true, ""}, {3, 2000, 3, true, 0, false, false, ""},
                          {4, 4000, 1, false, 0, false, true, ""}};
  }
};

TEST_F(NamespaceTest, TableAndPlaceholder) {
  Attach();
  auto& namespaces = Ctx().GetNamespaceManager();
  EXPECT_EQ(namespaces.GetMaxNamespaceId(), 4u);
  EXPECT_EQ(namespaces.GetTableSize(), 4u);
  EXPECT_EQ(namespaces.GetFirstActiveNamespaceId(), 2u);
  for (uint32_t nsid : {0u, 5u}) {  // the placeholder
    auto ph = namespaces.GetNamespace(nsid);
    EXPECT_FALSE(ph->IsActive());
    EXPECT_EQ(ph->GetId(), 0u);
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
  const uint32_t max = ns2->GetMaxXferSize();
  CaptureStdout();
  EXPECT_EQ(ns2->GetAdjustedXferSize(0), max);
  EXPECT_EQ(ns2->GetAdjustedXferSize(1048576), 1048576u);
  const std::string line = "NVME: NS Max Transfer Size: " + std::to_string(max) + "\n";
  EXPECT_EQ(GetCapturedStdout(), line + line);

  EXPECT_FALSE(namespaces.GetNamespace(3)->IsActive());
  auto ns4 = namespaces.GetNamespace(4);
  ASSERT_TRUE(ns4->IsActive());
  EXPECT_EQ(ns4->GetMetaSize(), 8u);
  EXPECT_EQ(ns4->GetMetaBufferSize(), 8u);  // separate metadata buffer
}

TEST_F(NamespaceTest, FormatNvmReachesTheDeviceAndChangeFormatFollows) {
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
  const auto format = AdminLog(0x80);
  ASSERT_EQ(format.size(), 1u);
  EXPECT_EQ(format[0].nsid, 2u);
  EXPECT_EQ(format[0].cdw10 & 0xF, 2u);

  // The cached geometry follows the new format once the runner applies it, keeping the capacity.
  auto& namespaces = Ctx().GetNamespaceManager();
  auto ns2 = namespaces.GetNamespace(2);
  namespaces.ChangeFormat(2, 2);
  EXPECT_EQ(ns2->GetLbaSize(), 4096u);
  EXPECT_EQ(ns2->GetSize(), 125000u);
  namespaces.ChangeFormat(0, 2);
  EXPECT_EQ(ns2->GetLbaSize(), 512u);
  EXPECT_EQ(ns2->GetSize(), 1000000u);
  namespaces.ChangeFormat(1, 0);  // no such NSID: nothing happens, nothing added
  EXPECT_EQ(namespaces.GetTableSize(), 4u);
  EXPECT_EQ(ns2->GetLbaSize(), 512u);
  namespaces.ChangeFormat(2, NamespaceManager::kBroadcastNsid);
  EXPECT_EQ(ns2->GetLbaSize(), 4096u);
  EXPECT_EQ(namespaces.GetNamespace(4)->GetLbaSize(), 4096u);
  EXPECT_EQ(namespaces.GetNamespace(4)->GetSize(), 500u);
  EXPECT_FALSE(namespaces.GetNamespace(3)->IsActive());
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

class RemovalTest : public SimDeviceTest {
 protected:
  // Runs a removal scan; its lines, after checking that it printed each of `expected` and dropped the controller.
  std::vector<std::string> ExpectRemoval(bool force, const std::vector<std::string>& expected) {
    const auto lines = LinesOf([&] { controller_->ScanRemoval(force); });
    for (const auto& line : expected) EXPECT_TRUE(Contains(lines, line)) << line;
    EXPECT_FALSE(controller_->IsInitialized());
    return lines;
  }
};

TEST_F(RemovalTest, ReadyControllerStaysUnlessForced) {
  auto c = Attach();
  CaptureStdout();
  c->ScanRemoval(false);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_TRUE(c->IsInitialized());
  ExpectRemoval(true, {"NVME: Detaching the device forcibily", "NVME: Detaching Device"});
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
  ExpectRemoval(false, {"NVME: Bar0 = 0x0", "NVME: Bar0 Disappeared", "NVME: Device Removal Detected"});

  // Back on the bus: a scan attaches it again (BAR0 is repaired by the driver).
  sim_->PowerOn();
  c->ScanAttachement(0);
  ASSERT_TRUE(c->IsInitialized());
  EXPECT_NE(CreateQueuePair(), 0);
}

TEST_F(RemovalTest, UnreadableCstsIsSeenAndRegisterReadsReportIt) {
  Attach();
  auto& regs = Ctx().GetRegisterManager();
  uint32_t vs = 0, csts = 0;
  EXPECT_FALSE(regs.GetReg4(NvmeRegisterManager::kVsOffset, vs));
  EXPECT_EQ(vs, config_.version);
  EXPECT_EQ(regs.GetCapRegister() & 0xFFFF, config_.mqes);
  sim_->Remove(false);  // every access answers all ones
  EXPECT_TRUE(regs.GetReg4(NvmeRegisterManager::kCstsOffset, csts));
  EXPECT_EQ(csts, 0xFFFFFFFFu);
  EXPECT_EQ(regs.GetCstsRegister(), 0xFFFFFFFFu);
  EXPECT_EQ(regs.GetVsRegister(), config_.version);  // cached
  ExpectRemoval(false,
                {"NVME: CSTS = 0xffffffff", "NVME: Failed to read CSTS register", "NVME: Device Removal Detected"});
}

TEST_F(RemovalTest, ControllerNotReadyIsSeen) {
  Attach();
  // Disable the controller behind the driver's back: RDY falls.
  auto& regs = Ctx().GetRegisterManager();
  uint32_t cc = 0;
  ASSERT_FALSE(regs.GetReg4(NvmeRegisterManager::kCcOffset, cc));
  ASSERT_FALSE(regs.SetReg4(NvmeRegisterManager::kCcOffset, cc & ~1u));
  ASSERT_TRUE(PollUntil([] {}, [&] { return (regs.GetCstsRegister() & 1u) == 0; }));
  ExpectRemoval(false, {"NVME: CSTS = 0x0", "NVME: Controller is not ready"});
}

// A lost command is aborted and ended for its caller at its deadline; an Abort that is lost too fails the
// controller, which ends every wait on it.
TEST_F(RemovalTest, LostAdminCommandIsAbortedAndALostAbortFailsTheController) {
  auto c = Attach(1000);  // 1 s command time-out on the environment's clock
  for (int round = 0; round < 2; round++) {  // Get Features lost, then (second round) its Abort as well
    for (int opcode : {0x0A, 0x08}) {
      kyt::sim::FaultRule rule;
      rule.admin = true;
      rule.opcode = static_cast<int16_t>(opcode);
      rule.action = kyt::sim::FaultRule::Action::kDrop;
      if (opcode == 0x0A || round == 1) sim_->InjectFault(rule);
    }
    spdk_nvme_cmd cmd{};
    cmd.opc = 0x0A;
    cmd.cdw10 = 0x07;  // Number of Queues
    auto generic = std::make_shared<NvmeGenericCtx>();
    generic->cmd = &cmd;
    ASSERT_EQ(Ctx().GetQueueManager().SubmitGenericCommand(generic), 0u);
    const auto lines = LinesOf([&] {
      EXPECT_TRUE(PollUntil([&] { Ctx().GetQueueManager().ProcessAdminCompletions(); },
                            [&] { return generic->status.done; }));
    });
    EXPECT_TRUE(spdk_nvme_cpl_is_host_timeout(&generic->status.cpl));
    EXPECT_TRUE(c->IsTimedOut());
    EXPECT_FALSE(LinesWithPrefix(lines, "NvmeController::TimedOut - command timed out, qpair = ").empty());
    ASSERT_TRUE(PollUntil([] {}, [&] { return AdminLog(0x08).size() == static_cast<size_t>(round) + 1; }));
    EXPECT_EQ(AdminLog(0x08).back().cdw10 >> 16, generic->status.cpl.cid) << "the Abort names the lost command";
  }
  EXPECT_TRUE(PollUntil([&] { Ctx().GetQueueManager().ProcessAdminCompletions(); },
                        [&] { return !c->GetFailure().empty(); }));
  EXPECT_EQ(c->GetFailure(), "Controller has failed: reset the controller, or scan for removal and attachment");

  // The context goes as any other (the device's DMA stopped first); a later attachment clears the mark.
  EXPECT_TRUE(Contains(ExpectRemoval(true, {"NVME: Detaching the device forcibily"}), "NVME: Detaching Device"));
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
  EXPECT_EQ(Ctx().InjectCommandError(5, 2, false, 0, 1, 0, 129), -ENXIO);  // no such queue pair: nothing armed or logged
  EXPECT_EQ(GetCapturedStdout(), "NVME: InjectCommandError: OPC=0x02, SCT=0x00, SC=0x81\n255\n");

  // Armed on an I/O queue pair, the next read completes with the injected status.
  const uint16_t qid = CreateQueuePair();
  ASSERT_NE(qid, 0);
  EXPECT_EQ(Ctx().InjectCommandError(qid, 2, false, 0, 1, 1, 0x85), 0);
  auto read = MakeIo(qid, 0, 1);
  ASSERT_TRUE(Run(kRead, *read));
  EXPECT_EQ(read->cpl.status.sct, 1);
  EXPECT_EQ(read->cpl.status.sc, 0x85);
}

}  // namespace
}  // namespace kyt_dev_test
