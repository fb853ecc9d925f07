#include "javascript/js_async.h"

#include <node.h>

#include <stdexcept>

#include "javascript/js_environment.h"
#include "utility/log_line.h"

namespace tyr {

JsAsync::JsAsync(std::string name, v8::Isolate* isolate) : JsBase(std::move(name), isolate) {
  request_ = uv_work_t();
  request_.data = this;
}

JsAsync::~JsAsync() {
  callback_.Reset();
  context_.Reset();
}

void JsAsync::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  context_.Reset(GetIsolate(), Context());
  environment_ = JsEnvironment::ForIsolate(GetIsolate());
  ParseParameters(info);
  if (EndsElsewhere()) return;
  if (uv_queue_work(node::GetCurrentEventLoop(GetIsolate()), &request_, &JsAsync::Work, &JsAsync::WorkAfter) != 0) {
    // The loop refuses work only while it is closing. Work may already have been started elsewhere by the parse
    // step, so the object cannot simply be dropped: finish the call here.
    Work(&request_);
    WorkAfter(&request_, 0);
    return;
  }
  queued_ = true;
  environment_->WorkQueued(this);
}

void JsAsync::Work(uv_work_t* request) {
  static_cast<JsAsync*>(request->data)->WorkAsync();
}

void JsAsync::WorkAfter(uv_work_t* request, int /*status*/) { static_cast<JsAsync*>(request->data)->Complete(); }

void JsAsync::Complete() {
  const std::shared_ptr<JsEnvironment> environment = environment_;
  // Once the environment ends no script may run: the call then goes without its callback.
  if (!environment->IsEnding()) {
    v8::Isolate* isolate = GetIsolate();
    v8::HandleScope scope(isolate);
    v8::Local<v8::Context> context = context_.IsEmpty() ? isolate->GetCurrentContext() : context_.Get(isolate);
    v8::Context::Scope context_scope(context);
    try {
      CallCallback();
    } catch (const std::exception& e) {
      kyt::LogLine(GetName() + " : callback failed: " + e.what());
    } catch (...) {
      kyt::LogLine(GetName() + " : callback failed");
    }
  }
  if (queued_) environment->WorkDone(this);
  delete this;
}

void JsAsync::ParseCallback(v8::Local<v8::Value> value) {
  if (value.IsEmpty() || !value->IsFunction()) throw std::runtime_error("callback must be a Function");
  callback_.Reset();
  callback_.Reset(GetIsolate(), value.As<v8::Function>());
}

void JsAsync::InvokeCallback(v8::Local<v8::Value> error, v8::Local<v8::Value> result) {
  v8::Isolate* isolate = GetIsolate();
  v8::HandleScope scope(isolate);
  if (callback_.IsEmpty()) return;
  v8::Local<v8::Context> context = isolate->GetCurrentContext();
  v8::Local<v8::Value> argv[2] = {error, result};
  node::MakeCallback(isolate, context->Global(), callback_.Get(isolate), 2, argv, node::async_context{0, 0});
}

void JsAsync::CallbackSuccess(v8::Local<v8::Value> result) {
  InvokeCallback(v8::Null(GetIsolate()), result);
}

void JsAsync::CallbackError(const std::string& message) {
  InvokeCallback(v8::Exception::Error(CreateJsString(message)), v8::Null(GetIsolate()));
}

}  // namespace tyr
