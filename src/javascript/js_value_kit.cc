#include "javascript/js_value_kit.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace tyr {

namespace {

std::runtime_error PropError(const std::string& prefix, const std::string& name, const char* what) {
  return std::runtime_error(prefix + "." + name + " " + what);
}

constexpr const char* kNotNumber = "could not be converted to a Number";

// The value of a host conversion's result, whichever of the host's two kinds of "maybe" it is.
template <typename T>
bool Got(v8::Maybe<T> maybe, T* out) {
  return maybe.To(out);
}
template <typename T>
bool Got(v8::MaybeLocal<T> maybe, v8::Local<T>* out) {
  return maybe.ToLocal(out);
}

}  // namespace

JsValueKit::JsValueKit(v8::Isolate* isolate, HostRefusal refusal) : isolate_(isolate), refusal_(refusal) {}

JsValueKit::~JsValueKit() = default;

std::string JsValueKit::ArgName(const std::string& n) {
  return "argument \"" + n + "\"";
}

std::runtime_error JsValueKit::ArgError(const std::string& n, const char* what) {
  return std::runtime_error(ArgName(n) + " " + what);
}

void JsValueKit::ThrowJsException(const std::string& text) {
  v8::HandleScope scope(isolate_);
  v8::Local<v8::String> message;
  if (!v8::String::NewFromUtf8(isolate_, text.c_str(), v8::NewStringType::kNormal).ToLocal(&message)) {
    message = v8::String::NewFromUtf8Literal(isolate_, "error text too long");
  }
  isolate_->ThrowException(v8::Exception::TypeError(message));
}

// ---------------------------------------------------------------------------------------------------------------
// Numbers

uint32_t JsValueKit::NumberToUint32(double number) {
  if (!std::isfinite(number)) return 0;
  double t = std::trunc(number);
  double m = std::fmod(t, 4294967296.0);  // exact; same sign as t
  if (m < 0) m += 4294967296.0;
  return static_cast<uint32_t>(m);
}

int32_t JsValueKit::NumberToInt32(double number) {
  return static_cast<int32_t>(NumberToUint32(number));  // modulo conversion (two's complement)
}

uint64_t JsValueKit::NumberToUint64(double number) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (std::isnan(number)) return 0;
  if (number >= kTwo63) return static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (number <= -kTwo63) return static_cast<uint64_t>(std::numeric_limits<int64_t>::min());
  return static_cast<uint64_t>(static_cast<int64_t>(number));  // the cast drops the fraction
}

// ---------------------------------------------------------------------------------------------------------------
// Helpers

v8::Local<v8::Context> JsValueKit::Context() {
  v8::Local<v8::Context> context = isolate_->GetCurrentContext();
  if (context.IsEmpty()) throw std::runtime_error("no script context");
  return context;
}

v8::Local<v8::String> JsValueKit::Key(const std::string& name) {
  auto found = keys_.find(name);
  if (found != keys_.end()) return found->second.Get(isolate_);
  v8::Local<v8::String> key;
  if (!v8::String::NewFromUtf8(isolate_, name.c_str(), v8::NewStringType::kInternalized).ToLocal(&key)) {
    throw std::runtime_error("property name too long");
  }
  keys_.emplace(name, v8::Global<v8::String>(isolate_, key));
  return key;
}

void JsValueKit::Refused(v8::TryCatch& caught, const std::string& name, const char* failed) {
  if (refusal_ == HostRefusal::kScriptException) {
    caught.ReThrow();  // pending again once `caught` is left
    throw JsPendingException();
  }
  throw std::runtime_error((name.empty() ? std::string("value") : "property \"" + name + "\"") + " " + failed);
}

v8::Local<v8::Value> JsValueKit::GetProp(v8::Local<v8::Object> obj, const std::string& name) {
  v8::TryCatch caught(isolate_);
  v8::Local<v8::Value> value;
  if (!obj->Get(Context(), Key(name)).ToLocal(&value)) Refused(caught, name, "could not be read");
  return value;
}

template <typename Result, typename Conversion>
Result JsValueKit::Converted(const std::string& name, const char* failed, Conversion conversion) {
  v8::TryCatch caught(isolate_);
  Result result{};
  if (!Got(conversion(Context()), &result)) Refused(caught, name, failed);
  return result;
}

// ---------------------------------------------------------------------------------------------------------------
// Positional arguments

v8::Local<v8::Object> JsValueKit::ParseJsArgObject(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !value->IsObject()) throw ArgError(n, "must be an Object");
  return value.As<v8::Object>();
}

