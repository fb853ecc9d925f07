#include "javascript/js_serialport_get_device_list.h"

#include <stdexcept>

namespace tyr {

JsSerialPortGetDeviceList::JsSerialPortGetDeviceList(std::shared_ptr<serialport::SerialPortManager> manager,
                                                     v8::Isolate* isolate)
    : JsBase("serialport.getDeviceList", isolate), manager(std::move(manager)) {}

void JsSerialPortGetDeviceList::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() != 0) throw std::runtime_error("Wrong number of arguments");
  std::vector<serialport::SerialPortInfo> ports = manager->findDevices();
  v8::Local<v8::Array> list = CreateJsArray(static_cast<uint32_t>(ports.size()));
  for (uint32_t i = 0; i < ports.size(); ++i) {
    v8::Local<v8::Object> entry = CreateJsObject();
    SetJsPropStdString(entry, "devicePath", ports[i].devicePath);
    SetJsPropStdString(entry, "serial", ports[i].serial);
    SetJsPropUint32(entry, "interfaceNumber", ports[i].interfaceNumber);
    SetArrayElement(list, i, entry);
  }
  info.GetReturnValue().Set(list);
}

}  // namespace tyr
