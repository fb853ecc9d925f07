#include "addon/kyt_addon.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "devices/ftdi_device_manager.h"
#include "devices/pmu/dorvan_controller_manager.h"
#include "devices/pmu/kyt_controller_manager.h"
#include "devices/pmu/power_controller.h"
#include "devices/pollable_manager.h"
#include "devices/serial_port_manager.h"
#include "devices/usb_device_manager.h"
#include "javascript/js_environment.h"
#include "javascript/js_hook_manager.h"
#include "javascript/js_value_kit.h"
#include "nvme/nvme_driver.h"
#include "utility/log_line.h"
#include "utility/stdout_gate.h"

namespace kyt {

namespace {

// The environments that loaded the module and have not ended, with their objects. Each environment's thread works on
// its own; the lock is for the others (the checks across environments, the process's exit).
std::mutex& RegistryMutex() {
  static std::mutex* mutex = new std::mutex();  // outlives every static destructor
  return *mutex;
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

struct KytAddon::Environment {
  v8::Global<v8::Function> constructor;
  std::set<KytAddon*> objects;  // whose script objects have not been collected yet
  // Drivers started by its objects: one may outlive its object while calls are pending, and stops with the
  // environment all the same.
  std::vector<std::weak_ptr<NvmeDriver>> drivers;
  bool hooked = false;  // its end and its exit are registered with the host

  // Lists a started driver once (a start of a running driver answers true again); drivers gone meanwhile leave.
  void NoteDriver(const std::shared_ptr<NvmeDriver>& driver) {
    drivers.erase(std::remove_if(drivers.begin(), drivers.end(),
                                 [](const std::weak_ptr<NvmeDriver>& started) { return started.expired(); }),
                  drivers.end());
    for (const std::weak_ptr<NvmeDriver>& started : drivers) {
      if (started.lock() == driver) return;
    }
    drivers.push_back(driver);
  }

  // Stops the NVMe side its objects started, even while pending calls still hold it: every task is released (those
  // calls never call back now) and no worker touches what goes next.
  void StopNvme() {
    for (KytAddon* object : objects) {
      if (object->driver_) object->driver_->Shutdown();
    }
    for (const std::weak_ptr<NvmeDriver>& started : drivers) {
      if (const std::shared_ptr<NvmeDriver> driver = started.lock()) driver->Shutdown();
    }
  }
  // Without the script engine (exit hooks): the objects let go of everything they hold (workloads stopped, tasks
  // released, controllers detached, threads joined); the objects themselves stay.
  void ReleaseAtExit() {
    StopNvme();
    for (KytAddon* object : objects) object->ReleaseMembers();
  }
};

namespace {

std::map<node::Environment*, KytAddon::Environment*>& Environments() {
  static auto* environments = new std::map<node::Environment*, KytAddon::Environment*>();
  return *environments;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// Registration

void Initialize(v8::Local<v8::Object> exports, v8::Local<v8::Value> /*module*/, v8::Local<v8::Context> context,
                void* /*priv*/) {
  KytAddon::Init(exports, context);
}

void KytAddon::Init(v8::Local<v8::Object> exports, v8::Local<v8::Context> context) {
  v8::Isolate* isolate = context->GetIsolate();

  static std::once_flag process_hooks;
  std::call_once(process_hooks, [] {
    StdoutGate::Instance().Install();
    std::atexit(&KytAddon::ExitHandler);
  });

  node::Environment* host = node::GetCurrentEnvironment(context);
  Environment* environment = nullptr;
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Environment*& known = Environments()[host];
    if (known == nullptr) known = new Environment();
    environment = known;
  }
  if (!environment->hooked) {  // the environment's first load
    try {
      tyr::JsEnvironment::ForIsolate(isolate)->OnEnd(
          [isolate, host, environment] { EndEnvironment(isolate, host, environment); });
    } catch (const std::exception& e) {
      ThrowError(isolate, e.what());
      return;
    }
    // process.exit() joins the host's worker pool before exit() runs the atexit handlers: the objects must let go of
    // what a pool thread may still wait on (a port's read or write) before that, from the environment's own exit hooks.
    node::AtExit(host, &KytAddon::ExitEnvironment, host);
    environment->hooked = true;
  }

  v8::Local<v8::FunctionTemplate> tpl =
      v8::FunctionTemplate::New(isolate, &KytAddon::New, v8::External::New(isolate, environment));
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
  environment->constructor.Reset(isolate, constructor);
  exports->Set(context, Text(isolate, "KytAddon"), constructor).Check();
}

void KytAddon::New(const Info& info) {
  v8::Isolate* isolate = info.GetIsolate();
  v8::Local<v8::Context> context = isolate->GetCurrentContext();

  auto* environment = static_cast<Environment*>(info.Data().As<v8::External>()->Value());
  if (info.NewTarget()->IsUndefined()) {
    // Called without `new`: construct without arguments (never quiet).
    if (environment->constructor.IsEmpty()) {
      ThrowError(isolate, "KytAddon is no longer available");
      return;
    }
    v8::Local<v8::Function> constructor = environment->constructor.Get(isolate);
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
  object->environment_ = environment;
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    environment->objects.insert(object);
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
}

KytAddon::~KytAddon() {
  if (environment_ != nullptr) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    environment_->objects.erase(this);
  }
  ReleaseMembers();
}

void KytAddon::ReleaseMembers() {
  if (!released_) LogLine("ADDON: Deleting Addon");
  released_ = true;
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

void KytAddon::EndEnvironment(v8::Isolate* isolate, node::Environment* host, Environment* environment) {
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Environments().erase(host);
  }
  // No script runs any more: the NVMe side stops first, then the objects go as a collection would take them.
  environment->StopNvme();
  const std::set<KytAddon*> objects = environment->objects;
  for (KytAddon* object : objects) {
    if (!object->persistent().IsEmpty()) object->handle(isolate)->SetAlignedPointerInInternalField(0, nullptr);
    delete object;
  }
  environment->constructor.Reset();
  delete environment;
}

void KytAddon::ExitEnvironment(void* host) {
  // The objects themselves go at the environment's end, if it comes (it does not after the main thread's exit).
  std::lock_guard<std::mutex> lock(RegistryMutex());
  const auto found = Environments().find(static_cast<node::Environment*>(host));
  if (found != Environments().end()) found->second->ReleaseAtExit();  // not found: it has ended already
}

void KytAddon::ExitHandler() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  for (const auto& entry : Environments()) entry.second->ReleaseAtExit();
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
    bdf = tyr::JsValueKit::ToStdString(isolate, text, "argument \"bdf\"");
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
          std::lock_guard<std::mutex> registry(RegistryMutex());
          self->environment_->NoteDriver(self->driver_);
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
    nullptr,
    &kyt::Initialize,  // context-aware: every environment that loads the module gets its own class
    "kyt",
    nullptr,
    nullptr,
};

static void _register_kyt() __attribute__((constructor));
static void _register_kyt() {
  node_module_register(&kyt_module);
}

// The host's well-known entry point. It finds the record above only while some environment that loaded the module
// lives; once they have all ended (a worker that loaded it alone was terminated), the shared object stays in the
// process but the record is forgotten, and a later load comes in here.
extern "C" NODE_MODULE_EXPORT void NODE_MODULE_INITIALIZER(v8::Local<v8::Object> exports,
                                                           v8::Local<v8::Value> module,
                                                           v8::Local<v8::Context> context) {
  kyt::Initialize(exports, module, context, nullptr);
}
