#include "javascript/js_base.h"

#include <stdexcept>

#include <node_buffer.h>

namespace tyr {

JsBase::JsBase(std::string name, v8::Isolate* isolate)
    : JsValueKit(isolate, HostRefusal::kScriptException), name_(std::move(name)) {}

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

int32_t JsBase::ParseJsArgInt32(v8::Local<v8::Value> value, const std::string& n) {
  if (value.IsEmpty() || !value->IsNumber()) throw ArgError(n, "must be a Number");
  return NumberToInt32(value.As<v8::Number>()->Value());
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

v8::Local<v8::Value> JsBase::ParseJsonString(v8::Local<v8::String> text, const std::string& n) {
  v8::Local<v8::Context> context = Context();
  v8::TryCatch try_catch(GetIsolate());
  v8::Local<v8::Value> result;
  if (text.IsEmpty() || !v8::JSON::Parse(context, text).ToLocal(&result)) {
    try_catch.Reset();  // the parser's SyntaxError is replaced by our own text
    throw ArgError(n, "must be a JSON string");
  }
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

bool JsBase::SetArrayValue(v8::Local<v8::Array> array, uint32_t index, v8::Local<v8::Value> value) {
  return array->Set(Context(), index, value).FromMaybe(false);
}

}  // namespace tyr
