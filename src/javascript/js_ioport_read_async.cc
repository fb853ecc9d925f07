#include "javascript/js_ioport_read_async.h"

#include <cstring>
#include <stdexcept>

namespace tyr {

JsIoPortReadAsync::JsIoPortReadAsync(std::shared_ptr<ioport::IoPortDeviceManager> manager, const std::string& prefix,
                                     v8::Isolate* isolate)
    : JsAsync(prefix + ".read", isolate), manager(std::move(manager)) {}

void JsIoPortReadAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() != 4) throw std::runtime_error("Wrong number of arguments");
  uint32_t devIdx = ParseJsArgUint32(info[0], "devIdx");
  size = ParseJsArgUint32(info[1], "size");
  buffered = ParseJsArgBool(info[2], "buffered");
  ParseCallback(info[3]);
  port = manager->getIoPortDevice(devIdx);
}

void JsIoPortReadAsync::WorkAsync() {
  try {
    port->checkPipe();
    data = buffered ? port->bufferedRead() : port->read(size);
  } catch (const std::exception& e) {
    failure = e.what();  // the device is gone
  }
}

void JsIoPortReadAsync::CallCallback() {
  v8::Isolate* isolate = GetIsolate();
  v8::HandleScope scope(isolate);
  if (!failure.empty()) {
    CallbackError(failure);
    return;
  }
  v8::Local<v8::ArrayBuffer> bytes = v8::ArrayBuffer::New(isolate, data.size());
  if (!data.empty()) std::memcpy(bytes->GetBackingStore()->Data(), data.data(), data.size());
  CallbackSuccess(bytes);
}

}  // namespace tyr
