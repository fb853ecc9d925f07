// Tells a script's thread that a task it handed to the NVMe worker has ended, so that no thread is held while a call
// waits for the worker.
//
// One notifier per event loop, made on first use by the loop's JsEnvironment. A call registers its task with Watch
// before it hands the task over;
// the worker, as its last access to the task (the task's release notice), puts the call's completion on the
// notifier's list and signals the loop's async handle. The loop then runs the completions of every task released since
// the last signal (signals coalesce), in the order the worker released them.
//
// A task the worker ends at once (a command the drive answers at once) is released within microseconds, sooner than a
// sleeping loop wakes from another core: before the loop sleeps after starting calls, it looks for their end for a
// short while (kFreshCallWait, once per turn of the loop), and it always takes what has ended before it sleeps.
//
// The handle keeps the loop alive only while a watched task is pending: a script with nothing pending can end, one with
// a call pending waits for its callback. When the environment ends (End) the completions of the tasks released by
// then run (the calls see the environment ending and do not call back) and the handles are closed; a task released
// after that (the end of the process releases what is still pending) is dropped with its completion, never run.
#ifndef KYT_JAVASCRIPT_TASK_COMPLETION_NOTIFIER_H
#define KYT_JAVASCRIPT_TASK_COMPLETION_NOTIFIER_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <uv.h>
#include <v8.h>

class TaskBase;

namespace tyr {

class TaskCompletionNotifier : public std::enable_shared_from_this<TaskCompletionNotifier> {
 public:
  using Completion = std::function<void()>;

  // Script's thread: the notifier of the isolate's event loop (JsEnvironment::Notifier). Throws std::runtime_error when
  // the loop refuses the handle.
  static std::shared_ptr<TaskCompletionNotifier> ForIsolate(v8::Isolate* isolate);
  // Script's thread: a notifier on the loop; JsEnvironment makes the one of its loop.
  static std::shared_ptr<TaskCompletionNotifier> Create(uv_loop_t* loop);

  ~TaskCompletionNotifier();
  TaskCompletionNotifier(const TaskCompletionNotifier&) = delete;
  TaskCompletionNotifier& operator=(const TaskCompletionNotifier&) = delete;

  // Script's thread, before the task is handed to the worker: `completion` runs on this thread once the worker has
  // released the task (the task is final then and may be freed). Without a task it runs on the loop's next turn.
  void Watch(TaskBase* task, Completion completion);

  // Loop's thread, as its environment ends: runs the completions of the tasks released so far, then closes the
  // handles (they are freed by their close callbacks, on the loop's next turn).
  void End();

 private:
  // How long a loop that has just started calls looks for their end before it sleeps: a few times the worker's round
  // trip for a command answered at once (5 to 10 us), and small beside the milliseconds that scripts' timers count in.
  static constexpr std::chrono::microseconds kFreshCallWait{30};

  explicit TaskCompletionNotifier(uv_loop_t* loop);

  void Post(Completion completion);  // any thread
  void Drain();                      // loop's thread
  void BeforeSleep();                // loop's thread, before it waits for events
  void Close();                      // loop's thread
  static void OnSignal(uv_async_t* handle);
  static void OnPrepare(uv_prepare_t* handle);

  std::mutex mutex_;                 // guards finished_ and closed_, and the signal against the close
  std::vector<Completion> finished_;
  bool closed_ = false;
  uv_async_t* async_;                // both freed by their close callbacks
  uv_prepare_t* prepare_;            // active while a task is pending
  uv_loop_t* loop_;
  std::atomic<bool> posted_{false};  // finished_ is not empty
  size_t pending_ = 0;               // loop's thread only, as the next one
  bool started_since_sleep_ = false;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_TASK_COMPLETION_NOTIFIER_H
