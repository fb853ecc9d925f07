// Host-side controller of one kytrix PMU board: JSON-RPC calls over the board's serial
// line, microcontroller restarts through the FTDI GPIO channel, and the power-monitor log.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "devices/ftdi_device.h"
#include "devices/ftdi_device_manager.h"
#include "devices/pollable.h"
#include "devices/serial_port.h"
#include "devices/usb_device_manager.h"
#include "lib/rpc/json_rpc_client.h"

namespace tyr::pmu {

class KytController : public threading::Pollable {
 public:
  KytController(std::shared_ptr<serialport::SerialPort> serialPort,
                std::shared_ptr<ftdi::FtdiDeviceManager> ftdiDeviceManager,
                std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager, std::string serial,
                uint32_t pollingIntervalMs);
  // Stops a running power monitor first (its owner should have stopped it while the board was still polled).
  ~KytController() override;
  KytController(const KytController&) = delete;
  KytController& operator=(const KytController&) = delete;

  // Runs the JSON-RPC client's receive step (poll thread).
  void poll() override;
  uint32_t getPollingIntervalMs() const override;

  // Remote calls; each waits for the board's answer (5 s at most), and ends at once when the port fails.
  // A result of the wrong JSON type is an error naming the method, the field and what came instead.
  std::string getVersion();
  nlohmann::json getPmuInfo();
  nlohmann::json getAdapterInfo();
  nlohmann::json getDebugBoardInfo();
  uint8_t getFanSpeed();
  // The board's measurement: an object (with "voltage", "current" and "power"); anything else is an error.
  nlohmann::json measurePower(bool log);
  nlohmann::json getReceivedSmbusBlockWrite();
  // Speeds above 100 are refused with a log line and an error, without a request.
  void setFanSpeed(uint8_t speed);
  void changePower(const std::string& powerSupply, const std::string& state);
  void sendSmbusBlockWrite(uint8_t address, uint8_t command, const std::vector<uint8_t>& payload);

  // Logs the board's version, PMU information and (when offered) adapter information.
  void init();
  // Restarts the board's microcontroller into its firmware through channel B's GPIO pins.
  void reset();

  // Power-monitor log: one CSV line per interval with the board's measurement. A file that
  // cannot be opened or written is an error naming the path, and nothing starts. Each record is
  // written whole or not at all: a failed or short write is logged with its reason and the sample
  // counted as lost; writing resumes when the file takes data again (a deleted file is created
  // anew). Replacing a running monitor whose log lost samples throws stopPowerMonitor's report,
  // and the new one is not started.
  void enablePowerMonitor(const std::string& filepath, uint32_t interval_ms);
  // Stops the monitor; throws stopPowerMonitor's report when its log lost samples.
  void disablePowerMonitor();
  // Stops a running monitor without throwing; returns the text naming the path and how many
  // samples were lost, or empty when none were (or none was running).
  std::string stopPowerMonitor();
  // Whether the link to the board failed for good (its port hung up).
  bool linkFailed() { return !client->lineFailure().empty(); }

  // Rewords an error response; never returns.
  [[noreturn]] static void checkErrorCode(jsonrpc::JsonRpcResponseError& error, std::string method);
  // USB product id of the device with that serial number.
  static uint32_t get_product_id(std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager, std::string serial);
  // GPIO sequences on an opened FTDI channel (B): restart into the bootloader / firmware.
  static void enterBootloader(std::shared_ptr<ftdi::FtdiDevice> device, uint16_t productId);
  static void enterFirmware(std::shared_ptr<ftdi::FtdiDevice> device, uint16_t productId);

  // SMBus packet error code: CRC-8, polynomial 0x07, initial 0, no reflection.
  static uint8_t smbusPec(const std::vector<uint8_t>& bytes);

  // The wait used between GPIO steps; tests replace it to avoid real multi-second pauses.
  using SleepFunction = std::function<void(std::chrono::milliseconds)>;
  static void setSleepFunction(SleepFunction function);

  // JSON-RPC client (exposed so tests can shorten its time-out).
  jsonrpc::JsonRpcClient& getClient() { return *client; }
  const std::shared_ptr<serialport::SerialPort>& getSerialPort() const { return serialPort; }

 private:
  void monitorPower();
  // Appends one record to the monitor's file; false with the reason when it did not go in whole.
  bool writeRecord(const std::string& record, std::string& reason);
  static void sleepFor(std::chrono::milliseconds duration);
  static void log(const std::string& text);

  std::shared_ptr<serialport::SerialPort> serialPort;
  std::shared_ptr<ftdi::FtdiDeviceManager> ftdiDeviceManager;
  std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager;
  std::string serial;
  std::unique_ptr<jsonrpc::JsonRpcClient> client;
  jsonrpc::RpcInterface rpcInterface;
  uint32_t pollingIntervalMs;
  std::mutex monitorMutex;
  std::condition_variable monitorWake;
  uint32_t monitorIntervalMs = 0;
  // Set under monitorMutex; also read without it by the measurement in flight, which a stop
  // cancels rather than awaits.
  std::atomic<bool> monitorStop{false};
  // The monitor's file: written only by the monitor thread while it runs.
  std::string monitorPath;
  int monitorFd = -1;
  int64_t monitorSize = 0;  // bytes of whole records in the file
  uint64_t lostSamples = 0;
  std::string lostReason;
  std::thread monitorThread;
};

}  // namespace tyr::pmu
