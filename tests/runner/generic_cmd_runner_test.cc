// Generic command runner on the simulated drive: raw admin and I/O commands with their data buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runner/admin_cmd_runner.h"
#include "runner/generic_cmd_runner.h"
#include "runner_bench.h"

namespace kyt_test {
namespace {

// Namespace 2 is active here: 512-byte blocks with 8 bytes of protection information inline (520-byte blocks);
// namespace 4 keeps 8 bytes of metadata per 4096-byte block apart from the data.
class GenericCmdRunnerTest : public RunnerBench {
  kyt::sim::SimConfig Config() override {
    kyt::sim::SimConfig config = StandardConfig();
    kyt::sim::NamespaceConfig& ns2 = config.namespaces[1];
    ns2.active = true;
    ns2.lba_format = 1;
    ns2.extended_lba = true;
    ns2.pi_type = 1;
    config.namespaces[3].lba_format = 3;  // 4096 + 8 bytes of metadata apart
    return config;
  }
};

TEST_F(GenericCmdRunnerTest, IdentifyControllerFillsTheCallersBuffer) {
  Attach();
  std::vector<uint8_t> data(4096, 0xEE);
  GenericCmdRunner runner(address_);
  EXPECT_EQ(runner.GetName(), "GenericCmdRunner");
  runner.GetCommand().opc = 0x06;
  runner.GetCommand().cdw10 = 1;  // Identify Controller
  runner.SetBuffer(data.data(), static_cast<uint32_t>(data.size()), false);
  ASSERT_TRUE(Step(runner));
  ASSERT_TRUE(runner.IsDone()) << runner.GetErrorMessage();
  EXPECT_EQ(runner.GetCompletion().status_raw & 0x1FE, 0);
  // Model number: bytes 24..63, space padded.
  const std::string model(reinterpret_cast<const char*>(&data[24]), 40);
  EXPECT_EQ(model.rfind("KYT Simulated NVMe Controller", 0), 0u) << model;
  uint16_t vid = 0;
  std::memcpy(&vid, &data[0], sizeof(vid));
  EXPECT_EQ(vid, 0x1d1d);
}

TEST_F(GenericCmdRunnerTest, HostToDeviceWriteOnAnIoQueueReachesTheMedia) {
  Attach();
  AdminCmdRunner create(address_, "CreateQueuePair");
  create.GetInput().code = kAdminCmdCreateQueuePair;
  ASSERT_TRUE(Step(create));
  ASSERT_TRUE(create.IsDone()) << create.GetErrorMessage();

  std::vector<uint8_t> data(512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  GenericCmdRunner write(address_);
  write.SetQueueId(create.GetOutput().qid);
  write.GetCommand().opc = 0x01;
  write.GetCommand().nsid = 1;
  write.GetCommand().cdw10 = 42;  // SLBA
  write.SetBuffer(data.data(), 512, true);
  ASSERT_TRUE(Step(write));
  ASSERT_TRUE(write.IsDone()) << write.GetErrorMessage();
  EXPECT_EQ(write.GetCompletion().sqid, create.GetOutput().qid);

  std::vector<uint8_t> block;
  ASSERT_TRUE(sim_->ReadBlock(1, 42, &block));
  ASSERT_GE(block.size(), 512u);
  EXPECT_EQ(0, std::memcmp(block.data(), data.data(), 512));
}

TEST_F(GenericCmdRunnerTest, CommandWithoutDataCompletesWithItsStatus) {
  Attach();
  GenericCmdRunner runner(address_);
  runner.GetCommand().opc = 0x0A;  // Get Features
  runner.GetCommand().cdw10 = 0x07;  // Number of Queues
  ASSERT_TRUE(Step(runner));
  ASSERT_TRUE(runner.IsDone()) << runner.GetErrorMessage();
  EXPECT_EQ(runner.GetCompletion().status_raw & 0x1FE, 0);
  EXPECT_NE(runner.GetCompletion().cdw0, 0u);  // the queue counts granted
}

// The DMA buffer is whole pages, at least one: a command that moves data of its own choosing (here Get Features,
// 128-bit Host Identifier: 16 bytes) with an empty or short buffer writes into that page, page aligned, never past it.
TEST_F(GenericCmdRunnerTest, DmaBufferIsAtLeastOneWholePage) {
  Attach();
  for (uint32_t size : {0u, 4u}) {
    std::vector<uint8_t> data(size + 1, 0xEE);
    GenericCmdRunner runner(address_);
    runner.GetCommand().opc = 0x0A;
    runner.GetCommand().cdw10 = 0x81;
    runner.GetCommand().cdw11 = 1;
    runner.SetBuffer(data.data(), size, false);
    ASSERT_TRUE(Step(runner));
    ASSERT_TRUE(runner.IsDone()) << runner.GetErrorMessage();
    EXPECT_EQ(runner.GetCompletion().status_raw & 0x1FE, 0) << size;
    EXPECT_EQ(data[size], 0xEE) << "only the caller's bytes are copied back";
    EXPECT_EQ(sim_->CommandLogSnapshot().back().command.prp1 % 4096, 0u);
  }
}

// A command whose own fields give its transfer length is refused, before anything is sent, when the caller's buffer
// is shorter: Identify, Get Log Page, and Read, Write, Compare by the namespace's block size (PRACT with protection
// information: data bytes only).
TEST_F(GenericCmdRunnerTest, BufferShorterThanTheTransferIsRefused) {
  Attach();
  AdminCmdRunner create(address_, "CreateQueuePair");
  create.GetInput().code = kAdminCmdCreateQueuePair;
  ASSERT_TRUE(Step(create));
  const uint16_t qid = create.GetOutput().qid;
  struct Case {
    uint16_t qid;
    uint8_t opc;
    uint32_t nsid, cdw10, cdw11, cdw12, size, transfer;
  } cases[] = {
      {0, 0x06, 0, 1, 0, 0, 512, 4096},                  // Identify
      {0, 0x02, 0, 0x00FF0002u, 0, 0, 1020, 1024},       // Get Log Page, NUMDL 255
      {0, 0x02, 0, 0x00000002u, 1, 0, 262140, 262148},   // NUMDU 1
      {qid, 0x01, 1, 0, 0, 7, 512, 4096},                // Write, 8 blocks of 512
      {qid, 0x02, 4, 0, 0, 1, 4096, 8192},               // Read, 2 blocks of 4096
      {qid, 0x05, 1, 0, 0, 0, 511, 512},                 // Compare
      {qid, 0x02, 2, 0, 0, 1, 1039, 1040},               // 2 blocks of 520 bytes
      {qid, 0x01, 2, 0, 0, 1u | 1u << 29, 1023, 1024},   // PRACT: the controller adds the 8 bytes
  };
  std::vector<uint8_t> data(262148);
  const uint64_t commands = sim_->counters().commands;
  for (const Case& c : cases) {
    GenericCmdRunner runner(address_);
    runner.SetQueueId(c.qid);
    spdk_nvme_cmd& cmd = runner.GetCommand();
    cmd.opc = c.opc;
    cmd.nsid = c.nsid;
    cmd.cdw10 = c.cdw10;
    cmd.cdw11 = c.cdw11;
    cmd.cdw12 = c.cdw12;
    runner.SetBuffer(data.data(), c.size, false);
    ASSERT_TRUE(Step(runner));
    EXPECT_TRUE(runner.IsAborted() && runner.IsArgumentRefused()) << int(c.opc);
    EXPECT_EQ(runner.GetErrorMessage(), "argument \"buffer\" holds " + std::to_string(c.size) +
                                            " bytes, less than the " + std::to_string(c.transfer) +
                                            " bytes the command transfers");
  }
  EXPECT_EQ(sim_->counters().commands, commands) << "nothing was sent";
}

// Namespace 4 here keeps 8 bytes of metadata per block apart from the data: the runner gives the device a metadata
// buffer of its own instead of the command's zero metadata pointer.
TEST_F(GenericCmdRunnerTest, SeparateMetadataGetsABufferOfItsOwn) {
  Attach();
  AdminCmdRunner create(address_, "CreateQueuePair");
  create.GetInput().code = kAdminCmdCreateQueuePair;
  ASSERT_TRUE(Step(create));
  std::vector<uint8_t> data(8192, 0x3C);
  for (uint8_t opc : {0x01, 0x02}) {
    GenericCmdRunner runner(address_);
    runner.SetQueueId(create.GetOutput().qid);
    runner.GetCommand().opc = opc;
    runner.GetCommand().nsid = 4;
    runner.GetCommand().cdw12 = 1;
    runner.SetBuffer(data.data(), 8192, opc == 0x01);
    ASSERT_TRUE(Step(runner));
    ASSERT_TRUE(runner.IsDone()) << runner.GetErrorMessage();
    EXPECT_EQ(runner.GetCompletion().status_raw & 0x1FE, 0) << int(opc);
    EXPECT_NE(sim_->CommandLogSnapshot().back().command.mptr, 0u);
  }
}

TEST_F(GenericCmdRunnerTest, InvalidOpcodeEndsDoneWithTheErrorStatus) {
  Attach();
  GenericCmdRunner runner(address_);
  runner.GetCommand().opc = 0xC3;  // not an admin command of the drive
  ASSERT_TRUE(Step(runner));
  ASSERT_TRUE(runner.IsDone()) << runner.GetErrorMessage();
  EXPECT_EQ(runner.GetCompletion().status.sct, 0);
  EXPECT_EQ(runner.GetCompletion().status.sc, 0x01);  // Invalid Command Opcode
}

TEST_F(GenericCmdRunnerTest, UnknownIoQueueIsRefusedWithTheControllerErrorFlag) {
  Attach();
  GenericCmdRunner runner(address_);
  runner.SetQueueId(9);
  runner.GetCommand().opc = 0x02;
  ASSERT_TRUE(Step(runner));
  EXPECT_TRUE(runner.IsAborted());
  EXPECT_TRUE(runner.HasControllerErrorFlag());
  EXPECT_EQ(runner.GetErrorMessage(), "Invalid Queue ID");
}

TEST_F(GenericCmdRunnerTest, BufferThatCannotBeAllocatedIsRefusedBeforeSending) {
  Attach();
  const uint64_t commands = sim_->counters().commands;
  uint8_t never_touched = 0;
  for (bool host_to_device : {false, true}) {
    GenericCmdRunner runner(address_);
    runner.GetCommand().opc = 0x06;
    runner.GetCommand().cdw10 = 1;
    // Nearly 4 GiB: more DMA memory than the environment has, so the allocation fails.
    runner.SetBuffer(&never_touched, 0xFFFFF000u, host_to_device);
    ASSERT_TRUE(Step(runner));
    EXPECT_TRUE(runner.IsAborted());
    EXPECT_EQ(runner.GetErrorMessage(), "Failed to copy buffer");
  }
  EXPECT_EQ(sim_->counters().commands, commands) << "nothing was sent";
}

TEST_F(GenericCmdRunnerTest, PowerOffNoticeSetsTheControllerErrorFlag) {
  Attach();
  Controller()->NotifyPowerOff();
  GenericCmdRunner runner(address_);
  runner.GetCommand().opc = 0x06;
  ASSERT_TRUE(Step(runner));
  EXPECT_EQ(runner.GetErrorMessage(), "power off notified");
  EXPECT_TRUE(runner.HasControllerErrorFlag());
}

}  // namespace
}  // namespace kyt_test
