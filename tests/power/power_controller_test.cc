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

std::string throwText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

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

TEST(PowerController, EverythingButInitNeedsASetUp) {
  PowerTestBench bench;
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  EXPECT_EQ(m.power.getType(), PowerController::kTypeNone);
  const std::function<void()> operations[] = {
      [&] { m.power.uninit(); },          [&] { m.power.powerOn(); },
      [&] { m.power.powerOff(); },        [&] { m.power.enablePowerMonitor("/tmp/kyt-power-never.csv", 50); },
      [&] { m.power.disablePowerMonitor(); }, [&] { m.power.powerCycle(); }};
  for (const auto& operation : operations)
    EXPECT_EQ(throwText(operation), "PowerController is not initialized yet");

  PowerControllerInitParams params = relayBox("RB0001", 0, 0);
  params.type = 2;
  EXPECT_EQ(throwText([&] { m.power.init(params); }), "PowerController::init, Internal Error");
  EXPECT_EQ(m.power.getType(), PowerController::kTypeNone);
  EXPECT_FALSE(m.relay->getActiveController());
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
}

TEST(PowerController, SwitchesThroughTheRelayBox) {
  PowerTestBench bench(1, 2);
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  m.power.init(relayBox("RB0001", 0, 1));
  EXPECT_EQ(m.power.getType(), PowerController::kTypeRelayBox);
  m.power.powerCycle();  // set up: no error, no effect
  m.power.powerOn();
  ASSERT_TRUE(bench.first.waitForBytes(13));
  EXPECT_EQ(bench.first.received(), "\x02pmu(pwr,on)\x03");
  m.power.powerOff();
  ASSERT_TRUE(bench.first.waitForBytes(27));
  EXPECT_EQ(bench.first.relayOn(), std::optional<bool>(false));

  // The power-monitor log exists only on the PMU board; the box is left untouched.
  EXPECT_EQ(throwText([&] { m.power.enablePowerMonitor("/tmp/kyt-power-never.csv", 50); }),
            "enablePowerMonitor is not supported");
  EXPECT_EQ(throwText([&] { m.power.disablePowerMonitor(); }), "disablePowerMonitor is not supported");
  EXPECT_EQ(bench.first.commands(), (std::vector<std::string>{"on", "off"}));
}

TEST(PowerController, SecondInitKeepsTheFirstBoxUntilUninit) {
  PowerTestBench bench(1, 2);
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  m.power.init(relayBox("RB0001", 0, 1));
  m.power.init(relayBox("RB0002", 1, 2));  // the box already open stays the one used
  m.power.powerOn();
  ASSERT_TRUE(bench.first.waitForBytes(13));
  EXPECT_EQ(bench.first.commands(), (std::vector<std::string>{"on"}));
  EXPECT_TRUE(bench.second.received().empty());

  m.power.uninit();
  EXPECT_EQ(m.power.getType(), PowerController::kTypeNone);
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
  EXPECT_EQ(throwText([&] { m.power.powerOn(); }), "PowerController is not initialized yet");

  m.power.init(relayBox("RB0002", 1, 2));  // now the new box and model are used
  m.power.powerOn();
  ASSERT_TRUE(bench.second.waitForBytes(7));
  EXPECT_EQ(bench.second.received(), "\x02pwr,1\x03");
  EXPECT_EQ(bench.first.commands().size(), 1u);
}

TEST(PowerController, FailedRelayOpenRecordsNothing) {
  PowerTestBench bench;
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  EXPECT_EQ(throwText([&] { m.power.init(relayBox("RB0404", 0, 0)); }), "Device not found for serial RB0404");
  EXPECT_EQ(m.power.getType(), PowerController::kTypeNone);
  PowerControllerInitParams slow = relayBox("RB0001", 0, 0);
  slow.dorvanOptions.baudRate = 1200;
  EXPECT_EQ(throwText([&] { m.power.init(slow); }), "Failed to set baud rate");
  EXPECT_EQ(m.power.getType(), PowerController::kTypeNone);
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

size_t countMethod(pmupeers::PmuBoardPeer& board, const std::string& method) { return board.count(method); }

}  // namespace

