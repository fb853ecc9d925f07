#include "javascript/js_ioport_write_async.h"

#include <climits>
#include <stdexcept>

namespace tyr {

JsIoPortWriteAsync::JsIoPortWriteAsync(std::shared_ptr<ioport::IoPortDeviceManager> manager,
                                       const std::string& prefix, v8::Isolate* isolate)
    : JsAsync(prefix + ".write", isolate), manager(std::move(manager)) {}

void JsIoPortWriteAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() != 3) throw std::runtime_error("Wrong number of arguments");
  uint32_t devIdx = ParseJsArgUint32(info[0], "devIdx");
  ParseJsArgBufferLength(info[1], "data", static_cast<size_t>(INT_MAX));
  ParseCallback(info[2]);
  port = manager->getIoPortDevice(devIdx);
  // Copied only for a port that exists (no script code runs between the check and the copy).
  data = ParseJsArgBufferToVector(info[1], "data");
}

void JsIoPortWriteAsync::WorkAsync() {
  try {
    port->checkPipe();
  } catch (const std::exception& e) {
    failure = e.what();  // reported instead of writing
    return;
  }
  written = port->write(data.data(), static_cast<int>(data.size()));
}

void JsIoPortWriteAsync::CallCallback() {
  v8::Isolate* isolate = GetIsolate();
  v8::HandleScope scope(isolate);
  if (!failure.empty()) {
    CallbackError(failure);
    return;
  }
  v8::Local<v8::Value> count = v8::Number::New(isolate, written);
  // A write that took fewer bytes than given is no success: say how far it got.
  if (written >= 0 && static_cast<size_t>(written) < data.size()) {
    CallbackError("Only " + std::to_string(written) + " of " + std::to_string(data.size()) +
                  " bytes were written: the port failed or stopped taking data");
    return;
  }
  if (written < 0)
    InvokeCallback(count, v8::Null(isolate));
  else
    InvokeCallback(v8::Null(isolate), count);
}

}  // namespace tyr
