#include "javascript/js_hook_handler.h"

#include <node.h>

#include "utility/log_line.h"

namespace tyr {

namespace {

void FreeAsyncHandle(uv_handle_t* handle) {
  delete reinterpret_cast<uv_async_t*>(handle);
}

}  // namespace

JsHookHandler::JsHookHandler(HookHandlerType type)
    : async_(new uv_async_t()), type_(type), isolate_(v8::Isolate::GetCurrent()) {
  uv_loop_t* loop = isolate_ != nullptr ? node::GetCurrentEventLoop(isolate_) : nullptr;
  if (loop == nullptr) {
    delete async_;
    throw std::runtime_error("hook handler: no event loop for the current isolate");
  }
  const int rc = uv_async_init(loop, async_, &JsHookHandler::HandleAsyncRequest);
  if (rc != 0) {
    delete async_;
    throw std::runtime_error(std::string("hook handler: uv_async_init failed: ") + uv_strerror(rc));
  }
  async_->data = this;
  // Not referenced: an idle hook must not keep the process from ending (see the header).
  uv_unref(reinterpret_cast<uv_handle_t*>(async_));
}

JsHookHandler::~JsHookHandler() {
  async_->data = nullptr;  // a signal delivered before the close completes finds no handler
  uv_close(reinterpret_cast<uv_handle_t*>(async_), &FreeAsyncHandle);
  callback_.Reset();
}

bool JsHookHandler::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (status_) {
    case kHookBusy:
      kyt::LogLine("NVME: JsHookHandler::Start - Status Busy");
      return false;
    case kHookError:
      kyt::LogLine("NVME: JsHookHandler::Start - Status Error");
      return false;
    case kHookIdle:
      if (callback_.IsEmpty()) return true;  // nobody to ask: the step is done at once
      uv_async_send(async_);
      status_ = kHookBusy;
      return true;
    default:
      kyt::LogLine("NVME: JsHookhandler::Start - Invalid Status " + std::to_string(static_cast<int32_t>(status_)));
      return false;
  }
}

std::string JsHookHandler::GetError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

bool JsHookHandler::HasError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_ == kHookError;
}

bool JsHookHandler::IsBusy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_ == kHookBusy || answering_;
}

void JsHookHandler::SetError(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = kHookError;
  error_ = message;
}

bool JsHookHandler::SetStatus(HookHandlerStatus status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status == kHookBusy) return false;  // only Start makes a hook busy
  status_ = status;
  return true;
}

bool JsHookHandler::SetCallback(v8::Local<v8::Function> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status_ != kHookIdle) return false;
  callback_.Reset();
  if (!callback.IsEmpty()) callback_.Reset(isolate_, callback);
  return true;
}

bool JsHookHandler::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status_ == kHookBusy) return false;
  callback_.Reset();
  error_.clear();
  status_ = kHookIdle;
  return true;
}

void JsHookHandler::CallCallback() {
  v8::HandleScope scope(isolate_);
  v8::Local<v8::Function> callback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (callback_.IsEmpty()) return;
    callback = callback_.Get(isolate_);
  }
  // The lock is free from here on: the script may answer from inside its callback.
  v8::Local<v8::Context> context;
  if (!callback->GetCreationContext().ToLocal(&context)) return;
  v8::Context::Scope context_scope(context);
  v8::Local<v8::Value> argv[1] = {v8::Integer::NewFromUnsigned(isolate_, static_cast<uint32_t>(type_))};
  // In the host's callback scope, so that promise reactions queued by the callback run right after it, when the scope
  // closes.
  node::CallbackScope callback_scope(isolate_, context->Global(), node::async_context{0, 0});
  const std::string thrown = Answer(context, callback, argv);
  if (!thrown.empty()) {
    kyt::LogLine("NVME: JsHookHandler: the hook's handler threw: " + thrown);
    SetError(thrown);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  answering_ = false;
}

std::string JsHookHandler::Answer(v8::Local<v8::Context> context, v8::Local<v8::Function> callback,
                                  v8::Local<v8::Value>* argv) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answering_ = true;
  }
  // An exception of the callback is the hook's answer: the step failed with the exception's text, and the work
  // waiting on the hook ends with it (as an uncaught exception it would end the whole process instead).
  v8::TryCatch try_catch(isolate_);
  (void)callback->Call(context, context->Global(), 1, argv);
  if (!try_catch.HasCaught() || !try_catch.CanContinue()) return "";
  v8::Local<v8::Value> exception = try_catch.Exception();
  v8::Local<v8::Value> message;
  if (exception->IsObject() &&
      exception.As<v8::Object>()->Get(context, v8::String::NewFromUtf8Literal(isolate_, "message")).ToLocal(&message) &&
      message->IsString()) {
    return *v8::String::Utf8Value(isolate_, message);
  }
  v8::Local<v8::String> string;
  if (exception->ToString(context).ToLocal(&string)) return *v8::String::Utf8Value(isolate_, string);
  return "hook handler threw an exception";
}

void JsHookHandler::HandleAsyncRequest(uv_async_t* handle) {
  auto* handler = static_cast<JsHookHandler*>(handle->data);
  if (handler != nullptr) handler->CallCallback();
}

}  // namespace tyr
