#include "javascript/js_event.h"

#include <node_buffer.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "javascript/js_environment.h"
#include "javascript/task_completion_notifier.h"
#include "nvme/completion_status.h"
#include "nvme/nvme_driver.h"
#include "runner/workload_generation_records.h"
#include "utility/log_line.h"
#include "utility/task_base.h"

JsEvent::JsEvent(std::string bdf, v8::Isolate* isolate)
    : JsValueKit(isolate, HostRefusal::kNamed), bdf_(std::move(bdf)) {
  if (isolate != nullptr && isolate->InContext()) context_.Reset(isolate, isolate->GetCurrentContext());
}

JsEvent::~JsEvent() {
  callback_.Reset();
  for (OwnedCopy& copy : owned_) copy.view.Reset();
  owned_.clear();
  context_.Reset();
}

void JsEvent::Finish(JsEvent* event) {
  if (event->environment_ && event->environment_->IsEnding()) {
    delete event;
    return;
  }
  kyt::LogLine("NVME: JsEvent: Calling callback");
  {
    v8::HandleScope scope(event->isolate());
    v8::Local<v8::Context> ctx =
        event->context_.IsEmpty() ? event->isolate()->GetCurrentContext() : event->context_.Get(event->isolate());
    v8::Context::Scope context_scope(ctx);
    try {
      event->CallCallback();
    } catch (const std::exception& e) {
      kyt::LogLine(std::string("NVME: JsEvent: ASSERT: callback failed: ") + e.what());
    }
  }
  delete event;
}

bool JsEvent::Start(JsEvent* event, const v8::FunctionCallbackInfo<v8::Value>& info,
                    std::shared_ptr<NvmeDriver> driver) {
  std::shared_ptr<tyr::JsEnvironment> environment;
  std::shared_ptr<tyr::TaskCompletionNotifier> notifier;
  try {
    environment = tyr::JsEnvironment::ForIsolate(info.GetIsolate());
    notifier = environment->Notifier();
  } catch (...) {
    delete event;
    throw;
  }
  if (!event->ParseParameters(info)) {
    delete event;
    return false;
  }
  event->SetDriver(driver);
  event->environment_ = std::move(environment);
  // Before the hand-over: the worker may release the runner at once.
  notifier->Watch(event->GetRunner(), [event] { Finish(event); });
  if (event->GetRunner() != nullptr) driver->AddTask(event->GetRunner());
  return true;
}

bool JsEvent::Guard(const std::string& prefix, const std::function<void()>& parse) {
  prefix_ = prefix;
  try {
    parse();
    return true;
  } catch (const std::exception& e) {
    ThrowJsException(prefix + e.what());
  } catch (...) {
    ThrowJsException(prefix + "unexpected error");
  }
  return false;
}

void JsEvent::InvokeCallback(v8::Local<v8::Value> error, v8::Local<v8::Value> result) {
  v8::Local<v8::Function> fn = callback_.Get(isolate());
  v8::Local<v8::Value> argv[2] = {error, result};
  v8::Local<v8::Context> ctx = Context();
  // Through node::MakeCallback so that the script's next-tick queue and promise jobs run after the callback.
  node::MakeCallback(isolate(), ctx->Global(), fn, 2, argv, node::async_context{0, 0});
}

v8::Local<v8::Value> JsEvent::TaskError(v8::Isolate* isolate, const TaskBase& task) {
  v8::Local<v8::Context> context = isolate->GetCurrentContext();
  auto text = [isolate](const std::string& value) {
    return v8::String::NewFromUtf8(isolate, value.data(), v8::NewStringType::kNormal, static_cast<int>(value.size()))
        .ToLocalChecked();
  };
  v8::Local<v8::Value> error = v8::Exception::Error(text(task.GetErrorMessage()));
  const TaskBase::ErrorDetail& detail = task.GetErrorDetail();
  if (!detail.Empty()) {
    v8::Local<v8::Object> data = v8::Object::New(isolate);
    data->Set(context, text("cause"), text(detail.cause)).Check();
    data->Set(context, text("action"), text(detail.action)).Check();
    error.As<v8::Object>()->Set(context, text("data"), data).Check();
  }
  return error;
}

v8::Local<v8::Value> JsEvent::RunnerError() {
  const std::string message = runner_->GetErrorMessage();
  if (runner_->IsArgumentRefused()) return v8::Exception::TypeError(CreateJsString(prefix_ + message));
  return TaskError(isolate(), *runner_);
}

bool JsEvent::CallbackIfAborted() {
  if (runner_ == nullptr || !runner_->IsAborted()) return false;
  InvokeCallback(RunnerError(), v8::Null(isolate()));
  return true;
}

