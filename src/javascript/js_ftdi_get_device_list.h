// ftdiGetDeviceList(vendor, product): the attached FTDI devices with those ids.
#ifndef KYT_JAVASCRIPT_JS_FTDI_GET_DEVICE_LIST_H
#define KYT_JAVASCRIPT_JS_FTDI_GET_DEVICE_LIST_H

#include <memory>

#include "devices/ftdi_device_manager.h"
#include "javascript/js_base.h"

namespace tyr {

class JsFtdiGetDeviceList : public JsBase {
 public:
  JsFtdiGetDeviceList(std::shared_ptr<ftdi::FtdiDeviceManager> manager, v8::Isolate* isolate);

 protected:
  void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override;

 private:
  std::shared_ptr<ftdi::FtdiDeviceManager> manager;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_FTDI_GET_DEVICE_LIST_H
