#include "javascript/js_ftdi_open.h"

#include <stdexcept>

namespace tyr {

JsFtdiOpen::JsFtdiOpen(std::shared_ptr<ftdi::FtdiDeviceManager> manager, v8::Isolate* isolate)
    : JsBase("ftdi.open", isolate), manager(std::move(manager)) {}

void JsFtdiOpen::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() != 6) throw std::runtime_error("Wrong number of arguments");
  uint32_t vendor = ParseJsArgUint32(info[0], "deviceInfo.vendor");
  uint32_t product = ParseJsArgUint32(info[1], "deviceInfo.product");
  uint32_t interface = ParseJsArgUint32(info[2], "deviceInfo.interface");
  std::string description = ParseJsArgStdString(info[3], "deviceInfo.description");
  std::string serial = ParseJsArgStdString(info[4], "deviceInfo.serial");
  uint32_t readInterval = ParseJsArgUint32(info[5], "deviceInfo.readInterval");
  uint32_t index = manager->openDevice(vendor, product, static_cast<ftdi_interface>(interface), description, serial,
                                       readInterval);
  info.GetReturnValue().Set(index);
}

}  // namespace tyr
