#include "javascript/js_environment.h"

#include <exception>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "javascript/js_async.h"
#include "javascript/task_completion_notifier.h"
#include "utility/log_line.h"

namespace tyr {

namespace {

// The environment of each loop that has one. Each environment's own thread uses its entry; the lock is for the
// threads of several environments.
std::mutex& RegistryMutex() {
  static std::mutex* mutex = new std::mutex();  // outlives every static destructor
  return *mutex;
}

std::map<uv_loop_t*, std::shared_ptr<JsEnvironment>>& Registry() {
  static auto* environments = new std::map<uv_loop_t*, std::shared_ptr<JsEnvironment>>();
  return *environments;
}

}  // namespace

std::shared_ptr<JsEnvironment> JsEnvironment::ForIsolate(v8::Isolate* isolate) {
  uv_loop_t* loop = isolate != nullptr ? node::GetCurrentEventLoop(isolate) : nullptr;
  if (loop == nullptr) throw std::runtime_error("no event loop for the current isolate");
  std::lock_guard<std::mutex> lock(RegistryMutex());
  std::shared_ptr<JsEnvironment>& environment = Registry()[loop];
  if (!environment) {
    try {
      environment.reset(new JsEnvironment(isolate, loop));
    } catch (...) {
      Registry().erase(loop);
      throw;
    }
    environment->cleanup_hook_ =
        node::AddEnvironmentCleanupHook(isolate, &JsEnvironment::OnCleanup, environment.get());
  }
  return environment;
}

JsEnvironment::JsEnvironment(v8::Isolate* isolate, uv_loop_t* loop)
    : isolate_(isolate), loop_(loop), last_handle_(new uv_async_t()) {
  const int rc = uv_async_init(loop, last_handle_, nullptr);
  if (rc != 0) {
    delete last_handle_;
    throw std::runtime_error(std::string("script environment: uv_async_init failed: ") + uv_strerror(rc));
  }
  last_handle_->data = this;
  uv_unref(reinterpret_cast<uv_handle_t*>(last_handle_));  // never keeps the loop alive
}

// The handle is freed by its close callback, at the environment's end.
JsEnvironment::~JsEnvironment() = default;

void JsEnvironment::OnEnd(std::function<void()> teardown) { teardowns_.push_back(std::move(teardown)); }

std::shared_ptr<TaskCompletionNotifier> JsEnvironment::Notifier() {
  if (!notifier_) notifier_ = TaskCompletionNotifier::Create(loop_);
  return notifier_;
}

void JsEnvironment::WorkQueued(JsAsync* call) { queued_.insert(call); }

void JsEnvironment::WorkDone(JsAsync* call) {
  queued_.erase(call);
  FinishIfIdle();
}

void JsEnvironment::OnCleanup(void* arg, void (*done)(void*), void* done_arg) {
  auto* environment = static_cast<JsEnvironment*>(arg);
  std::shared_ptr<JsEnvironment> keep;
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(environment->loop_);
    if (it != Registry().end() && it->second.get() == environment) keep = it->second;
  }
  if (!keep) {
    done(done_arg);
    return;
  }
  keep->End(done, done_arg);
}

void JsEnvironment::End(void (*done)(void*), void* done_arg) {
  ending_ = true;
  done_ = done;
  done_arg_ = done_arg;
  v8::HandleScope scope(isolate_);
  for (std::function<void()>& teardown : teardowns_) {
    try {
      teardown();
    } catch (const std::exception& e) {
      kyt::LogLine(std::string("ADDON: the environment's end failed: ") + e.what());
    }
  }
  teardowns_.clear();
  for (JsAsync* call : queued_) call->Interrupt();  // each comes back on a later turn of the loop
  if (notifier_) notifier_->End();
  uv_close(reinterpret_cast<uv_handle_t*>(last_handle_), [](uv_handle_t* handle) {
    auto* environment = static_cast<JsEnvironment*>(handle->data);
    delete reinterpret_cast<uv_async_t*>(handle);
    environment->last_handle_closed_ = true;
    environment->FinishIfIdle();
  });
}

void JsEnvironment::FinishIfIdle() {
  if (!ending_ || !last_handle_closed_ || !queued_.empty() || done_ == nullptr) return;
  void (*done)(void*) = std::exchange(done_, nullptr);
  std::shared_ptr<JsEnvironment> self = shared_from_this();
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(loop_);
    if (it != Registry().end() && it->second.get() == this) Registry().erase(it);
  }
  done(done_arg_);
}

}  // namespace tyr
