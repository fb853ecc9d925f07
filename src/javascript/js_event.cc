#include "javascript/js_event.h"

#include <node_buffer.h>

#include <iostream>
#include <limits>
#include <stdexcept>

#include "javascript/js_base.h"
#include "javascript/task_completion_notifier.h"
#include "nvme/nvme_driver.h"
#include "runner/task_base.h"
#include "spdk/nvme.h"

namespace {

std::string Quoted(const std::string& name) { return "argument \"" + name + "\""; }

}  // namespace

JsEvent::JsEvent(std::string bdf, v8::Isolate* isolate) : isolate_(isolate), bdf_(std::move(bdf)) {
  if (isolate_ != nullptr && isolate_->InContext()) context_.Reset(isolate_, isolate_->GetCurrentContext());
}

JsEvent::~JsEvent() {
  callback_.Reset();
  for (auto& value : held_values_) value.Reset();
  held_values_.clear();
  held_stores_.clear();
  context_.Reset();
}

void JsEvent::Finish(JsEvent* event) {
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
  std::shared_ptr<tyr::TaskCompletionNotifier> notifier;
  try {
    notifier = tyr::TaskCompletionNotifier::ForIsolate(info.GetIsolate());
  } catch (...) {
    delete event;
    throw;
  }
  if (!event->ParseParameters(info)) {
    delete event;
    return false;
  }
  event->SetDriver(driver);
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

v8::Local<v8::Value> JsEvent::RunnerError() {
  const std::string message = runner_->GetErrorMessage();
  if (runner_->IsArgumentRefused()) return v8::Exception::TypeError(CreateJsString(prefix_ + message));
  return v8::Exception::Error(CreateJsString(message));
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
  const uint32_t s = cpl.status_raw;
  v8::Local<v8::Object> result = CreateJsObject();
  SetJsPropUint32(result, "cdw", cpl.cdw0);
  SetJsPropUint32(result, "sqhd", cpl.sqhd);
  SetJsPropUint32(result, "sqid", cpl.sqid);
  SetJsPropUint32(result, "cid", cpl.cid);
  v8::Local<v8::Object> status = CreateJsObject();
  SetJsPropUint32(status, "sc", (s >> 1) & 0xFF);
  SetJsPropUint32(status, "sct", (s >> 9) & 0x7);
  SetJsPropUint32(status, "m", (s >> 14) & 1);
  SetJsPropUint32(status, "p", s & 1);
  SetJsPropUint32(status, "dnr", (s >> 15) & 1);
  SetJsPropObject(result, "status", status);
  return result;
}

void JsEvent::CallbackWithCompletion(const spdk_nvme_cpl& cpl) {
  v8::HandleScope scope(isolate_);
  if (callback_.IsEmpty() || CallbackIfAborted()) return;
  v8::Local<v8::Object> result = MakeCompletionResult(cpl);
  if ((cpl.status_raw & 0x1FE) != 0) {
    // A command ended by its time-out says so; the completion still tells which command it was.
    const char* text = spdk_nvme_cpl_is_host_timeout(&cpl) ? "Command Timed Out" : "command error";
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
  if (IsJsPropString(object, "bdf")) bdf_ = GetJsPropStdString(object, "bdf");
}

void JsEvent::ThrowJsException(const std::string& text) {
  isolate_->ThrowException(v8::Exception::TypeError(CreateJsString(text)));
}

// ---- property access ----

v8::Local<v8::Value> JsEvent::GetProp(v8::Local<v8::Object> obj, const std::string& name) {
  v8::TryCatch try_catch(isolate_);
  v8::Local<v8::Value> value;
  if (!obj->Get(context(), CreateJsString(name)).ToLocal(&value)) {
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
  v8::Local<v8::String> text;
  if (!GetProp(obj, name)->ToString(context()).ToLocal(&text)) {
    throw std::runtime_error("property \"" + name + "\" could not be converted to a String");
  }
  return text;
}
v8::Local<v8::Object> JsEvent::GetJsPropObject(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Object> object;
  if (!GetProp(obj, name)->ToObject(context()).ToLocal(&object)) {
    throw std::runtime_error("property \"" + name + "\" could not be converted to an Object");
  }
  return object;
}
v8::Local<v8::Value> JsEvent::GetJsPropValue(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name);
}
v8::Local<v8::Array> JsEvent::GetJsPropArray(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name).As<v8::Array>();
}
std::string JsEvent::GetJsPropStdString(v8::Local<v8::Object> obj, const std::string& name) {
  return GetJsStdString(GetJsPropString(obj, name));
}
uint32_t JsEvent::GetJsPropUint32(v8::Local<v8::Object> obj, const std::string& name) {
  return GetJsUint32(GetProp(obj, name));
}
int32_t JsEvent::GetJsPropInt32(v8::Local<v8::Object> obj, const std::string& name) {
  v8::TryCatch try_catch(isolate_);
  return GetProp(obj, name)->Int32Value(context()).FromMaybe(0);
}
uint64_t JsEvent::GetJsPropUint64(v8::Local<v8::Object> obj, const std::string& name) {
  v8::TryCatch try_catch(isolate_);
  return static_cast<uint64_t>(GetProp(obj, name)->IntegerValue(context()).FromMaybe(0));
}
bool JsEvent::GetJsPropBool(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->BooleanValue(isolate_);
}

JsHeldBuffer JsEvent::GetJsPropBuffer(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  return JsHeldBuffer{reinterpret_cast<uint8_t*>(node::Buffer::Data(value)), node::Buffer::Length(value)};
}

void JsEvent::GetJsPropEcArray(v8::Local<v8::Object> obj, const std::string& name, IgnoreErrorArray& out) {
  v8::Local<v8::Array> array = GetJsPropArray(obj, name);
  const uint32_t length = array->Length();
  for (uint32_t i = 0; i < length; ++i) {
    v8::Local<v8::Value> element;
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

std::string JsEvent::GetJsStdString(v8::Local<v8::String> value) {
  return tyr::JsBase::ToStdString(isolate_, value);  // up to the first NUL
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

#define KYT_PROP_FORMS(Type, Name, Test, TypeText, Read)                                                          \
  Type JsEvent::ParseJsProp##Name(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name,  \
                                  Type def) {                                                                      \
    if (IsJsPropUndefined(obj, name)) return def;                                                                  \
    if (!GetProp(obj, name)->Test()) throw std::runtime_error(prefix + "." + name + " must be a " TypeText);       \
    return Read(obj, name);                                                                                        \
  }                                                                                                                \
  Type JsEvent::ParseJsProp##Name(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name) { \
    if (IsJsPropUndefined(obj, name)) throw std::runtime_error(prefix + "." + name + " is required");             \
    if (!GetProp(obj, name)->Test()) throw std::runtime_error(prefix + "." + name + " must be a " TypeText);       \
    return Read(obj, name);                                                                                        \
  }

KYT_PROP_FORMS(bool, Bool, IsBoolean, "Boolean", GetJsPropBool)
KYT_PROP_FORMS(uint32_t, Uint32, IsNumber, "Number", GetJsPropUint32)
KYT_PROP_FORMS(int32_t, Int32, IsNumber, "Number", GetJsPropInt32)
KYT_PROP_FORMS(uint64_t, Uint64, IsNumber, "Number", GetJsPropUint64)
#undef KYT_PROP_FORMS

std::string JsEvent::ParseJsPropStdString(v8::Local<v8::Object> obj, const std::string& prefix,
                                          const std::string& name, const std::string& def) {
  if (IsJsPropUndefined(obj, name)) return def;
  if (!IsJsPropString(obj, name)) throw std::runtime_error(prefix + "." + name + " must be a String");
  return GetJsPropStdString(obj, name);
}
std::string JsEvent::ParseJsPropStdString(v8::Local<v8::Object> obj, const std::string& prefix,
                                          const std::string& name) {
  if (IsJsPropUndefined(obj, name)) throw std::runtime_error(prefix + "." + name + " is required");
  if (!IsJsPropString(obj, name)) throw std::runtime_error(prefix + "." + name + " must be a String");
  return GetJsPropStdString(obj, name);
}
v8::Local<v8::Value> JsEvent::ParseJsPropValue(v8::Local<v8::Object> obj, const std::string& prefix,
                                               const std::string& name) {
  if (IsJsPropUndefined(obj, name)) throw std::runtime_error(prefix + "." + name + " is required");
  return GetProp(obj, name);
}
v8::Local<v8::Array> JsEvent::ParseJsPropArray(v8::Local<v8::Object> obj, const std::string& prefix,
                                               const std::string& name) {
  if (IsJsPropUndefined(obj, name)) throw std::runtime_error(prefix + "." + name + " is required");
  if (!IsJsPropArray(obj, name)) throw std::runtime_error(prefix + "." + name + " must be an Array");
  return GetJsPropArray(obj, name);
}
JsHeldBuffer JsEvent::ParseJsPropBuffer(v8::Local<v8::Object> obj, const std::string& prefix,
                                        const std::string& name) {
  if (IsJsPropUndefined(obj, name)) throw std::runtime_error(prefix + "." + name + " is required");
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (!node::Buffer::HasInstance(value)) throw std::runtime_error(prefix + "." + name + " must be a Object");
  return GetJsPropBuffer(obj, name);
}
void JsEvent::ParseJsPropEcArray(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name,
                                 IgnoreErrorArray& out) {
  if (!IsJsPropArray(obj, name)) throw std::runtime_error(prefix + "." + name + "must be a Array");
  GetJsPropEcArray(obj, name, out);
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
  return GetJsStdString(value.As<v8::String>());
}
JsHeldBuffer JsEvent::ParseJsArgBuffer(v8::Local<v8::Value> value, const std::string& name) {
  if (!node::Buffer::HasInstance(value)) throw std::runtime_error(Quoted(name) + " must be a Buffer");
  return JsHeldBuffer{reinterpret_cast<uint8_t*>(node::Buffer::Data(value)), node::Buffer::Length(value)};
}

JsHeldBuffer JsEvent::HoldBuffer(v8::Local<v8::Value> value, const std::string& what) {
  JsHeldBuffer held{reinterpret_cast<uint8_t*>(node::Buffer::Data(value)), node::Buffer::Length(value)};
  if (held.length > std::numeric_limits<uint32_t>::max()) {
    throw std::runtime_error(what + " must be a Buffer of at most 4294967295 bytes");
  }
  if (value->IsArrayBufferView()) {
    v8::Local<v8::ArrayBufferView> view = value.As<v8::ArrayBufferView>();
    std::shared_ptr<v8::BackingStore> store = view->Buffer()->GetBackingStore();
    if (store && store->Data() != nullptr) {
      held.data = static_cast<uint8_t*>(store->Data()) + view->ByteOffset();
    }
    held_stores_.push_back(std::move(store));
  }
  held_values_.emplace_back(isolate_, value);
  return held;
}
