#include "javascript/js_nvme_generic_functions.h"

#include "runner/generic_function_runner.h"

namespace tyr {
namespace nodejs {

void JsNvmeEnableDataValidatorAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  ParseValidatorArgs(info);
}

void JsNvmeDisableDataValidatorAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  ParseValidatorArgs(info);
}

void JsNvmeEnableCommandTrackerAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  ParseCallbackOnly(info);
}

void JsNvmeDisableCommandTrackerAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  ParseCallbackOnly(info);
}

void JsNvmeScanRemovalAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  ParseCallbackOnly(info);
}

void JsNvmeResetControllerAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  ParseCallbackOnly(info);
}

void JsNvmeShutdownAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  ParseCallbackOnly(info);
}

void JsNvmeSetCommandTrackerLogAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgCount(info, 2);
  std::string path = ParseJsArgStdString(info[0], "logPath");
  Finish(info[1], [&path](GenericFunctionRunner& runner) { runner.SetLogPath(path); });
}

void JsNvmeScanAttachmentAsync::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgCount(info, 2);
  const uint32_t timeout = ParseJsArgUint32(info[0], "timeout");
  Finish(info[1], [timeout](GenericFunctionRunner& runner) { runner.SetScanTimeout(timeout); });
}

void JsNvmeSetErrorInjection::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  CheckArgCount(info, 8);
  const uint16_t qid = static_cast<uint16_t>(ParseJsArgUint32(info[0], "qid"));
  const uint8_t opc = static_cast<uint8_t>(ParseJsArgUint32(info[1], "opc"));
  const bool do_not_submit = ParseJsArgBool(info[2], "doNotSubmit");
  const uint32_t counts = ParseJsArgUint32(info[3], "counts");
  const uint64_t timeout_us = ParseJsArgUint64(info[4], "timeoutInUs");
  const uint8_t sct = static_cast<uint8_t>(ParseJsArgUint32(info[5], "sct"));
  const uint8_t sc = static_cast<uint8_t>(ParseJsArgUint32(info[6], "sc"));
  Finish(info[7], [&](GenericFunctionRunner& runner) {
    runner.SetErrorInjection(qid, opc, do_not_submit, timeout_us, counts, sct, sc);
  });
}

}  // namespace nodejs
}  // namespace tyr
