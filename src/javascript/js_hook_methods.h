// The call objects of the hook script methods of KytAddon:
//   hookManagerSetCallback(type, callback) → Boolean   (JsMethodSetCallback, "setHookHandlerCallback")
//   hookManagerSetError(type, message)     → undefined (JsMethodSetError,    "setHookHandlerError")
//   hookManagerSetStatus(type, status)     → Boolean   (JsMethodSetStatus,   "setHookHandlerStatus")
// Each lives for one synchronous call on the script's thread and holds the addon's hook manager meanwhile. Numbers
// are read as unsigned 32-bit values and used as signed ones, so a type of -1 reaches the range check as -1.
#ifndef KYT_JAVASCRIPT_JS_HOOK_METHODS_H
#define KYT_JAVASCRIPT_JS_HOOK_METHODS_H

#include <memory>

#include <v8.h>

#include "javascript/js_base.h"
#include "javascript/js_hook_manager.h"

namespace tyr {

class JsHookMethod : public JsBase {
 public:
  JsHookMethod(const char* name, v8::Isolate* isolate, std::shared_ptr<JsHookManager> manager);

 protected:
  // Argument 0 as a hook type ("argument \"type\" must be a Number"); not range-checked here.
  HookHandlerType ParseType(const v8::FunctionCallbackInfo<v8::Value>& info);
  JsHookManager& Manager();

 private:
  std::shared_ptr<JsHookManager> manager_;
};

#define KYT_DECLARE_HOOK_METHOD(Class)                                                        \
  class Class final : public JsHookMethod {                                                   \
   public:                                                                                    \
    Class(v8::Isolate* isolate, std::shared_ptr<JsHookManager> manager);                      \
                                                                                              \
   protected:                                                                                 \
    void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override;               \
  };

KYT_DECLARE_HOOK_METHOD(JsMethodSetCallback)
KYT_DECLARE_HOOK_METHOD(JsMethodSetError)
KYT_DECLARE_HOOK_METHOD(JsMethodSetStatus)

#undef KYT_DECLARE_HOOK_METHOD

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_HOOK_METHODS_H
