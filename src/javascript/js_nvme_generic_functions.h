// The ten generic-function methods. Each differs from the others only in its names, its function code and how it
// reads its arguments, so the classes are declared by one macro; their parse steps are in the .cc file.
//
//   script method          call object                          messages                       runner name / code
//   enableDataValidator    JsNvmeEnableDataValidatorAsync       nvme.enableDataValidator       EnableDataValidator 0
//   disableDataValidator   JsNvmeDisableDataValidatorAsync      nvme.disableDataValidator      DisableDataValidator 1
//   enableCommandTracker   JsNvmeEnableCommandTrackerAsync      nvme.enableCommandTracker      EnableCommandTracker 2
//   disableCommandTracker  JsNvmeDisableCommandTrackerAsync     nvme.disableCommandTracker     DisableCommandTracker 3
//   setCommandTrackerLog   JsNvmeSetCommandTrackerLogAsync      nvme.setCommandTrackerLog      SetCommandTrackerLog 4
//   scanAttachment         JsNvmeScanAttachmentAsync            nvme.scanAttachment            ScanAttachment 5
//   scanRemoval            JsNvmeScanRemovalAsync               nvme.scanRemoval               ScanRemoval 6
//   resetController        JsNvmeResetControllerAsync           nvme.resetController           ResetController 7
//   shutdown               JsNvmeShutdownAsync                  nvme.shutdown                  Shutdown 8
//   nvmeSetErrorInjection  JsNvmeSetErrorInjection              nvme.setErrorInjection         SetErrorInjection 9
#ifndef KYT_JAVASCRIPT_JS_NVME_GENERIC_FUNCTIONS_H
#define KYT_JAVASCRIPT_JS_NVME_GENERIC_FUNCTIONS_H

#include "javascript/js_nvme_generic_function_base.h"

namespace tyr {
namespace nodejs {

#define KYT_NVME_GENERIC_FUNCTION(Class, name, function_name, code)                                  \
  class Class : public JsNvmeGenericFunctionBase {                                                   \
   public:                                                                                           \
    Class(v8::Isolate* isolate, std::shared_ptr<NvmeDriver> driver, std::string bdf)                 \
        : JsNvmeGenericFunctionBase(isolate, std::move(driver), std::move(bdf), name, function_name, \
                                    code) {}                                                         \
    ~Class() override = default;                                                                     \
                                                                                                     \
   protected:                                                                                        \
    void ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) override;                  \
  };

KYT_NVME_GENERIC_FUNCTION(JsNvmeEnableDataValidatorAsync, "nvme.enableDataValidator", "EnableDataValidator", 0)
KYT_NVME_GENERIC_FUNCTION(JsNvmeDisableDataValidatorAsync, "nvme.disableDataValidator", "DisableDataValidator", 1)
KYT_NVME_GENERIC_FUNCTION(JsNvmeEnableCommandTrackerAsync, "nvme.enableCommandTracker", "EnableCommandTracker", 2)
KYT_NVME_GENERIC_FUNCTION(JsNvmeDisableCommandTrackerAsync, "nvme.disableCommandTracker", "DisableCommandTracker",
                          3)
KYT_NVME_GENERIC_FUNCTION(JsNvmeSetCommandTrackerLogAsync, "nvme.setCommandTrackerLog", "SetCommandTrackerLog", 4)
KYT_NVME_GENERIC_FUNCTION(JsNvmeScanAttachmentAsync, "nvme.scanAttachment", "ScanAttachment", 5)
KYT_NVME_GENERIC_FUNCTION(JsNvmeScanRemovalAsync, "nvme.scanRemoval", "ScanRemoval", 6)
KYT_NVME_GENERIC_FUNCTION(JsNvmeResetControllerAsync, "nvme.resetController", "ResetController", 7)
KYT_NVME_GENERIC_FUNCTION(JsNvmeShutdownAsync, "nvme.shutdown", "Shutdown", 8)
KYT_NVME_GENERIC_FUNCTION(JsNvmeSetErrorInjection, "nvme.setErrorInjection", "SetErrorInjection", 9)

#undef KYT_NVME_GENERIC_FUNCTION

}  // namespace nodejs
}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_NVME_GENERIC_FUNCTIONS_H
