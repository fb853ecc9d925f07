#include "javascript/js_ioport_sync_calls.h"

#include <stdexcept>

namespace tyr {

void JsIoPortClose::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgumentCount(info, 1);
  uint32_t devIdx = ParseJsArgUint32(info[0], "devIdx");
  manager->closeDevice(devIdx);
}

void JsIoPortSetBaudRate::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgumentCount(info, 2);
  uint32_t devIdx = ParseJsArgUint32(info[0], "devIdx");
  int32_t baudRate = ParseJsArgInt32(info[1], "baudRate");
  bool ok = Port(devIdx)->setBaudRate(baudRate);
  info.GetReturnValue().Set(ok);
}

void JsIoPortSetParity::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgumentCount(info, 2);
  uint32_t devIdx = ParseJsArgUint32(info[0], "devIdx");
  std::string text = ParseJsArgStdString(info[1], "parity");
  auto parity = ioport::IoPort::kStringParityMap.find(text);
  if (parity == ioport::IoPort::kStringParityMap.end())
    throw std::runtime_error("\"" + text + "\" is invalid value for argument \"parity\"");
  if (!Port(devIdx)->setParity(parity->second)) throw std::runtime_error("Failed to set parity");
}

void JsIoPortPipe::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgumentCount(info, 4);
  uint32_t devIdx = ParseJsArgUint32(info[0], "devIdx");
  std::string path = ParseJsArgStdString(info[1], "path");
  bool useTimestamp = ParseJsArgBool(info[2], "useTimestamp");
  bool append = ParseJsArgBool(info[3], "append");
  bool ok = Port(devIdx)->pipe(path, useTimestamp, append);
  info.GetReturnValue().Set(ok);
}

void JsIoPortUnpipe::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgumentCount(info, 1);
  uint32_t devIdx = ParseJsArgUint32(info[0], "devIdx");
  Port(devIdx)->unpipe();
}

void JsIoPortPipeText::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgumentCount(info, 2);
  uint32_t devIdx = ParseJsArgUint32(info[0], "devIdx");
  std::string text = ParseJsArgStdString(info[1], "log");
  Port(devIdx)->pipeText(text, false);
}

void JsIoPortFlushBuffer::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgumentCount(info, 2);
  uint32_t devIdx = ParseJsArgUint32(info[0], "devIdx");
  uint32_t offset = ParseJsArgUint32(info[1], "offset");
  auto port = Port(devIdx);
  try {
    port->flush(offset);
  } catch (const std::out_of_range& e) {
    throw std::runtime_error(e.what());
  }
}

void JsIoPortUseBinaryMode::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgumentCount(info, 1);
  Port(ParseJsArgUint32(info[0], "devIdx"))->useBinaryMode();
}

void JsIoPortUseTextMode::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgumentCount(info, 1);
  Port(ParseJsArgUint32(info[0], "devIdx"))->useTextMode();
}

void JsIoPortGetErrorCode::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgumentCount(info, 1);
  int32_t code = Port(ParseJsArgUint32(info[0], "devIdx"))->getErrorCode();
  info.GetReturnValue().Set(code);
}

}  // namespace tyr
