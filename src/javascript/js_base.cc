#include "javascript/js_base.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <node_buffer.h>

namespace tyr {

namespace {

std::runtime_error ArgError(const std::string& n, const char* what) {
  return std::runtime_error("argument \"" + n + "\" " + what);
}

std::runtime_error PropError(const std::string& prefix, const std::string& name, const char* what) {
  return std::runtime_error(prefix + "." + name + " " + what);
}

}  // namespace

JsBase::JsBase(std::string name, v8::Isolate* isolate) : name_(std::move(name)), isolate_(isolate) {}

JsBase::~JsBase() = default;

bool JsBase::Run(const v8::FunctionCallbackInfo<v8::Value>& info) {
  try {
    RunInternal(info);
    return true;
  } catch (const JsPendingException&) {
    // The host already holds the script's own exception (a throwing getter, a failed conversion): keep it.
  } catch (const std::exception& e) {
    ThrowJsException(name_ + " : " + e.what());
  } catch (...) {
    ThrowJsException(name_ + " : unknown error");
  }
  return false;
}

void JsBase::ThrowJsException(const std::string& text) {
  v8::HandleScope scope(isolate_);
  v8::Local<v8::String> message;
  if (!v8::String::NewFromUtf8(isolate_, text.c_str(), v8::NewStringType::kNormal).ToLocal(&message)) {
    message = v8::String::NewFromUtf8Literal(isolate_, "error text too long");
  }
  isolate_->ThrowException(v8::Exception::TypeError(message));
}

// ---------------------------------------------------------------------------------------------------------------
// Numbers

uint32_t JsBase::NumberToUint32(double number) {
  if (!std::isfinite(number)) return 0;
  double t = std::trunc(number);
  double m = std::fmod(t, 4294967296.0);  // exact; same sign as t
  if (m < 0) m += 4294967296.0;
  return static_cast<uint32_t>(m);
}

int32_t JsBase::NumberToInt32(double number) {
  return static_cast<int32_t>(NumberToUint32(number));  // modulo conversion (two's complement)
}

uint64_t JsBase::NumberToUint64(double number) {
  if (std::isnan(number)) return 0;
  constexpr double kTwo63 = 9223372036854775808.0;
  if (number >= kTwo63) return static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (number <= -kTwo63) return static_cast<uint64_t>(std::numeric_limits<int64_t>::min());
  return static_cast<uint64_t>(static_cast<int64_t>(number));  // the cast drops the fraction
}

// ---------------------------------------------------------------------------------------------------------------
// Helpers

v8::Local<v8::Context> JsBase::Context() {
  v8::Local<v8::Context> context = isolate_->GetCurrentContext();
  if (context.IsEmpty()) throw std::runtime_error("no script context");
  return context;
}

v8::Local<v8::String> JsBase::Key(const std::string& name) {
  return CreateJsString(name);
}

v8::Local<v8::Value> JsBase::GetProp(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value;
  if (!obj->Get(Context(), Key(name)).ToLocal(&value)) throw JsPendingException();
  return value;
}

// ---------------------------------------------------------------------------------------------------------------
// Positional arguments

v8::Local<v8::Object> JsBase::ParseJsArgObject(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !value->IsObject()) throw ArgError(n, "must be an Object");
  return value.As<v8::Object>();
}

bool JsBase::ParseJsArgBool(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !value->IsBoolean()) throw ArgError(n, "must be a Boolean");
  return value.As<v8::Boolean>()->Value();
}

uint32_t JsBase::ParseJsArgUint32(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !value->IsNumber()) throw ArgError(n, "must be a Number");
  return NumberToUint32(value.As<v8::Number>()->Value());
}

int32_t JsBase::ParseJsArgInt32(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !value->IsNumber()) throw ArgError(n, "must be a Number");
  return NumberToInt32(value.As<v8::Number>()->Value());
}

uint64_t JsBase::ParseJsArgUint64(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !value->IsNumber()) throw ArgError(n, "must be a Number");
  return NumberToUint64(value.As<v8::Number>()->Value());
}

std::pair<uint8_t*, size_t> JsBase::ParseJsArgBuffer(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !node::Buffer::HasInstance(value)) throw ArgError(n, "must be a Buffer");
  return {reinterpret_cast<uint8_t*>(node::Buffer::Data(value)), node::Buffer::Length(value)};
}

size_t JsBase::ParseJsArgBufferLength(v8::Local<v8::Value> value, const std::string& n, size_t most) {
  if (value.IsEmpty() || !node::Buffer::HasInstance(value)) throw ArgError(n, "must be a Buffer");
  // The view's length as it is now (a view of a resized or detached buffer has its current length).
  const size_t length = value.As<v8::ArrayBufferView>()->ByteLength();
  if (length > most) throw ArgError(n, ("must hold at most " + std::to_string(most) + " bytes").c_str());
  return length;
}