void JsEvent::CallCallback() {
  v8::HandleScope scope(isolate());
  if (callback_.IsEmpty() || CallbackIfAborted()) return;
  InvokeCallback(v8::Null(isolate()), CreateJsString("Completed"));
}

v8::Local<v8::Object> JsEvent::MakeCompletionResult(const spdk_nvme_cpl& cpl) {
  const kyt::nvme::CompletionStatus s(cpl);
  v8::Local<v8::Object> result = CreateJsObject();
  SetJsPropUint32(result, "cdw", cpl.cdw0);
  SetJsPropUint32(result, "sqhd", cpl.sqhd);
  SetJsPropUint32(result, "sqid", cpl.sqid);
  SetJsPropUint32(result, "cid", cpl.cid);
  v8::Local<v8::Object> status = CreateJsObject();
  SetJsPropUint32(status, "sc", s.Code());
  SetJsPropUint32(status, "sct", s.Type());
  SetJsPropUint32(status, "m", s.More());
  SetJsPropUint32(status, "p", s.Phase());
  SetJsPropUint32(status, "dnr", s.DoNotRetry());
  SetJsPropObject(result, "status", status);
  return result;
}

void JsEvent::SetMismatchData(v8::Local<v8::Value> error, const DataMismatchRecord& mismatch) {
  // Which block did not hold what was written there, and what it held instead.
  v8::Local<v8::Object> data = CreateJsObject();
  SetJsPropUint64(data, "lba", mismatch.lba);
  SetJsPropUint32(data, "expected", mismatch.expected);
  SetJsPropUint32(data, "found", mismatch.found);
  SetJsPropObject(error.As<v8::Object>(), "data", data);
}

void JsEvent::CallbackWithCompletion(const spdk_nvme_cpl& cpl) {
  v8::HandleScope scope(isolate());
  if (callback_.IsEmpty() || CallbackIfAborted()) return;
  v8::Local<v8::Object> result = MakeCompletionResult(cpl);
  const kyt::nvme::CompletionStatus status(cpl);
  if (status.Failed()) {
    // A command ended by its time-out says so; the completion still tells which command it was.
    const char* text = status.HostTimedOut() ? "Command Timed Out" : "command error";
    v8::Local<v8::Value> error = v8::Exception::Error(CreateJsString(text));
    SetJsPropObject(error.As<v8::Object>(), "data", result);
    InvokeCallback(error, v8::Null(isolate()));
  } else {
    InvokeCallback(v8::Null(isolate()), result);
  }
}

v8::Local<v8::Object> JsEvent::ParseBdfAndCallback(const v8::FunctionCallbackInfo<v8::Value>& info, int n) {
  const int count = info.Length();
  if (count != n - 1 && count != n) {
    throw std::runtime_error("requires " + std::to_string(n - 1) + " or " + std::to_string(n) + " arguments");
  }
  v8::Local<v8::Value> last = info[count - 1];
  if (!last->IsFunction()) throw std::runtime_error("argument callback must be a Function");
  SetCallback(last.As<v8::Function>());
  if (count == n - 1) return CreateJsObject();
  v8::Local<v8::Value> options = info[n - 2];
  if (!options->IsObject()) throw std::runtime_error("argument option must be an Object");
  v8::Local<v8::Object> object = options.As<v8::Object>();
  SetBdfFromObject(object);
  return object;
}

void JsEvent::ParseCallback(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() == 0) throw std::runtime_error("requires at least one argument");
  v8::Local<v8::Value> last = info[info.Length() - 1];
  if (!last->IsFunction()) throw std::runtime_error("argument callback must be a Function");
  SetCallback(last.As<v8::Function>());
}

void JsEvent::SetCallback(v8::Local<v8::Function> callback) {
  callback_.Reset();
  if (!callback.IsEmpty()) callback_.Reset(isolate(), callback);
}

void JsEvent::SetBdfFromObject(v8::Local<v8::Object> object) {
  if (object.IsEmpty()) return;
  v8::Local<v8::Value> bdf = GetProp(object, "bdf");
  if (bdf->IsString()) bdf_ = GetJsStdString(bdf.As<v8::String>(), "options.bdf");
}

// ---- the events' own conversions ----

