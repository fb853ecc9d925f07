// Queue pairs on the simulated drive: the creation and deletion machines, their command order and roll-back, and the
// queue manager's QID pool.
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

kyt::sim::FaultRule FailAdmin(uint8_t opcode, bool lost = false) {
  kyt::sim::FaultRule rule;
  rule.admin = true;
  rule.opcode = opcode;
  rule.status = kyt::sim::Status::Of(1, 0x01);  // command specific: invalid queue identifier
  if (lost) rule.action = kyt::sim::FaultRule::Action::kDrop;
  return rule;
}

class QueuePairTest : public SimDeviceTest {
 protected:
  QueuePairTest() { config_.io_queues = 3; }

  template <class Machine>
  void RunToEnd(Machine& machine) {
    EXPECT_TRUE(PollUntil([&] { machine.Run(); }, [&] { return machine.IsCompleted(); }));
  }
  // The queue commands the drive fetched since the log was last cleared, in order.
  std::vector<uint8_t> QueueOpcodes() {
    std::vector<uint8_t> out;
    for (uint8_t opc : AdminOpcodes()) {
      if (opc == kDeleteSq || opc == kCreateSq || opc == kDeleteCq || opc == kCreateCq) out.push_back(opc);
    }
    return out;
  }
};

TEST_F(QueuePairTest, CreationAndDeletionSendTheirCommandsInOrder) {
  Attach();
  sim_->ClearCommandLog();
  const std::string d = "NVME: QueuePairDeletionController: ";
  ASSERT_EQ(CreateQueuePair(), 1);
  EXPECT_EQ(QueueOpcodes(), (std::vector<uint8_t>{kCreateCq, kCreateSq}));
  const auto create_sq = AdminLog(kCreateSq);
  EXPECT_EQ(create_sq[0].cdw10 & 0xFFFF, 1u);  // QID
  EXPECT_EQ(create_sq[0].cdw11 >> 16, 1u);     // CQID
  auto& queues = Ctx().GetQueueManager();
  ASSERT_TRUE(queues.IsValidQueueId(1));

  // Deleting an unknown QID sends nothing; a known one goes submission queue first.
  sim_->ClearCommandLog();
  auto unknown = Ctx().MakeQueuePairDeletionController(5);
  RunToEnd(*unknown);
  EXPECT_EQ(unknown->GetErrorMessage(), "Invalid QID 5");
  EXPECT_TRUE(AdminLog().empty());
  auto deletion = Ctx().MakeQueuePairDeletionController(1);
  deletion->Run();
  auto again = Ctx().MakeQueuePairDeletionController(1);  // a second deletion while the first runs is refused
  RunToEnd(*again);
  EXPECT_EQ(again->GetErrorMessage(), "Queue pair 1 is being deleted already");
  EXPECT_TRUE(InOrder(LinesOf([&] { RunToEnd(*deletion); }),
                      {d + "Submitting DeleteIoSubmissionQueue command", d + "Successfully delete queue pair 1"}));
  ASSERT_FALSE(deletion->HasError()) << deletion->GetErrorMessage();
  EXPECT_EQ(QueueOpcodes(), (std::vector<uint8_t>{kDeleteSq, kDeleteCq}));
  EXPECT_FALSE(queues.IsValidQueueId(1));
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
  const std::vector<uint8_t> retried[] = {{kDeleteSq, kDeleteCq}, {kDeleteCq}};
  Attach();
  auto& queues = Ctx().GetQueueManager();
  for (const Case& c : creation) {
    sim_->InjectFault(FailAdmin(c.failing));
    sim_->ClearCommandLog();
    auto machine = Ctx().MakeQueuePairCreationController();
    RunToEnd(*machine);
    EXPECT_EQ(machine->GetErrorMessage(), c.error);
    EXPECT_EQ(QueueOpcodes(), c.sent) << c.error;
    for (const auto& command : AdminLog(kDeleteCq)) EXPECT_EQ(command.cdw10 & 0xFFFF, 1u);
    EXPECT_FALSE(queues.IsValidQueueId(1));
  }
  // A failed deletion leaves the pair registered, as the drive keeps it: deleting it again takes up where the
  // failed one stopped (only the completion queue when the submission queue went), and frees its QID.
  ASSERT_EQ(CreateQueuePair(), 1) << "the QID went back to the pool";
  for (size_t i = 0; i < 2; ++i) {
    const Case& c = deletion[i];
    sim_->InjectFault(FailAdmin(c.failing));
    sim_->ClearCommandLog();
    auto machine = Ctx().MakeQueuePairDeletionController(1);
    RunToEnd(*machine);
    EXPECT_EQ(machine->GetErrorMessage(), c.error);
    EXPECT_FALSE(machine->TimedOut());
    EXPECT_EQ(QueueOpcodes(), c.sent) << c.error;
    EXPECT_TRUE(queues.IsValidQueueId(1)) << "kept while the drive may hold it: " << c.error;
    sim_->ClearCommandLog();
    auto retry = Ctx().MakeQueuePairDeletionController(1);
    RunToEnd(*retry);
    EXPECT_FALSE(retry->HasError()) << retry->GetErrorMessage();
    EXPECT_EQ(QueueOpcodes(), retried[i]) << "the retry of: " << c.error;
    EXPECT_FALSE(queues.IsValidQueueId(1));
    ASSERT_EQ(CreateQueuePair(), 1) << "the QID is free again";
  }
  ASSERT_EQ(CreateQueuePair(), 2);
  ASSERT_EQ(CreateQueuePair(), 3);
  auto none = Ctx().MakeQueuePairCreationController();
  RunToEnd(*none);
  EXPECT_EQ(none->GetErrorMessage(), "Free queue ID is not available");
}

