// Generic command runner on the simulated drive: its DMA buffers, and the commands it refuses before sending.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nvme/dma_context.h"
#include "runner/generic_cmd_runner.h"
#include "runner_bench.h"

namespace kyt_test {
namespace {

// Namespace 2 is active here: 512-byte blocks with 8 bytes of protection information inline (520-byte blocks);
// namespace 4 keeps 8 bytes of metadata per 4096-byte block apart from the data.
class GenericCmdRunnerTest : public RunnerBench {
 protected:
  kyt::sim::SimConfig Config() override {
    kyt::sim::SimConfig config = StandardConfig();
    kyt::sim::NamespaceConfig& ns2 = config.namespaces[1];
    ns2.active = true;
    ns2.lba_format = 1;
    ns2.extended_lba = true;
    ns2.pi_type = 1;
    config.namespaces[3].lba_format = 3;
    return config;
  }

  // Runs one command to its end.
  std::unique_ptr<GenericCmdRunner> Send(uint16_t qid, spdk_nvme_cmd cmd, uint8_t* data, uint32_t size,
                                         bool host_to_device = false) {
    auto runner = std::make_unique<GenericCmdRunner>(address_);
    runner->SetQueueId(qid);
    runner->GetCommand() = cmd;
    runner->SetBuffer(data, size, host_to_device);
    EXPECT_TRUE(Step(*runner));
    return runner;
  }