std::vector<uint8_t> JsBase::ParseJsArgBufferToVector(v8::Local<v8::Value> value, const std::string& n, size_t most) {
  std::vector<uint8_t> bytes(ParseJsArgBufferLength(value, n, most));
  v8::Local<v8::ArrayBufferView> view = value.As<v8::ArrayBufferView>();
  if (!bytes.empty()) bytes.resize(view->CopyContents(bytes.data(), bytes.size()));
  return bytes;
}

std::string JsBase::ParseJsArgStdString(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || value->IsUndefined()) throw ArgError(n, "is required");
  if (!value->IsString()) throw ArgError(n, "must be a String");
  return GetJsStdString(value.As<v8::String>(), "argument \"" + n + "\"");
}

v8::Local<v8::Value> JsBase::ParseJsonString(v8::Local<v8::String> text, const std::string& n) {
  v8::Local<v8::Context> context = Context();
  v8::TryCatch try_catch(isolate_);
  v8::Local<v8::Value> result;
  if (text.IsEmpty() || !v8::JSON::Parse(context, text).ToLocal(&result)) {
    try_catch.Reset();  // the parser's SyntaxError is replaced by our own text
    throw ArgError(n, "must be a JSON string");
  }
  return result;
}

// ---------------------------------------------------------------------------------------------------------------
// Object properties: (a) undefined → default or "is required", (b) type test, (c) conversion, all three on the one
// value that a single read of the property gave (a getter or a Proxy is asked once).

#define KYT_PROP_FORMS(Type, CType, Test, TypeText, Convert)                                                        \
  CType JsBase::ParseJsProp##Type(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name,  \
                                  CType def) {                                                                     \
    v8::Local<v8::Value> value = GetProp(obj, name);                                                               \
    if (value->IsUndefined()) return def;                                                                          \
    if (!value->Test()) throw PropError(prefix, name, "must be a " TypeText);                                     \
    return Convert;                                                                                                \
  }                                                                                                                \
  CType JsBase::ParseJsProp##Type(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name) { \
    v8::Local<v8::Value> value = GetProp(obj, name);                                                               \
    if (value->IsUndefined()) throw PropError(prefix, name, "is required");                                       \
    if (!value->Test()) throw PropError(prefix, name, "must be a " TypeText);                                     \
    return Convert;                                                                                                \
  }

KYT_PROP_FORMS(Bool, bool, IsBoolean, "Boolean", value.As<v8::Boolean>()->Value())
KYT_PROP_FORMS(Uint32, uint32_t, IsNumber, "Number", NumberToUint32(value.As<v8::Number>()->Value()))
KYT_PROP_FORMS(Int32, int32_t, IsNumber, "Number", NumberToInt32(value.As<v8::Number>()->Value()))
KYT_PROP_FORMS(Uint64, uint64_t, IsNumber, "Number", NumberToUint64(value.As<v8::Number>()->Value()))

#undef KYT_PROP_FORMS

std::string JsBase::ParseJsPropStdString(v8::Local<v8::Object> obj, const std::string& prefix,
                                         const std::string& name, const std::string& def) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (value->IsUndefined()) return def;
  if (!value->IsString()) throw PropError(prefix, name, "must be a String");
  return GetJsStdString(value.As<v8::String>(), prefix + "." + name);
}

std::string JsBase::ParseJsPropStdString(v8::Local<v8::Object> obj, const std::string& prefix,
                                         const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (value->IsUndefined()) throw PropError(prefix, name, "is required");
  if (!value->IsString()) throw PropError(prefix, name, "must be a String");
  return GetJsStdString(value.As<v8::String>(), prefix + "." + name);
}

v8::Local<v8::Value> JsBase::ParseJsPropValue(v8::Local<v8::Object> obj, const std::string& prefix,
                                              const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (value->IsUndefined()) throw PropError(prefix, name, "is required");
  return value;
}

v8::Local<v8::Array> JsBase::ParseJsPropArray(v8::Local<v8::Object> obj, const std::string& prefix,
                                              const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (value->IsUndefined()) throw PropError(prefix, name, "is required");
  if (!value->IsArray()) throw PropError(prefix, name, "must be an Array");
  return value.As<v8::Array>();
}

// ---------------------------------------------------------------------------------------------------------------
// Probes and plain reads

bool JsBase::IsJsPropString(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsString();
}
bool JsBase::IsJsPropObject(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsObject();
}
bool JsBase::IsJsPropArray(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsArray();
}
bool JsBase::IsJsPropNumber(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsNumber();
}
bool JsBase::IsJsPropBoolean(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsBoolean();
}
bool JsBase::IsJsPropUndefined(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->IsUndefined();
}

v8::Local<v8::String> JsBase::GetJsPropString(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  v8::Local<v8::String> text;
  if (!value->ToString(Context()).ToLocal(&text)) throw JsPendingException();
  return text;
}

v8::Local<v8::Object> JsBase::GetJsPropObject(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Object> object;
  if (!GetProp(obj, name)->ToObject(Context()).ToLocal(&object)) throw JsPendingException();
  return object;
}

