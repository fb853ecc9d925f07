// The PMU board controller against a simulated board: remote calls, checks of arguments and replies, error rewording,
// SMBus packets, power-monitor log, and the GPIO restart sequences on a stand-in FTDI chip.
#include <fstream>

#include "fake_ftdi.h"
#include "pmu_test_support.h"

using nlohmann::json;
using pmutest::BoardFixture;
using tyr::pmu::KytController;

namespace {

std::vector<std::string> fileLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

TEST(KytController, RemoteCallsSendTheirMethodsAndReturnResults) {
  BoardFixture f;
  EXPECT_EQ(f.controller->getVersion(), "1.4.2");
  EXPECT_EQ(f.controller->getPmuInfo()["board"], "kytrix-pmu");
  EXPECT_EQ(f.controller->measurePower(false)["power"], 6.0);
  f.controller->changePower("12V", "ON");
  EXPECT_EQ(f.peer.supplies().at("12V"), "ON");
  f.controller->setFanSpeed(100);
  EXPECT_EQ(f.controller->getFanSpeed(), 100);
  auto requests = f.peer.requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[0], json::parse(R"({"id":0,"method":"getVersion","params":null})"));
  EXPECT_EQ(requests[4]["params"], json::parse(R"({"speed":100})"));
  EXPECT_EQ(requests[5]["id"], 5);
}

TEST(KytController, FanSpeedsOutsideTheirRangeAreRefusedBothWays) {
  BoardFixture f;
  EXPECT_EQ(portstest::errorOf([&] { f.controller->setFanSpeed(101); }), "speed cannot be greater than 100");
  EXPECT_EQ(f.peer.requests().size(), 0u);
  f.peer.setResult("getFanSpeed", 37.9);
  EXPECT_EQ(f.controller->getFanSpeed(), 37);
  for (json outside : {json(256), json(1e30), json(-1.5)}) {
    f.peer.setResult("getFanSpeed", outside);
    EXPECT_EQ(portstest::errorOf([&] { f.controller->getFanSpeed(); }),
              "getFanSpeed: the board answered " + outside.dump() + ", outside 0 to 255");
  }
  f.peer.setResult("getFanSpeed", "fast");
  EXPECT_THROW(f.controller->getFanSpeed(), json::type_error);
}

TEST(KytController, UnsupportedMethodsAreRewordedOnlyWhereChecked) {
  BoardFixture f;
  f.peer.setError("getAdapterInfo", -32601, "Method not found");
  EXPECT_EQ(portstest::errorOf([&] { f.controller->getAdapterInfo(); }), "getAdapterInfo is not supported by kytrix PMU");
  f.peer.setError("changePower", -32601, "Method not found");
  try {
    f.controller->changePower("12V", "OFF");
    FAIL();
  } catch (const tyr::jsonrpc::JsonRpcResponseError& e) {
    EXPECT_EQ(e.code, -32601);
    EXPECT_STREQ(e.what(), "Method not found");
  }
}

TEST(KytController, AFailedWriteFailsTheCallAtOnce) {
  BoardFixture f;
  f.peer.hangUp();  // the board is gone: writes to its line fail with EIO
  EXPECT_EQ(portstest::errorOf([&] { f.controller->getVersion(); }),
            "Failed to send JSON-RPC request for method getVersion: Input/output error");
}

TEST(KytController, InitToleratesAMissingAdapterInfoButNotAMissingVersion) {
  BoardFixture f;
  f.peer.setError("getAdapterInfo", -32601, "Method not found");
  EXPECT_NO_THROW(f.controller->init());
  f.peer.setSilent("getAdapterInfo");
  EXPECT_NO_THROW(f.controller->init());
  f.peer.setSilent("getVersion");
  EXPECT_THROW(f.controller->init(), tyr::jsonrpc::JsonRpcTimeoutError);
  EXPECT_EQ(f.peer.count("getPmuInfo"), 2u);
}

TEST(KytController, SmbusBlockWriteCarriesTheSmbusPec) {
  EXPECT_EQ(KytController::smbusPec({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0xF4);  // CRC-8's check value
  BoardFixture f;
  f.controller->sendSmbusBlockWrite(0x16, 0x01, {0xAA, 0x55});
  f.controller->sendSmbusBlockWrite(0x0A, 0x02, {});
  auto writes = f.peer.smbusWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].dump(), R"({"address":22,"command":1,"payload":[170,85],"pec":143})");
  EXPECT_EQ(writes[1].dump(), R"({"address":10,"command":2,"payload":[],"pec":)" +
                                  std::to_string(KytController::smbusPec({0x0A, 0x02, 0x00})) + "}");
  EXPECT_EQ(f.controller->getReceivedSmbusBlockWrite(), writes[1]);
}