  static spdk_nvme_cmd Cmd(uint8_t opc, uint32_t nsid, uint32_t cdw10, uint32_t cdw11 = 0, uint32_t cdw12 = 0) {
    spdk_nvme_cmd cmd{};
    cmd.opc = opc;
    cmd.nsid = nsid;
    cmd.cdw10 = cdw10;
    cmd.cdw11 = cdw11;
    cmd.cdw12 = cdw12;
    return cmd;
  }
};

// The DMA buffer is whole pages, at least one: a command that moves data of its own choosing (Get Features, 128-bit
// Host Identifier: 16 bytes) with an empty or short buffer writes into that page, page aligned, never past it; a
// buffer a byte over a page gets two.
TEST_F(GenericCmdRunnerTest, DmaBufferIsAtLeastOneWholePage) {
  Attach();
  for (uint32_t size : {0u, 4u, 4097u}) {
    std::vector<uint8_t> data(size + 1, 0xEE);
    GenericCmdRunner runner(address_);
    runner.GetCommand() = Cmd(0x0A, 0, 0x81, 1);
    runner.SetBuffer(data.data(), size, false);
    runner.SetNvmeControllerManager(manager_);
    const uint64_t before = DmaContext::GetTotalAllocated();
    while (runner.GetState() != GenericCmdRunner::kWaitForCompletion && !runner.IsComplete()) runner.Run();
    EXPECT_EQ(DmaContext::GetTotalAllocated() - before, size > 4096 ? 8192u : 4096u) << size;
    ASSERT_TRUE(Step(runner) && runner.IsDone()) << runner.GetErrorMessage();
    EXPECT_EQ(runner.GetCompletion().status_raw & 0x1FE, 0) << size;
    EXPECT_EQ(data[size], 0xEE) << "only the caller's bytes are copied back";
    EXPECT_EQ(sim_->CommandLogSnapshot().back().command.prp1 % 4096, 0u);
  }
}

// Refused before anything is sent: a queue that does not exist; a buffer shorter than the transfer the command's own
// fields give (Identify, Get Log Page, and Read, Write, Compare by the namespace's block size; with PRACT and
// protection information the data bytes only); a transfer beyond what one command can move, by the command's fields
// or, where they do not tell, by the buffer's size.
TEST_F(GenericCmdRunnerTest, RefusedBeforeSending) {
  Attach();
  const uint16_t qid = CreateQueuePair();
  const auto beyond = [](uint64_t moved) {
    return "the command would move " + std::to_string(moved) +
           " bytes, more than the 2072576 bytes one command can move";
  };
  const auto shorter = [](uint32_t size, uint32_t transfer) {
    return "argument \"buffer\" holds " + std::to_string(size) + " bytes, less than the " + std::to_string(transfer) +
           " bytes the command transfers";
  };
  struct Case {
    uint16_t qid;
    spdk_nvme_cmd cmd;
    uint32_t size;
    std::string message;
  } cases[] = {
      {9, Cmd(0x02, 1, 0), 512, "Invalid Queue ID"},
      {0, Cmd(0x06, 0, 1), 512, shorter(512, 4096)},
      {0, Cmd(0x02, 0, 0x00FF0002u), 1020, shorter(1020, 1024)},  // Get Log Page, NUMDL 255
      {0, Cmd(0x02, 0, 2, 1), 262140, shorter(262140, 262148)},   // NUMDU 1
      {qid, Cmd(0x01, 1, 0, 0, 7), 512, shorter(512, 4096)},
      {qid, Cmd(0x02, 4, 0, 0, 1), 4096, shorter(4096, 8192)},
      {qid, Cmd(0x05, 1, 0, 0, 0), 511, shorter(511, 512)},
      {qid, Cmd(0x02, 2, 0, 0, 1), 1039, shorter(1039, 1040)},
      {qid, Cmd(0x01, 2, 0, 0, 1u | 1u << 29), 1023, shorter(1023, 1024)},
      {0, Cmd(0x02, 0, 2, 8), 0xFFFFFFFFu, beyond(2097156)},  // Get Log Page, NUMDU 8
      {0, Cmd(0xC1, 0, 0), 2072577, beyond(2072577)},  // a vendor command moves its whole buffer
  };
  // The memory needs to hold only what one command can move, whatever size the buffer claims.
  std::vector<uint8_t> data(GenericCmdRunner::kMaxTransferBytes);
  const uint64_t commands = sim_->counters().commands;
  for (const Case& c : cases) {
    auto runner = Send(c.qid, c.cmd, data.data(), c.size);
    EXPECT_TRUE(runner->IsAborted());
    EXPECT_EQ(runner->GetErrorMessage(), c.message);
    EXPECT_EQ(runner->IsArgumentRefused(), c.message != "Invalid Queue ID") << c.message;
  }
  EXPECT_EQ(sim_->counters().commands, commands) << "nothing was sent";
}

// A buffer longer than the command moves is legal: only the bytes its fields say it moves are mapped, sent and copied
// back; a command that moves exactly the most one command can is sent.
TEST_F(GenericCmdRunnerTest, MovesWhatTheCommandMoves) {
  Attach();
  std::vector<uint8_t> data(GenericCmdRunner::kMaxTransferBytes, 0xEE);
  GenericCmdRunner runner(address_);
  runner.GetCommand() = Cmd(0x06, 0, 1);  // Identify Controller: 4096 bytes
  runner.SetBuffer(data.data(), 0xFFFFFFFFu, false);
  runner.SetNvmeControllerManager(manager_);
  const uint64_t before = DmaContext::GetTotalAllocated();
  while (runner.GetState() != GenericCmdRunner::kWaitForCompletion && !runner.IsComplete()) runner.Run();
  EXPECT_EQ(DmaContext::GetTotalAllocated() - before, 4096u);
  ASSERT_TRUE(Step(runner) && runner.IsDone()) << runner.GetErrorMessage();
  EXPECT_EQ(data[0] | data[1] << 8, 0x1D1D) << "the vendor id came back";
  EXPECT_EQ(data[4096], 0xEE) << "nothing past what the command moved";

  auto vendor = Send(0, Cmd(0xC1, 0, 0), data.data(), GenericCmdRunner::kMaxTransferBytes, true);
  ASSERT_TRUE(vendor->IsDone()) << vendor->GetErrorMessage();
  EXPECT_EQ(vendor->GetCompletion().status.sc, SPDK_NVME_SC_INVALID_OPCODE) << "sent; the drive does not know it";
}

// A DMA buffer that cannot be had: neither direction goes on without it.
TEST_F(GenericCmdRunnerTest, RefusedWithoutDmaMemory) {
  Attach();
  std::vector<std::unique_ptr<DmaContext>> taken;
  for (uint64_t size = 64u << 20; size >= 4096; size /= 4) {
    while (taken.emplace_back(std::make_unique<DmaContext>(size, 4096)), taken.back()->GetSize() != 0) {
    }
  }
  std::vector<uint8_t> data(4096);
  auto runner = Send(0, Cmd(0x06, 0, 1), data.data(), 4096);
  EXPECT_TRUE(runner->IsAborted());
  EXPECT_EQ(runner->GetErrorMessage(), "Failed to copy buffer");
}

// Namespace 4 keeps its metadata apart: the runner gives the device a metadata buffer of its own instead of the
// command's zero metadata pointer.
TEST_F(GenericCmdRunnerTest, SeparateMetadataGetsABufferOfItsOwn) {
  Attach();
  const uint16_t qid = CreateQueuePair();
  std::vector<uint8_t> data(8192, 0x3C);
  for (uint8_t opc : {0x01, 0x02}) {
    auto runner = Send(qid, Cmd(opc, 4, 0, 0, 1), data.data(), 8192, opc == 0x01);
    ASSERT_TRUE(runner->IsDone()) << runner->GetErrorMessage();
    EXPECT_EQ(runner->GetCompletion().status_raw & 0x1FE, 0) << int(opc);
    EXPECT_NE(sim_->CommandLogSnapshot().back().command.mptr, 0u);
  }
}

}  // namespace
}  // namespace kyt_test