bool JsValueKit::ParseJsArgBool(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !value->IsBoolean()) throw ArgError(n, "must be a Boolean");
  return value.As<v8::Boolean>()->Value();
}

uint32_t JsValueKit::ParseJsArgUint32(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !value->IsNumber()) throw ArgError(n, "must be a Number");
  return NumberToUint32(value.As<v8::Number>()->Value());
}

uint64_t JsValueKit::ParseJsArgUint64(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !value->IsNumber()) throw ArgError(n, "must be a Number");
  return NumberToUint64(value.As<v8::Number>()->Value());
}

std::string JsValueKit::ParseJsArgStdString(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || value->IsUndefined()) throw ArgError(n, "is required");
  if (!value->IsString()) throw ArgError(n, "must be a String");
  return GetJsStdString(value.As<v8::String>(), ArgName(n));
}

// ---------------------------------------------------------------------------------------------------------------
// Object properties: (a) undefined → default or "is required", (b) type test, (c) conversion, all three on the one
// value that a single read of the property gave.

#define KYT_PROP_FORMS(Type, CType, DefType, Test, TypeText, Convert)                                                \
  CType JsValueKit::ParseJsProp##Type(v8::Local<v8::Object> obj, const std::string& prefix,                         \
                                      const std::string& name, DefType def) {                                      \
    v8::Local<v8::Value> value = GetProp(obj, name);                                                                \
    if (value->IsUndefined()) return def;                                                                           \
    if (!value->Test()) throw PropError(prefix, name, "must be a " TypeText);                                      \
    return Convert;                                                                                                 \
  }                                                                                                                 \
  CType JsValueKit::ParseJsProp##Type(v8::Local<v8::Object> obj, const std::string& prefix,                         \
                                      const std::string& name) {                                                   \
    v8::Local<v8::Value> value = GetProp(obj, name);                                                                \
    if (value->IsUndefined()) throw PropError(prefix, name, "is required");                                        \
    if (!value->Test()) throw PropError(prefix, name, "must be a " TypeText);                                      \
    return Convert;                                                                                                 \
  }

KYT_PROP_FORMS(Bool, bool, bool, IsBoolean, "Boolean", value.As<v8::Boolean>()->Value())
KYT_PROP_FORMS(Uint32, uint32_t, uint32_t, IsNumber, "Number", NumberToUint32(value.As<v8::Number>()->Value()))
KYT_PROP_FORMS(Int32, int32_t, int32_t, IsNumber, "Number", NumberToInt32(value.As<v8::Number>()->Value()))
KYT_PROP_FORMS(Uint64, uint64_t, uint64_t, IsNumber, "Number", NumberToUint64(value.As<v8::Number>()->Value()))
KYT_PROP_FORMS(StdString, std::string, const std::string&, IsString, "String",
               GetJsStdString(value.As<v8::String>(), prefix + "." + name))

#undef KYT_PROP_FORMS

v8::Local<v8::Value> JsValueKit::ParseJsPropValue(v8::Local<v8::Object> obj, const std::string& prefix,
                                                  const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (value->IsUndefined()) throw PropError(prefix, name, "is required");
  return value;
}

v8::Local<v8::Array> JsValueKit::ParseJsPropArray(v8::Local<v8::Object> obj, const std::string& prefix,
                                                  const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (value->IsUndefined()) throw PropError(prefix, name, "is required");
  if (!value->IsArray()) throw PropError(prefix, name, "must be an Array");
  return value.As<v8::Array>();
}

// ---------------------------------------------------------------------------------------------------------------
// Probes and plain reads

// The host's own type test on the property's value.
#define KYT_PROBE(Type)                                                                 \
  bool JsValueKit::IsJsProp##Type(v8::Local<v8::Object> obj, const std::string& name) { \
    return GetProp(obj, name)->Is##Type();                                              \
  }

KYT_PROBE(String)
KYT_PROBE(Object)
KYT_PROBE(Array)
KYT_PROBE(Number)
KYT_PROBE(Boolean)
KYT_PROBE(Undefined)

#undef KYT_PROBE

v8::Local<v8::String> JsValueKit::GetJsPropString(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  return Converted<v8::Local<v8::String>>(name, "could not be converted to a String",
                                          [&](v8::Local<v8::Context> c) { return value->ToString(c); });
}

v8::Local<v8::Object> JsValueKit::GetJsPropObject(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  return Converted<v8::Local<v8::Object>>(name, "could not be converted to an Object",
                                          [&](v8::Local<v8::Context> c) { return value->ToObject(c); });
}

