#include "devices/pmu/kyt_controller_manager.h"

#include <stdexcept>

#include "devices/pmu/stm32_bootloader.h"
#include "utility/log_line.h"

namespace tyr::pmu {

KytControllerManager::KytControllerManager(std::shared_ptr<serialport::SerialPortManager> serialPortManager,
                                           std::shared_ptr<ftdi::FtdiDeviceManager> ftdiDeviceManager,
                                           std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager,
                                           std::shared_ptr<threading::PollableManager> pollableManager)
    : serialPortManager(std::move(serialPortManager)),
      ftdiDeviceManager(std::move(ftdiDeviceManager)),
      usbDeviceManager(std::move(usbDeviceManager)),
      pollableManager(std::move(pollableManager)) {}

KytControllerManager::~KytControllerManager() {
  for (auto& [id, controller] : controllers) {
    try {
      release(id, controller);
    } catch (const std::exception& e) {
      log("failed to close the port of controller " + std::to_string(id) + ": " + e.what());
    }
  }
  controllers.clear();
}

void KytControllerManager::log(const std::string& text) { kyt::LogLine("KytConrollerManager: " + text); }

bool KytControllerManager::portIsOpen(uint32_t id, const KytController& controller) {
  return serialPortManager->isValidDeviceIndex(id) && serialPortManager->getDevice(id) == controller.getSerialPort();
}

std::string KytControllerManager::linkKey(const std::string& serial, uint32_t interfaceNumber) {
  return serial + "/" + std::to_string(interfaceNumber);
}

void KytControllerManager::release(uint32_t id, const std::shared_ptr<KytController>& controller) {
  // The monitor first, while the board is still polled: a measurement in flight gets its answer instead of waiting
  // out the reply time-out.
  const std::string report = controller->stopPowerMonitor();
  if (!report.empty()) log(report);
  // The next session of this link goes on counting request ids: a late reply of this one answers nothing there.
  auto key = linkKeys.find(controller.get());
  if (key != linkKeys.end()) {
    nextIds[key->second] = controller->getClient().getNextId();
    linkKeys.erase(key);
  }
  pollableManager->removePollable(controller);
  if (portIsOpen(id, *controller)) serialPortManager->closeDevice(id);
}

uint32_t KytControllerManager::openController(const std::string& serial, uint32_t interfaceNumber, int baudRate) {
  uint32_t id = serialPortManager->openDevice("", serial, interfaceNumber);
  auto found = controllers.find(id);
  if (found != controllers.end()) {
    if (portIsOpen(id, *found->second) && !found->second->linkFailed()) {
      log("returning the existing controller ID");
      return id;
    }
    // Its port was closed or has failed: it could only fail every call.
    log("replacing controller " + std::to_string(id) + ", whose serial port was closed or has failed");
    std::shared_ptr<KytController> stale = found->second;
    controllers.erase(found);
    const bool portFailed = portIsOpen(id, *stale);
    release(id, stale);
    if (portFailed) id = serialPortManager->openDevice("", serial, interfaceNumber);
  }
  auto port = serialPortManager->getDevice(id);
  if (!port->setBaudRate(baudRate)) {
    serialPortManager->closeDevice(id);
    throw std::runtime_error("Failed to set baud rate");
  }
  auto controller = std::make_shared<KytController>(port, ftdiDeviceManager, usbDeviceManager, serial, 1);
  const std::string key = linkKey(serial, interfaceNumber);
  auto next = nextIds.find(key);
  if (next != nextIds.end()) controller->getClient().setNextId(next->second);
  linkKeys[controller.get()] = key;
  controllers[id] = controller;
  pollableManager->addPollable(controller);
  log("Opened KYT Controller, ID: " + std::to_string(id));
  return id;
}

std::shared_ptr<KytController> KytControllerManager::getController(uint32_t id) {
  auto found = controllers.find(id);
  if (found == controllers.end()) throw std::runtime_error("Invalid device_id");
  if (!portIsOpen(id, *found->second)) {
    throw std::runtime_error("The serial port of PMU controller " + std::to_string(id) + " is closed");
  }
  return found->second;
}

void KytControllerManager::closeController(uint32_t id) {
  auto found = controllers.find(id);
  if (found == controllers.end()) throw std::runtime_error("Invalid device_id");
  release(id, found->second);
  controllers.erase(found);
  log("Closed KYT Controller, ID: " + std::to_string(id));
}

bool KytControllerManager::findControllerId(const std::string& serial, uint32_t interfaceNumber, uint32_t& id) {
  uint32_t index = 0;
  if (!serialPortManager->findDeviceIdFromSerial(serial, interfaceNumber, index)) return false;
  if (controllers.count(index) == 0) return false;
  id = index;
  return true;
}

void KytControllerManager::updateFirmware(std::string serial, const std::vector<uint8_t>& firmware) {
  Stm32Bootloader::checkImage(firmware);
  kyt::LogLine("KytControllerManager: Starting firmware update procedure...");
  const uint16_t productId = static_cast<uint16_t>(KytController::get_product_id(usbDeviceManager, serial) & 0xFFFF);
  const uint32_t gpioIndex = ftdiDeviceManager->openDevice(0x0403, productId, INTERFACE_B, "", serial, 10);
  // Channels opened for the update are closed again whatever happens.
  struct Closer {
    std::shared_ptr<ftdi::FtdiDeviceManager> manager;
    std::vector<uint32_t> indices;
    ~Closer() {
      for (uint32_t index : indices) {
        try {
          manager->closeDevice(index);
        } catch (const std::exception&) {
        }
      }
    }
  } closer{ftdiDeviceManager, {gpioIndex}};
  auto gpio = ftdiDeviceManager->getDevice(gpioIndex);
  const uint32_t uartIndex = ftdiDeviceManager->openDevice(0x0403, productId, INTERFACE_A, "", serial, 10);
  closer.indices.push_back(uartIndex);
  auto uart = ftdiDeviceManager->getDevice(uartIndex);
  Stm32Bootloader loader(uart);
  try {
    try {
      KytController::enterBootloader(gpio, productId);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("Entering the bootloader failed: ") + e.what());
    }
    loader.updateFirmware(firmware);
  } catch (const std::exception& e) {
    std::string text = std::string("Firmware update failed: ") + e.what() + ". ";
    if (loader.flashTouched()) {
      // Restarting now would start a blank or half-written firmware: the board stays where a retry can reach it.
      text += "The flash was erased and the board is in its bootloader";
    } else {
      try {
        KytController::enterFirmware(gpio, productId);
        text += "The flash was not touched; the board was restarted into its firmware";
      } catch (const std::exception& restart) {
        text += std::string("The flash was not touched, but restarting the board into its firmware failed: ") +
                restart.what();
      }
    }
    log(text);
    throw std::runtime_error(text);
  }
  try {
    KytController::enterFirmware(gpio, productId);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Firmware update failed: the image was programmed, but restarting the board "
                                         "into it failed: ") + e.what());
  }
  closer.indices.clear();
  ftdiDeviceManager->closeDevice(gpioIndex);
  ftdiDeviceManager->closeDevice(uartIndex);
  kyt::LogLine("KytControllerManager: Firmware update completed successfully.");
}

}  // namespace tyr::pmu
