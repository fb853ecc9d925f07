#include "javascript/js_event.h"

#include <node_buffer.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "javascript/js_base.h"
#include "javascript/js_environment.h"
#include "javascript/task_completion_notifier.h"
#include "nvme/completion_status.h"
#include "nvme/nvme_driver.h"
#include "runner/task_base.h"
#include "runner/workload_generation_records.h"

namespace {

std::string Quoted(const std::string& name) { return "argument \"" + name + "\""; }

// The host's own integer conversion of a number (ToInteger, saturated to the signed 64-bit range, NaN 0), as bits.
uint64_t NumberToInteger64(double number) {
  if (std::isnan(number)) return 0;
  if (number >= 9223372036854775807.0) return static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (number <= -9223372036854775808.0) return static_cast<uint64_t>(std::numeric_limits<int64_t>::min());
  return static_cast<uint64_t>(static_cast<int64_t>(number));
}

}  // namespace

JsEvent::JsEvent(std::string bdf, v8::Isolate* isolate) : isolate_(isolate), bdf_(std::move(bdf)) {
  if (isolate_ != nullptr && isolate_->InContext()) context_.Reset(isolate_, isolate_->GetCurrentContext());
}

JsEvent::~JsEvent() {
  callback_.Reset();
  for (OwnedCopy& copy : owned_) copy.view.Reset();
  for (auto& key : keys_) key.second.Reset();
  keys_.clear();
  owned_.clear();
  context_.Reset();
}

