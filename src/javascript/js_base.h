// Base of the short-lived objects that carry out one script method call.
//
// A method object knows its name (put in front of every error it reports, as in "ftdi.setBaudRate : ...") and the
// isolate of the call. Its RunInternal does the work on the script's thread; Run turns any exception that the work
// throws into a script TypeError "<name> : <text>" so that no C++ exception ever reaches the host. The conversions
// between script values and native values are the kit's (JsValueKit); a getter or Proxy trap that throws while a value
// is read leaves the script's own exception, which Run lets through.
#ifndef KYT_JAVASCRIPT_JS_BASE_H
#define KYT_JAVASCRIPT_JS_BASE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <v8.h>

#include "javascript/js_value_kit.h"

namespace tyr {

class JsBase : public JsValueKit {
 public:
  JsBase(std::string name, v8::Isolate* isolate);
  virtual ~JsBase();

  // Runs RunInternal. True when it returned normally; false when it threw, in which case a TypeError
  // "<name> : <what>" is pending in the isolate (or the script exception that the work left pending stays).
  bool Run(const v8::FunctionCallbackInfo<v8::Value>& info);

  const std::string& GetName() const { return name_; }

  // ---- The method objects' own argument forms (value: the call's argument, n: its name in messages) ----
  int32_t ParseJsArgInt32(v8::Local<v8::Value> value, const std::string& n);
  // Pointer into the script's buffer memory (no copy) and its length in bytes: valid only until script code runs
  // again (a later argument's getter may resize or detach the buffer), so only for use within the same step.
  std::pair<uint8_t*, size_t> ParseJsArgBuffer(v8::Local<v8::Value> value, const std::string& n);
  // The Buffer's length in bytes, without copying anything; longer than `most`: "argument \"<n>\" must hold at most
  // <most> bytes".
  size_t ParseJsArgBufferLength(v8::Local<v8::Value> value, const std::string& n, size_t most);
  // A copy of the Buffer's bytes, refused as ParseJsArgBufferLength before anything is copied.
  std::vector<uint8_t> ParseJsArgBufferToVector(v8::Local<v8::Value> value, const std::string& n,
                                                size_t most = SIZE_MAX);
  v8::Local<v8::Value> ParseJsonString(v8::Local<v8::String> text, const std::string& n);

  v8::Local<v8::Object> ToObject(v8::Local<v8::Value> value);
  v8::Local<v8::String> ToString(v8::Local<v8::Value> value);
  bool SetArrayValue(v8::Local<v8::Array> array, uint32_t index, v8::Local<v8::Value> value);

 protected:
  // The method's work, on the script's thread. Reports failures by throwing std::runtime_error.
  virtual void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) = 0;

 private:
  std::string name_;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_BASE_H
