// Queue pairs on the simulated drive: the creation and deletion machines, their command order, log lines and
// roll-back, and the queue manager's table, QID pool, statuses and texts.
#include <gtest/gtest.h>

#include "nvme/nvme_queue_manager.h"
#include "nvme/queue_pair_creation_controller.h"
#include "nvme/queue_pair_deletion_controller.h"
#include "sim_fixture.h"

namespace kyt_dev_test {
namespace {

using kyt::nvme::NvmeQueueManager;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint8_t kDeleteSq = 0x00;
constexpr uint8_t kCreateSq = 0x01;
constexpr uint8_t kDeleteCq = 0x04;
constexpr uint8_t kCreateCq = 0x05;

std::vector<uint8_t> QueueOpcodes(const std::vector<uint8_t>& all) {
  std::vector<uint8_t> out;
  for (uint8_t opc : all) {
    if (opc == kDeleteSq || opc == kCreateSq || opc == kDeleteCq || opc == kCreateCq) out.push_back(opc);
  }
  return out;
}

kyt::sim::FaultRule FailAdmin(uint8_t opcode) {
  kyt::sim::FaultRule rule;
  rule.admin = true;
  rule.opcode = opcode;
  rule.status = kyt::sim::Status::Of(1, 0x01);  // command specific: invalid queue identifier
  return rule;
}

class QueuePairTest : public SimDeviceTest {
 protected:
  QueuePairTest() { config_.io_queues = 3; }

