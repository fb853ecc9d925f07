#include "devices/pmu/dorvan_controller.h"

#include <stdexcept>

#include "utility/log_line.h"

namespace tyr::pmu {

namespace {
constexpr char kStx = '\x02';
constexpr char kEtx = '\x03';

std::string framed(const char* body) { return std::string(1, kStx) + body + std::string(1, kEtx); }
}  // namespace

const std::string DorvanController::power_on_cmds_[3] = {"1", framed("pmu(pwr,on)"), framed("pwr,1")};
const std::string DorvanController::power_off_cmds_[3] = {"0", framed("pmu(pwr,off)"), framed("pwr,0")};

DorvanController::DorvanController(std::shared_ptr<serialport::SerialPort> port, uint32_t deviceId,
                                   DorvanControllerModel model)
    : port(std::move(port)), deviceId(deviceId), model(model) {
  if (static_cast<uint32_t>(model) > static_cast<uint32_t>(DorvanControllerModel::PmuBrask))
    throw std::invalid_argument("DorvanController: unknown model " + std::to_string(static_cast<uint32_t>(model)));
}

void DorvanController::powerOn() { send("powerOn", power_on_cmds_[static_cast<uint32_t>(model)]); }

void DorvanController::powerOff() { send("powerOff", power_off_cmds_[static_cast<uint32_t>(model)]); }

void DorvanController::send(const char* operation, const std::string& command) {
  kyt::LogLine(std::string("DorvanController: ") + operation + " using " + command);
  try {
    port->writeAll(command);
  } catch (const std::exception& e) {
    // A box that did not get the whole command has not switched.
    throw std::runtime_error(std::string(operation) + ": the relay power box did not get its command: " + e.what());
  }
}

}  // namespace tyr::pmu