void JsEvent::EcArray(v8::Local<v8::Array> array, const std::string& name, IgnoreErrorArray& out) {
  const uint32_t length = array->Length();
  for (uint32_t i = 0; i < length; ++i) {
    v8::HandleScope scope(isolate());
    v8::Local<v8::Value> element;
    v8::TryCatch try_catch(isolate());
    if (!array->Get(Context(), i).ToLocal(&element)) {
      throw std::runtime_error(name + "[" + std::to_string(i) + "] could not be read");
    }
    if (element->IsNullOrUndefined()) {
      throw std::runtime_error(name + "[" + std::to_string(i) + "] must be an Object");
    }
    v8::Local<v8::Object> entry;
    if (!element->ToObject(Context()).ToLocal(&entry)) {
      throw std::runtime_error(name + "[" + std::to_string(i) + "] must be an Object");
    }
    const uint16_t sct = static_cast<uint16_t>(GetJsPropUint32(entry, "sct"));
    const uint16_t sc = static_cast<uint16_t>(GetJsPropUint32(entry, "sc"));
    out.push_back(ErrorCode{sct, sc});
  }
}

JsHeldBuffer JsEvent::ParseJsDataPattern(v8::Local<v8::Object> options) {
  v8::Local<v8::Value> value = GetProp(options, "dataPattern");
  if (value->IsUndefined()) return JsHeldBuffer{};
  if (!node::Buffer::HasInstance(value)) throw std::runtime_error("options.dataPattern must be a Object");
  // The pattern checked is the event's own copy, and that copy is the one written.
  const JsHeldBuffer pattern = HoldBuffer(value, "options.dataPattern");
  if ((pattern.length & 7) != 0) {
    throw std::runtime_error("options.dataPattern should be a Buffer with size that is multiples of 8.");
  }
  return pattern;
}
void JsEvent::ParseJsEcArray(v8::Local<v8::Value> value, const std::string& prefix, const std::string& name,
                             IgnoreErrorArray& out) {
  if (!value->IsArray()) throw std::runtime_error(prefix + "." + name + "must be a Array");
  EcArray(value.As<v8::Array>(), name, out);
}

// ---- positional arguments ----

JsHeldBuffer JsEvent::ParseJsArgBuffer(v8::Local<v8::Value> value, const std::string& name, size_t most_copied) {
  if (!node::Buffer::HasInstance(value)) throw ArgError(name, "must be a Buffer");
  return HoldBuffer(value, ArgName(name), most_copied);
}

JsHeldBuffer JsEvent::HoldBuffer(v8::Local<v8::Value> value, const std::string& what, size_t most_copied) {
  if (value.IsEmpty() || !value->IsArrayBufferView()) throw std::runtime_error(what + " must be a Buffer");
  v8::Local<v8::ArrayBufferView> view = value.As<v8::ArrayBufferView>();
  // The length as it is now (a view of a resizable buffer follows its buffer; a detached one has none).
  const size_t whole = view->ByteLength();
  if (whole > std::numeric_limits<uint32_t>::max()) {
    throw std::runtime_error(what + " must be a Buffer of at most 4294967295 bytes");
  }
  const size_t length = std::min(whole, most_copied);
  // Whole 8-byte words: the copy is aligned for the readers of 64-bit patterns whatever the view's offset.
  OwnedCopy copy;
  copy.words.resize((length + 7) / 8);
  if (length > 0) view->CopyContents(copy.words.data(), length);
  copy.length = length;
  copy.whole = whole;
  copy.view.Reset(isolate(), view);
  // Memory of a fixed length is pinned for the copy back: it stays where it is even when the script detaches or
  // transfers the buffer meanwhile. A resizable one is not pinned (it may shrink under the pin).
  std::shared_ptr<v8::BackingStore> store = view->Buffer()->GetBackingStore();
  if (length > 0 && store && !store->IsResizableByUserJavaScript() && store->Data() != nullptr &&
      view->ByteOffset() + length <= store->ByteLength()) {
    copy.store = std::move(store);
    copy.offset = view->ByteOffset();
  }
  owned_.push_back(std::move(copy));
  return JsHeldBuffer{reinterpret_cast<uint8_t*>(owned_.back().words.data()), length, whole};
}

bool JsEvent::CopyBack(const JsHeldBuffer& held) {
  for (OwnedCopy& copy : owned_) {
    if (reinterpret_cast<uint8_t*>(copy.words.data()) != held.data || copy.view.IsEmpty()) continue;
    if (copy.length == 0) return true;
    if (copy.store) {
      std::memcpy(static_cast<uint8_t*>(copy.store->Data()) + copy.offset, held.data, copy.length);
      return true;
    }
    v8::Local<v8::ArrayBufferView> view = copy.view.Get(isolate());
    if (view->ByteLength() != copy.whole) return false;  // shrunk or grown meanwhile
    v8::Local<v8::ArrayBuffer> buffer = view->Buffer();
    uint8_t* target = static_cast<uint8_t*>(buffer->Data());
    if (target == nullptr) return false;
    std::memcpy(target + view->ByteOffset(), held.data, copy.length);
    return true;
  }
  return false;
}
