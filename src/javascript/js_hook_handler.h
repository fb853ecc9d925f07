// One hook of the hook bridge: the worker thread starts it, the script's thread runs the script's callback for it,
// and the script reports how the step ended by setting the hook's status or error (see utility/hook_manager.h).
//
// The handler registers an async handle with the event loop of the script's isolate; Start signals it from the
// worker thread and the loop then calls the script's callback with the hook type. One plain mutex guards the status,
// the error text and the callback; it is never held while the script's callback runs, so the script may answer from
// inside its callback.
//
// The async handle is not referenced: a hook never keeps the process alive by itself. A worker that starts a hook
// always does so for work the script is waiting on (a call's pending task keeps the loop running through the loop's
// TaskCompletionNotifier), so the signal is delivered whenever somebody is there to answer it.
#ifndef KYT_JAVASCRIPT_JS_HOOK_HANDLER_H
#define KYT_JAVASCRIPT_JS_HOOK_HANDLER_H

#include <mutex>
#include <string>

#include <uv.h>
#include <v8.h>

#include "utility/hook_manager.h"

namespace tyr {

class JsHookHandler {
 public:
  // Script's thread, with a current isolate: registers the wake-up handle on that isolate's event loop.
  explicit JsHookHandler(HookHandlerType type);
  // Script's thread: closes the wake-up handle (a signal still pending is dropped) and drops the callback.
  ~JsHookHandler();

  JsHookHandler(const JsHookHandler&) = delete;
  JsHookHandler& operator=(const JsHookHandler&) = delete;

  // ---- Worker side ----
  bool Start();
  std::string GetError();
  bool HasError();
  // Busy from Start until the script has answered and its callback, if one is running, has returned.
  bool IsBusy();

  // ---- Script side ----
  // Error state with the message, whatever the status was.
  void SetError(const std::string& message);
  // Any status but busy (refused: false). Other values than idle/busy/error are stored as they are.
  bool SetStatus(HookHandlerStatus status);
  // Only while idle; an empty handle clears the callback.
  bool SetCallback(v8::Local<v8::Function> callback);
  // Unless busy: callback and error text dropped, idle again.
  bool Reset();
  // Runs the script's callback with the hook type (event loop, script's thread).
  void CallCallback();

  HookHandlerType GetType() const { return type_; }

  static void HandleAsyncRequest(uv_async_t* handle);

 private:
  // Runs the callback, marked as answering meanwhile: the text of the exception it threw, or "" when none.
  std::string Answer(v8::Local<v8::Context> context, v8::Local<v8::Function> callback, v8::Local<v8::Value>* argv);

  uv_async_t* async_;  // owned; freed by its close callback
  std::string error_;
  HookHandlerStatus status_ = kHookIdle;
  // The script's callback is running: its answer (a status it set, then an exception it throws) is whole only once
  // the callback has returned, so the hook counts as busy until then.
  bool answering_ = false;
  v8::Global<v8::Function> callback_;
  std::mutex mutex_;
  const HookHandlerType type_;
  v8::Isolate* isolate_;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_HOOK_HANDLER_H
