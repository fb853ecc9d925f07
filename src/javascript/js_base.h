// Base of the short-lived objects that carry out one script method call, and the conversions between script values
// and native values that every method uses.
//
// A method object knows its name (put in front of every error it reports, as in "ftdi.setBaudRate : ...") and the
// isolate of the call. Its RunInternal does the work on the script's thread; Run turns any exception that the work
// throws into a script TypeError "<name> : <text>" so that no C++ exception ever reaches the host.
//
// The conversion operations never talk to the script themselves: they throw std::runtime_error with fixed texts.
// Numbers follow the script language's own integer conversions (ToUint32, ToInt32, ToInteger), so every input, NaN,
// infinities and huge values included, has a defined result.
#ifndef KYT_JAVASCRIPT_JS_BASE_H
#define KYT_JAVASCRIPT_JS_BASE_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <v8.h>

namespace tyr {

class JsBase {
 public:
  JsBase(std::string name, v8::Isolate* isolate);
  virtual ~JsBase();

  JsBase(const JsBase&) = delete;
  JsBase& operator=(const JsBase&) = delete;

  // Runs RunInternal. True when it returned normally; false when it threw, in which case a TypeError
  // "<name> : <what>" is pending in the isolate (or the script exception that the work left pending stays).
  bool Run(const v8::FunctionCallbackInfo<v8::Value>& info);

  const std::string& GetName() const { return name_; }
  v8::Isolate* GetIsolate() const { return isolate_; }

  // Schedules a script TypeError with the text in the object's isolate; the native code returns normally.
  void ThrowJsException(const std::string& text);

  // ---- Positional arguments (value: the call's argument, n: its name in messages) ----
  v8::Local<v8::Object> ParseJsArgObject(v8::Local<v8::Value> value, const std::string& n);
  bool ParseJsArgBool(v8::Local<v8::Value> value, const std::string& n);
  uint32_t ParseJsArgUint32(v8::Local<v8::Value> value, const std::string& n);
  int32_t ParseJsArgInt32(v8::Local<v8::Value> value, const std::string& n);
  uint64_t ParseJsArgUint64(v8::Local<v8::Value> value, const std::string& n);
  // Pointer into the script's buffer memory (no copy) and its length in bytes: valid only until script code runs
  // again (a later argument's getter may resize or detach the buffer), so only for use within the same step.
  std::pair<uint8_t*, size_t> ParseJsArgBuffer(v8::Local<v8::Value> value, const std::string& n);
  // The Buffer's length in bytes, without copying anything; longer than `most`: "argument \"<n>\" must hold at most
  // <most> bytes".
  size_t ParseJsArgBufferLength(v8::Local<v8::Value> value, const std::string& n, size_t most);
  // A copy of the Buffer's bytes, refused as ParseJsArgBufferLength before anything is copied.
  std::vector<uint8_t> ParseJsArgBufferToVector(v8::Local<v8::Value> value, const std::string& n,
                                                size_t most = SIZE_MAX);
  std::string ParseJsArgStdString(v8::Local<v8::Value> value, const std::string& n);
  v8::Local<v8::Value> ParseJsonString(v8::Local<v8::String> text, const std::string& n);

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

  v8::Local<v8::Object> ToObject(v8::Local<v8::Value> value);
  v8::Local<v8::String> ToString(v8::Local<v8::Value> value);

  // ---- Building results (each returns the host's success flag) ----
  bool SetJsPropUint32(v8::Local<v8::Object> obj, const std::string& name, uint32_t value);
  bool SetJsPropUint64(v8::Local<v8::Object> obj, const std::string& name, uint64_t value);
  bool SetJsPropDouble(v8::Local<v8::Object> obj, const std::string& name, double value);
  bool SetJsPropBool(v8::Local<v8::Object> obj, const std::string& name, bool value);
  bool SetJsPropStdString(v8::Local<v8::Object> obj, const std::string& name, const std::string& value);
  bool SetJsPropObject(v8::Local<v8::Object> obj, const std::string& name, v8::Local<v8::Value> value);
  bool SetArrayElement(v8::Local<v8::Array> array, uint32_t index, v8::Local<v8::Object> element);
  bool SetArrayValue(v8::Local<v8::Array> array, uint32_t index, v8::Local<v8::Value> value);

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
  // The method's work, on the script's thread. Reports failures by throwing std::runtime_error.
  virtual void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) = 0;

  // The isolate's current context; throws when there is none.
  v8::Local<v8::Context> Context();
  // The property's value (undefined when missing); throws when the host refuses the read (a throwing getter).
  v8::Local<v8::Value> GetProp(v8::Local<v8::Object> obj, const std::string& name);
  v8::Local<v8::String> Key(const std::string& name);

 private:
  std::string name_;
  v8::Isolate* isolate_;
};

// Thrown by the conversions when the host itself failed (an exception is already pending in the isolate, e.g. from a
// throwing getter). Run leaves that script exception in place instead of adding a TypeError of its own.
class JsPendingException : public std::runtime_error {
 public:
  JsPendingException() : std::runtime_error("script exception pending") {}
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_BASE_H
