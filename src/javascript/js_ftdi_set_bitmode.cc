#include "javascript/js_ftdi_set_bitmode.h"

#include <stdexcept>

namespace tyr {

JsFtdiSetBitmode::JsFtdiSetBitmode(std::shared_ptr<ftdi::FtdiDeviceManager> manager, v8::Isolate* isolate)
    : JsBase("ftdi.setBitmode", isolate), manager(std::move(manager)) {}

void JsFtdiSetBitmode::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() != 3) throw std::runtime_error("Wrong number of arguments");
  uint32_t devIdx = ParseJsArgUint32(info[0], "devIdx");
  uint32_t bitmask = ParseJsArgUint32(info[1], "bitmode.bitmask");
  uint32_t mode = ParseJsArgUint32(info[2], "bitmode.mode");
  bool ok = manager->getDevice(devIdx)->setBitmode(static_cast<uint8_t>(bitmask & 0xFF),
                                                   static_cast<uint8_t>(mode & 0xFF));
  info.GetReturnValue().Set(ok);
}

}  // namespace tyr
