#include "javascript/js_nvme_async_base.h"

#include <stdexcept>

#include "nvme/nvme_driver.h"
#include "runner/task_base.h"

namespace tyr {
namespace nodejs {

JsNvmeAsyncBase::JsNvmeAsyncBase(std::string name, v8::Isolate* isolate, std::shared_ptr<NvmeDriver> driver,
                                 std::string bdf)
    : JsAsync(std::move(name), isolate), driver_(std::move(driver)), bdf_(std::move(bdf)) {}

// The task is final and released by the worker before the callback runs (WaitForDone), so it can go here.
JsNvmeAsyncBase::~JsNvmeAsyncBase() = default;

void JsNvmeAsyncBase::CheckArgCount(const v8::FunctionCallbackInfo<v8::Value>& info, int count) {
  if (info.Length() != count) throw std::runtime_error("Wrong number of arguments");
}

void JsNvmeAsyncBase::CheckReady() const {
  if (!driver_ || !driver_->IsStarted() || bdf_.empty()) throw std::runtime_error("NVMe is not initialized yet");
}

void JsNvmeAsyncBase::Launch(TaskBase* task) {
  task_.reset(task);
  driver_->AddTask(task);
}

void JsNvmeAsyncBase::WorkAsync() {
  if (task_) task_->WaitForDone();
}

}  // namespace nodejs
}  // namespace tyr
