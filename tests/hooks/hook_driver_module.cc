// Test-only Node module "kyt_hooks_test": plays the NVMe worker's side of the hook bridge against the hook manager of
// a real KytAddon object, through the same interface (tyr::HookManager) and from another thread, as the worker does.
//
//   start(addon, type)                 Start on a separate thread (joined before returning) → boolean
//   isBusy / hasError / getError(addon, type)
//   reset(addon, type)                 on the script's thread, as the interface requires
//   cycle(addon, type, timeoutMs, cb)  a worker-like thread starts the hook, then polls IsBusy once a millisecond
//                                      until the hook is no longer busy (or the time-out passes); cb receives
//                                      {started, timedOut, hasError, error} on the script's thread afterwards (a
//                                      refused type: started false and the manager's text in error).
//   awaitPolls(n)                      on the script's thread (in a hook callback): returns once the running cycle
//                                      has looked at IsBusy n more times, or has ended → whether it was still
//                                      polling (an explicit event in place of a race with the cycle's thread)
// Failures of the manager (std::runtime_error) are thrown into the script as Errors with the same text.
//
// The module does not link the addon's code: it reaches the manager through the addon object's wrapper and calls it
// only through the virtual interface, so every call lands in the loaded addon itself.
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <node.h>
#include <node_object_wrap.h>
#include <uv.h>
#include <v8.h>

#include "addon/kyt_addon.h"
#include "javascript/js_hook_manager.h"
#include "utility/hook_manager.h"

namespace {

using Info = v8::FunctionCallbackInfo<v8::Value>;

v8::Local<v8::String> Text(v8::Isolate* isolate, const std::string& text) {
  return v8::String::NewFromUtf8(isolate, text.c_str()).ToLocalChecked();
}

// The hook manager of the addon object in argument 0, as the worker holds it.
std::shared_ptr<tyr::HookManager> ManagerOf(const Info& info) {
  if (!info[0]->IsObject()) throw std::invalid_argument("argument 0 must be a KytAddon");
  v8::Local<v8::Object> object = info[0].As<v8::Object>();
  if (object->InternalFieldCount() < 1 || object->GetAlignedPointerFromInternalField(0) == nullptr) {
    throw std::invalid_argument("argument 0 must be a KytAddon");
  }
  kyt::KytAddon* addon = node::ObjectWrap::Unwrap<kyt::KytAddon>(object);
  std::shared_ptr<tyr::HookManager> manager = addon->GetHookManager();
  if (!manager) throw std::invalid_argument("the addon has no hook manager");
  return manager;
}

tyr::HookHandlerType TypeOf(const Info& info) {
  int32_t type = 0;
  if (!info[1]->IsNumber() || !info[1]->Int32Value(info.GetIsolate()->GetCurrentContext()).To(&type)) {
    throw std::invalid_argument("argument 1 must be a Number");
  }
  return static_cast<tyr::HookHandlerType>(type);
}

// Runs body; a std::runtime_error from the manager becomes an Error, an argument fault a TypeError.
template <class Body>
void Guard(const Info& info, Body body) {
  try {
    body();
  } catch (const std::invalid_argument& e) {
    info.GetIsolate()->ThrowException(v8::Exception::TypeError(Text(info.GetIsolate(), e.what())));
  } catch (const std::exception& e) {
    info.GetIsolate()->ThrowException(v8::Exception::Error(Text(info.GetIsolate(), e.what())));
  }
}

void Start(const Info& info) {
  Guard(info, [&] {
    std::shared_ptr<tyr::HookManager> manager = ManagerOf(info);
    const tyr::HookHandlerType type = TypeOf(info);
    bool started = false;
    std::string error;
    bool failed = false;
    std::thread worker([&] {
      try {
        started = manager->Start(type);
      } catch (const std::runtime_error& e) {
        failed = true;
        error = e.what();
      }
    });
    worker.join();
    if (failed) throw std::runtime_error(error);
    info.GetReturnValue().Set(started);
  });
}

void IsBusy(const Info& info) {
  Guard(info, [&] { info.GetReturnValue().Set(ManagerOf(info)->IsBusy(TypeOf(info))); });
}

void HasError(const Info& info) {
  Guard(info, [&] { info.GetReturnValue().Set(ManagerOf(info)->HasError(TypeOf(info))); });
}

void GetError(const Info& info) {
  Guard(info, [&] { info.GetReturnValue().Set(Text(info.GetIsolate(), ManagerOf(info)->GetError(TypeOf(info)))); });
}

void Reset(const Info& info) {
  Guard(info, [&] { info.GetReturnValue().Set(ManagerOf(info)->Reset(TypeOf(info))); });
}

struct Cycle;
// The cycle whose thread runs; set and cleared on the script's thread (a cycle is freed there too).
Cycle* g_running = nullptr;

// One worker-like start-and-poll cycle; owns itself until its result has been delivered.
struct Cycle {
  uv_async_t done;
  std::thread thread;
  v8::Isolate* isolate = nullptr;
  v8::Global<v8::Function> callback;
  std::shared_ptr<tyr::HookManager> manager;
  tyr::HookHandlerType type = tyr::kHookPowerOff;
  uint32_t timeout_ms = 0;
  std::atomic<uint64_t> polls{0};
  std::atomic<bool> ended{false};
  bool started = false;
  bool timed_out = false;
  bool has_error = false;
  std::string error;