void JsEvent::Finish(JsEvent* event) {
  if (event->environment_ && event->environment_->IsEnding()) {
    delete event;
    return;
  }
  std::cout << "NVME: JsEvent: Calling callback" << std::endl;
  {
    v8::HandleScope scope(event->isolate_);
    v8::Local<v8::Context> ctx =
        event->context_.IsEmpty() ? event->isolate_->GetCurrentContext() : event->context_.Get(event->isolate_);
    v8::Context::Scope context_scope(ctx);
    try {
      event->CallCallback();
    } catch (const std::exception& e) {
      std::cout << "NVME: JsEvent: ASSERT: callback failed: " << e.what() << std::endl;
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
  v8::Local<v8::Function> fn = callback_.Get(isolate_);
  v8::Local<v8::Value> argv[2] = {error, result};
  v8::Local<v8::Context> ctx = context();
  // Through node::MakeCallback so that the script's next-tick queue and promise jobs run after the callback.
  node::MakeCallback(isolate_, ctx->Global(), fn, 2, argv, node::async_context{0, 0});
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
  return TaskError(isolate_, *runner_);
}

bool JsEvent::CallbackIfAborted() {
  if (runner_ == nullptr || !runner_->IsAborted()) return false;
  InvokeCallback(RunnerError(), v8::Null(isolate_));
  return true;
}

void JsEvent::CallCallback() {
  v8::HandleScope scope(isolate_);
  if (callback_.IsEmpty() || CallbackIfAborted()) return;
  InvokeCallback(v8::Null(isolate_), CreateJsString("Completed"));
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
  v8::HandleScope scope(isolate_);
  if (callback_.IsEmpty() || CallbackIfAborted()) return;
  v8::Local<v8::Object> result = MakeCompletionResult(cpl);
  const kyt::nvme::CompletionStatus status(cpl);
  if (status.Failed()) {
    // A command ended by its time-out says so; the completion still tells which command it was.
    const char* text = status.HostTimedOut() ? "Command Timed Out" : "command error";
    v8::Local<v8::Value> error = v8::Exception::Error(CreateJsString(text));
    SetJsPropObject(error.As<v8::Object>(), "data", result);
    InvokeCallback(error, v8::Null(isolate_));
  } else {
    InvokeCallback(v8::Null(isolate_), result);
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
  if (!callback.IsEmpty()) callback_.Reset(isolate_, callback);
}

void JsEvent::SetBdfFromObject(v8::Local<v8::Object> object) {
  if (object.IsEmpty()) return;
  v8::Local<v8::Value> bdf = GetProp(object, "bdf");
  if (bdf->IsString()) bdf_ = GetJsStdString(bdf.As<v8::String>(), "options.bdf");
}

void JsEvent::ThrowJsException(const std::string& text) {
  isolate_->ThrowException(v8::Exception::TypeError(CreateJsString(text)));
}

// ---- property access ----

v8::Local<v8::String> JsEvent::Key(const std::string& name) {
  auto found = keys_.find(name);
  if (found != keys_.end()) return found->second.Get(isolate_);
  v8::Local<v8::String> key = v8::String::NewFromUtf8(isolate_, name.c_str(), v8::NewStringType::kInternalized)
                                  .FromMaybe(v8::String::Empty(isolate_));
  keys_.emplace(name, v8::Global<v8::String>(isolate_, key));
  return key;
}

v8::Local<v8::Value> JsEvent::GetProp(v8::Local<v8::Object> obj, const std::string& name) {
  v8::TryCatch try_catch(isolate_);
  v8::Local<v8::Value> value;
  if (!obj->Get(context(), Key(name)).ToLocal(&value)) {
    throw std::runtime_error("property \"" + name + "\" could not be read");
  }
  return value;
}

bool JsEvent::SetProp(v8::Local<v8::Object> obj, const std::string& name, v8::Local<v8::Value> value) {
  return obj->Set(context(), CreateJsString(name), value).FromMaybe(false);
}

bool JsEvent::IsJsPropString(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsString();
}
bool JsEvent::IsJsPropObject(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsObject();
}
bool JsEvent::IsJsPropArray(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsArray();
}
bool JsEvent::IsJsPropNumber(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsNumber();
}
bool JsEvent::IsJsPropBoolean(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsBoolean();
}
bool JsEvent::IsJsPropUndefined(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsUndefined();
}

v8::Local<v8::String> JsEvent::GetJsPropString(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  v8::TryCatch try_catch(isolate_);
  v8::Local<v8::String> text;
  if (!value->ToString(context()).ToLocal(&text)) {
    throw std::runtime_error("property \"" + name + "\" could not be converted to a String");
  }
  return text;
}
v8::Local<v8::Object> JsEvent::GetJsPropObject(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  v8::TryCatch try_catch(isolate_);
  v8::Local<v8::Object> object;
  if (!value->ToObject(context()).ToLocal(&object)) {
    throw std::runtime_error("property \"" + name + "\" could not be converted to an Object");
  }
  return object;
}
v8::Local<v8::Value> JsEvent::GetJsPropValue(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name);
}
v8::Local<v8::Array> JsEvent::GetJsPropArray(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (!value->IsArray()) throw std::runtime_error("property \"" + name + "\" is not an Array");
  return value.As<v8::Array>();
}
std::string JsEvent::GetJsPropStdString(v8::Local<v8::Object> obj, const std::string& name) {
  return GetJsStdString(GetJsPropString(obj, name), name);
}
uint32_t JsEvent::GetJsPropUint32(v8::Local<v8::Object> obj, const std::string& name) {
  return GetJsUint32(GetProp(obj, name));
}
int32_t JsEvent::GetJsPropInt32(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  v8::TryCatch try_catch(isolate_);
  return value->Int32Value(context()).FromMaybe(0);
}
uint64_t JsEvent::GetJsPropUint64(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  v8::TryCatch try_catch(isolate_);
  return static_cast<uint64_t>(value->IntegerValue(context()).FromMaybe(0));
}
bool JsEvent::GetJsPropBool(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->BooleanValue(isolate_);
}

void JsEvent::EcArray(v8::Local<v8::Array> array, const std::string& name, IgnoreErrorArray& out) {
  const uint32_t length = array->Length();
  for (uint32_t i = 0; i < length; ++i) {
    v8::HandleScope scope(isolate_);
    v8::Local<v8::Value> element;
    v8::TryCatch try_catch(isolate_);
    if (!array->Get(context(), i).ToLocal(&element)) {
      throw std::runtime_error(name + "[" + std::to_string(i) + "] could not be read");
    }
    if (element->IsNullOrUndefined()) {
      throw std::runtime_error(name + "[" + std::to_string(i) + "] must be an Object");
    }
    v8::Local<v8::Object> entry;
    if (!element->ToObject(context()).ToLocal(&entry)) {
      throw std::runtime_error(name + "[" + std::to_string(i) + "] must be an Object");
    }
    const uint16_t sct = static_cast<uint16_t>(GetJsPropUint32(entry, "sct"));
    const uint16_t sc = static_cast<uint16_t>(GetJsPropUint32(entry, "sc"));
    out.push_back(ErrorCode{sct, sc});
  }
}

bool JsEvent::SetJsPropUint32(v8::Local<v8::Object> obj, const std::string& name, uint32_t value) {
  return SetProp(obj, name, v8::Integer::NewFromUnsigned(isolate_, value));
}
bool JsEvent::SetJsPropUint64(v8::Local<v8::Object> obj, const std::string& name, uint64_t value) {
  return SetProp(obj, name, v8::Number::New(isolate_, static_cast<double>(value)));
}
bool JsEvent::SetJsPropDouble(v8::Local<v8::Object> obj, const std::string& name, double value) {
  return SetProp(obj, name, v8::Number::New(isolate_, value));
}
bool JsEvent::SetJsPropBool(v8::Local<v8::Object> obj, const std::string& name, bool value) {
  return SetProp(obj, name, v8::Boolean::New(isolate_, value));
}
bool JsEvent::SetJsPropStdString(v8::Local<v8::Object> obj, const std::string& name, const std::string& value) {
  return SetProp(obj, name, CreateJsString(value));
}
bool JsEvent::SetJsPropObject(v8::Local<v8::Object> obj, const std::string& name, v8::Local<v8::Value> value) {
  return SetProp(obj, name, value);
}
bool JsEvent::SetArrayElement(v8::Local<v8::Array> array, uint32_t index, v8::Local<v8::Object> value) {
  return array->Set(context(), index, value).FromMaybe(false);
}

std::string JsEvent::GetJsStdString(v8::Local<v8::String> value, const std::string& what) {
  return tyr::JsBase::ToStdString(isolate_, value, what);
}
uint32_t JsEvent::GetJsUint32(v8::Local<v8::Value> value) {
  v8::TryCatch try_catch(isolate_);
  return value->Uint32Value(context()).FromMaybe(0);
}
v8::Local<v8::String> JsEvent::CreateJsString(const std::string& text) {
  return v8::String::NewFromUtf8(isolate_, text.c_str()).FromMaybe(v8::String::Empty(isolate_));
}
v8::Local<v8::Object> JsEvent::CreateJsObject() { return v8::Object::New(isolate_); }
v8::Local<v8::Array> JsEvent::CreateJsArray(uint32_t length) { return v8::Array::New(isolate_, length); }

// ---- property parsing with messages ----

// Each form reads the property once; the test and the conversion work on that one value (a primitive, so converting
// it runs no script code).
#define KYT_PROP_FORMS(Type, Name, Test, TypeText, Convert)                                                       \
  Type JsEvent::ParseJsProp##Name(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name,  \
                                  Type def) {                                                                      \
    v8::Local<v8::Value> value = GetProp(obj, name);                                                               \
    if (value->IsUndefined()) return def;                                                                          \
    if (!value->Test()) throw std::runtime_error(prefix + "." + name + " must be a " TypeText);                    \
    return Convert;                                                                                                \
  }                                                                                                                \
  Type JsEvent::ParseJsProp##Name(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name) { \
    v8::Local<v8::Value> value = GetProp(obj, name);                                                               \
    if (value->IsUndefined()) throw std::runtime_error(prefix + "." + name + " is required");                     \
    if (!value->Test()) throw std::runtime_error(prefix + "." + name + " must be a " TypeText);                    \
    return Convert;                                                                                                \
  }

