#include "devices/pmu/kyt_controller.h"

#include "utility/log_line.h"
#include "utility/nonblocking_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace tyr::pmu {

using nlohmann::json;

namespace {

std::mutex sleepMutex;
KytController::SleepFunction& sleepFunction() {
  static KytController::SleepFunction function;
  return function;
}

std::string hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%02x", value & 0xFFu);
  return text;
}

// Pin values of the supported FTDI chips: opcode, then bootloader and firmware sequences.
struct GpioValues {
  uint8_t opcode;
  uint8_t bootSelect, bootResetOn, bootResetOff;
  uint8_t fwResetOn, fwResetOff;
};

GpioValues chooseGpioValues(uint16_t productId) {
  switch (productId) {
    case 0x6010:  // FT2232H: high byte of the MPSSE GPIO
      return {0x82, 0xFF, 0xFB, 0xFF, 0xF9, 0xFD};
    case 0x6011:  // FT4232H: low byte
      return {0x80, 0xEF, 0xCF, 0xEF, 0xDF, 0xFF};
    default: {
      char id[8];
      std::snprintf(id, sizeof(id), "%04x", productId);
      throw std::runtime_error(std::string("FTDI device of product ID 0x") + id + " is not supported");
    }
  }
}

// A board's JSON value for an error text, cut short when long.
std::string brief(const json& value) {
  std::string text = value.dump();
  if (text.size() > 80) text = text.substr(0, 80) + "...";
  return text;
}

void writePins(const std::shared_ptr<ftdi::FtdiDevice>& device, uint8_t opcode, uint8_t value) {
  const uint8_t command[3] = {opcode, value, 0xFF};
  device->write(command, 3);
}

void enterMpsseOrThrow(const std::shared_ptr<ftdi::FtdiDevice>& device) {
  if (!device->enterMpsse()) throw std::runtime_error("Failed to enter MPSSE mode");
}

}  // namespace

KytController::KytController(std::shared_ptr<serialport::SerialPort> serialPort,
                             std::shared_ptr<ftdi::FtdiDeviceManager> ftdiDeviceManager,
                             std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager, std::string serial,
                             uint32_t pollingIntervalMs)
    : serialPort(std::move(serialPort)),
      ftdiDeviceManager(std::move(ftdiDeviceManager)),
      usbDeviceManager(std::move(usbDeviceManager)),
      serial(std::move(serial)),
      pollingIntervalMs(pollingIntervalMs) {
  rpcInterface.writeFunction = [this](const std::string& text) { this->serialPort->writeAll(text); };
  rpcInterface.readFunction = [this]() { return this->serialPort->read(0); };
  client = std::make_unique<jsonrpc::JsonRpcClient>(rpcInterface);
}

KytController::~KytController() {
  const std::string report = stopPowerMonitor();
  if (!report.empty()) log(report);
}

void KytController::log(const std::string& text) { kyt::LogLine("KytController: " + text); }

void KytController::poll() { client->processIncoming(); }

uint32_t KytController::getPollingIntervalMs() const { return pollingIntervalMs; }

void KytController::checkErrorCode(jsonrpc::JsonRpcResponseError& error, std::string method) {
  log(method + "(), Error: " + error.what());
  if (error.code == -32601) throw std::runtime_error(method + " is not supported by kytrix PMU");
  throw std::runtime_error(error.what());
}

// A remote call whose error responses are reworded by checkErrorCode.
#define KYT_CHECKED_CALL(method, params)                          \
  [&]() {                                                         \
    try {                                                         \
      return client->sendRequest(method, params);                 \
    } catch (jsonrpc::JsonRpcResponseError & error) {             \
      checkErrorCode(error, method);                              \
    }                                                             \
  }()

std::string KytController::getVersion() {
  json result = client->sendRequest("getVersion", nullptr);
  if (!result.is_object() || !result.contains("version")) {
    throw std::runtime_error("getVersion: the board's answer " + brief(result) + " has no \"version\"");
  }
  const json& version = result["version"];
  if (!version.is_string()) {
    throw std::runtime_error("getVersion: the board's \"version\" is " + brief(version) + ", not a string");
  }
  return version.get<std::string>();
}

