// The bootloader client against a simulated AN3155 bootloader on a pseudo-terminal.
#include <gtest/gtest.h>

#include <functional>

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
    // The stand-in answers every step; only a loaded machine could make it late, so the bound is far beyond any load.
    loader->setReplyTimeout(std::chrono::seconds(30));
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

}  // namespace

TEST(Stm32Bootloader, FullUpdateProgramsTheImageInBlocksPaddedToWholeWords) {
  BootFixture f;
  const auto firmware = image(601);
  f.loader->updateFirmware(firmware);
  EXPECT_TRUE(f.peer.synchronised());
  EXPECT_TRUE(f.peer.erased());
  EXPECT_EQ(f.peer.commands(), (std::vector<uint8_t>{0x00, 0x01, 0x02, 0x11, 0x43, 0x31, 0x31, 0x31}));
  auto blocks = f.peer.blocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[1].address, 0x08000100u);
  EXPECT_EQ(blocks[2].address, 0x08000200u);
  EXPECT_EQ(blocks[2].data.size(), 92u);
  auto expected = firmware;
  expected.insert(expected.end(), 3, 0xFF);  // the last block ends on a whole word of erased flash
  EXPECT_EQ(f.peer.flash(), expected);
}

// The block's length byte (N = length - 1) is part of its checksum; for two bytes or more it is not zero.
TEST(Stm32Bootloader, BlockFrameIsLengthDataAndTheirChecksum) {
  BootFixture f;
  f.loader->enter();
  f.loader->sendWriteMemory(0x08000000, {0xAA, 0x55});
  const std::string wire = f.sent();
  EXPECT_EQ(wire.substr(wire.size() - 4), std::string("\x01\xAA\x55\xFE", 4));
  EXPECT_EQ(f.peer.flash(), (std::vector<uint8_t>{0xAA, 0x55}));
}

TEST(Stm32Bootloader, OversizedBlockFailsBeforeSending) {
  BootFixture f;
  f.loader->enter();
  try {
    f.loader->sendWriteMemory(0x08000000, image(257));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Data length exceeds maximum of 256 bytes.");
  }
  f.loader->sendGetVersion();  // a round trip after the refusal: the bootloader saw only that
  EXPECT_EQ(f.peer.commands(), std::vector<uint8_t>{0x01});
}

// Before anything is erased the chip is asked who it is, what it offers and how much flash it has: a chip that is not
// known to take the image is refused with a text saying why. Every failure names the step and its cause, and says whether the erase had begun.
TEST(Stm32Bootloader, NothingIsErasedUnlessTheImageIsKnownToFitAndFailuresNameTheStepAndTheCause) {
  const auto smallF1 = [](pmupeers::Stm32BootloaderPeer& chip) {
    chip.setProductId(0x412);
    chip.setFlashKiB(16);
    chip.setFlashSizeRegister(0x1FFFF7E0, 16);
  };
  struct Case {
    std::function<void(pmupeers::Stm32BootloaderPeer&)> chip;
    size_t imageSize;
    std::string error;
    bool erased;
  } cases[] = {
      // The chip's own flash, not the largest of its line (32 KiB for 0x412), bounds the image; one filling it fits.
      {smallF1, 20000,
       "The firmware image of 20000 bytes is larger than the flash of this chip (product ID 0x412, 16384 bytes)", false},
      {smallF1, 16384, "(no exception)", true},
      // An F0 keeps its flash size elsewhere than an F1.
      {[](auto& chip) {
         chip.setProductId(0x440);
         chip.setFlashSizeRegister(0x1FFFF7CC, 32);
       },
       1000, "(no exception)", true},
      {[](auto& chip) { chip.setProductId(0x999); }, 200000,
       "The flash size of a chip with product ID 0x999 is not known, so the image cannot be known to fit", false},
      {[](auto& chip) { chip.setProductId(0x000); }, 10,
       "The flash size of a chip with product ID 0x000 is not known, so the image cannot be known to fit", false},
      {[](auto& chip) { chip.setReadProtected(true); }, 10,
       "Reading the flash size failed: Received NACK from device: the chip is read-protected", false},
      {[](auto& chip) { chip.setFlashSizeRegister(0x1FFFF7E0, 0xFFFF); }, 10,
       "Reading the flash size failed: the flash-size register at 0x1ffff7e0 reads 65535 KiB, which no chip of product "
       "ID 0x410 has (at most 128 KiB)",
       false},
      {[](auto& chip) { chip.replaceOffered(0x11, 0x12); }, 10,
       "The bootloader does not offer the Read Memory command (0x11) that reads the chip's flash size", false},
      {[](auto& chip) { chip.replaceOffered(0x43, 0x44); }, 10,
       "The bootloader does not offer the Erase command (0x43) this update uses, only Extended Erase (0x44)", false},
      {[](auto& chip) { chip.replaceOffered(0x31, 0x32); }, 10,
       "The bootloader does not offer the Write Memory command (0x31)", false},
      {[](auto& chip) { chip.replaceAck(0x02, 0x1F); }, 10, "Get ID failed: Received NACK from device", false},
      {[](auto& chip) { chip.replaceAck(0x43, 0x1F); }, 10, "Erase failed: Received NACK from device", false},
      // A NACK to the erase's parameters: the bootloader erased nothing.
      {[](auto& chip) { chip.refuseGlobalErase(); }, 10, "Erase failed: Received NACK from device", false},
      {[](auto& chip) { chip.replaceAck(0x31, 0x00); }, 10,
       "Write Memory at 0x08000000 failed: Received undefined response 0x00", true},
  };
  const auto old = image(64);
  for (const auto& c : cases) {
    BootFixture f;
    f.peer.setFlash(old);
    c.chip(f.peer);
    EXPECT_EQ(portstest::errorOf([&] { f.loader->updateFirmware(image(c.imageSize)); }), c.error);
    EXPECT_EQ(f.peer.erased(), c.erased) << c.error;
    EXPECT_EQ(f.loader->flashTouched(), c.erased) << c.error;
    if (!c.erased) {
      EXPECT_EQ(f.peer.flash(), old) << c.error;
    }
  }
  BootFixture f;
  f.loader->setReplyTimeout(std::chrono::milliseconds(50));
  f.loader->enter();
  f.peer.replaceAck(0x00, 0x79);  // ACK, then nothing of the Get reply
  EXPECT_THROW(f.loader->sendGet(), std::runtime_error);
}
