// startWorkloadGenerator([options,] callback): one I/O workload on the worker, ending in the callback with the
// workload's statistics: "info" (the access pattern in force), "read", "write" and "trim" (throughput, and on
// request interval samples, latency percentiles and the raw histogram) and "errorHistory" (every failed command).
// A run that ends aborted calls back with an Error carrying the same properties as far as the run produced them.
#ifndef KYT_JAVASCRIPT_JS_EVENT_CREATE_WORKLOAD_GENERATOR_H
#define KYT_JAVASCRIPT_JS_EVENT_CREATE_WORKLOAD_GENERATOR_H

#include <memory>
#include <string>

#include "javascript/js_event.h"

class WorkloadGenerationRunner;
class PerformanceTracker;
namespace tyr {
class JsHookManager;
}  // namespace tyr

class JsEventCreateWorkloadGenerator : public JsEvent {
 public:
  JsEventCreateWorkloadGenerator(std::string bdf, v8::Isolate* isolate, std::shared_ptr<tyr::JsHookManager> hooks);
  ~JsEventCreateWorkloadGenerator() override;

  bool ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;
  void CallCallback() override;

  WorkloadGenerationRunner* GetWorkloadRunner() const { return runner_; }

 private:
  void SetBasicOutput(v8::Local<v8::Object> info);
  void SetMultiRangeOutput(v8::Local<v8::Object> info);
  void SetPerformance(v8::Local<v8::Object> target, std::unique_ptr<PerformanceTracker> tracker);
  void SetErrorCode(v8::Local<v8::Object> target);

  WorkloadGenerationRunner* runner_;
  std::shared_ptr<tyr::JsHookManager> hooks_;
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_CREATE_WORKLOAD_GENERATOR_H