// A Create I/O CQ that goes unanswered (its time-out ends it) may have made the queue: it is deleted first, and when
// the deletion goes unanswered too the pair keeps its QID and memory. An unanswered Create I/O SQ has its submission
// queue deleted before the completion queue. The machine tells that its command timed out.
TEST_F(QueuePairTest, UnansweredCreationKeepsTheQidUnlessTheCompletionQueueIsDeleted) {
  Attach();
  kyt_env_test_set_clock_scale(1);  // from here on a deadline passes only when the test moves the clock
  for (uint8_t opcode : {kCreateCq, kDeleteCq}) sim_->InjectFault(FailAdmin(opcode, true));
  sim_->ClearCommandLog();
  auto machine = Ctx().MakeQueuePairCreationController();
  for (size_t lost = 1; lost <= 2; ++lost) {  // the Create I/O CQ, then the Delete I/O CQ of the roll-back
    ASSERT_TRUE(PollUntil([&] { machine->Run(); }, [&] { return QueueOpcodes().size() == lost; }));
    for (int i = 0; i < 100; ++i) machine->Run();
    EXPECT_FALSE(machine->IsCompleted());
    Advance(kTimeout + 10);
  }
  ASSERT_TRUE(PollUntil([&] { machine->Run(); }, [&] { return machine->IsCompleted(); }));
  EXPECT_EQ(machine->GetErrorMessage(), "Failed to create completion queue");
  EXPECT_TRUE(machine->TimedOut());
  EXPECT_EQ(QueueOpcodes(), (std::vector<uint8_t>{kCreateCq, kDeleteCq}));
  EXPECT_EQ(CreateQueuePair(), 2) << "QID 1 stays taken";

  sim_->InjectFault(FailAdmin(kCreateSq, true));
  sim_->ClearCommandLog();
  machine = Ctx().MakeQueuePairCreationController();
  ASSERT_TRUE(PollUntil([&] { machine->Run(); }, [&] { return QueueOpcodes().size() == 2; }));
  Advance(kTimeout + 10);
  ASSERT_TRUE(PollUntil([&] { machine->Run(); }, [&] { return machine->IsCompleted(); }));
  EXPECT_EQ(machine->GetErrorMessage(), "Failed to create submission queue");
  EXPECT_TRUE(machine->TimedOut());
  EXPECT_EQ(QueueOpcodes(), (std::vector<uint8_t>{kCreateCq, kCreateSq, kDeleteSq, kDeleteCq}));
  EXPECT_EQ(CreateQueuePair(), 3) << "the late queue was deleted: its QID is free again";
}

}  // namespace
}  // namespace kyt_dev_test

namespace kyt_dev_test {
namespace {

// A reset that meets a creation and a deletion under way cuts both short with a text that says so; the identifiers
// they held belonged to the set the reset replaced, so none is given back twice: every later pair gets its own.
TEST_F(QueuePairTest, AResetCutsCreationAndDeletionShortAndTheIdentifiersStayUnique) {
  Attach();
  const uint16_t doomed = CreateQueuePair();
  sim_->InjectFault(FailAdmin(kCreateCq, true));
  sim_->InjectFault(FailAdmin(kDeleteSq, true));
  auto creation = Ctx().MakeQueuePairCreationController();
  auto deletion = Ctx().MakeQueuePairDeletionController(doomed);
  ASSERT_TRUE(PollUntil([&] { creation->Run(); deletion->Run(); },
                        [&] { return sim_->counters().injected == 2; }));
  auto& reset = Ctx().GetResetController();
  reset.Start();
  ASSERT_TRUE(PollUntil([] {}, [&] { return reset.IsDone(); }));
  const uint16_t first = CreateQueuePair();
  RunToEnd(*creation);
  RunToEnd(*deletion);
  EXPECT_EQ(creation->GetErrorMessage(),
            "A controller reset cut the queue pair's creation short (the reset drops every I/O queue pair): create it "
            "again");
  EXPECT_EQ(deletion->GetErrorMessage().rfind("A controller reset cut the queue pair's deletion short", 0), 0u);
  const uint16_t second = CreateQueuePair();
  EXPECT_NE(first, 0);
  EXPECT_NE(second, 0);
  EXPECT_NE(first, second);
  EXPECT_TRUE(Ctx().GetQueueManager().IsValidQueueId(first));
}

}  // namespace
}  // namespace kyt_dev_test
