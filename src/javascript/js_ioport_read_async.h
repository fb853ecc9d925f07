// Port read: takes bytes from the read buffer (or copies the search buffer) on a pool thread
// and hands them to callback(null, ArrayBuffer); once the port's device is gone and nothing is
// left to hand out, callback(Error) says so.
#ifndef KYT_JAVASCRIPT_JS_IOPORT_READ_ASYNC_H
#define KYT_JAVASCRIPT_JS_IOPORT_READ_ASYNC_H

#include <memory>
#include <string>

#include "devices/io_port_device_manager.h"
#include "javascript/js_async.h"

namespace tyr {

class JsIoPortReadAsync : public JsAsync {
 public:
  JsIoPortReadAsync(std::shared_ptr<ioport::IoPortDeviceManager> manager, const std::string& prefix,
                    v8::Isolate* isolate);

 protected:
  void CallCallback() override;
  void ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
  void WorkAsync() override;

 private:
  std::shared_ptr<ioport::IoPortDeviceManager> manager;
  std::shared_ptr<ioport::IoPort> port;
  std::string data;
  std::string failure;
  uint32_t size = 0;
  bool buffered = false;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_IOPORT_READ_ASYNC_H