  void Run() {
    try {
      Poll();
    } catch (const std::exception& e) {
      error = e.what();
    }
    ended = true;
    uv_async_send(&done);
  }

  void Poll() {
    started = manager->Start(type);
    if (started) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      while (++polls, manager->IsBusy(type)) {
        if (std::chrono::steady_clock::now() >= deadline) {
          timed_out = true;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      has_error = manager->HasError(type);
      if (has_error) error = manager->GetError(type);
    }
  }

  static void Deliver(uv_async_t* handle) {
    auto* cycle = static_cast<Cycle*>(handle->data);
    cycle->thread.join();
    if (g_running == cycle) g_running = nullptr;
    v8::Isolate* isolate = cycle->isolate;
    v8::HandleScope scope(isolate);
    v8::Local<v8::Function> fn = cycle->callback.Get(isolate);
    v8::Local<v8::Context> context = fn->GetCreationContext().ToLocalChecked();
    v8::Context::Scope context_scope(context);
    v8::Local<v8::Object> result = v8::Object::New(isolate);
    result->Set(context, Text(isolate, "started"), v8::Boolean::New(isolate, cycle->started)).Check();
    result->Set(context, Text(isolate, "timedOut"), v8::Boolean::New(isolate, cycle->timed_out)).Check();
    result->Set(context, Text(isolate, "hasError"), v8::Boolean::New(isolate, cycle->has_error)).Check();
    result->Set(context, Text(isolate, "error"), Text(isolate, cycle->error)).Check();
    cycle->manager.reset();
    v8::Local<v8::Value> argv[1] = {result};
    uv_close(reinterpret_cast<uv_handle_t*>(&cycle->done), [](uv_handle_t* h) { delete static_cast<Cycle*>(h->data); });
    (void)node::MakeCallback(isolate, context->Global(), fn, 1, argv, node::async_context{0, 0});
  }
};

void AwaitPolls(const Info& info) {
  Guard(info, [&] {
    if (!info[0]->IsUint32()) throw std::invalid_argument("argument 0 must be a count");
    Cycle* cycle = g_running;
    bool polling = false;
    if (cycle != nullptr) {
      const uint64_t until = cycle->polls + info[0].As<v8::Uint32>()->Value();
      while (!cycle->ended && cycle->polls < until) std::this_thread::yield();
      polling = !cycle->ended;
    }
    info.GetReturnValue().Set(polling);
  });
}

void RunCycle(const Info& info) {
  Guard(info, [&] {
    std::shared_ptr<tyr::HookManager> manager = ManagerOf(info);
    const tyr::HookHandlerType type = TypeOf(info);
    if (!info[2]->IsUint32()) throw std::invalid_argument("argument 2 must be a time-out in milliseconds");
    if (!info[3]->IsFunction()) throw std::invalid_argument("argument 3 must be a Function");
    auto* cycle = new Cycle();
    cycle->isolate = info.GetIsolate();
    cycle->callback.Reset(info.GetIsolate(), info[3].As<v8::Function>());
    cycle->manager = std::move(manager);
    cycle->type = type;
    cycle->timeout_ms = info[2].As<v8::Uint32>()->Value();
    uv_async_init(node::GetCurrentEventLoop(info.GetIsolate()), &cycle->done, &Cycle::Deliver);
    cycle->done.data = cycle;
    g_running = cycle;
    cycle->thread = std::thread([cycle] { cycle->Run(); });
  });
}

void Initialize(v8::Local<v8::Object> exports, v8::Local<v8::Value>, void*) {
  NODE_SET_METHOD(exports, "start", Start);
  NODE_SET_METHOD(exports, "isBusy", IsBusy);
  NODE_SET_METHOD(exports, "hasError", HasError);
  NODE_SET_METHOD(exports, "getError", GetError);
  NODE_SET_METHOD(exports, "reset", Reset);
  NODE_SET_METHOD(exports, "cycle", RunCycle);
  NODE_SET_METHOD(exports, "awaitPolls", AwaitPolls);
}

}  // namespace

NODE_MODULE(NODE_GYP_MODULE_NAME, Initialize)
