// Device and namespace information runners, and the "device not initialized" refusal shared by every runner.
#include <gtest/gtest.h>

#include "runner/admin_cmd_runner.h"
#include "runner/generic_cmd_runner.h"
#include "runner/get_device_info_runner.h"
#include "runner/get_namespace_info_runner.h"
#include "runner/nvm_cmd_runner.h"
#include "runner_bench.h"

namespace kyt_test {
namespace {

class InfoRunnerTest : public RunnerBench {};

TEST_F(InfoRunnerTest, DeviceInfoReportsTheControllerLimits) {
  Attach();
  GetDeviceInfoRunner runner(address_);
  EXPECT_EQ(runner.GetName(), "GetDeviceInfo");
  ASSERT_TRUE(Step(runner));
  ASSERT_TRUE(runner.IsDone()) << runner.GetErrorMessage();
  EXPECT_EQ(runner.GetMaxNamespaceId(), 4u);
  EXPECT_EQ(runner.GetMaxQueueDepth(), 1024u);           // CAP.MQES 1023 + 1
  EXPECT_EQ(runner.GetMaxXferSize(), (1u << 5) * 4096u);  // MDTS 5 with 4 KiB pages
}

TEST_F(InfoRunnerTest, NamespaceInfoReportsGeometryAndInactiveNamespacesAsZeros) {
  Attach();
  struct Expect {
    uint32_t nsid;
    bool active;
    uint64_t size;
    uint32_t lba_size;
  } cases[] = {
      {1, true, 1u << 20, 512},       // active
      {2, false, 0, 0},               // inactive
      {3, true, 5000000000ULL, 512},  // more than 2^32 blocks, exact
      {4, true, 8192, 4096},          // 4 KiB blocks
      {0, false, 0, 0},               // no namespace 0
      {5, false, 0, 0},               // above the maximum
  };
  for (const auto& c : cases) {
    GetNamespaceInfoRunner runner(address_);
    runner.SetNamespaceId(c.nsid);
    ASSERT_TRUE(Step(runner));
    ASSERT_TRUE(runner.IsDone()) << "nsid " << c.nsid << ": " << runner.GetErrorMessage();
    EXPECT_EQ(runner.IsActive(), c.active) << "nsid " << c.nsid;
    EXPECT_EQ(runner.GetSize(), c.size) << "nsid " << c.nsid;
    EXPECT_EQ(runner.GetLbaSize(), c.lba_size) << "nsid " << c.nsid;
    EXPECT_EQ(runner.GetMetaSize(), 0u) << "nsid " << c.nsid;
  }
}

TEST_F(InfoRunnerTest, PowerOffNoticeDoesNotStopTheInformationRunners) {
  Attach();
  Controller()->NotifyPowerOff();
  GetDeviceInfoRunner device(address_);
  ASSERT_TRUE(Step(device));
  EXPECT_TRUE(device.IsDone()) << device.GetErrorMessage();
  GetNamespaceInfoRunner ns(address_);
  ns.SetNamespaceId(1);
  ASSERT_TRUE(Step(ns));
  EXPECT_TRUE(ns.IsDone()) << ns.GetErrorMessage();
  EXPECT_TRUE(ns.IsActive());
}

// Every runner finds an address that was never attached uninitialised and aborts with the same text.
TEST_F(InfoRunnerTest, EveryRunnerRefusesAControllerThatIsNotAttached) {
  GetDeviceInfoRunner device(address_);
  GetNamespaceInfoRunner ns(address_);
  NvmCmdRunner nvm(address_, "Read");
  nvm.SetCommandCode(kNvmCmdRead);
  nvm.SetLbaRange(0, 1);
  AdminCmdRunner admin(address_, "FormatNvm");
  admin.GetInput().code = kAdminCmdFormatNvm;
  GenericCmdRunner generic(address_);
  TaskBase* tasks[] = {&device, &ns, &nvm, &admin, &generic};
  for (TaskBase* task : tasks) {
    ASSERT_TRUE(Step(*task));
    EXPECT_TRUE(task->IsAborted()) << task->GetName();
    EXPECT_EQ(task->GetErrorMessage(), "device not initialized") << task->GetName();
  }
  EXPECT_TRUE(generic.HasControllerErrorFlag());
  EXPECT_FALSE(Controller()->IsInitialized());
}

}  // namespace
}  // namespace kyt_test
