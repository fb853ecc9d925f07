// The three ways a prototype method of KytAddon runs its call object, as templates, and the row macros of the method
// table that use them. A row is one line; no method body is ever copied.
//
// In the constructor arguments of a row, `addon` is the KytAddon of the call, `isolate` the call's isolate and, for
// event rows, `bdf` the default PCI address.
//
//   KYT_METHOD(name, callback)       a static callback of KytAddon that does its own work.
//   KYT_SYNC(name, Call, args...)    synchronous: `Call call(args...)` on the stack, then tyr::JsBase::Run; whatever
//                                    RunInternal sets as return value is the script's result.
//   KYT_ASYNC(name, Call, args...)   asynchronous (a tyr::JsAsync): `new Call(args...)`, Run, deleted at once when
//                                    Run answers false, otherwise it deletes itself after its callback.
//   KYT_EVENT(name, Event, args...)  task-backed NVMe event: refused with TypeError "NVMe driver is not loaded yet"
//                                    unless the NVMe side is ready; then `new Event(args...)` and JsEvent::Start
//                                    (parse, hand the runner to the worker; the loop is told when it ends).
//
// A failure while making the call object (a manager refusing, an allocation) becomes a TypeError
// "<script name> : <text>"; no exception ever leaves a method.
#ifndef KYT_ADDON_METHOD_KIT_H
#define KYT_ADDON_METHOD_KIT_H

#include <exception>
#include <memory>
#include <string>

#include <v8.h>

#include "addon/kyt_addon.h"
#include "javascript/js_async.h"
#include "javascript/js_base.h"
#include "javascript/js_event.h"

namespace kyt {

void ThrowMethodTypeError(v8::Isolate* isolate, const std::string& text);

template <class Make>
void RunSyncCall(const char* script_name, const KytAddon::Info& info, Make make) {
  KytAddon* addon = KytAddon::Self(info);
  if (addon == nullptr) return;
  try {
    auto call = make(*addon, info.GetIsolate());
    call.Run(info);
  } catch (const std::exception& e) {
    ThrowMethodTypeError(info.GetIsolate(), std::string(script_name) + " : " + e.what());
  } catch (...) {
    ThrowMethodTypeError(info.GetIsolate(), std::string(script_name) + " : unknown error");
  }
}

template <class Make>
void RunAsyncCall(const char* script_name, const KytAddon::Info& info, Make make) {
  KytAddon* addon = KytAddon::Self(info);
  if (addon == nullptr) return;
  std::unique_ptr<tyr::JsAsync> call;
  try {
    call.reset(make(*addon, info.GetIsolate()));
  } catch (const std::exception& e) {
    ThrowMethodTypeError(info.GetIsolate(), std::string(script_name) + " : " + e.what());
    return;
  } catch (...) {
    ThrowMethodTypeError(info.GetIsolate(), std::string(script_name) + " : unknown error");
    return;
  }
  if (call->Run(info)) call.release();  // queued: it deletes itself after its callback
}

template <class Make>
void RunEventCall(const char* script_name, const KytAddon::Info& info, Make make) {
  KytAddon* addon = KytAddon::Self(info);
  if (addon == nullptr) return;
  v8::Isolate* isolate = info.GetIsolate();
  if (!addon->IsNvmeReady()) {
    ThrowMethodTypeError(isolate, "NVMe driver is not loaded yet");
    return;
  }
  try {
    JsEvent* event = make(*addon, isolate, addon->GetDefaultBdf());
    JsEvent::Start(event, info, addon->GetDriver());  // deletes the event itself when parsing fails
  } catch (const std::exception& e) {
    ThrowMethodTypeError(isolate, std::string(script_name) + " : " + e.what());
  } catch (...) {
    ThrowMethodTypeError(isolate, std::string(script_name) + " : unknown error");
  }
}

}  // namespace kyt

#define KYT_METHOD(script_name, callback) \
  { script_name, callback }

#define KYT_SYNC(script_name, Call, ...)                                                          \
  {                                                                                               \
    script_name, [](const ::kyt::KytAddon::Info& info) {                                          \
      ::kyt::RunSyncCall(script_name, info, [](::kyt::KytAddon& addon, v8::Isolate* isolate) {    \
        (void)addon;                                                                              \
        (void)isolate;                                                                            \
        return Call(__VA_ARGS__);                                                                 \
      });                                                                                         \
    }                                                                                             \
  }

#define KYT_ASYNC(script_name, Call, ...)                                                         \
  {                                                                                               \
    script_name, [](const ::kyt::KytAddon::Info& info) {                                          \
      ::kyt::RunAsyncCall(script_name, info, [](::kyt::KytAddon& addon, v8::Isolate* isolate) {   \
        (void)addon;                                                                              \
        (void)isolate;                                                                            \
        return static_cast<::tyr::JsAsync*>(new Call(__VA_ARGS__));                               \
      });                                                                                         \
    }                                                                                             \
  }

#define KYT_EVENT(script_name, Event, ...)                                                        \
  {                                                                                               \
    script_name, [](const ::kyt::KytAddon::Info& info) {                                          \
      ::kyt::RunEventCall(script_name, info,                                                      \
                          [](::kyt::KytAddon& addon, v8::Isolate* isolate, const std::string& bdf) { \
                            (void)addon;                                                          \
                            return static_cast<::JsEvent*>(new Event(__VA_ARGS__));               \
                          });                                                                     \
    }                                                                                             \
  }

#endif  // KYT_ADDON_METHOD_KIT_H