json KytController::getPmuInfo() { return client->sendRequest("getPmuInfo", nullptr); }

json KytController::getAdapterInfo() { return KYT_CHECKED_CALL("getAdapterInfo", nullptr); }

json KytController::getDebugBoardInfo() { return KYT_CHECKED_CALL("getDebugBoardInfo", nullptr); }

uint8_t KytController::getFanSpeed() {
  log("getFanSpeed()");
  json result = KYT_CHECKED_CALL("getFanSpeed", nullptr);
  if (!result.is_number()) throw std::runtime_error("getFanSpeed: the board answered " + brief(result) + ", not a number");
  const double value = result.get<double>();
  if (!(value >= 0 && value < 256)) {
    throw std::runtime_error("getFanSpeed: the board answered " + result.dump() + ", outside 0 to 255");
  }
  return static_cast<uint8_t>(value);  // a fraction is dropped
}

json KytController::measurePower(bool logCall) {
  if (logCall) log("measurePower()");
  json result = client->sendRequest("measurePower", nullptr);
  if (!result.is_object()) {
    throw std::runtime_error("measurePower: the board answered " + brief(result) + ", not an object");
  }
  return result;
}

json KytController::getReceivedSmbusBlockWrite() { return client->sendRequest("getReceivedSmbusBlockWrite", nullptr); }

void KytController::setFanSpeed(uint8_t speed) {
  if (speed > 100) {
    log("speed cannot be greater than 100");
    throw std::runtime_error("speed cannot be greater than 100");
  }
  json params = json::object();
  params["speed"] = static_cast<uint64_t>(speed);
  KYT_CHECKED_CALL("setFanSpeed", params);
}

void KytController::changePower(const std::string& powerSupply, const std::string& state) {
  log("changePower(" + powerSupply + ", " + state + ")");
  json params = json::object();
  params["powerSupply"] = powerSupply;
  params["state"] = state;
  client->sendRequest("changePower", params);
}

uint8_t KytController::smbusPec(const std::vector<uint8_t>& bytes) {
  uint8_t crc = 0;
  for (uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80) ? static_cast<uint8_t>((crc << 1) ^ 0x07) : static_cast<uint8_t>(crc << 1);
  }
  return crc;
}

void KytController::sendSmbusBlockWrite(uint8_t address, uint8_t command, const std::vector<uint8_t>& payload) {
  log("sendSmbusBlockWrite()");
  std::vector<uint8_t> packet;
  packet.reserve(payload.size() + 3);
  packet.push_back(address);
  packet.push_back(command);
  packet.push_back(static_cast<uint8_t>(payload.size()));
  for (uint8_t byte : payload) packet.push_back(byte);
  const uint8_t pec = smbusPec(packet);

  std::string list;
  for (size_t i = 0; i < payload.size(); ++i) list += (i ? ",0x" : "0x") + hex2(payload[i]);
  kyt::LogLine("Address: 0x" + hex2(address));
  kyt::LogLine("Command: 0x" + hex2(command));
  kyt::LogLine("Payload: [" + list + "]");
  kyt::LogLine("PEC: 0x" + hex2(pec));

  json bytes = json::array();
  for (uint8_t byte : payload) bytes.push_back(static_cast<uint64_t>(byte));
  json params = json::object();
  params["address"] = static_cast<uint64_t>(address);
  params["command"] = static_cast<uint64_t>(command);
  params["payload"] = std::move(bytes);
  params["pec"] = static_cast<uint64_t>(pec);
  client->sendRequest("sendSmbusBlockWrite", params);
}

void KytController::init() {
  log("Version: " + getVersion());
  log("PMU Info: " + getPmuInfo().dump());
  try {
    log("Adapter Info: " + getAdapterInfo().dump());
  } catch (const std::runtime_error&) {
    // Boards without adapter information are accepted.
  }
}

uint32_t KytController::get_product_id(std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager, std::string serial) {
  auto device = usbDeviceManager->find_device(serial);
  if (!device) throw std::runtime_error("USB device not found for serial " + serial);
  return static_cast<uint32_t>(std::stoul(device->get_product_id(), nullptr, 16));
}