TEST(PowerControllerWithPmuBoard, SwitchesTheTwelveVoltSupply) {
  pmupeers::PmuBoardPeer board;
  PowerTestBench bench(0, 1, board.slavePath());
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  m.power.init(pmuBoard());
  EXPECT_EQ(m.power.getType(), PowerController::kTypePmu);
  EXPECT_EQ(m.power.getKytControllerId(), 0u);
  for (auto method : {"getVersion", "getPmuInfo", "getAdapterInfo"}) EXPECT_EQ(countMethod(board, method), 1u) << method;
  EXPECT_FALSE(m.relay->getActiveController());

  m.power.powerOff();
  ASSERT_TRUE(board.waitFor("changePower", 1));
  EXPECT_EQ(board.supplies()["12V"], "OFF");
  m.power.powerOn();
  ASSERT_TRUE(board.waitFor("changePower", 2));
  EXPECT_EQ(board.supplies()["12V"], "ON");
  std::vector<nlohmann::json> changes;
  for (const auto& request : board.requests())
    if (request.value("method", "") == "changePower") changes.push_back(request["params"]);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0], (nlohmann::json{{"powerSupply", "12V"}, {"state", "OFF"}}));
  EXPECT_EQ(changes[1], (nlohmann::json{{"powerSupply", "12V"}, {"state", "ON"}}));

  // The board's error reaches the caller.
  board.setError("changePower", -32000, "supply fault");
  EXPECT_EQ(throwText([&] { m.power.powerOff(); }), "supply fault");

  m.power.uninit();
  EXPECT_EQ(m.power.getType(), PowerController::kTypeNone);
  uint32_t id = 99;
  EXPECT_FALSE(m.pmu->findControllerId("PMU001", 0, id));
  EXPECT_FALSE(bench.serial->isValidDeviceIndex(0));
}

TEST(PowerControllerWithPmuBoard, RunsThePowerMonitorLog) {
  pmupeers::PmuBoardPeer board;
  PowerTestBench bench(0, 1, board.slavePath());
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  m.power.init(pmuBoard());
  portstest::TempDir dir;
  std::string file = dir.file("monitor.csv");
  m.power.enablePowerMonitor(file, 5);
  EXPECT_TRUE(board.waitFor("measurePower", 2));
  m.power.disablePowerMonitor();
  std::string log = portstest::readFile(file);
  EXPECT_EQ(log.rfind("time,voltage,current,power\n", 0), 0u) << log;
  size_t measured = countMethod(board, "measurePower");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(countMethod(board, "measurePower"), measured);  // stopped
}

TEST(PowerControllerWithPmuBoard, FailedIdentityQueryStillSetsUpTheBoard) {
  pmupeers::PmuBoardPeer board;
  board.setError("getVersion", -32000, "busy");
  PowerTestBench bench(0, 1, board.slavePath());
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  EXPECT_EQ(throwText([&] { m.power.init(pmuBoard()); }), "busy");
  EXPECT_EQ(m.power.getType(), PowerController::kTypePmu);
  m.power.powerOn();
  EXPECT_EQ(board.supplies()["12V"], "ON");

  // A reply of an unexpected shape fails the same way (with the JSON library's own error), and a repeated init
  // finds the controller already open under the same id.
  board.setResult("getVersion", nlohmann::json{{"version", 5}});
  EXPECT_NE(throwText([&] { m.power.init(pmuBoard()); }).find("type must be string, but is number"),
            std::string::npos);
  EXPECT_EQ(m.power.getType(), PowerController::kTypePmu);
  EXPECT_EQ(m.power.getKytControllerId(), 0u);
  m.power.powerOff();
  EXPECT_EQ(board.supplies()["12V"], "OFF");
}

// A controller closed through the PMU methods makes uninit fail and leaves the set-up; a new init replaces it.
TEST(PowerControllerWithPmuBoard, UninitAfterTheBoardWasClosedElsewhere) {
  pmupeers::PmuBoardPeer board;
  PowerTestBench bench(2, 1, board.slavePath());
  ASSERT_TRUE(bench.ok());
  Managers m(bench);
  m.power.init(pmuBoard());
  m.pmu->closeController(m.power.getKytControllerId());
  EXPECT_EQ(throwText([&] { m.power.uninit(); }), "Invalid device_id");
  EXPECT_EQ(m.power.getType(), PowerController::kTypePmu);
  EXPECT_EQ(throwText([&] { m.power.powerOn(); }), "Invalid device_id");

  m.power.init(relayBox("RB0001", 0, 2));
  EXPECT_EQ(m.power.getType(), PowerController::kTypeRelayBox);
  m.power.powerOn();
  ASSERT_TRUE(bench.first.waitForBytes(7));
  EXPECT_EQ(bench.first.commands(), (std::vector<std::string>{"on"}));
  EXPECT_EQ(countMethod(board, "changePower"), 0u);
}
#endif  // KYT_HAVE_PMU_PEERS
