// serialportOpen(devicePath, serial, interfaceNumber) → device index.
#ifndef KYT_JAVASCRIPT_JS_SERIALPORT_OPEN_H
#define KYT_JAVASCRIPT_JS_SERIALPORT_OPEN_H

#include <memory>

#include "devices/serial_port_manager.h"
#include "javascript/js_base.h"

namespace tyr {

class JsSerialPortOpen : public JsBase {
 public:
  JsSerialPortOpen(std::shared_ptr<serialport::SerialPortManager> manager, v8::Isolate* isolate);

 protected:
  void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override;

 private:
  std::shared_ptr<serialport::SerialPortManager> manager;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_SERIALPORT_OPEN_H
