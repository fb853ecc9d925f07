#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "devices/ftdi_device_manager.h"
#include "devices/pmu/power_controller.h"
#include "power_test_bench.h"

using powertest::PowerTestBench;
using tyr::pmu::DorvanControllerManager;
using tyr::pmu::DorvanControllerModel;
using tyr::pmu::KytControllerManager;
using tyr::pmu::PowerController;
using tyr::pmu::PowerControllerInitParams;

namespace {

PowerControllerInitParams relayBox(const std::string& serial, uint32_t interfaceNumber, int model) {
  PowerControllerInitParams params;
  params.type = 1;
  params.dorvanOptions.serial = serial;
  params.dorvanOptions.interfaceNumber = interfaceNumber;
  params.dorvanOptions.baudRate = 9600;
  params.dorvanOptions.model = static_cast<DorvanControllerModel>(model);
  return params;
}

// The managers of an addon object over the bench's tree.
struct Managers {
  explicit Managers(PowerTestBench& bench)
      : ftdi(std::make_shared<tyr::ftdi::FtdiDeviceManager>(bench.poller)),
        pmu(std::make_shared<KytControllerManager>(bench.serial, ftdi, bench.usb, bench.poller)),
        relay(std::make_shared<DorvanControllerManager>(bench.serial)),
        power(pmu, relay) {}
  std::shared_ptr<tyr::ftdi::FtdiDeviceManager> ftdi;
  std::shared_ptr<KytControllerManager> pmu;
  std::shared_ptr<DorvanControllerManager> relay;
  PowerController power;
};

}  // namespace

using Commands = std::vector<std::string>;

TEST(PowerController, EverythingButInitNeedsASetUp) {
  PowerTestBench bench;
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  const std::function<void()> operations[] = {
      [&] { m.power.uninit(); },          [&] { m.power.powerOn(); },
      [&] { m.power.powerOff(); },        [&] { m.power.enablePowerMonitor(testing::TempDir() + "kyt-power-never.csv", 50); },
      [&] { m.power.disablePowerMonitor(); }, [&] { m.power.powerCycle(); }};
  for (const auto& operation : operations) EXPECT_EQ(portstest::errorOf(operation), "PowerController is not initialized yet");
  PowerControllerInitParams params = relayBox("RB0001", 0, 0);
  params.type = 2;
  EXPECT_EQ(portstest::errorOf([&] { m.power.init(params); }), "PowerController::init, Internal Error");
  EXPECT_EQ(portstest::errorOf([&] { m.power.init(relayBox("RB0404", 0, 0)); }), "Device not found for serial RB0404");
  EXPECT_EQ(m.power.getType(), PowerController::kTypeNone);
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
}

TEST(PowerController, SwitchesThroughTheRelayBoxUntilUninit) {
  PowerTestBench bench(1, 2);
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  m.power.init(relayBox("RB0001", 0, 1));
  EXPECT_EQ(m.power.getType(), PowerController::kTypeRelayBox);
  m.power.powerCycle();  // set up: no error, no effect
  m.power.powerOn();
  m.power.powerOff();
  // The power-monitor log exists only on the PMU board; the box is left untouched.
  EXPECT_EQ(portstest::errorOf([&] { m.power.enablePowerMonitor(testing::TempDir() + "kyt-power-never.csv", 50); }),
            "enablePowerMonitor is not supported");
  EXPECT_EQ(portstest::errorOf([&] { m.power.disablePowerMonitor(); }), "disablePowerMonitor is not supported");
  EXPECT_EQ(bench.first.commands(2), (Commands{"on", "off"}));

  m.power.uninit();
  EXPECT_EQ(m.power.getType(), PowerController::kTypeNone);
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
  EXPECT_EQ(portstest::errorOf([&] { m.power.powerOn(); }), "PowerController is not initialized yet");
  m.power.init(relayBox("RB0002", 1, 2));
  m.power.powerOn();
  EXPECT_EQ(bench.second.commands(1), Commands{"on"});
}

#ifdef KYT_HAVE_PMU_PEERS
#include "pmu_board_peer.h"

namespace {

PowerControllerInitParams pmuBoard() {
  PowerControllerInitParams params;
  params.type = 0;
  params.serial = "PMU001";
  params.interfaceNumber = 0;
  params.baudRate = 115200;
  // Fields of the other type are not read.
  params.dorvanOptions.serial = "RB0001";
  params.dorvanOptions.baudRate = 4800;
  return params;
}

}  // namespace

TEST(PowerControllerWithPmuBoard, SwitchesTheTwelveVoltSupplyUntilUninit) {
  pmupeers::PmuBoardPeer board;
  PowerTestBench bench(0, 1, board.slavePath());
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  m.power.init(pmuBoard());
  EXPECT_EQ(m.power.getType(), PowerController::kTypePmu);
  EXPECT_EQ(board.count("getPmuInfo"), 1u);
  EXPECT_FALSE(m.relay->getActiveController());
  m.power.powerOff();
  EXPECT_EQ(board.supplies()["12V"], "OFF");
  m.power.powerOn();
  EXPECT_EQ(board.supplies()["12V"], "ON");
  m.power.uninit();
  EXPECT_EQ(m.power.getType(), PowerController::kTypeNone);
  uint32_t id = 99;
  EXPECT_FALSE(m.pmu->findControllerId("PMU001", 0, id));
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
}

TEST(PowerControllerWithPmuBoard, FailedIdentityQueryStillSetsUpTheBoard) {
  pmupeers::PmuBoardPeer board;
  board.setError("getVersion", -32000, "busy");
  PowerTestBench bench(0, 1, board.slavePath());
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  EXPECT_EQ(portstest::errorOf([&] { m.power.init(pmuBoard()); }), "busy");
  EXPECT_EQ(m.power.getType(), PowerController::kTypePmu);
  // A repeated init finds the controller already open under the same id.
  board.clear("getVersion");
  m.power.init(pmuBoard());
  EXPECT_EQ(m.power.getKytControllerId(), 0u);
  m.power.powerOn();
  EXPECT_EQ(board.supplies()["12V"], "ON");
}

// A controller closed through the PMU methods makes uninit fail and leaves the set-up; a new init replaces it.
TEST(PowerControllerWithPmuBoard, UninitAfterTheBoardWasClosedElsewhere) {
  pmupeers::PmuBoardPeer board;
  PowerTestBench bench(2, 1, board.slavePath());
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  m.power.init(pmuBoard());
  m.pmu->closeController(m.power.getKytControllerId());
  EXPECT_EQ(portstest::errorOf([&] { m.power.uninit(); }), "Invalid device_id");
  EXPECT_EQ(m.power.getType(), PowerController::kTypePmu);
  EXPECT_EQ(portstest::errorOf([&] { m.power.powerOn(); }), "Invalid device_id");
  m.power.init(relayBox("RB0001", 0, 2));
  EXPECT_EQ(m.power.getType(), PowerController::kTypeRelayBox);
  m.power.powerOn();
  EXPECT_EQ(bench.first.commands(1), Commands{"on"});
  EXPECT_EQ(board.count("changePower"), 0u);
}
#endif  // KYT_HAVE_PMU_PEERS
