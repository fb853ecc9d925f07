// Admin command runner on the simulated drive: queue pairs, Format NVM, and the texts of its failures.
#include <gtest/gtest.h>

#include "nvme/nvme_controller_ctx.h"
#include "runner/admin_cmd_runner.h"
#include "runner/get_namespace_info_runner.h"
#include "runner_bench.h"

namespace kyt_test {
namespace {

class AdminCmdRunnerTest : public RunnerBench {
 protected:
  std::unique_ptr<AdminCmdRunner> Make(uint32_t code, const char* name) {
    auto runner = std::make_unique<AdminCmdRunner>(address_, name);
    runner->GetInput().code = code;
    return runner;
  }

  std::unique_ptr<AdminCmdRunner> Format(uint32_t nsid, uint32_t lbaf) {
    auto runner = Make(kAdminCmdFormatNvm, "FormatNvm");
    runner->GetInput().params.format.nsid = nsid;
    runner->GetInput().params.format.format.lbaf = lbaf;
    return runner;
  }

  uint32_t LbaSize(uint32_t nsid) {
    GetNamespaceInfoRunner info(address_);
    info.SetNamespaceId(nsid);
    EXPECT_TRUE(Step(info));
    return info.GetLbaSize();
  }
};

TEST_F(AdminCmdRunnerTest, CreatesAndDeletesQueuePairs) {
  Attach();
  auto first = Make(kAdminCmdCreateQueuePair, "CreateQueuePair");
  EXPECT_EQ(first->GetName(), "NvmeCmd-CreateQueuePair");
  ASSERT_TRUE(Step(*first));
  ASSERT_TRUE(first->IsDone()) << first->GetErrorMessage();
  EXPECT_EQ(first->GetOutput().qid, 1);
  EXPECT_NE(first->GetOutput().qpair, nullptr);
  auto second = Make(kAdminCmdCreateQueuePair, "CreateQueuePair");
  ASSERT_TRUE(Step(*second));
  ASSERT_TRUE(second->IsDone()) << second->GetErrorMessage();
  EXPECT_EQ(second->GetOutput().qid, 2);

  auto remove = Make(kAdminCmdDeleteQueuePair, "DeleteQueuePair");
  remove->GetInput().params.format.qid = 1;
  ASSERT_TRUE(Step(*remove));
  EXPECT_TRUE(remove->IsDone()) << remove->GetErrorMessage();
  size_t live_io_queues = 0;
  for (const auto& q : sim_->Queues()) live_io_queues += q.qid != 0 ? 1 : 0;
  EXPECT_EQ(live_io_queues, 2u) << "one SQ and one CQ of queue pair 2 remain";

  auto again = Make(kAdminCmdDeleteQueuePair, "DeleteQueuePair");
  again->GetInput().params.format.qid = 1;
  ASSERT_TRUE(Step(*again));
  EXPECT_TRUE(again->IsAborted());
  EXPECT_EQ(again->GetErrorMessage(), "Invalid QID 1");
}

TEST_F(AdminCmdRunnerTest, FormatChangesTheLbaSizeOfTheNamespace) {
  Attach();
  ASSERT_EQ(LbaSize(1), 512u);
  auto format = Format(1, 2);
  ASSERT_TRUE(Step(*format));
  ASSERT_TRUE(format->IsDone()) << format->GetErrorMessage();
  EXPECT_EQ(format->GetOutput().cpl.status_raw & 0x1FE, 0);
  EXPECT_EQ(LbaSize(1), 4096u);
  kyt::sim::SimController::NamespaceInfo info{};
  ASSERT_TRUE(sim_->GetNamespace(1, &info));
  EXPECT_EQ(info.data_size, 4096u);
}

TEST_F(AdminCmdRunnerTest, FormatWithAnErrorStatusEndsDoneAndKeepsTheFormat) {
  Attach();
  kyt::sim::FaultRule rule;
  rule.admin = true;
  rule.opcode = 0x80;
  rule.status = kyt::sim::Status::Of(0, 0x0A);
  sim_->InjectFault(rule);
  auto format = Format(1, 2);
  ASSERT_TRUE(Step(*format));
  ASSERT_TRUE(format->IsDone()) << format->GetErrorMessage();
  EXPECT_EQ(format->GetOutput().cpl.status.sc, 0x0A);
  EXPECT_EQ(LbaSize(1), 512u);
}

TEST_F(AdminCmdRunnerTest, FailedControllerRefusesAtOnceSayingWhatToDo) {
  Attach();
  Controller()->GetControllerCtx()->SetDeviceToFailed();
  auto format = Format(1, 2);
  ASSERT_TRUE(Step(*format, 5.0));
  EXPECT_TRUE(format->IsAborted());
  EXPECT_EQ(format->GetErrorMessage(),
            "Controller has failed: reset the controller, or scan for removal and attachment");
}

TEST_F(AdminCmdRunnerTest, UnknownCodeAbortsWithTheInitialMessage) {
  Attach();
  auto runner = Make(0, "Nothing");
  ASSERT_TRUE(Step(*runner));
  EXPECT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage(), "aborted");
}

TEST_F(AdminCmdRunnerTest, PowerOffNoticeAbortsTheOperation) {
  Attach();
  Controller()->NotifyPowerOff();
  auto runner = Make(kAdminCmdCreateQueuePair, "CreateQueuePair");
  ASSERT_TRUE(Step(*runner));
  EXPECT_EQ(runner->GetErrorMessage(), "power off notified");
}

}  // namespace
}  // namespace kyt_test