  template <class Machine>
  std::vector<std::string> RunToEnd(Machine& machine) {
    CaptureStdout();
    const bool ended = PollUntil([&] { machine.Run(); }, [&] { return machine.IsCompleted(); });
    auto lines = SplitLines(GetCapturedStdout());
    EXPECT_TRUE(ended);
    return lines;
  }
};

TEST_F(QueuePairTest, CreationCommandOrderAndLogLines) {
  Attach();
  sim_->ClearCommandLog();
  auto machine = Ctx().MakeQueuePairCreationController();
  EXPECT_FALSE(machine->IsCompleted());
  const auto lines = LinesWithPrefix(RunToEnd(*machine), "NVME: QueuePairCreationController: ");
  ASSERT_FALSE(machine->HasError()) << machine->GetErrorMessage();
  EXPECT_EQ(machine->GetState(), 1u);
  const uint32_t qid = machine->GetQid();
  ASSERT_EQ(qid, 1u);
  const std::string p = "NVME: QueuePairCreationController: ";
  const std::vector<std::string> expected = {
      p + "Starting a new queue pair creation",
      p + "Creating NvmeQueueCtx",
      p + "Creating queue pair data structure",
      p + "Using QID 1 for a new queue pair",
      p + "Submitting CreateIoCompletionQueue command",
      p + "Waiting for completion of CreateIoCompletionQueue command",
      p + "CreateIoCompletionQueue command is completed successfully",
      p + "Submitting CreateIoSubmissionQueue command",
      p + "Waiting for completion of CreateIoSubmissionQueue command",
      p + "CreateIoSubmissionQueue command is completed successfully",
      p + "Initializing queue pair data structure",
      p + "Registering the queue pair for QID 1",
      p + "Successfully created a new queue pair",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(QueueOpcodes(AdminOpcodes()), (std::vector<uint8_t>{kCreateCq, kCreateSq}));
  auto log = AdminLog();
  for (const auto& entry : log) {
    if (entry.command.opcode() == kCreateSq) {
      EXPECT_EQ(entry.command.cdw10 & 0xFFFF, 1u);        // QID
      EXPECT_EQ(entry.command.cdw11 >> 16, 1u);           // CQID
      EXPECT_EQ((entry.command.cdw11 >> 1) & 0x3, 0u);    // urgent priority
    }
  }
  auto& queues = Ctx().GetQueueManager();
  EXPECT_TRUE(queues.IsValidQueueId(1));
  EXPECT_EQ(queues.GetFirstAvailableQueueId(), 1);
  ASSERT_NE(queues.GetQpair(1), nullptr);
  EXPECT_EQ(queues.ProcessIoCompletions(1), 0);
}

TEST_F(QueuePairTest, DeletionCommandOrderAndLogLines) {
  Attach();
  ASSERT_EQ(CreateQueuePair(), 1);
  sim_->ClearCommandLog();
  auto machine = Ctx().MakeQueuePairDeletionController(1);
  const auto lines = LinesWithPrefix(RunToEnd(*machine), "NVME: QueuePairDeletionController: ");
  ASSERT_FALSE(machine->HasError()) << machine->GetErrorMessage();
  const std::string p = "NVME: QueuePairDeletionController: ";
  const std::vector<std::string> expected = {
      p + "Starting queue pair deletion of QID 1",
      p + "Creating NvmeQueueCtx",
      p + "Submitting DeleteIoSubmissionQueue command",
      p + "Waiting for completion of DeleteIoSubmissionQueue command",
      p + "DeleteIoSubmissionQueue command is completed successfully",
      p + "Submitting DeleteIoCompletionQueue command",
      p + "Waiting for completion of DeleteIoCompletionQueue command",
      p + "DeleteIoCompletionQueue command is completed successfully",
      p + "Removing queue pair 1 from queue manager",
      p + "Deleting queue pair data structure",
      p + "Successfully delete queue pair 1",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(QueueOpcodes(AdminOpcodes()), (std::vector<uint8_t>{kDeleteSq, kDeleteCq}));
  EXPECT_FALSE(Ctx().GetQueueManager().IsValidQueueId(1));
  EXPECT_EQ(Ctx().GetQueueManager().ProcessIoCompletions(1), -1);
  // The QID is free again.
  EXPECT_EQ(CreateQueuePair(), 1);
}

TEST_F(QueuePairTest, DeletingAnUnknownQidSendsNothing) {
  Attach();
  sim_->ClearCommandLog();
  auto machine = Ctx().MakeQueuePairDeletionController(5);
  const auto lines = LinesWithPrefix(RunToEnd(*machine), "NVME: QueuePairDeletionController: ");
  EXPECT_TRUE(machine->HasError());
  EXPECT_EQ(machine->GetErrorMessage(), "Invalid QID 5");
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_TRUE(AdminLog().empty());
}

TEST_F(QueuePairTest, CreationRollsBackAFailedSubmissionQueue) {
  Attach();
  sim_->InjectFault(FailAdmin(kCreateSq));
  sim_->ClearCommandLog();
  auto machine = Ctx().MakeQueuePairCreationController();
  const auto lines = RunToEnd(*machine);
  EXPECT_TRUE(machine->HasError());
  EXPECT_EQ(machine->GetErrorMessage(), "Failed to create submission queue");
  EXPECT_EQ(QueueOpcodes(AdminOpcodes()), (std::vector<uint8_t>{kCreateCq, kCreateSq, kDeleteCq}));
  for (const auto& entry : AdminLog()) {
    if (entry.command.opcode() == kDeleteCq) {
      EXPECT_EQ(entry.command.cdw10 & 0xFFFF, 1u);
    }
  }
  EXPECT_TRUE(Contains(lines, "NVME: QueuePairCreationController: Deleting queue pair data structure"));
  EXPECT_FALSE(Ctx().GetQueueManager().IsValidQueueId(1));
  EXPECT_EQ(CreateQueuePair(), 1);  // the QID went back to the pool
}

TEST_F(QueuePairTest, CreationRollsBackAFailedCompletionQueue) {
  Attach();
  sim_->InjectFault(FailAdmin(kCreateCq));
  sim_->ClearCommandLog();
  auto machine = Ctx().MakeQueuePairCreationController();
  RunToEnd(*machine);
  EXPECT_TRUE(machine->HasError());
  EXPECT_EQ(machine->GetErrorMessage(), "Failed to create completion queue");
  EXPECT_EQ(QueueOpcodes(AdminOpcodes()), (std::vector<uint8_t>{kCreateCq}));
  EXPECT_EQ(CreateQueuePair(), 1);
}

TEST_F(QueuePairTest, FailedSubmissionQueueDeletionStillUnregisters) {
  Attach();
  ASSERT_EQ(CreateQueuePair(), 1);
  sim_->InjectFault(FailAdmin(kDeleteSq));
  sim_->ClearCommandLog();
  auto machine = Ctx().MakeQueuePairDeletionController(1);
  RunToEnd(*machine);
  EXPECT_TRUE(machine->HasError());
  EXPECT_EQ(machine->GetErrorMessage(), "Failed to delete submission queue");
  EXPECT_EQ(QueueOpcodes(AdminOpcodes()), (std::vector<uint8_t>{kDeleteSq}));
  EXPECT_FALSE(Ctx().GetQueueManager().IsValidQueueId(1));
}

TEST_F(QueuePairTest, FailedCompletionQueueDeletionIsReported) {
  Attach();
  ASSERT_EQ(CreateQueuePair(), 1);
  sim_->InjectFault(FailAdmin(kDeleteCq));
  auto machine = Ctx().MakeQueuePairDeletionController(1);
  RunToEnd(*machine);
  EXPECT_TRUE(machine->HasError());
  EXPECT_EQ(machine->GetErrorMessage(), "Failed to delete completion queue");
  EXPECT_FALSE(Ctx().GetQueueManager().IsValidQueueId(1));
}

TEST_F(QueuePairTest, RunsOutOfQueueIds) {
  Attach();
  auto& queues = Ctx().GetQueueManager();
  const uint32_t n = static_cast<uint32_t>(queues.GetTableSize() - 1);
  ASSERT_GE(n, 1u);
  for (uint32_t i = 1; i <= n; ++i) {
    ASSERT_EQ(CreateQueuePair(), i);
  }
  EXPECT_TRUE(queues.IsValidQueueId(static_cast<uint16_t>(n)));
  EXPECT_FALSE(queues.IsValidQueueId(static_cast<uint16_t>(n + 1)));
  EXPECT_FALSE(queues.IsValidQueueId(0));
  EXPECT_EQ(queues.GetQpair(static_cast<uint16_t>(n + 1)), nullptr);

  auto machine = Ctx().MakeQueuePairCreationController();
  const auto lines = RunToEnd(*machine);
  EXPECT_TRUE(machine->HasError());
  EXPECT_EQ(machine->GetErrorMessage(), "Free queue ID is not available");
  EXPECT_TRUE(Contains(lines, "NVME: QueueManager: ERROR: (GetFreeQueueId) No free IO queue ID"));
  EXPECT_TRUE(Contains(lines, "NVME: QueuePairCreationController: Failed to create queue pair data structure"));
  EXPECT_TRUE(Contains(lines, "NVME: QueuePairCreationController: Reason: Free queue ID is not available"));
}

TEST_F(QueuePairTest, QueueManagerAsserts) {
  Attach();
  auto& queues = Ctx().GetQueueManager();
  auto empty = std::make_shared<NvmeQueueCtx>();
  try {
    queues.AddQueuePair(empty);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "NVME: QueueManager: ASSERT: (AddQueuePair) qpair is nullptr");
  }
  try {
    queues.RemoveQueuePair(empty);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "NVME: QueueManager: ASSERT: (RemoveQueuePair) qpair is nullptr");
  }
  try {
    queues.PutFreeQueueId(0);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "NVME: QueueManager: ASSERT: (PutFreeQueueId) ID cannot be 0");
  }
  EXPECT_EQ(queues.MakeDeleteQueueCtx(1), nullptr);
  EXPECT_EQ(queues.GetFirstAvailableQueueId(), 0);
}

TEST(QueueManagerTextTest, StatusesAndTexts) {
  EXPECT_EQ(NvmeQueueManager::GetOpsStatusFromSpdkStatus(0), 0u);
  EXPECT_EQ(NvmeQueueManager::GetOpsStatusFromSpdkStatus(-6), 4u);
  EXPECT_EQ(NvmeQueueManager::GetOpsStatusFromSpdkStatus(-22), 5u);
  EXPECT_EQ(NvmeQueueManager::GetOpsStatusFromSpdkStatus(-12), 6u);
  EXPECT_EQ(NvmeQueueManager::GetOpsStatusFromSpdkStatus(1), 6u);
  EXPECT_EQ(NvmeQueueManager::GetErrorMessageFromOpsStatus(1), "Free queue ID is not available");
  EXPECT_EQ(NvmeQueueManager::GetErrorMessageFromOpsStatus(2), "Failed to initialize queue pair data structure");
  EXPECT_EQ(NvmeQueueManager::GetErrorMessageFromOpsStatus(3), "Failed to allocate memory for queue data structure");
  EXPECT_EQ(NvmeQueueManager::GetErrorMessageFromOpsStatus(4), "Valid device is not found");
  EXPECT_EQ(NvmeQueueManager::GetErrorMessageFromOpsStatus(5), "Invalid argument");
  EXPECT_EQ(NvmeQueueManager::GetErrorMessageFromOpsStatus(6), "Unexpected queue ops status: 6");
  EXPECT_EQ(NvmeQueueManager::GetErrorMessageFromOpsStatus(7), "Unexpected queue ops status: 7");
  EXPECT_EQ(NvmeQueueManager::GetErrorMessageFromOpsStatus(0), "Unexpected queue ops status: 0");
}

}  // namespace
}  // namespace kyt_dev_test