void KytController::setSleepFunction(SleepFunction function) {
  std::lock_guard<std::mutex> lock(sleepMutex);
  sleepFunction() = std::move(function);
}

void KytController::sleepFor(std::chrono::milliseconds duration) {
  SleepFunction function;
  {
    std::lock_guard<std::mutex> lock(sleepMutex);
    function = sleepFunction();
  }
  if (function) {
    function(duration);
    return;
  }
  // sleep_until resumes after signals until the deadline has passed.
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + duration);
}

void KytController::enterBootloader(std::shared_ptr<ftdi::FtdiDevice> device, uint16_t productId) {
  log("Entering bootloader...");
  log("Entering MPSSE mode");
  enterMpsseOrThrow(device);
  const GpioValues pins = chooseGpioValues(productId);
  log("Setting Boot0");
  writePins(device, pins.opcode, pins.bootSelect);
  sleepFor(std::chrono::seconds(1));
  log("Asserting reset");
  writePins(device, pins.opcode, pins.bootResetOn);
  sleepFor(std::chrono::seconds(5));
  log("Deasserting reset");
  writePins(device, pins.opcode, pins.bootResetOff);
  sleepFor(std::chrono::seconds(2));
  device->leaveMpsse();
}

void KytController::enterFirmware(std::shared_ptr<ftdi::FtdiDevice> device, uint16_t productId) {
  log("Entering main fimrware");
  enterMpsseOrThrow(device);
  const GpioValues pins = chooseGpioValues(productId);
  log("Asserting reset");
  writePins(device, pins.opcode, pins.fwResetOn);
  sleepFor(std::chrono::seconds(2));
  log("Deasserting reset");
  writePins(device, pins.opcode, pins.fwResetOff);
  sleepFor(std::chrono::seconds(2));
  device->leaveMpsse();
  log("Successfully entered into firmware after chip reset");
}

void KytController::reset() {
  const uint16_t productId = static_cast<uint16_t>(get_product_id(usbDeviceManager, serial) & 0xFFFF);
  const uint32_t index = ftdiDeviceManager->openDevice(0x0403, productId, INTERFACE_B, "", serial, 500);
  try {
    enterFirmware(ftdiDeviceManager->getDevice(index), productId);
  } catch (...) {
    // Do not leave the GPIO channel open behind a failed restart.
    ftdiDeviceManager->closeDevice(index);
    throw;
  }
  ftdiDeviceManager->closeDevice(index);
}

namespace {
const std::string kMonitorHeader = "time,voltage,current,power\n";
}  // namespace

void KytController::enablePowerMonitor(const std::string& filepath, uint32_t interval_ms) {
  if (interval_ms == 0) throw std::runtime_error("interval_ms must be greater than 0");
  // The file first: a monitor whose lines would go nowhere does not start, and a running one stays. It is emptied
  // only once a running monitor (which may write the same file) has stopped.
  // Never waits for the file (a FIFO nobody reads is refused); a record it cannot take now is a lost sample.
  const NonblockingFile file = OpenNonblocking(filepath, 0);
  const int fd = file.fd;
  if (fd < 0) throw std::runtime_error("Failed to open the power monitor log " + filepath + ": " + file.reason);
  // A second start replaces the running monitor: stop it first, as disabling would.
  const std::string report = stopPowerMonitor();
  if (!report.empty()) {
    ::close(fd);
    throw std::runtime_error(report);
  }
  if (::ftruncate(fd, 0) != 0) {
    // A device (/dev/null, a terminal) has nothing to empty.
  }
  const ssize_t written = ::write(fd, kMonitorHeader.data(), kMonitorHeader.size());
  if (written != static_cast<ssize_t>(kMonitorHeader.size())) {
    const std::string reason = written < 0 ? std::strerror(errno) : "the file took only part of the header";
    ::close(fd);
    throw std::runtime_error("Failed to write the power monitor log " + filepath + ": " + reason);
  }
  std::lock_guard<std::mutex> lock(monitorMutex);
  monitorPath = filepath;
  monitorFd = fd;
  monitorSize = static_cast<int64_t>(kMonitorHeader.size());
  lostSamples = 0;
  lostReason.clear();
  monitorStop = false;
  monitorIntervalMs = interval_ms;
  monitorThread = std::thread(&KytController::monitorPower, this);
  log("Enabled power monitoring");
}

