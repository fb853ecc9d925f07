// Port write: writes a copy of the script's Buffer on a pool thread and answers
// callback(null, bytesWritten) once all of it went out, callback(negativeCode, null) when the
// device refuses, or callback(Error) saying how many bytes went out when the port took only part.
#ifndef KYT_JAVASCRIPT_JS_IOPORT_WRITE_ASYNC_H
#define KYT_JAVASCRIPT_JS_IOPORT_WRITE_ASYNC_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/io_port_device_manager.h"
#include "javascript/js_async.h"

namespace tyr {

class JsIoPortWriteAsync : public JsAsync {
 public:
  JsIoPortWriteAsync(std::shared_ptr<ioport::IoPortDeviceManager> manager, const std::string& prefix,
                     v8::Isolate* isolate);

 protected:
  void CallCallback() override;
  void ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
  void WorkAsync() override;
  // A write that waits for a port to drain: its environment ends, and the port with it.
  void Interrupt() override { port->close(); }

 private:
  std::shared_ptr<ioport::IoPortDeviceManager> manager;
  std::shared_ptr<ioport::IoPort> port;
  // A copy of the Buffer's bytes: the pool thread must not read script memory that the
  // script may change or release meanwhile.
  std::vector<uint8_t> data;
  int32_t written = 0;
  std::string failure;  // the port's pipe error, reported instead of writing
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_IOPORT_WRITE_ASYNC_H
