#include "javascript/js_nvme_async_base.h"

#include <stdexcept>

#include "javascript/js_environment.h"
#include "javascript/task_completion_notifier.h"
#include "nvme/nvme_driver.h"
#include "utility/task_base.h"

namespace tyr {
namespace nodejs {

JsNvmeAsyncBase::JsNvmeAsyncBase(std::string name, v8::Isolate* isolate, std::shared_ptr<NvmeDriver> driver,
                                 std::string bdf)
    : JsAsync(std::move(name), isolate), driver_(std::move(driver)), bdf_(std::move(bdf)) {}

// The task is final and released by the worker before the callback runs, so it can go here.
JsNvmeAsyncBase::~JsNvmeAsyncBase() = default;

void JsNvmeAsyncBase::CheckArgCount(const v8::FunctionCallbackInfo<v8::Value>& info, int count) {
  if (info.Length() != count) throw std::runtime_error("Wrong number of arguments");
}

void JsNvmeAsyncBase::CheckReady() const {
  if (!driver_ || !driver_->IsStarted() || bdf_.empty()) throw std::runtime_error("NVMe is not initialized yet");
}

void JsNvmeAsyncBase::Launch(TaskBase* task) {
  std::shared_ptr<TaskCompletionNotifier> notifier = Environment().Notifier();
  task_.reset(task);
  // Before the hand-over: the worker may release the task at once.
  notifier->Watch(task, [this] { Complete(); });
  driver_->AddTask(task);
}

}  // namespace nodejs
}  // namespace tyr
