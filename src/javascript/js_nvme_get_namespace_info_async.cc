#include "javascript/js_nvme_get_namespace_info_async.h"

#include "runner/get_namespace_info_runner.h"

namespace tyr {
namespace nodejs {

JsNvmeGetNamespaceInfoAsync::JsNvmeGetNamespaceInfoAsync(v8::Isolate* isolate, std::shared_ptr<NvmeDriver> driver,
                                                         std::string bdf)
    : JsNvmeAsyncBase("nvme.getNamespaceInfo", isolate, std::move(driver), std::move(bdf)) {}

JsNvmeGetNamespaceInfoAsync::~JsNvmeGetNamespaceInfoAsync() = default;

void JsNvmeGetNamespaceInfoAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgCount(info, 2);
  const uint32_t nsid = ParseJsArgUint32(info[0], "nsid");
  ParseCallback(info[1]);
  CheckReady();
  auto* task = new GetNamespaceInfoRunner(bdf());
  task->SetNamespaceId(nsid);
  Launch(task);
}

void JsNvmeGetNamespaceInfoAsync::CallCallback() {
  auto* task = static_cast<GetNamespaceInfoRunner*>(GetTask());
  if (task->IsAborted()) {
    CallbackError("failed to get namespace info");
    return;
  }
  v8::Local<v8::Object> result = CreateJsObject();
  SetJsPropBool(result, "isActive", task->IsActive());
  SetJsPropUint32(result, "lbaSize", task->GetLbaSize());
  SetJsPropUint32(result, "metaSize", task->GetMetaSize());
  SetJsPropUint64(result, "size", task->GetSize());
  CallbackSuccess(result);
}

}  // namespace nodejs
}  // namespace tyr
