// One script environment of the process (Node's main thread, or one worker thread) as the script method calls see it,
// and its end.
//
// An environment ends when its thread ends: the process ends normally, process.exit() is called in a worker, or the
// worker is terminated. Calls may still be pending then, and nothing of them may outlive the environment: the host
// closes the event loop right after, and aborts the process when a handle or a request is still open on it. The end
// runs, on the environment's thread and with no script able to run any more:
//   1. the teardowns registered with OnEnd (the addon stops the NVMe side its objects run, so that every task is
//      released, and deletes its objects);
//   2. every call still queued on the host's worker pool is interrupted (Interrupt: it stops waiting);
//   3. the calls whose tasks were released are completed without calling back, and the task completion notifier's
//      handles are closed;
//   4. the host is told the environment is done once the last queued call has come back and every handle has closed.
// From step 1 on IsEnding() is true: a call that completes from then on deletes itself without calling back.
#ifndef KYT_JAVASCRIPT_JS_ENVIRONMENT_H
#define KYT_JAVASCRIPT_JS_ENVIRONMENT_H

#include <node.h>
#include <uv.h>
#include <v8.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace tyr {

class JsAsync;
class TaskCompletionNotifier;

class JsEnvironment : public std::enable_shared_from_this<JsEnvironment> {
 public:
  // Script's thread: the environment of the isolate's event loop, made on first use. Throws std::runtime_error when
  // the isolate has no event loop.
  static std::shared_ptr<JsEnvironment> ForIsolate(v8::Isolate* isolate);

  ~JsEnvironment();
  JsEnvironment(const JsEnvironment&) = delete;
  JsEnvironment& operator=(const JsEnvironment&) = delete;

  // Script's thread. True once the environment has begun to end: nothing may call back into the script any more.
  bool IsEnding() const { return ending_; }

  // Script's thread: `teardown` runs first when the environment ends (in the order of registration).
  void OnEnd(std::function<void()> teardown);

  // Script's thread: the loop's task completion notifier, made on first use.
  std::shared_ptr<TaskCompletionNotifier> Notifier();

  // Script's thread: a call queued on the host's worker pool, until its completion has run. The end waits for it.
  void WorkQueued(JsAsync* call);
  void WorkDone(JsAsync* call);

 private:
  JsEnvironment(v8::Isolate* isolate, uv_loop_t* loop);

  static void OnCleanup(void* arg, void (*done)(void*), void* done_arg);
  void End(void (*done)(void*), void* done_arg);
  // Tells the host the environment is done once nothing of it is left on the loop.
  void FinishIfIdle();

  v8::Isolate* isolate_;
  uv_loop_t* loop_;
  bool ending_ = false;
  std::vector<std::function<void()>> teardowns_;
  std::shared_ptr<TaskCompletionNotifier> notifier_;
  std::set<JsAsync*> queued_;
  // Closed last at the end: its close callback runs in the same turn of the loop as those of every handle closed
  // before it, so once it has run no handle of the environment is left open.
  uv_async_t* last_handle_;
  bool last_handle_closed_ = false;
  node::AsyncCleanupHookHandle cleanup_hook_;
  void (*done_)(void*) = nullptr;
  void* done_arg_ = nullptr;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_ENVIRONMENT_H
