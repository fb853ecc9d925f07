// The conversions between script values and native values that the method objects (JsBase) and the NVMe events
// (JsEvent) both use: reading positional arguments and object properties with fixed type tests and fixed texts, and
// building result objects. One implementation, so that a value reads the same whichever kind of call it is given to.
//
// The conversions never talk to the script themselves: they throw std::runtime_error with fixed texts, and the
// object's own error path (JsBase::Run, JsEvent's parse step) turns it into the script's TypeError behind the
// method's name. Numbers follow the script language's own integer conversions (ToUint32, ToInt32, ToInteger), so
// every input, NaN, infinities and huge values included, has a defined result.
//
// Every property form reads its property once and tests and converts that one value, so a getter or a Proxy is asked
// once and cannot answer the type test with one value and the conversion with another.
#ifndef KYT_JAVASCRIPT_JS_VALUE_KIT_H
#define KYT_JAVASCRIPT_JS_VALUE_KIT_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <v8.h>

namespace tyr {

class JsValueKit {
 public:
  // How a refusal of the host itself is reported: a getter, a valueOf or a Proxy trap that throws while a value is
  // read or converted.
  enum class HostRefusal {
    // The script's own exception stays pending and JsPendingException is thrown (the method objects: Run keeps it).
    kScriptException,
    // std::runtime_error naming the property, e.g. "property \"nsid\" could not be read" (the events: their parse
    // step puts the method's name in front, as for every other refusal).
    kNamed,
  };

  JsValueKit(v8::Isolate* isolate, HostRefusal refusal);
  JsValueKit(const JsValueKit&) = delete;
  JsValueKit& operator=(const JsValueKit&) = delete;

  v8::Isolate* GetIsolate() const { return isolate_; }

  // Schedules a script TypeError with the text in the object's isolate; the native code returns normally.
  void ThrowJsException(const std::string& text);

  // ---- Positional arguments (value: the call's argument, n: its name in messages) ----
  v8::Local<v8::Object> ParseJsArgObject(v8::Local<v8::Value> value, const std::string& n);
  bool ParseJsArgBool(v8::Local<v8::Value> value, const std::string& n);
  uint32_t ParseJsArgUint32(v8::Local<v8::Value> value, const std::string& n);
  uint64_t ParseJsArgUint64(v8::Local<v8::Value> value, const std::string& n);
  std::string ParseJsArgStdString(v8::Local<v8::Value> value, const std::string& n);

  // ---- Object properties: messages are "<prefix>.<name> is required" / "<prefix>.<name> must be a <Type>" ----
  bool ParseJsPropBool(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name, bool def);
  bool ParseJsPropBool(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name);
  uint32_t ParseJsPropUint32(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name,
                             uint32_t def);
  uint32_t ParseJsPropUint32(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name);
  int32_t ParseJsPropInt32(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name,
                           int32_t def);
  int32_t ParseJsPropInt32(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name);
  uint64_t ParseJsPropUint64(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name,
                             uint64_t def);
  uint64_t ParseJsPropUint64(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name);
  std::string ParseJsPropStdString(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name,
                                   const std::string& def);
  std::string ParseJsPropStdString(v8::Local<v8::Object> obj, const std::string& prefix, const std::string& name);
  v8::Local<v8::Value> ParseJsPropValue(v8::Local<v8::Object> obj, const std::string& prefix,
                                        const std::string& name);
  v8::Local<v8::Array> ParseJsPropArray(v8::Local<v8::Object> obj, const std::string& prefix,
                                        const std::string& name);

  // ---- Property probes and plain reads (no messages of their own) ----
  bool IsJsPropString(v8::Local<v8::Object> obj, const std::string& name);
  bool IsJsPropObject(v8::Local<v8::Object> obj, const std::string& name);
  bool IsJsPropArray(v8::Local<v8::Object> obj, const std::string& name);
  bool IsJsPropNumber(v8::Local<v8::Object> obj, const std::string& name);
  bool IsJsPropBoolean(v8::Local<v8::Object> obj, const std::string& name);
  bool IsJsPropUndefined(v8::Local<v8::Object> obj, const std::string& name);