v8::Local<v8::Value> JsBase::GetJsPropValue(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name);
}

v8::Local<v8::Array> JsBase::GetJsPropArray(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (!value->IsArray()) throw std::runtime_error("failed to convert value to Array");
  return value.As<v8::Array>();
}

std::string JsBase::GetJsPropStdString(v8::Local<v8::Object> obj, const std::string& name) {
  return GetJsStdString(GetJsPropString(obj, name), name);
}

uint32_t JsBase::GetJsPropUint32(v8::Local<v8::Object> obj, const std::string& name) {
  return GetJsUint32(GetProp(obj, name));
}

int32_t JsBase::GetJsPropInt32(v8::Local<v8::Object> obj, const std::string& name) {
  int32_t result = 0;
  if (!GetProp(obj, name)->Int32Value(Context()).To(&result)) throw JsPendingException();
  return result;
}

uint64_t JsBase::GetJsPropUint64(v8::Local<v8::Object> obj, const std::string& name) {
  double number = 0;
  if (!GetProp(obj, name)->NumberValue(Context()).To(&number)) throw JsPendingException();
  return NumberToUint64(number);
}

bool JsBase::GetJsPropBool(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->BooleanValue(isolate_);
}

std::string JsBase::ToStdString(v8::Isolate* isolate, v8::Local<v8::String> text, const std::string& what) {
  if (text.IsEmpty()) return std::string();
  v8::String::Utf8Value utf8(isolate, text);
  if (*utf8 == nullptr) return std::string();
  if (std::memchr(*utf8, '\0', static_cast<size_t>(utf8.length())) != nullptr) {
    throw std::runtime_error(what + " must not contain a NUL character");
  }
  return std::string(*utf8, utf8.length());
}

std::string JsBase::GetJsStdString(v8::Local<v8::String> text, const std::string& what) {
  return ToStdString(isolate_, text, what);
}

uint32_t JsBase::GetJsUint32(v8::Local<v8::Value> value) {
  uint32_t result = 0;
  if (value.IsEmpty()) return 0;
  if (!value->Uint32Value(Context()).To(&result)) throw JsPendingException();
  return result;
}

v8::Local<v8::Object> JsBase::ToObject(v8::Local<v8::Value> value) {
  if (value.IsEmpty() || !value->IsObject()) throw std::runtime_error("failed to convert value to Object");
  return value.As<v8::Object>();
}

v8::Local<v8::String> JsBase::ToString(v8::Local<v8::Value> value) {
  if (value.IsEmpty() || !value->IsString()) throw std::runtime_error("failed to convert value to String");
  return value.As<v8::String>();
}

// ---------------------------------------------------------------------------------------------------------------
// Building results

bool JsBase::SetJsPropObject(v8::Local<v8::Object> obj, const std::string& name, v8::Local<v8::Value> value) {
  return obj->Set(Context(), Key(name), value).FromMaybe(false);
}

bool JsBase::SetJsPropUint32(v8::Local<v8::Object> obj, const std::string& name, uint32_t value) {
  return SetJsPropObject(obj, name, v8::Integer::NewFromUnsigned(isolate_, value));
}

bool JsBase::SetJsPropUint64(v8::Local<v8::Object> obj, const std::string& name, uint64_t value) {
  return SetJsPropObject(obj, name, v8::Number::New(isolate_, static_cast<double>(value)));
}

bool JsBase::SetJsPropDouble(v8::Local<v8::Object> obj, const std::string& name, double value) {
  return SetJsPropObject(obj, name, v8::Number::New(isolate_, value));
}

bool JsBase::SetJsPropBool(v8::Local<v8::Object> obj, const std::string& name, bool value) {
  return SetJsPropObject(obj, name, v8::Boolean::New(isolate_, value));
}

bool JsBase::SetJsPropStdString(v8::Local<v8::Object> obj, const std::string& name, const std::string& value) {
  return SetJsPropObject(obj, name, CreateJsString(value));
}

bool JsBase::SetArrayElement(v8::Local<v8::Array> array, uint32_t index, v8::Local<v8::Object> element) {
  return array->Set(Context(), index, element).FromMaybe(false);
}

bool JsBase::SetArrayValue(v8::Local<v8::Array> array, uint32_t index, v8::Local<v8::Value> value) {
  return array->Set(Context(), index, value).FromMaybe(false);
}

v8::Local<v8::String> JsBase::CreateJsString(const std::string& text) {
  v8::Local<v8::String> result;
  // c_str() ends the text at its first NUL.
  if (!v8::String::NewFromUtf8(isolate_, text.c_str(), v8::NewStringType::kNormal).ToLocal(&result)) {
    throw std::runtime_error("text too long for a script string");
  }
  return result;
}

v8::Local<v8::Object> JsBase::CreateJsObject() {
  return v8::Object::New(isolate_);
}

v8::Local<v8::Array> JsBase::CreateJsArray(uint32_t length) {
  return v8::Array::New(isolate_, static_cast<int>(length));
}

}  // namespace tyr