TEST(KytController, PowerMonitorWritesOneLinePerIntervalAndSurvivesFailedMeasurements) {
  portstest::TempDir dir;
  const std::string path = dir.file("power.csv");
  portstest::writeFile(path, "old content that must go\n");
  BoardFixture f;
  f.controller->getClient().setTimeoutMs(30);
  EXPECT_THROW(f.controller->enablePowerMonitor(dir.file("zero.csv"), 0), std::runtime_error);
  EXPECT_NE(portstest::errorOf([&] { f.controller->enablePowerMonitor("/nonexistent/dir/pm.csv", 20); }).find("/nonexistent/dir"),
            std::string::npos);
  f.controller->disablePowerMonitor();  // none running: nothing happens

  f.peer.setError("measurePower", 1, "adc busy");  // the first samples fail, and are left out
  f.controller->enablePowerMonitor(path, 20);
  ASSERT_TRUE(f.peer.waitFor("measurePower", 2));
  f.peer.setResult("measurePower", {{"voltage", 12}, {"current", 0.25}});
  ASSERT_TRUE(portstest::waitFor([&] { return fileLines(path).size() >= 4; }));
  f.controller->disablePowerMonitor();
  auto lines = fileLines(path);
  EXPECT_EQ(lines[0], "time,voltage,current,power");
  int64_t previous = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t comma = lines[i].find(',');
    EXPECT_EQ(lines[i].substr(comma), ",12,0.25,null");
    const int64_t time = std::stoll(lines[i].substr(0, comma));
    if (i > 1) {
      EXPECT_GE(time - previous, 20) << "samples closer than the interval";
    }
    previous = time;
  }

  // A second start replaces the running monitor, with a file of its own; a null result gives nulls.
  f.peer.setResult("measurePower", nullptr);
  f.controller->enablePowerMonitor(dir.file("first.csv"), 5);
  f.controller->enablePowerMonitor(dir.file("second.csv"), 5);
  ASSERT_TRUE(portstest::waitFor([&] { return fileLines(dir.file("second.csv")).size() >= 2; }));
  EXPECT_EQ(fileLines(dir.file("second.csv"))[1].substr(fileLines(dir.file("second.csv"))[1].find(',')),
            ",null,null,null");
  EXPECT_EQ(fileLines(path).size(), lines.size()) << "the stopped monitor wrote on";
  // The fixture drops the controller with its monitor running.
}

// ---- GPIO sequences on the stand-in FTDI chip ----

class KytControllerGpio : public ::testing::Test {
 protected:
  void SetUp() override { fakeftdi::reset(); }
  void TearDown() override { fakeftdi::reset(); }
  std::shared_ptr<tyr::ftdi::FtdiDevice> openChannel(uint16_t product) {
    fakeftdi::Device d;
    d.product = product;
    d.serial = "PMU0001";
    fakeftdi::addDevice(d);
    auto device = std::make_shared<tyr::ftdi::FtdiDevice>(10);
    EXPECT_EQ(device->open(0x0403, product, INTERFACE_B, "", "PMU0001"), 0);
    fakeftdi::takeWritten();
    return device;
  }
  pmutest::SleepRecorder sleeps;
};

TEST_F(KytControllerGpio, BootloaderAndFirmwareSequencesPerChip) {
  struct Chip {
    uint16_t product;
    std::string boot, firmware;
  } chips[] = {
      {0x6010, "\x82\xFF\xFF\x82\xFB\xFF\x82\xFF\xFF", "\x82\xF9\xFF\x82\xFD\xFF"},
      {0x6011, "\x80\xEF\xFF\x80\xCF\xFF\x80\xEF\xFF", "\x80\xDF\xFF\x80\xFF\xFF"},
  };
  for (const auto& chip : chips) {
    auto device = openChannel(chip.product);
    KytController::enterBootloader(device, chip.product);
    EXPECT_EQ(fakeftdi::takeWritten(), chip.boot);
    EXPECT_EQ(sleeps.take(), (std::vector<long>{1000, 5000, 2000}));
    KytController::enterFirmware(device, chip.product);
    EXPECT_EQ(fakeftdi::takeWritten(), chip.firmware);
    EXPECT_EQ(sleeps.take(), (std::vector<long>{2000, 2000}));
    // MPSSE entered and left around each sequence.
    auto calls = fakeftdi::calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "set_bitmode 0 2"), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "set_bitmode 0 0"), 2);
    fakeftdi::reset();
  }
}

TEST_F(KytControllerGpio, UnsupportedChipAndFailedMpsseAreRefused) {
  auto device = openChannel(0x6014);
  EXPECT_EQ(portstest::errorOf([&] { KytController::enterFirmware(device, 0x6014); }),
            "FTDI device of product ID 0x6014 is not supported");
  EXPECT_EQ(fakeftdi::takeWritten(), "");
  fakeftdi::setResult("set_bitmode", -1);
  EXPECT_EQ(portstest::errorOf([&] { KytController::enterBootloader(device, 0x6010); }), "Failed to enter MPSSE mode");
  EXPECT_TRUE(sleeps.take().empty());
}

TEST_F(KytControllerGpio, ResetOpensChannelBRestartsAndClosesIt) {
  BoardFixture f;
  fakeftdi::Device d;
  d.product = 0x6010;
  d.serial = "PMU0001";
  fakeftdi::addDevice(d);
  f.controller->reset();
  EXPECT_EQ(fakeftdi::takeWritten(), "\x82\xF9\xFF\x82\xFD\xFF");
  auto calls = fakeftdi::calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "set_interface 2"), calls.end());
  EXPECT_FALSE(f.ftdi->isValidDeviceIndex(0));
  auto other = std::make_shared<KytController>(f.port, f.ftdi, f.usb, "NOPE", 1);
  EXPECT_EQ(portstest::errorOf([&] { other->reset(); }), "USB device not found for serial NOPE");
}
