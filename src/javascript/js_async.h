// Base of the script method objects whose work does not run on the script's thread and whose result reaches the
// script through a callback(error, result).
//
// Life of one call:
//   1. the method creates the object with `new` and calls Run(info) (JsBase);
//   2. RunInternal: ParseParameters (reads the arguments, must store the callback with ParseCallback, may start work
//      elsewhere), then, unless the work ends elsewhere (EndsElsewhere), queues WorkAsync on the host's worker pool;
//   3. a false Run (a TypeError "<name> : <text>" is pending): the method deletes the object, nothing is called back;
//   4. WorkAsync runs on a pool thread, or the work started elsewhere ends and the object is told so; then, on the
//      script's thread, Complete runs CallCallback and the object deletes itself.
//
// The callback is called with the global object as receiver, inside the host's callback scope, so that promise jobs
// queued by the callback run and an exception thrown by it reaches the process's uncaught-exception handling. A call
// that completes while its environment ends (JsEnvironment) is deleted without calling back; one still queued on the
// pool then is interrupted, and the environment's end waits for it.
#ifndef KYT_JAVASCRIPT_JS_ASYNC_H
#define KYT_JAVASCRIPT_JS_ASYNC_H

#include <memory>
#include <string>

#include <uv.h>
#include <v8.h>

#include "javascript/js_base.h"

namespace tyr {

class JsEnvironment;

class JsAsync : public JsBase {
 public:
  JsAsync(std::string name, v8::Isolate* isolate);
  ~JsAsync() override;

  static void Work(uv_work_t* request);
  static void WorkAfter(uv_work_t* request, int status);

  // Script's thread, while WorkAsync may run on a pool thread: the environment is ending, so cut a wait short. What
  // WorkAsync waits for by its own nature (a read, a bounded step) needs nothing.
  virtual void Interrupt() {}

 protected:
  void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override;

  // Builds the two arguments and calls InvokeCallback (script's thread, inside a handle scope and the call's context).
  virtual void CallCallback() = 0;
  // Reads the arguments; throws std::runtime_error on a bad one.
  virtual void ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) = 0;
  // The blocking part, on a pool thread: must not touch any script value.
  virtual void WorkAsync() = 0;
  // True when ParseParameters started work that ends elsewhere and calls Complete itself: nothing is queued on the
  // pool then. A call that only waits for another thread must answer true, so that it holds no pool thread.
  virtual bool EndsElsewhere() const { return false; }
  // Script's thread: calls back (inside a handle scope and the call's context) and deletes the object. The last act of
  // every call.
  void Complete();

  // Stores the function; anything else throws "callback must be a Function".
  void ParseCallback(v8::Local<v8::Value> value);
  bool HasCallback() const { return !callback_.IsEmpty(); }
  // Calls the stored callback (if any) with (error, result).
  void InvokeCallback(v8::Local<v8::Value> error, v8::Local<v8::Value> result);
  // Shorthands of the convention: (null, result) and (Error(message), null).
  void CallbackSuccess(v8::Local<v8::Value> result);
  void CallbackError(const std::string& message);
  // The call's environment, from the start of ParseParameters on.
  JsEnvironment& Environment() const { return *environment_; }

 private:
  v8::Global<v8::Function> callback_;
  v8::Global<v8::Context> context_;
  std::shared_ptr<JsEnvironment> environment_;
  bool queued_ = false;  // on the host's worker pool
  uv_work_t request_;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_ASYNC_H
