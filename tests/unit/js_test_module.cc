// Test-only Node module: exposes the value conversions of tyr::JsBase and the life of a tyr::JsAsync call object
// to the script tests. Never part of the product.
//
//   convert(kind, ...args)        runs one conversion (see Convert below) in a call object named "test.convert";
//                                 the result is returned (64-bit numbers as BigInt).
//   fail(kind)                    a call object named "test.fail" whose work throws (kind: "runtime", "logic",
//                                 "other").
//   echoAsync(text, delayMs, fail, callback)
//                                 a tyr::JsAsync named "test.echoAsync": callback(null, text) or
//                                 callback(Error(text), null) after delayMs on a pool thread.
//   liveAsyncObjects()            how many echoAsync objects exist right now.
//   holdTaskPastThread()          watches a task on this thread's completion notifier (as an NVMe call does) and
//                                 releases it only when the thread ends, after its environment and event loop are
//                                 gone, as the NVMe worker releases the task of a call pending when a worker thread
//                                 was terminated.
#include <node.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "javascript/js_async.h"
#include "javascript/js_base.h"
#include "javascript/task_completion_notifier.h"
#include "utility/task_base.h"

namespace {

std::atomic<int> live_async_objects{0};

class ConvertCall : public tyr::JsBase {
 public:
  explicit ConvertCall(v8::Isolate* isolate) : JsBase("test.convert", isolate) {}

 protected:
  void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override {
    const std::string kind = ParseJsArgStdString(info[0], "kind");
    v8::Local<v8::Value> a = info[1];
    auto ret = info.GetReturnValue();
    auto big = [&](uint64_t value) { ret.Set(v8::BigInt::NewFromUnsigned(GetIsolate(), value)); };
    auto obj = [&]() { return ParseJsArgObject(a, "object"); };
    auto str = [&](int i) { return ParseJsArgStdString(info[i], "text"); };

// One conversion kind: its statement sets the result.
#define KYT_KIND(name, ...) \
  if (kind == name) {       \
    __VA_ARGS__;            \
    return;                 \
  }
    KYT_KIND("argObject", ret.Set(ParseJsArgObject(a, "opts")))
    KYT_KIND("argBool", ret.Set(ParseJsArgBool(a, "flag")))
    KYT_KIND("argUint32", ret.Set(ParseJsArgUint32(a, "count")))
    KYT_KIND("argInt32", ret.Set(ParseJsArgInt32(a, "offset")))
    KYT_KIND("argUint64", big(ParseJsArgUint64(a, "lba")))
    KYT_KIND("argString", ret.Set(CreateJsString(ParseJsArgStdString(a, "path"))))
    KYT_KIND("json", ret.Set(ParseJsonString(ToString(a), "params")))
    KYT_KIND("propBool", ret.Set(ParseJsPropBool(obj(), "options", str(2))))
    KYT_KIND("propBoolDefault", ret.Set(ParseJsPropBool(obj(), "options", str(2), true)))
    KYT_KIND("propUint32", ret.Set(ParseJsPropUint32(obj(), "options", str(2))))
    KYT_KIND("propUint32Default", ret.Set(ParseJsPropUint32(obj(), "options", str(2), 77)))
    KYT_KIND("propInt32", ret.Set(ParseJsPropInt32(obj(), "options", str(2))))
    KYT_KIND("propInt32Default", ret.Set(ParseJsPropInt32(obj(), "options", str(2), -7)))
    KYT_KIND("propUint64", big(ParseJsPropUint64(obj(), "options", str(2))))
    KYT_KIND("propUint64Default", big(ParseJsPropUint64(obj(), "options", str(2), 1234567890123ULL)))
    KYT_KIND("propString", ret.Set(CreateJsString(ParseJsPropStdString(obj(), "options", str(2)))))
    KYT_KIND("propStringDefault", ret.Set(CreateJsString(ParseJsPropStdString(obj(), "options", str(2), "fallback"))))
    KYT_KIND("propValue", ret.Set(ParseJsPropValue(obj(), "options", str(2))))
    KYT_KIND("propArray", ret.Set(ParseJsPropArray(obj(), "options", str(2))))
    KYT_KIND("getUint32", ret.Set(GetJsPropUint32(obj(), str(2))))
    KYT_KIND("getInt32", ret.Set(GetJsPropInt32(obj(), str(2))))
    KYT_KIND("getUint64", big(GetJsPropUint64(obj(), str(2))))
    KYT_KIND("getBool", ret.Set(GetJsPropBool(obj(), str(2))))
    KYT_KIND("getString", ret.Set(CreateJsString(GetJsPropStdString(obj(), str(2)))))
    KYT_KIND("toObject", ret.Set(ToObject(a)))
    KYT_KIND("toString", ret.Set(ToString(a)))
#undef KYT_KIND
    if (kind == "argBuffer") {
      auto [data, length] = ParseJsArgBuffer(a, "data");
      // The pointer must be the script's own memory: write through it.
      if (length > 0) data[0] = 0xA5;
      ret.Set(static_cast<double>(length));
    } else if (kind == "argBufferToVector") {
      std::vector<uint8_t> copy = ParseJsArgBufferToVector(a, "data");
      if (!copy.empty()) copy[0] = 0x5A;  // a copy: the script's buffer keeps its byte
      v8::Local<v8::Array> array = CreateJsArray(static_cast<uint32_t>(copy.size()));
      for (uint32_t i = 0; i < copy.size(); ++i) SetArrayValue(array, i, v8::Integer::NewFromUnsigned(GetIsolate(), copy[i]));
      ret.Set(array);
    } else if (kind == "probe") {
      // The six probes of one property, as a string of 0/1 in the order String Object Array Number Boolean Undefined.
      const std::string n = str(2);
      std::string bits;
      for (bool b : {IsJsPropString(obj(), n), IsJsPropObject(obj(), n), IsJsPropArray(obj(), n),
                     IsJsPropNumber(obj(), n), IsJsPropBoolean(obj(), n), IsJsPropUndefined(obj(), n)}) {
        bits.push_back(b ? '1' : '0');
      }
      ret.Set(CreateJsString(bits));
    } else if (kind == "build") {
      // Every result builder once.
      v8::Local<v8::Object> out = CreateJsObject();
      SetJsPropUint32(out, "u32", 4294967295u);
      SetJsPropUint64(out, "u64", (1ULL << 53) + 1);
      SetJsPropUint64(out, "u64max", ~0ULL);
      SetJsPropDouble(out, "dbl", 0.5);
      SetJsPropBool(out, "flag", true);
      SetJsPropStdString(out, "text", std::string("ab\0cd", 5));
      v8::Local<v8::Array> list = CreateJsArray(2);
      v8::Local<v8::Object> element = CreateJsObject();
      SetJsPropUint32(element, "i", 0);
      SetArrayElement(list, 0, element);
      SetArrayValue(list, 1, CreateJsString("second"));
      SetJsPropObject(out, "list", list);
      ret.Set(out);
    } else {
      throw std::runtime_error("unknown kind " + kind);
    }
  }
};

class FailCall : public tyr::JsBase {
 public:
  explicit FailCall(v8::Isolate* isolate) : JsBase("test.fail", isolate) {}

