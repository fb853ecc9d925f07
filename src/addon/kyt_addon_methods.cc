// The prototype methods of KytAddon, in registration order.
//
// How to add a method: include the header of its call object below and add ONE line at its place in the table
// (the order of the table is the order of the prototype), using the row macros of addon/method_kit.h:
//
//   KYT_SYNC("ftdiOpen", tyr::JsFtdiOpen, addon.GetFtdiDeviceManager(), isolate),
//   KYT_ASYNC("getDeviceInfo", tyr::nodejs::JsNvmeGetDeviceInfoAsync, isolate, addon.GetDriver(),
//             addon.GetDefaultBdf()),
//   KYT_EVENT("read", JsEventNvmRead, bdf, isolate),
//   KYT_METHOD("setDefaultBdf", &KytAddon::NvmeSetDefaultBdf),
//
// The arguments after the class are its constructor's; `addon` (the KytAddon), `isolate` and, for events, `bdf` (the
// default PCI address) are in scope. Register a method only when it works.
#include "addon/kyt_addon.h"
#include "addon/method_kit.h"

// Call objects of the rows.
#include "javascript/js_event_admin_create_qpair.h"
#include "javascript/js_event_admin_delete_qpair.h"
#include "javascript/js_event_admin_format_nvm.h"
#include "javascript/js_event_create_workload_generator.h"
#include "javascript/js_event_nvm_dsm.h"
#include "javascript/js_event_nvm_read.h"
#include "javascript/js_event_nvm_write.h"
#include "javascript/js_event_send_generic_command.h"
#include "javascript/js_nvme_generic_functions.h"
#include "javascript/js_nvme_get_device_info_async.h"
#include "javascript/js_nvme_get_namespace_info_async.h"
#include "javascript/js_ftdi_get_device_list.h"
#include "javascript/js_ftdi_open.h"
#include "javascript/js_ftdi_set_bitmode.h"
#include "javascript/js_ioport_read_async.h"
#include "javascript/js_ioport_sync_calls.h"
#include "javascript/js_ioport_write_async.h"
#include "javascript/js_serialport_get_device_list.h"
#include "javascript/js_serialport_open.h"
#include "javascript/js_power_controller_call.h"
#include "javascript/js_power_controller_enable_power_monitor.h"
#include "javascript/js_power_controller_init.h"
#include "javascript/js_hook_methods.h"
#include "javascript/kytrix_pmu/kytrix_pmu_open_controller.h"
#include "javascript/kytrix_pmu/kytrix_pmu_close_controller.h"
#include "javascript/kytrix_pmu/kytrix_pmu_get_version.h"
#include "javascript/kytrix_pmu/kytrix_pmu_measure_power.h"
#include "javascript/kytrix_pmu/kytrix_pmu_get_pmu_info.h"
#include "javascript/kytrix_pmu/kytrix_pmu_get_adapter_info.h"
#include "javascript/kytrix_pmu/kytrix_pmu_get_debug_board_info.h"
#include "javascript/kytrix_pmu/kytrix_pmu_set_fan_speed.h"
#include "javascript/kytrix_pmu/kytrix_pmu_get_fan_speed.h"
#include "javascript/kytrix_pmu/kytrix_pmu_change_power.h"
#include "javascript/kytrix_pmu/kytrix_pmu_send_smbus_block_write.h"
#include "javascript/kytrix_pmu/kytrix_pmu_get_received_smbus_block_write.h"
#include "javascript/kytrix_pmu/kytrix_pmu_reset.h"
#include "javascript/kytrix_pmu/kytrix_pmu_update_firmware.h"

