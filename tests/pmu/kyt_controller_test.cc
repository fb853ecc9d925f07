// The PMU board controller against a simulated board: remote calls, checks of arguments and replies, error rewording,
// SMBus packets, power-monitor log, and the GPIO restart sequences on a stand-in FTDI chip.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

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

TEST(KytController, FanSpeedsOutsideTheirRangeAndResultsOfTheWrongTypeAreRefused) {
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
  // Results of the wrong JSON type name the method, the field and what came instead.
  f.peer.setResult("getFanSpeed", "fast");
  EXPECT_EQ(portstest::errorOf([&] { f.controller->getFanSpeed(); }), "getFanSpeed: the board answered \"fast\", not a number");
  f.peer.setResult("getVersion", {{"version", 5}});
  EXPECT_EQ(portstest::errorOf([&] { f.controller->getVersion(); }), "getVersion: the board's \"version\" is 5, not a string");
  f.peer.setResult("getVersion", 5);
  EXPECT_EQ(portstest::errorOf([&] { f.controller->getVersion(); }), "getVersion: the board's answer 5 has no \"version\"");
  f.peer.setResult("measurePower", "x");
  EXPECT_EQ(portstest::errorOf([&] { f.controller->measurePower(true); }), "measurePower: the board answered \"x\", not an object");
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

// A board that hangs up ends the call waiting for it at once with the port's reason, not after the time-out.
TEST(KytController, APortThatHangsUpEndsTheCallInFlightAtOnce) {
  BoardFixture f;
  f.controller->getClient().setTimeoutMs(3600000);  // a wait for the time-out would outlast the test run
  f.peer.setSilent("getVersion");
  std::thread hangUp([&] {
    if (f.peer.waitFor("getVersion", 1)) f.peer.hangUp();
  });
  EXPECT_EQ(portstest::errorOf([&] { f.controller->getVersion(); }),
            "Failed to receive JSON-RPC response for method getVersion: The serial port's device has hung up");
  hangUp.join();
  EXPECT_TRUE(f.controller->linkFailed());
  EXPECT_EQ(portstest::errorOf([&] { f.controller->getVersion(); }),
            "Failed to send JSON-RPC request for method getVersion: The serial port's device has hung up");
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
  // A FIFO that no process reads is refused at once: opening it for writing would wait for a reader.
  const std::string fifo = dir.file("power.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(portstest::errorOf([&] { f.controller->enablePowerMonitor(fifo, 20); }),
            "Failed to open the power monitor log " + fifo + ": it is a FIFO that no process reads");
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

// Nothing is lost in silence: a file that takes nothing refuses the start, a record is written whole or not at all,
// writing resumes when the file takes data again (a deleted one is created anew), and stopping reports the loss.
TEST(KytController, PowerMonitorWriteFailuresAreLoggedCountedAndReportedAndRecordsStayWhole) {
  BoardFixture f;
  portstest::LogCapture logs;
  EXPECT_EQ(portstest::errorOf([&] { f.controller->enablePowerMonitor("/dev/full", 20); }),
            "Failed to write the power monitor log /dev/full: No space left on device");
  f.peer.setResult("measurePower", {{"voltage", 12}, {"current", 0.25}});
  const auto stampDigits = std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count())
                               .size();
  const size_t header = std::string("time,voltage,current,power\n").size();
  const size_t record = stampDigits + std::string(",12,0.25,null\n").size();
  portstest::TempDir dir;
  const std::string path = dir.file("power.csv");
  auto lostLog = [&](const std::string& reason) {
    return [&logs, path, reason] {
      return logs.has("KytController: Failed to write the power monitor log " + path + ": " + reason);
    };
  };

  // The file may grow by half a record more than one: the second record is cut short by the system.
  signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = header + record + record / 2;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  f.controller->enablePowerMonitor(path, 10);
  const bool cut = portstest::waitFor(lostLog("the file took only " + std::to_string(record / 2) + " of " +
                                              std::to_string(record) + " bytes"));
  const std::string kept = portstest::readFile(path);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  ASSERT_TRUE(cut);
  EXPECT_EQ(kept.size(), header + record) << "a torn record was left behind";
  ASSERT_TRUE(portstest::waitFor([&] { return fileLines(path).size() >= 4; })) << "writing did not resume";
  for (const auto& line : fileLines(path)) EXPECT_EQ(std::count(line.begin(), line.end(), ','), 3) << line;
  EXPECT_EQ(portstest::errorOf([&] { f.controller->disablePowerMonitor(); }).rfind("The power monitor log " + path + " lost ", 0), 0u);

  // A folder deleted under the log: the samples are lost until it comes back, and the file is created anew.
  const std::string folder = dir.file("sub");
  const std::string inFolder = folder + "/power.csv";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  f.controller->enablePowerMonitor(inFolder, 10);
  ASSERT_TRUE(portstest::waitFor([&] { return fileLines(inFolder).size() >= 2; }));
  ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
  ASSERT_TRUE(portstest::waitFor([&] {
    return logs.has("KytController: Failed to write the power monitor log " + inFolder +
                    ": cannot create it again: No such file or directory");
  }));
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_TRUE(portstest::waitFor([&] { return fileLines(inFolder).size() >= 2; }));
  EXPECT_EQ(fileLines(inFolder)[0], "time,voltage,current,power");
  const std::string report = portstest::errorOf([&] { f.controller->disablePowerMonitor(); });
  EXPECT_EQ(report.rfind("The power monitor log " + inFolder + " lost ", 0), 0u) << report;
  EXPECT_NE(report.find(": cannot create it again: No such file or directory"), std::string::npos) << report;
  // The report was given: the next start is clean.
  f.controller->enablePowerMonitor(path, 10);
  EXPECT_NO_THROW(f.controller->disablePowerMonitor());
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
