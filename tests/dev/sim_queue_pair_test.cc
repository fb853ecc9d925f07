// Queue pairs on the simulated drive: the creation and deletion machines, their command order, log lines and
// roll-back, and the queue manager's table, QID pool, statuses and texts.
#include <gtest/gtest.h>

#include "nvme/nvme_queue_manager.h"
#include "nvme/queue_pair_creation_controller.h"
#include "nvme/queue_pair_deletion_controller.h"
#include "sim_fixture.h"

namespace kyt_dev_test {
namespace {


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
    return LinesOf([&] { EXPECT_TRUE(PollUntil([&] { machine.Run(); }, [&] { return machine.IsCompleted(); })); });
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
  const auto create_sq = AdminLog(kCreateSq);
  ASSERT_EQ(create_sq.size(), 1u);
  EXPECT_EQ(create_sq[0].cdw10 & 0xFFFF, 1u);      // QID
  EXPECT_EQ(create_sq[0].cdw11 >> 16, 1u);         // CQID
  EXPECT_EQ((create_sq[0].cdw11 >> 1) & 0x3, 0u);  // urgent priority
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

  // Deleting an unknown QID sends nothing.
  sim_->ClearCommandLog();
  auto unknown = Ctx().MakeQueuePairDeletionController(5);
  EXPECT_EQ(LinesWithPrefix(RunToEnd(*unknown), p).size(), 2u);
  EXPECT_TRUE(unknown->HasError());
  EXPECT_EQ(unknown->GetErrorMessage(), "Invalid QID 5");
  EXPECT_TRUE(AdminLog().empty());
  EXPECT_EQ(CreateQueuePair(), 1) << "the QID is free again";
}

TEST_F(QueuePairTest, EachFailedCommandRollsBackAndIsReported) {
  struct Case {
    uint8_t failing;
    const char* error;
    std::vector<uint8_t> sent;
  };
  const Case creation[] = {
      {kCreateSq, "Failed to create submission queue", {kCreateCq, kCreateSq, kDeleteCq}},
      {kCreateCq, "Failed to create completion queue", {kCreateCq}},
  };
  const Case deletion[] = {
      {kDeleteSq, "Failed to delete submission queue", {kDeleteSq}},
      {kDeleteCq, "Failed to delete completion queue", {kDeleteSq, kDeleteCq}},
  };
  Attach();
  auto& queues = Ctx().GetQueueManager();
  for (const Case& c : creation) {
    sim_->InjectFault(FailAdmin(c.failing));
    sim_->ClearCommandLog();
    auto machine = Ctx().MakeQueuePairCreationController();
    const auto lines = RunToEnd(*machine);
    EXPECT_TRUE(machine->HasError());
    EXPECT_EQ(machine->GetErrorMessage(), c.error);
    EXPECT_EQ(QueueOpcodes(AdminOpcodes()), c.sent) << c.error;
    for (const auto& command : AdminLog(kDeleteCq)) EXPECT_EQ(command.cdw10 & 0xFFFF, 1u);
    EXPECT_TRUE(Contains(lines, "NVME: QueuePairCreationController: Deleting queue pair data structure"));
    EXPECT_FALSE(queues.IsValidQueueId(1));
  }
  // The queues a failed deletion leaves on the device keep their QIDs busy there: one pair per case.
  ASSERT_EQ(CreateQueuePair(), 1) << "the QID went back to the pool";
  ASSERT_EQ(CreateQueuePair(), 2);
  uint16_t qid = 1;
  for (const Case& c : deletion) {
    sim_->InjectFault(FailAdmin(c.failing));
    sim_->ClearCommandLog();
    auto machine = Ctx().MakeQueuePairDeletionController(qid);
    RunToEnd(*machine);
    EXPECT_TRUE(machine->HasError());
    EXPECT_EQ(machine->GetErrorMessage(), c.error);
    EXPECT_EQ(QueueOpcodes(AdminOpcodes()), c.sent) << c.error;
    EXPECT_FALSE(queues.IsValidQueueId(qid++)) << "unregistered even when the device refuses";
  }
}

// A Create I/O CQ that goes unanswered (its time-out ends it) may have made the queue: it is deleted first, and when
// the deletion goes unanswered too the pair keeps its QID and memory.
TEST_F(QueuePairTest, UnansweredCreationKeepsTheQidUnlessTheCompletionQueueIsDeleted) {
  Attach(2000);
  for (uint8_t opcode : {kCreateCq, kDeleteCq}) {
    auto rule = FailAdmin(opcode);
    rule.action = kyt::sim::FaultRule::Action::kDrop;
    sim_->InjectFault(rule);
  }
  auto machine = Ctx().MakeQueuePairCreationController();
  RunToEnd(*machine);
  EXPECT_EQ(machine->GetErrorMessage(), "Failed to create completion queue");
  EXPECT_EQ(QueueOpcodes(AdminOpcodes()), (std::vector<uint8_t>{kCreateCq, kDeleteCq}));
  EXPECT_EQ(CreateQueuePair(), 2) << "QID 1 stays taken";
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
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { queues.AddQueuePair(empty); }, "(AddQueuePair) qpair is nullptr"},
      {[&] { queues.RemoveQueuePair(empty); }, "(RemoveQueuePair) qpair is nullptr"},
      {[&] { queues.PutFreeQueueId(0); }, "(PutFreeQueueId) ID cannot be 0"},
  };
  for (const auto& [call, text] : cases) {
    try {
      call();
      ADD_FAILURE() << text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), std::string("NVME: QueueManager: ASSERT: ") + text);
    }
  }
  EXPECT_EQ(queues.MakeDeleteQueueCtx(1), nullptr);
  EXPECT_EQ(queues.GetFirstAvailableQueueId(), 0);
}

TEST(QueueManagerTextTest, StatusesAndTexts) {
  const std::pair<int, uint32_t> statuses[] = {{0, 0}, {-6, 4}, {-22, 5}, {-12, 6}, {1, 6}};
  for (const auto& [spdk, ops] : statuses) {
    EXPECT_EQ(NvmeQueueManager::GetOpsStatusFromSpdkStatus(spdk), ops) << spdk;
  }
  const char* texts[] = {"Unexpected queue ops status: 0", "Free queue ID is not available",
                         "Failed to initialize queue pair data structure",
                         "Failed to allocate memory for queue data structure", "Valid device is not found",
                         "Invalid argument", "Unexpected queue ops status: 6", "Unexpected queue ops status: 7"};
  for (uint32_t status = 0; status < 8; ++status) {
    EXPECT_EQ(NvmeQueueManager::GetErrorMessageFromOpsStatus(status), texts[status]);
  }
}

}  // namespace
}  // namespace kyt_dev_test
