// Controllers, their manager, namespaces and register access on the simulated drive.
#include <gtest/gtest.h>

#include "nvme/namespace_manager.h"
#include "nvme/nvme_queue_manager.h"
#include "sim_fixture.h"
#include "spdk/nvme.h"
#include "utility/admin_cmd_records.h"

namespace kyt_dev_test {
namespace {

class ControllerTest : public SimDeviceTest {};

TEST_F(ControllerTest, AttachTimeoutGeometryAndTheManager) {
  // The default time-out is 300 s.
  auto c = manager_->GetController(address_);
  EXPECT_EQ(c->GetCommandTimeoutUs(), 300000000u);
  // No device at the address: the time-out is still taken and nothing attaches.
  c->ScanAttachement(5000);
  EXPECT_EQ(c->GetState(), ControllerState::kDetached);
  EXPECT_EQ(c->GetCommandTimeoutUs(), 5000000u);

  StartSim();
  c->ScanAttachement(0);  // 0 keeps the time-out
  ASSERT_NE(c->GetState(), ControllerState::kDetached);
  // On an attached controller a scan changes nothing.
  auto ctx = c->GetControllerCtx();
  c->ScanAttachement(7000);
  EXPECT_EQ(c->GetCommandTimeoutUs(), 5000000u);
  EXPECT_EQ(c->GetControllerCtx(), ctx);

  // 0 and anything above the maximum give the maximum; the queue depth is clamped to CAP.MQES + 1.
  const uint32_t max_xfer = c->GetMaxXferSize(), depth = config_.mqes + 1u;
  EXPECT_EQ(c->GetMaxQueueDepth(), depth);
  for (const auto& [asked, want] : {std::pair<uint32_t, uint32_t>{0, max_xfer}, {max_xfer + 1, max_xfer}, {4096, 4096}}) {
    EXPECT_EQ(c->GetAdjustedXferSize(asked), want) << asked;
  }
  for (const auto& [asked, want] : {std::pair<uint32_t, uint32_t>{0, depth}, {16, 16}, {100000, depth}}) {
    EXPECT_EQ(c->GetAdjustedQueueDepth(asked), want) << asked;
  }
  // Teardown drops the validators and happens once only.
  manager_->Teardown();
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

// The table holds every NSID up to NN, inactive ones too, and a placeholder beyond; the cached geometry follows a new
// format once the runner applies it, keeping the capacity.
TEST_F(NamespaceTest, TableAndChangeFormat) {
  Attach();
  auto& namespaces = Ctx().GetNamespaceManager();
  EXPECT_EQ(namespaces.GetTableSize(), 4u);
  EXPECT_EQ(namespaces.GetFirstActiveNamespaceId(), 2u);
  for (uint32_t nsid : {0u, 5u}) EXPECT_EQ(namespaces.GetNamespace(nsid)->GetId(), 0u);
  EXPECT_FALSE(namespaces.GetNamespace(3)->IsActive());
  EXPECT_EQ(namespaces.GetNamespace(4)->GetMetaBufferSize(), 8u);  // separate metadata buffer
  auto ns2 = namespaces.GetNamespace(2);
  EXPECT_EQ(ns2->GetAdjustedXferSize(0), ns2->GetMaxXferSize());
  namespaces.ChangeFormat(2, 2);
  EXPECT_EQ(ns2->GetSize(), 125000u);
  namespaces.ChangeFormat(0, 2);
  EXPECT_EQ(ns2->GetSize(), 1000000u);
  namespaces.ChangeFormat(1, 0);  // no such NSID: nothing happens, nothing added
  EXPECT_EQ(namespaces.GetTableSize(), 4u);
  namespaces.ChangeFormat(2, NamespaceManager::kBroadcastNsid);
  EXPECT_EQ(ns2->GetLbaSize(), 4096u);
  EXPECT_EQ(namespaces.GetNamespace(4)->GetSize(), 500u);
  // The metadata placement and the protection follow the format's dword too.
  auto ns4 = namespaces.GetNamespace(4);
  namespaces.ChangeFormat(1 | 1u << 4 | 1u << 5, 4);  // 512 + 8 at the end of each block, protection type 1
  EXPECT_EQ(ns4->GetSectorBufferSize(), 520u);
  EXPECT_EQ(spdk_nvme_ns_get_pi_type(ns4->GetNs()), SPDK_NVME_FMT_NVM_PROTECTION_TYPE1);
  namespaces.ChangeFormat(1, 4);  // separate metadata, no protection
  EXPECT_EQ(ns4->GetSectorBufferSize(), 512u);
  EXPECT_EQ(spdk_nvme_ns_get_pi_type(ns4->GetNs()), SPDK_NVME_FMT_NVM_PROTECTION_DISABLE);
}

TEST_F(NamespaceTest, NamespaceManagementPassesTheDriverResultOn) {
  Attach();
  AdminCmdInput input{};
  AdminCmdOutput output{};
  input.code = kAdminCmdNamespaceManagement;
  input.params.ns_mgmt.nsid = 4;
  EXPECT_EQ(controller_->SendNamespaceManagement(input, output), 0);
  EXPECT_FALSE(Ctx().GetNamespaceManager().GetNamespace(4)->IsActive());
  EXPECT_LT(controller_->SendNamespaceManagement(input, output), 0);  // refused by the device the second time

  // Detaching NSID 2 from this controller and attaching it again: the table follows.
  AdminCmdInput attach{};
  attach.code = kAdminCmdNamespaceAttachment;
  attach.params.ns_attach.nsid = 2;
  attach.params.ns_attach.ctrlr_list.ctrlr_count = 1;
  attach.params.ns_attach.ctrlr_list.ctrlr_list[0] = config_.cntlid;
  for (bool attached : {false, true}) {
    attach.params.ns_attach.attach = attached;
    EXPECT_EQ(controller_->SendNamespaceAttachement(attach, output), 0);
    EXPECT_EQ(Ctx().GetNamespaceManager().GetFirstActiveNamespaceId(), attached ? 2u : 0u);
  }
}

class RemovalTest : public SimDeviceTest {};

// A removal scan leaves a ready controller alone unless forced, and sees each way a drive goes: power lost (BAR0
// gone), registers reading all ones, RDY fallen. The same drive attaches again and works.
TEST_F(RemovalTest, ScanSeesEachWayADriveGoes) {
  auto c = Attach();
  ASSERT_NE(CreateQueuePair(), 0);
  c->ScanRemoval(false);
  ASSERT_NE(c->GetState(), ControllerState::kDetached);
  const std::pair<const char*, std::function<void()>> causes[] = {
      {"forced", [&] {}},
      {"power off", [&] { sim_->PowerOff(); }},
      {"not ready", [&] {
         // Disabled behind the driver's back: RDY falls.
         auto& regs = Ctx().GetRegisterManager();
         uint32_t cc = 0;
         ASSERT_FALSE(regs.GetReg4(NvmeRegisterManager::kCcOffset, cc));
         ASSERT_FALSE(regs.SetReg4(NvmeRegisterManager::kCcOffset, cc & ~1u));
         ASSERT_TRUE(PollUntil([] {}, [&] { return (regs.GetCstsRegister() & 1u) == 0; }));
       }},
      {"all ones", [&] {
         sim_->Remove(false);
         uint32_t csts = 0;
         EXPECT_TRUE(Ctx().GetRegisterManager().GetReg4(NvmeRegisterManager::kCstsOffset, csts)) << "a failed read";
         EXPECT_EQ(Ctx().GetRegisterManager().GetVsRegister(), config_.version);  // cached
       }},
  };
  for (const auto& [what, cause] : causes) {
    cause();
    c->ScanRemoval(std::string(what) == "forced");
    EXPECT_EQ(c->GetState(), ControllerState::kDetached) << what;
    EXPECT_EQ(c->GetControllerCtx(), nullptr) << what;
    c->ScanRemoval(true);  // not attached: nothing happens
    if (std::string(what) == "all ones") break;
    if (std::string(what) == "power off") sim_->PowerOn();
    c->ScanAttachement(0);
    ASSERT_NE(c->GetState(), ControllerState::kDetached) << what;
    EXPECT_NE(CreateQueuePair(), 0) << what;
  }
}

// A lost command is aborted and ended for its caller once the clock passes its deadline (not one step earlier); an
// Abort that is lost too fails the controller, which ends every wait on it.
TEST_F(RemovalTest, LostAdminCommandIsAbortedAndALostAbortFailsTheController) {
  auto c = Attach();
  kyt_env_test_set_clock_scale(1);  // from here on a deadline passes only when the test moves the clock
  auto poll = [&] {
    for (int i = 0; i < 100; ++i) Ctx().GetQueueManager().ProcessAdminCompletions();
  };
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
    auto generic = kyt::nvme::MakeCommandContext<NvmeGenericCtx>();
    generic->cmd = &cmd;
    ASSERT_EQ(Ctx().GetQueueManager().SubmitGenericCommand(generic.get()), 0u);
    Advance(kTimeout - 10);
    poll();
    EXPECT_FALSE(generic->status.done);
    Advance(20);
    EXPECT_TRUE(PollUntil([&] { Ctx().GetQueueManager().ProcessAdminCompletions(); },
                          [&] { return generic->status.done; }));
    EXPECT_TRUE(spdk_nvme_cpl_is_host_timeout(&generic->status.cpl));
    EXPECT_EQ(c->GetState(), ControllerState::kTimedOut);
    ASSERT_TRUE(PollUntil([] {}, [&] { return AdminLog(0x08).size() == static_cast<size_t>(round) + 1; }));
    EXPECT_EQ(AdminLog(0x08).back().cdw10 >> 16, generic->status.cpl.cid) << "the Abort names the lost command";
  }
  poll();
  EXPECT_STREQ(c->Admit(Action::kInFlight).text, "");
  Advance(kTimeout + 10);
  EXPECT_TRUE(PollUntil([&] { Ctx().GetQueueManager().ProcessAdminCompletions(); },
                        [&] { return c->Admit(Action::kInFlight).text[0] != 0; }));
  EXPECT_STREQ(c->Admit(Action::kInFlight).text,
               "Controller has failed: reset the controller, or scan for removal and attachment");

  // The context goes as any other (the device's DMA stopped first); a later attachment clears the mark.
  kyt_env_test_set_clock_scale(kClockScale);
  c->ScanRemoval(true);
  sim_->ClearFaults();
  c->ScanAttachement(0);
  ASSERT_NE(c->GetState(), ControllerState::kDetached);
  EXPECT_NE(c->GetState(), ControllerState::kTimedOut);
  EXPECT_NE(CreateQueuePair(), 0);
}

}  // namespace
}  // namespace kyt_dev_test