 protected:
  void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override {
    const std::string kind = ParseJsArgStdString(info[0], "kind");
    info.GetReturnValue().Set(CreateJsString("not reached"));
    if (kind == "runtime") throw std::runtime_error("argument \"type\" must be a Number");
    if (kind == "logic") throw std::out_of_range("index 9 out of range");
    throw 42;
  }
};

class EchoAsync : public tyr::JsAsync {
 public:
  explicit EchoAsync(v8::Isolate* isolate) : JsAsync("test.echoAsync", isolate) { ++live_async_objects; }
  ~EchoAsync() override { --live_async_objects; }

 protected:
  void ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override {
    if (info.Length() != 4) throw std::runtime_error("Wrong number of arguments");
    text_ = ParseJsArgStdString(info[0], "text");
    delay_ms_ = ParseJsArgUint32(info[1], "delayMs");
    fail_ = ParseJsArgBool(info[2], "fail");
    ParseCallback(info[3]);
  }
  void WorkAsync() override {
    worker_thread_ = std::this_thread::get_id();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_));
  }
  void CallCallback() override {
    v8::HandleScope scope(GetIsolate());
    if (worker_thread_ == std::this_thread::get_id()) {
      CallbackError("the blocking part ran on the script's thread");
    } else if (fail_) {
      CallbackError(text_);
    } else {
      CallbackSuccess(CreateJsString(text_));
    }
  }

 private:
  std::string text_;
  uint32_t delay_ms_ = 0;
  bool fail_ = false;
  std::thread::id worker_thread_;
};

class HeldTask : public TaskBase {
 public:
  HeldTask() : TaskBase(1, "Held", "") {}

 protected:
  void FetchStates() override {}
};

struct TasksReleasedAtThreadEnd {
  std::vector<std::unique_ptr<HeldTask>> tasks;
  ~TasksReleasedAtThreadEnd() {
    for (const auto& task : tasks) task->MarkReleased();
  }
};
thread_local TasksReleasedAtThreadEnd held_tasks;

void HoldTaskPastThread(const v8::FunctionCallbackInfo<v8::Value>& info) {
  auto task = std::make_unique<HeldTask>();
  // Its completion never runs: the environment it would call back into is gone when the task is released.
  tyr::TaskCompletionNotifier::ForIsolate(info.GetIsolate())->Watch(task.get(), [] {});
  held_tasks.tasks.push_back(std::move(task));
}

template <class Call>
void Sync(const v8::FunctionCallbackInfo<v8::Value>& info) {
  Call call(info.GetIsolate());
  call.Run(info);
}

void Echo(const v8::FunctionCallbackInfo<v8::Value>& info) {
  auto* call = new EchoAsync(info.GetIsolate());
  if (!call->Run(info)) delete call;
}

void LiveAsyncObjects(const v8::FunctionCallbackInfo<v8::Value>& info) {
  info.GetReturnValue().Set(live_async_objects.load());
}

void Init(v8::Local<v8::Object> exports) {
  NODE_SET_METHOD(exports, "convert", Sync<ConvertCall>);
  NODE_SET_METHOD(exports, "fail", Sync<FailCall>);
  NODE_SET_METHOD(exports, "echoAsync", Echo);
  NODE_SET_METHOD(exports, "liveAsyncObjects", LiveAsyncObjects);
  NODE_SET_METHOD(exports, "holdTaskPastThread", HoldTaskPastThread);
}

}  // namespace

NODE_MODULE(NODE_GYP_MODULE_NAME, Init)
