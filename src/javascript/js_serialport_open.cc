#include "javascript/js_serialport_open.h"

#include <stdexcept>

namespace tyr {

JsSerialPortOpen::JsSerialPortOpen(std::shared_ptr<serialport::SerialPortManager> manager, v8::Isolate* isolate)
    : JsBase("serialport.open", isolate), manager(std::move(manager)) {}

void JsSerialPortOpen::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() != 3) throw std::runtime_error("Wrong number of arguments");
  std::string devicePath = ParseJsArgStdString(info[0], "devicePath");
  std::string serial = ParseJsArgStdString(info[1], "serial");
  uint32_t interfaceNumber = ParseJsArgUint32(info[2], "interfaceNumber");
  info.GetReturnValue().Set(manager->openDevice(devicePath, serial, interfaceNumber));
}

}  // namespace tyr
