// The PMU board controller against a simulated board: remote calls, error rewording,
// SMBus packets, power-monitor log, and the GPIO restart sequences on a stand-in FTDI chip.
#include <fstream>
#include <sstream>

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

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
  return parts;
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
  EXPECT_EQ(requests[3]["params"], json::parse(R"({"powerSupply":"12V","state":"ON"})"));
  EXPECT_EQ(requests[4]["params"], json::parse(R"({"speed":100})"));
  EXPECT_EQ(requests[5]["id"], 5);
}

TEST(KytController, FanSpeedAboveHundredIsRefusedWithoutARequest) {
  BoardFixture f;
  portstest::LogCapture log;
  EXPECT_THROW(f.controller->setFanSpeed(101), std::runtime_error);
  EXPECT_TRUE(log.has("KytController: speed cannot be greater than 100"));
  EXPECT_EQ(f.peer.requests().size(), 0u);
  EXPECT_EQ(f.peer.fanSpeed(), 30);
}

TEST(KytController, FanSpeedResultMustFitItsByte) {
  BoardFixture f;
  f.peer.setResult("getFanSpeed", 37.9);
  EXPECT_EQ(f.controller->getFanSpeed(), 37);
  for (json outside : {json(300), json(1e30), json(-1.5)}) {
    f.peer.setResult("getFanSpeed", outside);
    EXPECT_THROW(f.controller->getFanSpeed(), std::runtime_error) << outside;
  }
  f.peer.setResult("getFanSpeed", "fast");
  try {
    f.controller->getFanSpeed();
    FAIL() << "a string fan speed was accepted";
  } catch (const json::type_error& e) {
    EXPECT_EQ(e.id, 302);
    EXPECT_NE(std::string(e.what()).find("type must be number, but is string"), std::string::npos);
  }
  f.peer.setResult("getVersion", {{"version", 5}});
  EXPECT_THROW(f.controller->getVersion(), json::type_error);
}

TEST(KytController, UnsupportedMethodsAreRewordedOnlyWhereChecked) {
  BoardFixture f;
  portstest::LogCapture log;
  f.peer.setError("getAdapterInfo", -32601, "Method not found");
  try {
    f.controller->getAdapterInfo();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "getAdapterInfo is not supported by kytrix PMU");
  }
  EXPECT_TRUE(log.has("KytController: getAdapterInfo(), Error: Method not found"));
  f.peer.setError("setFanSpeed", 5, "fan stalled");
  try {
    f.controller->setFanSpeed(10);
    FAIL();
  } catch (const tyr::jsonrpc::JsonRpcResponseError&) {
    FAIL() << "the error was not reworded";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "fan stalled");
  }
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
  try {
    f.controller->getVersion();
    FAIL() << "no error";
  } catch (const tyr::jsonrpc::JsonRpcTimeoutError&) {
    FAIL() << "the call waited for an answer to a request that never went out";
  } catch (const tyr::jsonrpc::JsonRpcError& e) {
    EXPECT_STREQ(e.what(), "Failed to send JSON-RPC request for method getVersion: Input/output error");
  }
}

TEST(KytController, InitLogsIdentityAndToleratesMissingAdapterInfo) {
  BoardFixture f;
  portstest::LogCapture log;
  f.controller->init();
  EXPECT_TRUE(log.has("KytController: Version: 1.4.2"));
  EXPECT_TRUE(log.has("KytController: PMU Info: {\"board\":\"kytrix-pmu\",\"revision\":3}"));
  EXPECT_TRUE(log.has("KytController: Adapter Info: {\"adapter\":\"U.2\",\"slots\":1}"));
  log.clear();
  f.peer.setError("getAdapterInfo", -32601, "Method not found");
  EXPECT_NO_THROW(f.controller->init());
  f.peer.setSilent("getAdapterInfo");
  EXPECT_NO_THROW(f.controller->init());
  f.peer.setSilent("getVersion");
  EXPECT_THROW(f.controller->init(), tyr::jsonrpc::JsonRpcTimeoutError);
}

TEST(KytController, SmbusBlockWriteCarriesTheSmbusPec) {
  EXPECT_EQ(KytController::smbusPec({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0xF4);
  BoardFixture f;
  portstest::LogCapture log;
  f.controller->sendSmbusBlockWrite(0x16, 0x01, {0xAA, 0x55});
  EXPECT_TRUE(log.has("Address: 0x16"));
  EXPECT_TRUE(log.has("Command: 0x01"));
  EXPECT_TRUE(log.has("Payload: [0xaa,0x55]"));
  EXPECT_TRUE(log.has("PEC: 0x8f"));
  f.controller->sendSmbusBlockWrite(0x0A, 0x02, {});
  EXPECT_TRUE(log.has("Payload: []"));
  auto writes = f.peer.smbusWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].dump(), R"({"address":22,"command":1,"payload":[170,85],"pec":143})");
  EXPECT_EQ(writes[1]["payload"], json::array());
  EXPECT_EQ(writes[1]["pec"], KytController::smbusPec({0x0A, 0x02, 0x00}));
  EXPECT_EQ(f.controller->getReceivedSmbusBlockWrite(), writes[1]);
}

