// Base of the ten generic-function methods (data validator, command tracker, scans, reset, shutdown, error
// injection): each runs one GenericFunctionRunner with its function code and inputs and calls back with
// {status: "OK"} or Error(the task's message).
#ifndef KYT_JAVASCRIPT_JS_NVME_GENERIC_FUNCTION_BASE_H
#define KYT_JAVASCRIPT_JS_NVME_GENERIC_FUNCTION_BASE_H

#include <functional>
#include <memory>
#include <string>

#include "javascript/js_nvme_async_base.h"

class GenericFunctionRunner;

namespace tyr {
namespace nodejs {

class JsNvmeGenericFunctionBase : public JsNvmeAsyncBase {
 public:
  JsNvmeGenericFunctionBase(v8::Isolate* isolate, std::shared_ptr<NvmeDriver> driver, std::string bdf,
                            std::string name, std::string function_name, uint32_t code);
  ~JsNvmeGenericFunctionBase() override;

 protected:
  void CallCallback() override;
  // The last steps of every parse: the callback, the ready test, then the runner (its inputs set by `configure`)
  // is made and handed to the worker.
  void Finish(v8::Local<v8::Value> callback, const std::function<void(GenericFunctionRunner&)>& configure);
  // The options form of the data validator methods: (callback) or (options, callback); options.nsid, default all.
  void ParseValidatorArgs(const v8::FunctionCallbackInfo<v8::Value>& info);
  // The plain form: (callback) only.
  void ParseCallbackOnly(const v8::FunctionCallbackInfo<v8::Value>& info);

 private:
  std::string function_name_;
  uint32_t code_;
};

}  // namespace nodejs
}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_NVME_GENERIC_FUNCTION_BASE_H
