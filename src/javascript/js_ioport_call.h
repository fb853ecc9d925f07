// Base of the device-neutral port calls: a synchronous method object that reaches an open
// port (FTDI channel or serial port) through its manager. The call's name is the manager's
// prefix ("ftdi" or "serialport"), a full stop and the operation.
#ifndef KYT_JAVASCRIPT_JS_IOPORT_CALL_H
#define KYT_JAVASCRIPT_JS_IOPORT_CALL_H

#include <memory>
#include <string>

#include "devices/io_port_device_manager.h"
#include "javascript/js_base.h"

namespace tyr {

class JsIoPortCall : public JsBase {
 public:
  JsIoPortCall(std::shared_ptr<ioport::IoPortDeviceManager> manager, const std::string& prefix, const char* operation,
               v8::Isolate* isolate);

 protected:
  // Throws "Wrong number of arguments" unless the call has exactly count arguments.
  static void CheckArgumentCount(const v8::FunctionCallbackInfo<v8::Value>& info, int count);
  // The open port of that index; throws "invalid device index", or the error of the port's pipe
  // file when writing it failed since the script last touched the port.
  std::shared_ptr<ioport::IoPort> Port(uint32_t devIdx) {
    auto port = manager->getIoPortDevice(devIdx);
    port->checkPipe();
    return port;
  }

  std::shared_ptr<ioport::IoPortDeviceManager> manager;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_IOPORT_CALL_H