TEST(KytController, PowerMonitorWritesOneLinePerInterval) {
  portstest::TempDir dir;
  const std::string path = dir.file("power.csv");
  portstest::writeFile(path, "old content that must go\n");
  BoardFixture f;
  EXPECT_THROW(f.controller->enablePowerMonitor(dir.file("zero.csv"), 0), std::runtime_error);
  EXPECT_FALSE(std::ifstream(dir.file("zero.csv")).good());
  // A file that cannot be opened is named in the error, and no monitor runs.
  try {
    f.controller->enablePowerMonitor("/nonexistent/dir/pm.csv", 20);
    FAIL() << "an unopenable log file was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/dir/pm.csv"), std::string::npos) << e.what();
  }
  {
    portstest::LogCapture log;
    f.controller->disablePowerMonitor();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"KytController: Disabling power monitoring"});
  }

  f.peer.setResult("measurePower", {{"voltage", 12}, {"current", 0.25}});
  f.controller->enablePowerMonitor(path, 20);
  ASSERT_TRUE(f.peer.waitFor("measurePower", 5));
  f.controller->disablePowerMonitor();
  auto lines = fileLines(path);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "time,voltage,current,power");
  int64_t previous = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    auto fields = split(lines[i], ',');
    ASSERT_EQ(fields.size(), 4u) << lines[i];
    EXPECT_EQ(fields[1], "12");
    EXPECT_EQ(fields[2], "0.25");
    EXPECT_EQ(fields[3], "null");
    const int64_t time = std::stoll(fields[0]);
    if (i > 1) {
      EXPECT_GE(time - previous, 19) << "samples closer than the interval";
    }
    previous = time;
  }
  // Stopped: no more measurements.
  const size_t count = f.peer.count("measurePower");
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(f.peer.count("measurePower"), count);
  EXPECT_EQ(fileLines(path).size(), lines.size());

  // A new start on another file has its own header; a null result gives nulls.
  f.peer.setResult("measurePower", nullptr);
  const std::string second = dir.file("second.csv");
  f.controller->enablePowerMonitor(second, 10);
  ASSERT_TRUE(f.peer.waitFor("measurePower", count + 2));
  f.controller->disablePowerMonitor();
  lines = fileLines(second);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "time,voltage,current,power");
  EXPECT_EQ(lines[1].substr(lines[1].find(',')), ",null,null,null");
}

TEST(KytController, PowerMonitorSurvivesFailedMeasurementsAndStopsOnDestruction) {
  portstest::TempDir dir;
  BoardFixture f;
  f.controller->getClient().setTimeoutMs(30);
  f.peer.setError("measurePower", 1, "adc busy");
  portstest::LogCapture log;
  f.controller->disablePowerMonitor();
  EXPECT_EQ(log.lines(), std::vector<std::string>{"KytController: Disabling power monitoring"});
  f.controller->enablePowerMonitor(dir.file("p.csv"), 5);
  ASSERT_TRUE(f.peer.waitFor("measurePower", 3));
  EXPECT_EQ(fileLines(dir.file("p.csv")).size(), 1u);
  // A second start replaces the running monitor.
  f.peer.setResult("measurePower", {{"voltage", 1}, {"current", 2}, {"power", 2}});
  f.peer.clear("measurePower");
  f.controller->enablePowerMonitor(dir.file("q.csv"), 5);
  ASSERT_TRUE(portstest::waitFor([&] { return fileLines(dir.file("q.csv")).size() >= 2; }));
  EXPECT_EQ(fileLines(dir.file("q.csv"))[1].substr(fileLines(dir.file("q.csv"))[1].find(',')), ",1,2,2");
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
  try {
    KytController::enterFirmware(device, 0x6014);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "FTDI device of product ID 0x6014 is not supported");
  }
  EXPECT_EQ(fakeftdi::takeWritten(), "");
  fakeftdi::setResult("set_bitmode", -1);
  try {
    KytController::enterBootloader(device, 0x6010);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to enter MPSSE mode");
  }
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
  // No attached device with that serial number.
  auto other = std::make_shared<KytController>(f.port, f.ftdi, f.usb, "NOPE", 1);
  try {
    other->reset();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "USB device not found for serial NOPE");
  }
}
