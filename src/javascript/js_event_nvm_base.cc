#include "javascript/js_event_nvm_base.h"

#include <stdexcept>

JsEventNvmBase::JsEventNvmBase(std::string bdf, v8::Isolate* isolate, const std::string& command_name,
                               uint32_t code)
    : JsEvent(bdf, isolate), runner_(new NvmCmdRunner(bdf, command_name)) {
  runner_->SetCommandCode(code);
  set_runner(runner_);
}

JsEventNvmBase::~JsEventNvmBase() { delete runner_; }

void JsEventNvmBase::CallCallback() {
  if (runner_->IsAborted() && runner_->GetErrorMessage() == "data mismatch" && HasCallback()) {
    v8::HandleScope scope(isolate());
    v8::Local<v8::Value> error = RunnerError();
    SetMismatchData(error, runner_->GetMismatch());
    InvokeCallback(error, v8::Null(isolate()));
    return;
  }
  CallbackWithCompletion(runner_->GetCompletion());
}

v8::Local<v8::Object> JsEventNvmBase::ParseReadWriteArgs(const v8::FunctionCallbackInfo<v8::Value>& info) {
  const uint64_t start_lba = ParseJsArgUint64(info[0], "startLba");
  const uint32_t num_blocks = ParseJsArgUint32(info[1], "numBlocks");
  // One command moves 1 to 65536 blocks (a zero-based 16-bit count); anything else is refused before submission.
  if (num_blocks == 0 || num_blocks > NvmCmdRunner::kMaxBlocks) {
    throw std::runtime_error("argument \"numBlocks\" must be a value in [1 - 65536]");
  }
  runner_->SetLbaRange(start_lba, num_blocks);
  v8::Local<v8::Object> options = ParseJsArgObject(info[2], "options");
  runner_->SetNamespaceId(ParseJsPropUint32(options, "options", "nsid", 0));
  runner_->SetQueueId(static_cast<uint16_t>(ParseJsPropUint32(options, "options", "qid", 0)));
  return options;
}
