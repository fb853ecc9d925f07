// Opens, numbers and closes FTDI devices; each open device is polled by the poll thread.
#pragma once

#include <ftdi.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/ftdi_device.h"
#include "devices/io_port_device_manager.h"
#include "devices/pollable_manager.h"
#include "devices/port_table.h"

namespace tyr::ftdi {

class FtdiDeviceManager : public ioport::IoPortDeviceManager {
 public:
  explicit FtdiDeviceManager(std::shared_ptr<threading::PollableManager> pollableManager);
  // Closes every device still open (through the table).
  ~FtdiDeviceManager() = default;

  FtdiDeviceManager(const FtdiDeviceManager&) = delete;
  FtdiDeviceManager& operator=(const FtdiDeviceManager&) = delete;

  bool isValidDeviceIndex(uint32_t devIdx) override;
  std::shared_ptr<FtdiDevice> getDevice(uint32_t devIdx);
  std::shared_ptr<ioport::IoPort> getIoPortDevice(uint32_t devIdx) override;
  std::vector<FtdiDeviceInfo> findDevices(uint32_t vendor, uint32_t product);
  // Opens a device under the lowest free index and registers it with the poll thread.
  uint32_t openDevice(uint32_t vendor, uint32_t product, ftdi_interface interface, const std::string& description,
                      const std::string& serial, uint32_t pollingIntervalMs);
  void closeDevice(uint32_t devIdx) override;
  // Text of a libftdi1 open error code.
  static std::string getErrorMessage(int errorCode);

 private:
  ioport::PortTable<FtdiDevice> devices;
};

}  // namespace tyr::ftdi
