// Registry of open PMU boards: opens and closes their controllers on the boards' serial
// channels, keeps them polled, and programs a board's firmware through its bootloader.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <cstdint>
#include <vector>

#include "devices/ftdi_device_manager.h"
#include "devices/pmu/kyt_controller.h"
#include "devices/pollable_manager.h"
#include "devices/serial_port_manager.h"
#include "devices/usb_device_manager.h"

namespace tyr::pmu {

class KytControllerManager {
 public:
  KytControllerManager(std::shared_ptr<serialport::SerialPortManager> serialPortManager,
                       std::shared_ptr<ftdi::FtdiDeviceManager> ftdiDeviceManager,
                       std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager,
                       std::shared_ptr<threading::PollableManager> pollableManager);
  // Unregisters and closes every controller still open, in ascending id order.
  ~KytControllerManager();
  KytControllerManager(const KytControllerManager&) = delete;
  KytControllerManager& operator=(const KytControllerManager&) = delete;

  // Opens (or finds) the controller of that board interface; its id is the serial port's index.
  // A controller found whose serial port was closed (by the serial port methods) or has hung up
  // is replaced. Request ids of a board's link go on from its last session.
  uint32_t openController(const std::string& serial, uint32_t interfaceNumber, int baudRate);
  // Throws "Invalid device_id" for an id not open, and says so when the controller's serial
  // port was closed under it.
  std::shared_ptr<KytController> getController(uint32_t id);
  void closeController(uint32_t id);
  bool findControllerId(const std::string& serial, uint32_t interfaceNumber, uint32_t& id);
  // Refuses an image that cannot be programmed, then restarts the board into its bootloader,
  // programs the image and restarts it into it. A failure's text names the step and its cause,
  // and says where the board is: restarted into its firmware when the flash was not touched yet,
  // left in its bootloader (and the flash erased) otherwise.
  void updateFirmware(std::string serial, const std::vector<uint8_t>& firmware);

 private:
  static void log(const std::string& text);
  // Whether the serial port manager still holds the controller's own port under its id (the
  // script may have closed it, and the index may since belong to another port).
  bool portIsOpen(uint32_t id, const KytController& controller);
  // Stops the controller's power monitor, unregisters the controller and closes its port while
  // the port is still its own.
  void release(uint32_t id, const std::shared_ptr<KytController>& controller);

  std::shared_ptr<serialport::SerialPortManager> serialPortManager;
  std::shared_ptr<ftdi::FtdiDeviceManager> ftdiDeviceManager;
  std::shared_ptr<usb::UsbDeviceManager> usbDeviceManager;
  std::shared_ptr<threading::PollableManager> pollableManager;
  static std::string linkKey(const std::string& serial, uint32_t interfaceNumber);

  std::map<uint32_t, std::shared_ptr<KytController>> controllers;
  // The board link (serial number and interface) of each open controller, and the next request id of every link
  // opened so far (one entry per board: a bench has a handful).
  std::map<const KytController*, std::string> linkKeys;
  std::map<std::string, int32_t> nextIds;
};

}  // namespace tyr::pmu
