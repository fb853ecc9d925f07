// The exported class "KytAddon": the native object behind each script object, the composition root of the system.
//
// Construction decides where log output goes (quiet: standard output is discarded for the rest of the process;
// otherwise it is made unbuffered), logs "ADDON: Creating Addon" and builds the long-lived managers. The NVMe side is
// added by startTaskScheduler. The object lives as long as its script object; when the collector frees that (or its
// environment ends) the destructor logs "ADDON: Deleting Addon" and releases the members in reverse declaration
// order, the NVMe driver last.
//
// The module loads into every environment of the process (the main thread and worker threads), each with a class of
// its own. Objects of any environment drive ports and boards; the NVMe side runs once per process, for one object at
// a time. When an environment ends (the process ends, a worker is terminated or calls process.exit()), the NVMe side
// its objects started stops, their pending calls are dropped without their callbacks, and the objects go.
//
// The prototype methods are listed in kyt_addon_methods.cc (one line per method, see the notes at its top).
#ifndef KYT_ADDON_KYT_ADDON_H
#define KYT_ADDON_KYT_ADDON_H

#include <cstddef>
#include <memory>
#include <string>

#include <node.h>
#include <node_object_wrap.h>
#include <v8.h>

class NvmeDriver;

namespace tyr::threading {
class PollableManager;
}
namespace tyr::ftdi {
class FtdiDeviceManager;
}
namespace tyr::usb {
class UsbDeviceManager;
}
namespace tyr::serialport {
class SerialPortManager;
}
namespace tyr {
class JsHookManager;
}
namespace tyr::pmu {
class KytControllerManager;
class DorvanControllerManager;
class PowerController;
}

namespace kyt {

class KytAddon : public node::ObjectWrap {
 public:
  using Info = v8::FunctionCallbackInfo<v8::Value>;
  using Callback = void (*)(const Info&);
  struct Method {
    const char* name;   // the script name
    Callback callback;  // runs on the script's thread
  };

  // Builds the class with the method table for the context's environment and sets exports.KytAddon to its
  // constructor.
  static void Init(v8::Local<v8::Object> exports, v8::Local<v8::Context> context);
  // Construction callback: `new KytAddon(quiet?)`; without `new` a plain (not quiet) instance is made.
  static void New(const Info& info);

  // The native object of a method call's receiver. Null, with an Error pending, when the object has already been
  // torn down (after the host environment's shutdown).
  static KytAddon* Self(const Info& info);

  // ---- NVMe side ----
  // Empty until the first startTaskScheduler.
  const std::shared_ptr<NvmeDriver>& GetDriver() const { return driver_; }
  // Empty until setDefaultBdf.
  const std::string& GetDefaultBdf() const { return default_bdf_; }
  // The driver exists, its worker runs and a default PCI address is set: NVMe methods may start work.
  bool IsNvmeReady() const;

  // setDefaultBdf(bdf): stores the address text once; later calls change nothing.
  static void NvmeSetDefaultBdf(const Info& info);
  // startTaskScheduler(masterCore, workerCore, shmId) → boolean.
  static void NvmeStartTaskScheduler(const Info& info);

  // ---- Managers (bench side) ----
  // Accessors for the managers go here, one per member, e.g.
  //   const std::shared_ptr<tyr::ftdi::FtdiDeviceManager>& GetFtdiDeviceManager() const { return ftdi_manager_; }
  const std::shared_ptr<tyr::ftdi::FtdiDeviceManager>& GetFtdiDeviceManager() const { return ftdi_manager_; }
  const std::shared_ptr<tyr::serialport::SerialPortManager>& GetSerialPortManager() const {
    return serial_port_manager_;
  }
  const std::shared_ptr<tyr::usb::UsbDeviceManager>& GetUsbDeviceManager() const { return usb_device_manager_; }
  const std::shared_ptr<tyr::threading::PollableManager>& GetPollableManager() const { return poll_manager_; }
  const std::shared_ptr<tyr::JsHookManager>& GetHookManager() const { return hook_manager_; }
  const std::shared_ptr<tyr::pmu::KytControllerManager>& GetKytControllerManager() const {
    return kyt_controller_manager_;
  }
  const std::shared_ptr<tyr::pmu::DorvanControllerManager>& GetDorvanControllerManager() const {
    return dorvan_controller_manager_;
  }
  const std::shared_ptr<tyr::pmu::PowerController>& GetPowerController() const { return power_controller_; }

  // The method table (kyt_addon_methods.cc).
  static const Method kMethods[];
  static const size_t kMethodCount;

  // The class and the objects of one environment (defined in kyt_addon.cc).
  struct Environment;

 private:
  explicit KytAddon(bool quiet);
  ~KytAddon() override;

  // Releases the members in reverse declaration order (the destructor's work; also run at exit); logs "ADDON: Deleting
  // Addon" the first time.
  void ReleaseMembers();

  // The environment's end (its thread, script engine still there): the NVMe side stops, the objects are deleted.
  static void EndEnvironment(v8::Isolate* isolate, node::Environment* host, Environment* environment);
  // process.exit() in the environment: its objects let go of everything before the process (or thread) ends.
  static void ExitEnvironment(void* host);
  // The process's exit: what any environment still holds.
  static void ExitHandler();

  // Members, in declaration order (destruction runs in reverse):
  std::shared_ptr<NvmeDriver> driver_;  // 1: released last
  std::string default_bdf_;             // 2
  // 3..10: the managers, in this order: FTDI device manager, serial port manager, PMU controller manager,
  // relay box manager, power controller, hook manager, USB device manager, poll manager. Each is made with
  // std::make_shared in the constructor (after "ADDON: Creating Addon", construction order: poll manager, FTDI device
  // manager, USB device manager, serial port manager, hook manager, PMU controller manager, relay box manager, power
  // controller) and reset in ReleaseMembers in reverse declaration order.
  std::shared_ptr<tyr::ftdi::FtdiDeviceManager> ftdi_manager_;                // 3
  std::shared_ptr<tyr::serialport::SerialPortManager> serial_port_manager_;  // 4
  std::shared_ptr<tyr::pmu::KytControllerManager> kyt_controller_manager_;  // 5
  std::shared_ptr<tyr::pmu::DorvanControllerManager> dorvan_controller_manager_;  // 6
  std::shared_ptr<tyr::pmu::PowerController> power_controller_;                  // 7
  std::shared_ptr<tyr::JsHookManager> hook_manager_;                        // 8
  std::shared_ptr<tyr::usb::UsbDeviceManager> usb_device_manager_;          // 9
  std::shared_ptr<tyr::threading::PollableManager> poll_manager_;           // 10

  Environment* environment_ = nullptr;  // set by New
  bool released_ = false;
};

// The module's registration function, called for each environment that loads the module: builds the class and
// exports it.
void Initialize(v8::Local<v8::Object> exports, v8::Local<v8::Value> module, v8::Local<v8::Context> context,
                void* priv);

}  // namespace kyt

#endif  // KYT_ADDON_KYT_ADDON_H
