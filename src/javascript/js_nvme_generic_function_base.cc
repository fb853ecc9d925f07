#include "javascript/js_nvme_generic_function_base.h"

#include "javascript/js_event.h"
#include "runner/generic_function_runner.h"

namespace tyr {
namespace nodejs {

JsNvmeGenericFunctionBase::JsNvmeGenericFunctionBase(v8::Isolate* isolate, std::shared_ptr<NvmeDriver> driver,
                                                     std::string bdf, std::string name, std::string function_name,
                                                     uint32_t code)
    : JsNvmeAsyncBase(std::move(name), isolate, std::move(driver), std::move(bdf)),
      function_name_(std::move(function_name)),
      code_(code) {}

JsNvmeGenericFunctionBase::~JsNvmeGenericFunctionBase() = default;

void JsNvmeGenericFunctionBase::Finish(v8::Local<v8::Value> callback,
                                       const std::function<void(GenericFunctionRunner&)>& configure) {
  ParseCallback(callback);
  CheckReady();
  auto* runner = new GenericFunctionRunner(bdf(), function_name_);
  runner->SetFunctionCode(code_);
  if (configure) configure(*runner);
  Launch(runner);
}

void JsNvmeGenericFunctionBase::ParseValidatorArgs(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const int count = info.Length();
  if (count != 1 && count != 2) throw std::runtime_error("Wrong number of arguments");
  v8::Local<v8::Object> options = count == 2 ? ParseJsArgObject(info[0], "options") : CreateJsObject();
  const uint32_t nsid =
      ParseJsPropUint32(options, "options", "nsid", GenericFunctionRunner::kAllNamespaces);
  Finish(info[count - 1], [nsid](GenericFunctionRunner& runner) {
    runner.SetDeviceCheck(true);
    runner.SetNamespaceId(nsid);
  });
}

void JsNvmeGenericFunctionBase::ParseCallbackOnly(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgCount(info, 1);
  Finish(info[0], nullptr);
}

void JsNvmeGenericFunctionBase::CallCallback() {
  TaskBase* task = GetTask();
  if (task->IsAborted() && task->IsArgumentRefused()) {
    // A value the script gave that this controller cannot honour: a TypeError as for any refused argument.
    v8::Isolate* isolate = GetIsolate();
    InvokeCallback(v8::Exception::TypeError(CreateJsString(GetName() + " : " + task->GetErrorMessage())),
                   v8::Null(isolate));
    return;
  }
  if (task->IsAborted()) {
    InvokeCallback(JsEvent::TaskError(GetIsolate(), *task), v8::Null(GetIsolate()));
    return;
  }
  v8::Local<v8::Object> result = CreateJsObject();
  SetJsPropStdString(result, "status", "OK");
  CallbackSuccess(result);
}

}  // namespace nodejs
}  // namespace tyr
