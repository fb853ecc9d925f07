// Common part of the asynchronous NVMe method objects (device and namespace information, the generic functions):
// the task they run, a reference to the NVMe driver that keeps it alive while the call is pending, and the default
// PCI address. The task is created by the subclass's ParseParameters and handed to the worker with Launch; the loop is
// told when the worker has released it (no thread waits for it), and the task is deleted with the object after the
// callback.
#ifndef KYT_JAVASCRIPT_JS_NVME_ASYNC_BASE_H
#define KYT_JAVASCRIPT_JS_NVME_ASYNC_BASE_H

#include <memory>
#include <string>

#include "javascript/js_async.h"

class NvmeDriver;
class TaskBase;

namespace tyr {
namespace nodejs {

class JsNvmeAsyncBase : public JsAsync {
 public:
  JsNvmeAsyncBase(std::string name, v8::Isolate* isolate, std::shared_ptr<NvmeDriver> driver, std::string bdf);
  ~JsNvmeAsyncBase() override;

  TaskBase* GetTask() const { return task_.get(); }

 protected:
  // Throws "Wrong number of arguments" unless the call has exactly `count` arguments.
  static void CheckArgCount(const v8::FunctionCallbackInfo<v8::Value>& info, int count);
  // Throws "NVMe is not initialized yet" unless the driver exists, is started and a default address is set.
  void CheckReady() const;
  // Takes ownership of the task and hands it to the worker, to be called back once the worker has released it. The
  // last step of a parse.
  void Launch(TaskBase* task);
  bool EndsElsewhere() const override { return task_ != nullptr; }
  void WorkAsync() override {}  // without a task there is nothing to wait for

  const std::string& bdf() const { return bdf_; }

 private:
  std::unique_ptr<TaskBase> task_;
  std::shared_ptr<NvmeDriver> driver_;
  std::string bdf_;
};

}  // namespace nodejs
}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_NVME_ASYNC_BASE_H
