#include "javascript/task_completion_notifier.h"

#include <node.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "runner/task_base.h"

namespace tyr {

namespace {

// The notifier of each loop that has one. Script threads only (one per loop); the lock is for the threads of
// several environments.
std::mutex& RegistryMutex() {
  static std::mutex* mutex = new std::mutex();  // outlives every static destructor
  return *mutex;
}

std::map<uv_loop_t*, std::shared_ptr<TaskCompletionNotifier>>& Registry() {
  static auto* notifiers = new std::map<uv_loop_t*, std::shared_ptr<TaskCompletionNotifier>>();
  return *notifiers;
}

void FreeAsync(uv_handle_t* handle) { delete reinterpret_cast<uv_async_t*>(handle); }
void FreePrepare(uv_handle_t* handle) { delete reinterpret_cast<uv_prepare_t*>(handle); }

}  // namespace

std::shared_ptr<TaskCompletionNotifier> TaskCompletionNotifier::ForIsolate(v8::Isolate* isolate) {
  uv_loop_t* loop = isolate != nullptr ? node::GetCurrentEventLoop(isolate) : nullptr;
  if (loop == nullptr) throw std::runtime_error("no event loop for the current isolate");
  std::lock_guard<std::mutex> lock(RegistryMutex());
  std::shared_ptr<TaskCompletionNotifier>& notifier = Registry()[loop];
  if (!notifier) {
    try {
      notifier.reset(new TaskCompletionNotifier(loop));
    } catch (...) {
      Registry().erase(loop);
      throw;
    }
    node::AddEnvironmentCleanupHook(isolate, &TaskCompletionNotifier::OnEnvironmentCleanup, notifier.get());
  }
  return notifier;
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

void TaskCompletionNotifier::OnEnvironmentCleanup(void* arg) {
  auto* notifier = static_cast<TaskCompletionNotifier*>(arg);
  std::shared_ptr<TaskCompletionNotifier> keep;
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(notifier->loop_);
    if (it == Registry().end() || it->second.get() != notifier) return;
    keep = std::move(it->second);
    Registry().erase(it);
  }
  keep->Close();
}

}  // namespace tyr
