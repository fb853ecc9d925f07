// A controller whose power-off was notified: every command runner refuses it, the information runners still answer.
#include <gtest/gtest.h>

#include <vector>

#include "runner/admin_cmd_runner.h"
#include "runner/generic_cmd_runner.h"
#include "runner/get_device_info_runner.h"
#include "runner/get_namespace_info_runner.h"
#include "runner/nvm_cmd_runner.h"
#include "runner_bench.h"

namespace kyt_test {
namespace {

using PowerOffNoticeTest = RunnerBench;

TEST_F(PowerOffNoticeTest, StopsCommandsButNotInformation) {
  Attach();
  Controller()->NotifyPowerOff();
  NvmCmdRunner nvm(address_, "Read");
  nvm.SetCommandCode(kNvmCmdRead);
  nvm.SetLbaRange(0, 1);
  AdminCmdRunner admin(address_, "CreateQueuePair");
  admin.GetInput().code = kAdminCmdCreateQueuePair;
  GenericCmdRunner generic(address_);
  generic.GetCommand().opc = 0x06;
  for (TaskBase* task : std::vector<TaskBase*>{&nvm, &admin, &generic}) {
    ASSERT_TRUE(Step(*task));
    EXPECT_EQ(task->GetErrorMessage(), "power off notified") << task->GetName();
  }
  EXPECT_TRUE(generic.HasControllerErrorFlag());
  GetDeviceInfoRunner device(address_);
  GetNamespaceInfoRunner ns(address_);
  ns.SetNamespaceId(1);
  for (TaskBase* task : std::vector<TaskBase*>{&device, &ns}) {
    ASSERT_TRUE(Step(*task));
    EXPECT_TRUE(task->IsDone()) << task->GetName() << ": " << task->GetErrorMessage();
  }
  EXPECT_TRUE(ns.IsActive());
}

}  // namespace
}  // namespace kyt_test