namespace kyt {

void ThrowMethodTypeError(v8::Isolate* isolate, const std::string& text) {
  v8::Local<v8::String> message;
  if (!v8::String::NewFromUtf8(isolate, text.c_str(), v8::NewStringType::kNormal).ToLocal(&message)) {
    message = v8::String::Empty(isolate);
  }
  isolate->ThrowException(v8::Exception::TypeError(message));
}

const KytAddon::Method KytAddon::kMethods[] = {
    KYT_EVENT("startWorkloadGenerator", JsEventCreateWorkloadGenerator, bdf, isolate, addon.GetHookManager()),
    KYT_EVENT("createQueuePair", JsEventAdminCreateQpair, bdf, isolate),
    KYT_EVENT("deleteQueuePair", JsEventAdminDeleteQpair, bdf, isolate),
    KYT_EVENT("sendGenericCommand", JsEventSendGenericCommand, bdf, isolate),
    KYT_ASYNC("getDeviceInfo", tyr::nodejs::JsNvmeGetDeviceInfoAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_ASYNC("getNamespaceInfo", tyr::nodejs::JsNvmeGetNamespaceInfoAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_EVENT("formatNvm", JsEventAdminFormatNvm, bdf, isolate),
    KYT_EVENT("read", JsEventNvmRead, bdf, isolate),
    KYT_EVENT("write", JsEventNvmWrite, bdf, isolate),
    KYT_EVENT("datasetManagement", JsEventNvmDsm, bdf, isolate),
    KYT_ASYNC("enableDataValidator", tyr::nodejs::JsNvmeEnableDataValidatorAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_ASYNC("disableDataValidator", tyr::nodejs::JsNvmeDisableDataValidatorAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_ASYNC("enableCommandTracker", tyr::nodejs::JsNvmeEnableCommandTrackerAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_ASYNC("disableCommandTracker", tyr::nodejs::JsNvmeDisableCommandTrackerAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_ASYNC("setCommandTrackerLog", tyr::nodejs::JsNvmeSetCommandTrackerLogAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_ASYNC("scanAttachment", tyr::nodejs::JsNvmeScanAttachmentAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_ASYNC("scanRemoval", tyr::nodejs::JsNvmeScanRemovalAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_ASYNC("resetController", tyr::nodejs::JsNvmeResetControllerAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_ASYNC("shutdown", tyr::nodejs::JsNvmeShutdownAsync, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    KYT_METHOD("setDefaultBdf", &KytAddon::NvmeSetDefaultBdf),
    KYT_METHOD("startTaskScheduler", &KytAddon::NvmeStartTaskScheduler),
    KYT_ASYNC("nvmeSetErrorInjection", tyr::nodejs::JsNvmeSetErrorInjection, isolate, addon.GetDriver(), addon.GetDefaultBdf()),
    // Ports: FTDI channels.
    KYT_SYNC("ftdiGetDeviceList", tyr::JsFtdiGetDeviceList, addon.GetFtdiDeviceManager(), isolate),
    KYT_SYNC("ftdiGetErrorCode", tyr::JsIoPortGetErrorCode, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_SYNC("ftdiOpen", tyr::JsFtdiOpen, addon.GetFtdiDeviceManager(), isolate),
    KYT_SYNC("ftdiClose", tyr::JsIoPortClose, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_SYNC("ftdiSetBaudRate", tyr::JsIoPortSetBaudRate, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_SYNC("ftdiSetParity", tyr::JsIoPortSetParity, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_ASYNC("ftdiRead", tyr::JsIoPortReadAsync, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_ASYNC("ftdiWrite", tyr::JsIoPortWriteAsync, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_SYNC("ftdiPipe", tyr::JsIoPortPipe, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_SYNC("ftdiUnpipe", tyr::JsIoPortUnpipe, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_SYNC("ftdiPipeText", tyr::JsIoPortPipeText, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_SYNC("ftdiUseBinaryMode", tyr::JsIoPortUseBinaryMode, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_SYNC("ftdiUseTextMode", tyr::JsIoPortUseTextMode, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_SYNC("ftdiFlushBuffer", tyr::JsIoPortFlushBuffer, addon.GetFtdiDeviceManager(), "ftdi", isolate),
    KYT_SYNC("ftdiSetBitmode", tyr::JsFtdiSetBitmode, addon.GetFtdiDeviceManager(), isolate),
    // Ports: serial ports.
    KYT_SYNC("serialportGetDeviceList", tyr::JsSerialPortGetDeviceList, addon.GetSerialPortManager(), isolate),
    KYT_SYNC("serialportGetErrorCode", tyr::JsIoPortGetErrorCode, addon.GetSerialPortManager(), "serialport", isolate),
    KYT_SYNC("serialportOpen", tyr::JsSerialPortOpen, addon.GetSerialPortManager(), isolate),
    KYT_SYNC("serialportClose", tyr::JsIoPortClose, addon.GetSerialPortManager(), "serialport", isolate),
    KYT_SYNC("serialportSetBaudRate", tyr::JsIoPortSetBaudRate, addon.GetSerialPortManager(), "serialport", isolate),
    KYT_ASYNC("serialportRead", tyr::JsIoPortReadAsync, addon.GetSerialPortManager(), "serialport", isolate),
    KYT_ASYNC("serialportWrite", tyr::JsIoPortWriteAsync, addon.GetSerialPortManager(), "serialport", isolate),
    KYT_SYNC("serialportPipe", tyr::JsIoPortPipe, addon.GetSerialPortManager(), "serialport", isolate),
    KYT_SYNC("serialportUnpipe", tyr::JsIoPortUnpipe, addon.GetSerialPortManager(), "serialport", isolate),
    KYT_SYNC("serialportPipeText", tyr::JsIoPortPipeText, addon.GetSerialPortManager(), "serialport", isolate),
    KYT_SYNC("serialportUseBinaryMode", tyr::JsIoPortUseBinaryMode, addon.GetSerialPortManager(), "serialport", isolate),
    KYT_SYNC("serialportUseTextMode", tyr::JsIoPortUseTextMode, addon.GetSerialPortManager(), "serialport", isolate),
    KYT_SYNC("serialportFlushBuffer", tyr::JsIoPortFlushBuffer, addon.GetSerialPortManager(), "serialport", isolate),
    // Bench power.
    KYT_SYNC("powerControllerInit", tyr::JsPowerControllerInit, isolate, addon.GetPowerController()),
    KYT_SYNC("powerControllerPowerOff", tyr::JsPowerControllerPowerOff, isolate, addon.GetPowerController()),
    KYT_SYNC("powerControllerPowerOn", tyr::JsPowerControllerPowerOn, isolate, addon.GetPowerController()),
    KYT_SYNC("powerControllerUninit", tyr::JsPowerControllerUninit, isolate, addon.GetPowerController()),
    KYT_SYNC("powerControllerEnablePowerMonitor", tyr::JsPowerControllerEnablePowerMonitor, isolate,
             addon.GetPowerController()),
    KYT_SYNC("powerControllerDisablePowerMonitor", tyr::JsPowerControllerDisablePowerMonitor, isolate,
             addon.GetPowerController()),
    // kytrix PMU boards (the power controller rows come right before this block).
    KYT_SYNC("kytrixPmuOpenController", tyr::nodejs::KytrixPmuOpenController, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuCloseController", tyr::nodejs::KytrixPmuCloseController, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuGetVersion", tyr::nodejs::KytrixPmuGetVersion, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuMeasurePower", tyr::nodejs::KytrixPmuMeasurePower, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuGetPmuInfo", tyr::nodejs::KytrixPmuGetPmuInfo, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuGetAdapterInfo", tyr::nodejs::KytrixPmuGetAdapterInfo, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuGetDebugBoardInfo", tyr::nodejs::KytrixPmuGetDebugBoardInfo, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuSetFanSpeed", tyr::nodejs::KytrixPmuSetFanSpeed, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuGetFanSpeed", tyr::nodejs::KytrixPmuGetFanSpeed, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuChangePower", tyr::nodejs::KytrixPmuChangePower, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuSendSmbusBlockWrite", tyr::nodejs::KytrixPmuSendSmbusBlockWrite, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuGetReceivedSmbusBlockWrite", tyr::nodejs::KytrixPmuGetReceivedSmbusBlockWrite, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuReset", tyr::nodejs::KytrixPmuReset, addon.GetKytControllerManager(), isolate),
    KYT_SYNC("kytrixPmuUpdateFirmware", tyr::nodejs::KytrixPmuUpdateFirmware, addon.GetKytControllerManager(), isolate),
    // Hooks.
    KYT_SYNC("hookManagerSetCallback", tyr::JsMethodSetCallback, isolate, addon.GetHookManager()),
    KYT_SYNC("hookManagerSetError", tyr::JsMethodSetError, isolate, addon.GetHookManager()),
    KYT_SYNC("hookManagerSetStatus", tyr::JsMethodSetStatus, isolate, addon.GetHookManager()),
};

const size_t KytAddon::kMethodCount = sizeof(KytAddon::kMethods) / sizeof(KytAddon::kMethods[0]);

}  // namespace kyt
