#include "javascript/task_completion_notifier.h"

#include <node.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>

#include "javascript/js_environment.h"
#include "utility/task_base.h"

namespace tyr {

namespace {

void FreeAsync(uv_handle_t* handle) { delete reinterpret_cast<uv_async_t*>(handle); }
void FreePrepare(uv_handle_t* handle) { delete reinterpret_cast<uv_prepare_t*>(handle); }

}  // namespace

std::shared_ptr<TaskCompletionNotifier> TaskCompletionNotifier::ForIsolate(v8::Isolate* isolate) {
  return JsEnvironment::ForIsolate(isolate)->Notifier();
}

std::shared_ptr<TaskCompletionNotifier> TaskCompletionNotifier::Create(uv_loop_t* loop) {
  return std::shared_ptr<TaskCompletionNotifier>(new TaskCompletionNotifier(loop));
}

TaskCompletionNotifier::TaskCompletionNotifier(uv_loop_t* loop)
    : async_(new uv_async_t()), prepare_(new uv_prepare_t()), loop_(loop) {
  const int rc = uv_async_init(loop, async_, &TaskCompletionNotifier::OnSignal);
  if (rc != 0) {
    delete async_;
    delete prepare_;
    throw std::runtime_error(std::string("task completion notifier: uv_async_init failed: ") + uv_strerror(rc));
  }
  async_->data = this;
  uv_unref(reinterpret_cast<uv_handle_t*>(async_));  // referenced only while a task is pending
  uv_prepare_init(loop, prepare_);  // cannot fail
  prepare_->data = this;
  uv_unref(reinterpret_cast<uv_handle_t*>(prepare_));  // never keeps the loop alive by itself
}

// Only the environment's end closes the handle; the object may then outlive it in the notices of tasks never released.
TaskCompletionNotifier::~TaskCompletionNotifier() = default;

void TaskCompletionNotifier::Watch(TaskBase* task, Completion completion) {
  started_since_sleep_ = true;
  if (pending_++ == 0) {
    uv_ref(reinterpret_cast<uv_handle_t*>(async_));
    uv_prepare_start(prepare_, &TaskCompletionNotifier::OnPrepare);
  }
  if (task == nullptr) {
    Post(std::move(completion));
    return;
  }
  std::shared_ptr<TaskCompletionNotifier> self = shared_from_this();
  task->SetReleaseNotice([self, completion = std::move(completion)]() mutable { self->Post(std::move(completion)); });
}

void TaskCompletionNotifier::Post(Completion completion) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;  // the environment is gone: nobody is there to call back
  finished_.push_back(std::move(completion));
  posted_.store(true, std::memory_order_release);
  uv_async_send(async_);
}

void TaskCompletionNotifier::Drain() {
  std::vector<Completion> batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batch.swap(finished_);
    posted_.store(false, std::memory_order_relaxed);
  }
  // A completion may start further calls: they are watched anew and signal again.
  for (Completion& completion : batch) {
    completion();
    if (--pending_ == 0) {
      uv_unref(reinterpret_cast<uv_handle_t*>(async_));
      uv_prepare_stop(prepare_);
    }
  }
}

void TaskCompletionNotifier::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;
  closed_ = true;
  finished_.clear();
  async_->data = nullptr;
  prepare_->data = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(async_), &FreeAsync);
  uv_close(reinterpret_cast<uv_handle_t*>(prepare_), &FreePrepare);
}

void TaskCompletionNotifier::OnSignal(uv_async_t* handle) {
  auto* notifier = static_cast<TaskCompletionNotifier*>(handle->data);
  if (notifier != nullptr) notifier->Drain();
}

void TaskCompletionNotifier::OnPrepare(uv_prepare_t* handle) {
  auto* notifier = static_cast<TaskCompletionNotifier*>(handle->data);
  if (notifier != nullptr) notifier->BeforeSleep();
}

void TaskCompletionNotifier::BeforeSleep() {
  Drain();
  // Calls started by these callbacks are looked for too, within the same bound: never longer than it per turn of the
  // loop, so that chained calls cannot starve the loop's other work.
  const auto until = std::chrono::steady_clock::now() + kFreshCallWait;
  while (started_since_sleep_ && pending_ > 0 && std::chrono::steady_clock::now() < until) {
    if (posted_.load(std::memory_order_acquire)) Drain();
  }
  started_since_sleep_ = false;
}

void TaskCompletionNotifier::End() {
  Drain();
  Close();
}

}  // namespace tyr
