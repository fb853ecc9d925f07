// ftdiOpen(vendor, product, interface, description, serial, readInterval) → device index.
#ifndef KYT_JAVASCRIPT_JS_FTDI_OPEN_H
#define KYT_JAVASCRIPT_JS_FTDI_OPEN_H

#include <memory>

#include "devices/ftdi_device_manager.h"
#include "javascript/js_base.h"

namespace tyr {

class JsFtdiOpen : public JsBase {
 public:
  JsFtdiOpen(std::shared_ptr<ftdi::FtdiDeviceManager> manager, v8::Isolate* isolate);

 protected:
  void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override;

 private:
  std::shared_ptr<ftdi::FtdiDeviceManager> manager;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_FTDI_OPEN_H