void KytController::disablePowerMonitor() {
  log("Disabling power monitoring");
  const std::string report = stopPowerMonitor();
  if (!report.empty()) throw std::runtime_error(report);
}

std::string KytController::stopPowerMonitor() {
  std::unique_lock<std::mutex> lock(monitorMutex);
  if (!monitorThread.joinable()) return "";
  monitorStop = true;
  lock.unlock();
  monitorWake.notify_all();
  // A measurement in flight is not awaited: a silent board would hold the stop for the reply time-out.
  client->interruptWaits();
  monitorThread.join();
  lock.lock();
  if (monitorFd >= 0) ::close(monitorFd);
  monitorFd = -1;
  std::string report;
  if (lostSamples > 0) {
    report = "The power monitor log " + monitorPath + " lost " + std::to_string(lostSamples) + " sample" +
             (lostSamples == 1 ? "" : "s") + ": " + lostReason;
  }
  lostSamples = 0;
  log("Disabled power monitoring");
  return report;
}

bool KytController::writeRecord(const std::string& record, std::string& reason) {
  std::string text = record;
  struct stat status {};
  if (monitorFd >= 0 && ::fstat(monitorFd, &status) == 0 && status.st_nlink == 0) {
    // The file was deleted (or its folder was): lines written on would reach no one.
    ::close(monitorFd);
    monitorFd = -1;
  }
  if (monitorFd < 0) {
    const NonblockingFile file = OpenNonblocking(monitorPath, O_TRUNC);
    monitorFd = file.fd;
    if (monitorFd < 0) {
      reason = "cannot create it again: " + file.reason;
      return false;
    }
    log("Created the power monitor log " + monitorPath + " again");
    monitorSize = 0;
    text = kMonitorHeader + record;
  }
  const ssize_t written = ::write(monitorFd, text.data(), text.size());
  if (written == static_cast<ssize_t>(text.size())) {
    monitorSize += written;
    return true;
  }
  if (written < 0) {
    reason = std::strerror(errno);
  } else {
    reason = "the file took only " + std::to_string(written) + " of " + std::to_string(text.size()) + " bytes";
    // Never leave a torn record behind: cut the file back to its last whole line.
    if (::ftruncate(monitorFd, monitorSize) == 0) ::lseek(monitorFd, monitorSize, SEEK_SET);
  }
  return false;
}

void KytController::monitorPower() {
  bool failing = false;
  std::unique_lock<std::mutex> lock(monitorMutex);
  while (!monitorStop) {
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(monitorIntervalMs);
    lock.unlock();
    const int64_t stamp =
        std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count() / 1000000;
    std::string record;
    try {
      json result = client->sendRequest("measurePower", nullptr, [this] { return monitorStop.load(); });
      if (!result.is_object() && !result.is_null()) {
        throw std::runtime_error("unexpected measurement " + brief(result));
      }
      auto field = [&result](const char* name) {
        if (result.is_object()) {
          auto it = result.find(name);
          if (it != result.end()) return it->dump();
        }
        return std::string("null");
      };
      record = std::to_string(stamp) + ',' + field("voltage") + ',' + field("current") + ',' + field("power") + '\n';
    } catch (const std::exception& e) {
      // A failed measurement loses this sample only; the monitor carries on.
      if (!monitorStop) log(std::string("Power measurement failed: ") + e.what());
    }
    std::string reason;
    const bool written = record.empty() || writeRecord(record, reason);
    lock.lock();
    if (!written) {
      // Logged when the failures begin or their reason changes, not once a sample.
      if (!failing || reason != lostReason) log("Failed to write the power monitor log " + monitorPath + ": " + reason);
      failing = true;
      ++lostSamples;
      lostReason = reason;
    } else if (!record.empty() && failing) {
      failing = false;
      log("Writing the power monitor log " + monitorPath + " again, " + std::to_string(lostSamples) +
          " samples lost so far");
    }
    monitorWake.wait_until(lock, deadline, [this] { return monitorStop.load(); });
  }
}

}  // namespace tyr::pmu
