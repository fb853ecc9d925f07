#include "addon/kyt_addon.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <set>

#include "addon/stdout_gate.h"
#include "devices/ftdi_device_manager.h"
#include "devices/pmu/dorvan_controller_manager.h"
#include "devices/pmu/kyt_controller_manager.h"
#include "devices/pmu/power_controller.h"
#include "devices/pollable_manager.h"
#include "devices/serial_port_manager.h"
#include "devices/usb_device_manager.h"
#include "javascript/js_hook_manager.h"
#include "javascript/js_base.h"
#include "nvme/nvme_driver.h"
#include "runner/log_line.h"

namespace kyt {

namespace {

// Objects of this process whose script objects have not been collected yet. Script's thread only.
std::set<KytAddon*>& LiveObjects() {
  static std::set<KytAddon*>* objects = new std::set<KytAddon*>();  // outlives every static destructor
  return *objects;
}

// The driver whose worker an object of this process started last: the NVMe side runs once per process, so while it
// runs no other object may start one (its worker would meet the same device and core). Guards the starts too.
std::mutex& StartMutex() {
  static std::mutex* mutex = new std::mutex();  // outlives every static destructor
  return *mutex;
}
std::weak_ptr<NvmeDriver>& RunningDriver() {
  static auto* driver = new std::weak_ptr<NvmeDriver>();
  return *driver;
}

v8::Local<v8::String> Text(v8::Isolate* isolate, const std::string& text) {
  v8::Local<v8::String> result;
  if (!v8::String::NewFromUtf8(isolate, text.c_str(), v8::NewStringType::kNormal).ToLocal(&result)) {
    return v8::String::Empty(isolate);
  }
  return result;
}

void ThrowError(v8::Isolate* isolate, const std::string& text) {
  isolate->ThrowException(v8::Exception::Error(Text(isolate, text)));
}

void ThrowTypeError(v8::Isolate* isolate, const std::string& text) {
  isolate->ThrowException(v8::Exception::TypeError(Text(isolate, text)));
}

}  // namespace

v8::Persistent<v8::Function> KytAddon::constructor_;

// ---------------------------------------------------------------------------------------------------------------
// Registration

void Initialize(v8::Local<v8::Object> exports, v8::Local<v8::Value> /*module*/, void* /*priv*/) {
  KytAddon::Init(exports);
}

void KytAddon::Init(v8::Local<v8::Object> exports) {
  v8::Isolate* isolate = exports->GetIsolate();
  v8::Local<v8::Context> context = isolate->GetCurrentContext();

  static bool hooks_registered = false;
  if (!hooks_registered) {
    hooks_registered = true;
    StdoutGate::Instance().Install();
    node::AddEnvironmentCleanupHook(isolate, &KytAddon::CleanupHook, isolate);
    // process.exit() joins the host's worker pool before exit() runs the atexit handlers: the objects must let go of
    // what a pool thread may still wait on (a port's read or write) before that, from the environment's own exit hooks.
    node::AtExit(node::GetCurrentEnvironment(context), [](void*) { ExitHandler(); }, nullptr);
    std::atexit(&KytAddon::ExitHandler);
  }

  v8::Local<v8::FunctionTemplate> tpl = v8::FunctionTemplate::New(isolate, &KytAddon::New);
  tpl->SetClassName(Text(isolate, "KytAddon"));
  tpl->InstanceTemplate()->SetInternalFieldCount(1);

  for (size_t i = 0; i < kMethodCount; ++i) {
    v8::HandleScope scope(isolate);
    v8::Local<v8::Signature> signature = v8::Signature::New(isolate, tpl);
    v8::Local<v8::FunctionTemplate> method =
        v8::FunctionTemplate::New(isolate, kMethods[i].callback, v8::Local<v8::Value>(), signature, 0,
                                  v8::ConstructorBehavior::kAllow, v8::SideEffectType::kHasSideEffect);
    v8::Local<v8::String> name;
    if (!v8::String::NewFromUtf8(isolate, kMethods[i].name, v8::NewStringType::kInternalized).ToLocal(&name)) {
      ThrowError(isolate, std::string("cannot register method ") + kMethods[i].name);
      return;
    }
    method->SetClassName(name);
    tpl->PrototypeTemplate()->Set(name, method);
  }

  v8::Local<v8::Function> constructor;
  if (!tpl->GetFunction(context).ToLocal(&constructor)) return;  // the host's exception is pending
  constructor_.Reset(isolate, constructor);
  exports->Set(context, Text(isolate, "KytAddon"), constructor).Check();
}

void KytAddon::New(const Info& info) {
  v8::Isolate* isolate = info.GetIsolate();
  v8::Local<v8::Context> context = isolate->GetCurrentContext();

  if (info.NewTarget()->IsUndefined()) {
    // Called without `new`: construct without arguments (never quiet).
    if (constructor_.IsEmpty()) {
      ThrowError(isolate, "KytAddon is no longer available");
      return;
    }
    v8::Local<v8::Function> constructor = v8::Local<v8::Function>::New(isolate, constructor_);
    v8::Local<v8::Object> instance;
    if (constructor->NewInstance(context, 0, nullptr).ToLocal(&instance)) info.GetReturnValue().Set(instance);
    return;
  }

  const bool quiet = info.Length() >= 1 && info[0]->IsBoolean() && info[0].As<v8::Boolean>()->Value();
  KytAddon* object = nullptr;
  try {
    object = new KytAddon(quiet);
  } catch (const std::exception& e) {
    ThrowError(isolate, e.what());
    return;
  } catch (...) {
    ThrowError(isolate, "KytAddon construction failed");
    return;
  }
  object->Wrap(info.This());
  info.GetReturnValue().Set(info.This());
}

KytAddon* KytAddon::Self(const Info& info) {
  v8::Local<v8::Object> holder = info.Holder();
  KytAddon* self = nullptr;
  if (holder->InternalFieldCount() > 0 && holder->GetAlignedPointerFromInternalField(0) != nullptr) {
    self = node::ObjectWrap::Unwrap<KytAddon>(holder);
  }
  if (self == nullptr) ThrowError(info.GetIsolate(), "KytAddon object has been released");
  return self;
}

// ---------------------------------------------------------------------------------------------------------------
// Life

KytAddon::KytAddon(bool quiet) {
  if (quiet) {
    StdoutGate::Instance().Close();
  } else {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  }
  LogLine("ADDON: Creating Addon");
  // The managers are built here, each stored before the next is made (see the member list in the header).
  poll_manager_ = std::make_shared<tyr::threading::PollableManager>();
  ftdi_manager_ = std::make_shared<tyr::ftdi::FtdiDeviceManager>(poll_manager_);
  usb_device_manager_ = std::make_shared<tyr::usb::UsbDeviceManager>(std::vector<std::string>{"ftdi"});
  serial_port_manager_ = std::make_shared<tyr::serialport::SerialPortManager>(usb_device_manager_, poll_manager_);
  hook_manager_ = std::make_shared<tyr::JsHookManager>();
  kyt_controller_manager_ = std::make_shared<tyr::pmu::KytControllerManager>(serial_port_manager_, ftdi_manager_,
                                                                          usb_device_manager_, poll_manager_);
  dorvan_controller_manager_ = std::make_shared<tyr::pmu::DorvanControllerManager>(serial_port_manager_);
  power_controller_ = std::make_shared<tyr::pmu::PowerController>(kyt_controller_manager_, dorvan_controller_manager_);
  LiveObjects().insert(this);
}

KytAddon::~KytAddon() {
  LiveObjects().erase(this);
  LogLine("ADDON: Deleting Addon");
  ReleaseMembers();
}

void KytAddon::ReleaseMembers() {
  // Managers first (reverse declaration order), then the default address, then the NVMe driver.
  // The poll manager goes with its last holder (the FTDI device manager), after every port is closed.
  poll_manager_.reset();
  usb_device_manager_.reset();
  hook_manager_.reset();
  power_controller_.reset();
  dorvan_controller_manager_.reset();
  kyt_controller_manager_.reset();
  serial_port_manager_.reset();
  ftdi_manager_.reset();
  default_bdf_.clear();
  driver_.reset();
}

size_t KytAddon::LiveObjectCount() {
  return LiveObjects().size();
}

void KytAddon::CleanupHook(void* arg) {
  // The host environment is going away (normal end of the process): the collector will not run again, so tear every
  // remaining object down as a collection would, then let go of the constructor.
  auto* isolate = static_cast<v8::Isolate*>(arg);
  v8::HandleScope scope(isolate);
  const std::set<KytAddon*> objects = LiveObjects();
  for (KytAddon* object : objects) {
    if (!object->persistent().IsEmpty()) {
      object->handle(isolate)->SetAlignedPointerInInternalField(0, nullptr);
    }
    delete object;
  }
  constructor_.Reset();
}

void KytAddon::ExitHandler() {
  // process.exit() ends the process without the environment's clean-up: release what the objects hold (workloads
  // stopped, tasks released, controllers detached, threads joined) without touching the script engine. The NVMe side
  // stops even while pending calls still hold it: their callbacks are never called now.
  for (KytAddon* object : LiveObjects()) {
    LogLine("ADDON: Deleting Addon");
    if (object->driver_) object->driver_->Shutdown();
    object->ReleaseMembers();
  }
  LiveObjects().clear();
}

bool KytAddon::IsNvmeReady() const {
  return driver_ && driver_->IsStarted() && !default_bdf_.empty();
}

// ---------------------------------------------------------------------------------------------------------------
// NVMe start

void KytAddon::NvmeSetDefaultBdf(const Info& info) {
  KytAddon* self = Self(info);
  if (self == nullptr) return;
  v8::Isolate* isolate = info.GetIsolate();
  // The conversion first: it may run script code (a toString), which may itself set the address. Only then is the
  // "already set" test made, once, so that the address stored is the first one set and never overwritten.
  v8::Local<v8::String> text;
  if (!info[0]->ToString(isolate->GetCurrentContext()).ToLocal(&text)) return;  // its exception is pending
  std::string bdf;
  try {
    bdf = tyr::JsBase::ToStdString(isolate, text, "argument \"bdf\"");
  } catch (const std::exception& e) {
    ThrowTypeError(isolate, std::string("setDefaultBdf : ") + e.what());
    return;
  }
  if (!self->default_bdf_.empty()) return;
  self->default_bdf_ = std::move(bdf);
  LogLine("ADDON: Setting BDF = " + self->default_bdf_);
}

void KytAddon::NvmeStartTaskScheduler(const Info& info) {
  KytAddon* self = Self(info);
  if (self == nullptr) return;
  v8::Isolate* isolate = info.GetIsolate();
  v8::Local<v8::Context> context = isolate->GetCurrentContext();
  uint32_t numbers[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    if (!info[i]->Uint32Value(context).To(&numbers[i])) return;  // its exception is pending
  }
  try {
    std::string error;
    bool started = false;
    {
      std::lock_guard<std::mutex> lock(StartMutex());
      const std::shared_ptr<NvmeDriver> running = RunningDriver().lock();
      if (running && running != self->driver_ && running->IsStarted()) {
        error = "Another KytAddon object of this process already runs the NVMe side";
        LogLine("NVME: " + error);
      } else {
        if (!self->driver_) {
          self->driver_ = std::make_shared<NvmeDriver>();
          LogLine("ADDON: Created NvmeDriver instance");
        }
        started = self->driver_->StartScheduler(numbers[0], numbers[1], numbers[2], self->default_bdf_);
        if (started) {
          RunningDriver() = self->driver_;
        } else {
          error = self->driver_->GetStartError();
        }
      }
    }
    // Why a start failed stays readable on the object, whether or not its log lines are shown.
    if (info.This()
            ->DefineOwnProperty(context, Text(isolate, "startError"), Text(isolate, error), v8::ReadOnly)
            .IsNothing()) {
      return;  // its exception is pending
    }
    info.GetReturnValue().Set(started);
  } catch (const std::exception& e) {
    ThrowTypeError(isolate, std::string("startTaskScheduler : ") + e.what());
  } catch (...) {
    ThrowTypeError(isolate, "startTaskScheduler : unknown error");
  }
}

}  // namespace kyt

// ---------------------------------------------------------------------------------------------------------------
// The module record: the host finds the module "kyt" through it when it loads the shared object.

static node::node_module kyt_module = {
    NODE_MODULE_VERSION,
    0,
    nullptr,
    "../src/addon/kyt_addon.cc",
    &kyt::Initialize,
    nullptr,
    "kyt",
    nullptr,
    nullptr,
};

static void _register_kyt() __attribute__((constructor));
static void _register_kyt() {
  node_module_register(&kyt_module);
}
