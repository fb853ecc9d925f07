// The bootloader client against a simulated AN3155 bootloader on a pseudo-terminal.
#include <gtest/gtest.h>

#include "devices/pmu/stm32_bootloader.h"
#include "devices/pollable_manager.h"
#include "devices/serial_port.h"
#include "stm32_bootloader_peer.h"
#include "test_support.h"

using tyr::pmu::Stm32Bootloader;

namespace {

struct BootFixture {
  BootFixture() {
    polls = std::make_shared<tyr::threading::PollableManager>();
    port = std::make_shared<tyr::serialport::SerialPort>();
    EXPECT_TRUE(port->open(peer.slavePath()));
    EXPECT_TRUE(port->setBaudRate(115200));
    polls->addPollable(port);
    loader = std::make_unique<Stm32Bootloader>(port);
    loader->setReplyTimeout(std::chrono::milliseconds(500));
  }
  ~BootFixture() { polls->removePollable(port); }
  std::string sent() { return peer.received(); }

  pmupeers::Stm32BootloaderPeer peer;
  std::shared_ptr<tyr::threading::PollableManager> polls;
  std::shared_ptr<tyr::serialport::SerialPort> port;
  std::unique_ptr<Stm32Bootloader> loader;
};

std::vector<uint8_t> image(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

}  // namespace

TEST(Stm32Bootloader, FullUpdateProgramsTheImageInBlocks) {
  BootFixture f;
  portstest::LogCapture log;
  const auto firmware = image(600);
  f.loader->updateFirmware(firmware);
  EXPECT_TRUE(f.peer.synchronised());
  EXPECT_TRUE(f.peer.erased());
  EXPECT_EQ(f.peer.commands(), (std::vector<uint8_t>{0x00, 0x01, 0x43, 0x31, 0x31, 0x31}));
  auto blocks = f.peer.blocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].address, 0x08000000u);
  EXPECT_EQ(blocks[1].address, 0x08000100u);
  EXPECT_EQ(blocks[2].address, 0x08000200u);
  EXPECT_EQ(blocks[0].data.size(), 256u);
  EXPECT_EQ(blocks[2].data.size(), 88u);
  EXPECT_EQ(f.peer.flash(), firmware);
  // Wire bytes of the second block's address frame and of the last data frame's length.
  const std::string wire = f.sent();
  EXPECT_NE(wire.find(bytes({0x08, 0x00, 0x01, 0x00, 0x09})), std::string::npos);
  EXPECT_NE(wire.find(std::string(1, '\x57') + std::string(firmware.begin() + 512, firmware.begin() + 600)),
            std::string::npos);
  EXPECT_EQ(wire.substr(0, 5), bytes({0x7F, 0x00, 0xFF, 0x01, 0xFE}));
  EXPECT_TRUE(log.has("Stm32Bootloader:Sending 0x7F to enter bootloader"));
  EXPECT_TRUE(log.has("Stm32Bootloader: Expecting 12 bytes"));
  EXPECT_TRUE(log.has(
      "Stm32Bootloader: Received: 0x31 0x00 0x01 0x02 0x11 0x21 0x31 0x43 0x63 0x73 0x82 0x92"));
  EXPECT_TRUE(log.has("Stm32Bootloader: Bootloader Version: 3.1"));
  EXPECT_TRUE(log.has("Stm32Bootloader: Writing firmware chunk at offset 512"));
  EXPECT_TRUE(log.has("Stm32Bootloader: Sending STM Write Memory command at address 0x08000200"));
  EXPECT_TRUE(log.has("Stm32Bootloader: Firmware programming complete!"));
}

TEST(Stm32Bootloader, LastBlockIsPaddedToWholeWordsOfErasedFlash) {
  BootFixture f;
  const auto firmware = image(601);
  f.loader->updateFirmware(firmware);
  auto expected = firmware;
  expected.insert(expected.end(), 3, 0xFF);
  EXPECT_EQ(f.peer.flash(), expected);
  EXPECT_EQ(f.peer.blocks().back().data.size(), 92u);
}

TEST(Stm32Bootloader, SingleByteFrameAndChecksum) {
  EXPECT_EQ(Stm32Bootloader::getChecksum({}), 0);
  EXPECT_EQ(Stm32Bootloader::getChecksum({0x08, 0x00, 0x01, 0x00}), 0x09);
  BootFixture f;
  f.loader->enter();
  f.loader->sendWriteMemory(0x08000000, {0xAA});
  const std::string wire = f.sent();
  EXPECT_EQ(wire.substr(wire.size() - 3), bytes({0x00, 0xAA, 0xAA}));
  EXPECT_EQ(f.peer.flash(), std::vector<uint8_t>{0xAA});
}

TEST(Stm32Bootloader, OversizedBlockFailsBeforeSending) {
  BootFixture f;
  f.loader->enter();
  const size_t before = f.sent().size();
  portstest::LogCapture log;
  try {
    f.loader->sendWriteMemory(0x08000000, image(257));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Data length exceeds maximum of 256 bytes.");
  }
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Stm32Bootloader: Sending STM Write Memory command at address 0x08000000"});
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(f.sent().size(), before);
}

TEST(Stm32Bootloader, NackAndUnexpectedRepliesEndTheUpdate) {
  {
    BootFixture f;
    f.peer.replaceAck(0x43, 0x1F);
    portstest::LogCapture log;
    try {
      f.loader->updateFirmware(image(10));
      FAIL();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Received NACK from device");
    }
    EXPECT_TRUE(log.has("Stm32Bootloader: Received NACK"));
    EXPECT_TRUE(f.peer.blocks().empty());
  }
  {
    BootFixture f;
    f.peer.replaceAck(0x31, 0x00);
    try {
      f.loader->updateFirmware(image(10));
      FAIL();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Received undefined response 0x00");
    }
    EXPECT_TRUE(f.peer.erased());
  }
}

TEST(Stm32Bootloader, SilentBootloaderTimesOutInsteadOfHanging) {
  BootFixture f;
  f.loader->setReplyTimeout(std::chrono::milliseconds(50));
  f.loader->enter();
  f.peer.replaceAck(0x00, 0x79);  // ACK, then nothing of the Get reply
  EXPECT_THROW(f.loader->sendGet(), std::runtime_error);
}

TEST(Stm32Bootloader, EmptyImageWritesNothing) {
  BootFixture f;
  portstest::LogCapture log;
  f.loader->writeFirmware({});
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Stm32Bootloader: Firmware size: 0 bytes",
                                                   "Stm32Bootloader: Firmware programming complete!"}));
  EXPECT_EQ(f.sent(), "");
}
