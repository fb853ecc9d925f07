#include "javascript/js_ftdi_get_device_list.h"

#include <stdexcept>

namespace tyr {

JsFtdiGetDeviceList::JsFtdiGetDeviceList(std::shared_ptr<ftdi::FtdiDeviceManager> manager, v8::Isolate* isolate)
    : JsBase("ftdi.getDeviceList", isolate), manager(std::move(manager)) {}

void JsFtdiGetDeviceList::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() != 2) throw std::runtime_error("Wrong number of arguments");
  uint32_t vendor = ParseJsArgUint32(info[0], "options.vendor");
  uint32_t product = ParseJsArgUint32(info[1], "options.product");
  std::vector<ftdi::FtdiDeviceInfo> devices = manager->findDevices(vendor, product);
  v8::Local<v8::Array> list = CreateJsArray(static_cast<uint32_t>(devices.size()));
  for (uint32_t i = 0; i < devices.size(); ++i) {
    v8::Local<v8::Object> entry = CreateJsObject();
    SetJsPropStdString(entry, "description", devices[i].description);
    SetJsPropStdString(entry, "serial", devices[i].serial);
    SetJsPropStdString(entry, "vendor", devices[i].manufacturer);
    SetJsPropUint32(entry, "vendorId", devices[i].vendorId);
    SetJsPropUint32(entry, "productId", devices[i].productId);
    SetArrayElement(list, i, entry);
  }
  info.GetReturnValue().Set(list);
}

}  // namespace tyr
