// getNamespaceInfo(nsid, callback): one namespace's {isActive, lbaSize, metaSize, size}; an inactive or unknown
// namespace answers isActive false and zeros.
#ifndef KYT_JAVASCRIPT_JS_NVME_GET_NAMESPACE_INFO_ASYNC_H
#define KYT_JAVASCRIPT_JS_NVME_GET_NAMESPACE_INFO_ASYNC_H

#include "javascript/js_nvme_async_base.h"

namespace tyr {
namespace nodejs {

class JsNvmeGetNamespaceInfoAsync : public JsNvmeAsyncBase {
 public:
  JsNvmeGetNamespaceInfoAsync(v8::Isolate* isolate, std::shared_ptr<NvmeDriver> driver, std::string bdf);
  ~JsNvmeGetNamespaceInfoAsync() override;

 protected:
  void ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
  void CallCallback() override;
};

}  // namespace nodejs
}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_NVME_GET_NAMESPACE_INFO_ASYNC_H