KYT_PROP_FORMS(bool, Bool, IsBoolean, "Boolean", value->IsTrue())
KYT_PROP_FORMS(uint32_t, Uint32, IsNumber, "Number", tyr::JsBase::NumberToUint32(value.As<v8::Number>()->Value()))
KYT_PROP_FORMS(int32_t, Int32, IsNumber, "Number", tyr::JsBase::NumberToInt32(value.As<v8::Number>()->Value()))
KYT_PROP_FORMS(uint64_t, Uint64, IsNumber, "Number", NumberToInteger64(value.As<v8::Number>()->Value()))
#undef KYT_PROP_FORMS

std::string JsEvent::ParseJsPropStdString(v8::Local<v8::Object> obj, const std::string& prefix,
                                          const std::string& name, const std::string& def) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (value->IsUndefined()) return def;
  if (!value->IsString()) throw std::runtime_error(prefix + "." + name + " must be a String");
  return GetJsStdString(value.As<v8::String>(), prefix + "." + name);
}
std::string JsEvent::ParseJsPropStdString(v8::Local<v8::Object> obj, const std::string& prefix,
                                          const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (value->IsUndefined()) throw std::runtime_error(prefix + "." + name + " is required");
  if (!value->IsString()) throw std::runtime_error(prefix + "." + name + " must be a String");
  return GetJsStdString(value.As<v8::String>(), prefix + "." + name);
}
v8::Local<v8::Value> JsEvent::ParseJsPropValue(v8::Local<v8::Object> obj, const std::string& prefix,
                                               const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (value->IsUndefined()) throw std::runtime_error(prefix + "." + name + " is required");
  return value;
}
v8::Local<v8::Array> JsEvent::ParseJsPropArray(v8::Local<v8::Object> obj, const std::string& prefix,
                                               const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (value->IsUndefined()) throw std::runtime_error(prefix + "." + name + " is required");
  if (!value->IsArray()) throw std::runtime_error(prefix + "." + name + " must be an Array");
  return value.As<v8::Array>();
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

v8::Local<v8::Object> JsEvent::ParseJsArgObject(v8::Local<v8::Value> value, const std::string& name) {
  if (!value->IsObject()) throw std::runtime_error(Quoted(name) + " must be an Object");
  return value.As<v8::Object>();
}
bool JsEvent::ParseJsArgBool(v8::Local<v8::Value> value, const std::string& name) {
  if (!value->IsBoolean()) throw std::runtime_error(Quoted(name) + " must be a Boolean");
  return value->IsTrue();
}
uint32_t JsEvent::ParseJsArgUint32(v8::Local<v8::Value> value, const std::string& name) {
  if (!value->IsNumber()) throw std::runtime_error(Quoted(name) + " must be a Number");
  return tyr::JsBase::NumberToUint32(value.As<v8::Number>()->Value());
}
uint64_t JsEvent::ParseJsArgUint64(v8::Local<v8::Value> value, const std::string& name) {
  if (!value->IsNumber()) throw std::runtime_error(Quoted(name) + " must be a Number");
  return static_cast<uint64_t>(value->IntegerValue(context()).FromMaybe(0));
}
std::string JsEvent::ParseJsArgStdString(v8::Local<v8::Value> value, const std::string& name) {
  if (value->IsUndefined()) throw std::runtime_error(Quoted(name) + " is required");
  if (!value->IsString()) throw std::runtime_error(Quoted(name) + " must be a String");
  return GetJsStdString(value.As<v8::String>(), Quoted(name));
}
JsHeldBuffer JsEvent::ParseJsArgBuffer(v8::Local<v8::Value> value, const std::string& name, size_t most_copied) {
  if (!node::Buffer::HasInstance(value)) throw std::runtime_error(Quoted(name) + " must be a Buffer");
  return HoldBuffer(value, Quoted(name), most_copied);
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
  copy.view.Reset(isolate_, view);
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
    v8::Local<v8::ArrayBufferView> view = copy.view.Get(isolate_);
    if (view->ByteLength() != copy.whole) return false;  // shrunk or grown meanwhile
    v8::Local<v8::ArrayBuffer> buffer = view->Buffer();
    uint8_t* target = static_cast<uint8_t*>(buffer->Data());
    if (target == nullptr) return false;
    std::memcpy(target + view->ByteOffset(), held.data, copy.length);
    return true;
  }
  return false;
}
