// getDeviceInfo(callback): the controller's limits {maxXferSize, maxQueueDepth, maxNamespaceId}, and
// ignoredCompletions: the completion entries the driver ignored since attachment (they matched no command outstanding
// under their identifier).
#ifndef KYT_JAVASCRIPT_JS_NVME_GET_DEVICE_INFO_ASYNC_H
#define KYT_JAVASCRIPT_JS_NVME_GET_DEVICE_INFO_ASYNC_H

#include "javascript/js_nvme_async_base.h"

namespace tyr {
namespace nodejs {

class JsNvmeGetDeviceInfoAsync : public JsNvmeAsyncBase {
 public:
  JsNvmeGetDeviceInfoAsync(v8::Isolate* isolate, std::shared_ptr<NvmeDriver> driver, std::string bdf);
  ~JsNvmeGetDeviceInfoAsync() override;

 protected:
  void ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
  void CallCallback() override;
};

}  // namespace nodejs
}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_NVME_GET_DEVICE_INFO_ASYNC_H
