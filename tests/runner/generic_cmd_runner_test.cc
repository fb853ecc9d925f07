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

class GenericCmdRunnerTest : public RunnerBench {};

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