  v8::Local<v8::String> GetJsPropString(v8::Local<v8::Object> obj, const std::string& name);
  v8::Local<v8::Object> GetJsPropObject(v8::Local<v8::Object> obj, const std::string& name);
  v8::Local<v8::Value> GetJsPropValue(v8::Local<v8::Object> obj, const std::string& name);
  v8::Local<v8::Array> GetJsPropArray(v8::Local<v8::Object> obj, const std::string& name);
  std::string GetJsPropStdString(v8::Local<v8::Object> obj, const std::string& name);
  uint32_t GetJsPropUint32(v8::Local<v8::Object> obj, const std::string& name);
  int32_t GetJsPropInt32(v8::Local<v8::Object> obj, const std::string& name);
  uint64_t GetJsPropUint64(v8::Local<v8::Object> obj, const std::string& name);
  bool GetJsPropBool(v8::Local<v8::Object> obj, const std::string& name);

  // ToStdString in the object's isolate; `what` names the value in the refusal.
  std::string GetJsStdString(v8::Local<v8::String> text, const std::string& what);
  uint32_t GetJsUint32(v8::Local<v8::Value> value);

  // ---- Building results (each returns the host's success flag) ----
  bool SetJsPropUint32(v8::Local<v8::Object> obj, const std::string& name, uint32_t value);
  bool SetJsPropUint64(v8::Local<v8::Object> obj, const std::string& name, uint64_t value);
  bool SetJsPropDouble(v8::Local<v8::Object> obj, const std::string& name, double value);
  bool SetJsPropBool(v8::Local<v8::Object> obj, const std::string& name, bool value);
  bool SetJsPropStdString(v8::Local<v8::Object> obj, const std::string& name, const std::string& value);
  bool SetJsPropObject(v8::Local<v8::Object> obj, const std::string& name, v8::Local<v8::Value> value);
  bool SetArrayElement(v8::Local<v8::Array> array, uint32_t index, v8::Local<v8::Object> element);

  v8::Local<v8::String> CreateJsString(const std::string& text);
  v8::Local<v8::Object> CreateJsObject();
  v8::Local<v8::Array> CreateJsArray(uint32_t length);

  // ---- Conversions without an object (usable by any script-facing code) ----
  // ECMAScript ToUint32 / ToInt32 of a number: fraction dropped, modulo 2^32; NaN and infinities give 0.
  static uint32_t NumberToUint32(double number);
  static int32_t NumberToInt32(double number);
  // ECMAScript ToInteger, then the host's conversion to a signed 64-bit integer, whose two's-complement bits are the
  // result: -1 gives 2^64-1. Beyond the signed range the value stays at its ends (2^63 and above give 2^63-1, -2^63
  // and below give 2^63); NaN gives 0.
  static uint64_t NumberToUint64(double number);
  // The UTF-8 text of a script string. Every text a script hands in goes through here: one that holds a NUL character
  // is refused with "<what> must not contain a NUL character", since the C string it becomes (a path, a device name)
  // would end there ("dir/a\0b" would name dir/a).
  static std::string ToStdString(v8::Isolate* isolate, v8::Local<v8::String> text, const std::string& what);

 protected:
  // Only the objects built on the kit are deleted, never the kit alone.
  ~JsValueKit();

  // The argument n as messages name it: "argument \"<n>\"".
  static std::string ArgName(const std::string& n);
  // The refusal of the argument n: "argument \"<n>\" <what>".
  static std::runtime_error ArgError(const std::string& n, const char* what);
  // The isolate's current context; throws when there is none.
  v8::Local<v8::Context> Context();
  // The property's value (undefined when missing), read once; a read the host refuses is reported as HostRefusal says.
  v8::Local<v8::Value> GetProp(v8::Local<v8::Object> obj, const std::string& name);
  // The property key of the name, made once per object (a long list of options reads the same few names many times).
  v8::Local<v8::String> Key(const std::string& name);

 private:
  // A read or a conversion of `name` that the host refused, `caught` holding the script's exception; `failed` says
  // what failed ("could not be read").
  [[noreturn]] void Refused(v8::TryCatch& caught, const std::string& name, const char* failed);
  // One of the host's conversions of a property's value (ToString, ToUint32, ...: conversion(context)); its refusal is
  // reported as HostRefusal says, `failed` saying what failed ("could not be converted to a Number").
  template <typename Result, typename Conversion>
  Result Converted(const std::string& name, const char* failed, Conversion conversion);

  v8::Isolate* isolate_;
  HostRefusal refusal_;
  std::unordered_map<std::string, v8::Global<v8::String>> keys_;
};

// Thrown by the conversions when the host itself failed (an exception is already pending in the isolate, e.g. from a
// throwing getter). Run leaves that script exception in place instead of adding a TypeError of its own.
class JsPendingException : public std::runtime_error {
 public:
  JsPendingException() : std::runtime_error("script exception pending") {}
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_VALUE_KIT_H