v8::Local<v8::Value> JsValueKit::GetJsPropValue(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name);
}

v8::Local<v8::Array> JsValueKit::GetJsPropArray(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  if (!value->IsArray()) throw std::runtime_error("failed to convert value to Array");
  return value.As<v8::Array>();
}

std::string JsValueKit::GetJsPropStdString(v8::Local<v8::Object> obj, const std::string& name) {
  return GetJsStdString(GetJsPropString(obj, name), name);
}

uint32_t JsValueKit::GetJsPropUint32(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  return Converted<uint32_t>(name, kNotNumber, [&](v8::Local<v8::Context> c) { return value->Uint32Value(c); });
}

int32_t JsValueKit::GetJsPropInt32(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  return Converted<int32_t>(name, kNotNumber, [&](v8::Local<v8::Context> c) { return value->Int32Value(c); });
}

uint64_t JsValueKit::GetJsPropUint64(v8::Local<v8::Object> obj, const std::string& name) {
  v8::Local<v8::Value> value = GetProp(obj, name);
  return NumberToUint64(
      Converted<double>(name, kNotNumber, [&](v8::Local<v8::Context> c) { return value->NumberValue(c); }));
}

bool JsValueKit::GetJsPropBool(v8::Local<v8::Object> obj, const std::string& name) {
  return GetProp(obj, name)->BooleanValue(isolate_);
}

std::string JsValueKit::ToStdString(v8::Isolate* isolate, v8::Local<v8::String> text, const std::string& what) {
  if (text.IsEmpty()) return std::string();
  v8::String::Utf8Value utf8(isolate, text);
  if (*utf8 == nullptr) return std::string();
  if (std::memchr(*utf8, '\0', static_cast<size_t>(utf8.length())) != nullptr) {
    throw std::runtime_error(what + " must not contain a NUL character");
  }
  return std::string(*utf8, utf8.length());
}

std::string JsValueKit::GetJsStdString(v8::Local<v8::String> text, const std::string& what) {
  return ToStdString(isolate_, text, what);
}

uint32_t JsValueKit::GetJsUint32(v8::Local<v8::Value> value) {
  if (value.IsEmpty()) return 0;
  return Converted<uint32_t>("", kNotNumber, [&](v8::Local<v8::Context> c) { return value->Uint32Value(c); });
}

// ---------------------------------------------------------------------------------------------------------------
// Building results

bool JsValueKit::SetJsPropObject(v8::Local<v8::Object> obj, const std::string& name, v8::Local<v8::Value> value) {
  return obj->Set(Context(), Key(name), value).FromMaybe(false);
}

bool JsValueKit::SetJsPropUint32(v8::Local<v8::Object> obj, const std::string& name, uint32_t value) {
  return SetJsPropObject(obj, name, v8::Integer::NewFromUnsigned(isolate_, value));
}

bool JsValueKit::SetJsPropUint64(v8::Local<v8::Object> obj, const std::string& name, uint64_t value) {
  return SetJsPropObject(obj, name, v8::Number::New(isolate_, static_cast<double>(value)));
}

bool JsValueKit::SetJsPropDouble(v8::Local<v8::Object> obj, const std::string& name, double value) {
  return SetJsPropObject(obj, name, v8::Number::New(isolate_, value));
}

bool JsValueKit::SetJsPropBool(v8::Local<v8::Object> obj, const std::string& name, bool value) {
  return SetJsPropObject(obj, name, v8::Boolean::New(isolate_, value));
}

bool JsValueKit::SetJsPropStdString(v8::Local<v8::Object> obj, const std::string& name, const std::string& value) {
  return SetJsPropObject(obj, name, CreateJsString(value));
}

bool JsValueKit::SetArrayElement(v8::Local<v8::Array> array, uint32_t index, v8::Local<v8::Object> element) {
  return array->Set(Context(), index, element).FromMaybe(false);
}

v8::Local<v8::String> JsValueKit::CreateJsString(const std::string& text) {
  v8::Local<v8::String> result;
  // c_str() ends the text at its first NUL.
  if (!v8::String::NewFromUtf8(isolate_, text.c_str(), v8::NewStringType::kNormal).ToLocal(&result)) {
    throw std::runtime_error("text too long for a script string");
  }
  return result;
}

v8::Local<v8::Object> JsValueKit::CreateJsObject() {
  return v8::Object::New(isolate_);
}

v8::Local<v8::Array> JsValueKit::CreateJsArray(uint32_t length) {
  return v8::Array::New(isolate_, static_cast<int>(length));
}

}  // namespace tyr
