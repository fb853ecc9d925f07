#include "javascript/js_nvme_get_device_info_async.h"

#include "runner/get_device_info_runner.h"

namespace tyr {
namespace nodejs {

JsNvmeGetDeviceInfoAsync::JsNvmeGetDeviceInfoAsync(v8::Isolate* isolate, std::shared_ptr<NvmeDriver> driver,
                                                   std::string bdf)
    : JsNvmeAsyncBase("nvme.getDeviceInfo", isolate, std::move(driver), std::move(bdf)) {}

JsNvmeGetDeviceInfoAsync::~JsNvmeGetDeviceInfoAsync() = default;

void JsNvmeGetDeviceInfoAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgCount(info, 1);
  ParseCallback(info[0]);
  CheckReady();
  Launch(new GetDeviceInfoRunner(bdf()));
}

void JsNvmeGetDeviceInfoAsync::CallCallback() {
  auto* task = static_cast<GetDeviceInfoRunner*>(GetTask());
  if (task->IsAborted()) {
    CallbackError(task->GetErrorMessage());
    return;
  }
  v8::Local<v8::Object> result = CreateJsObject();
  SetJsPropUint32(result, "maxXferSize", task->GetMaxXferSize());
  SetJsPropUint32(result, "maxQueueDepth", task->GetMaxQueueDepth());
  SetJsPropUint32(result, "maxNamespaceId", task->GetMaxNamespaceId());
  SetJsPropUint64(result, "ignoredCompletions", task->GetIgnoredCompletions());
  CallbackSuccess(result);
}

}  // namespace nodejs
}  // namespace tyr
