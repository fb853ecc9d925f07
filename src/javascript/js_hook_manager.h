// The hook manager of one addon object: four hooks (types 0 to 3), reached by the NVMe worker through the
// tyr::HookManager interface and by the script through the hook script methods (js_hook_methods.h).
//
// Made on the script's thread (the hooks register with that thread's event loop) and held through shared pointers;
// the hook vector is fixed at construction, so the manager needs no lock of its own: each hook guards itself.
// Every operation first refuses a type outside 0..3 ("Invalid handler type: <type>") before logging or changing
// anything.
#ifndef KYT_JAVASCRIPT_JS_HOOK_MANAGER_H
#define KYT_JAVASCRIPT_JS_HOOK_MANAGER_H

#include <memory>
#include <string>
#include <vector>

#include <v8.h>

#include "javascript/js_hook_handler.h"
#include "utility/hook_manager.h"

namespace tyr {

class JsHookManager final : public HookManager {
 public:
  // Script's thread. Logs "NVME: JsHookManager: Initializing 4 hooks" and makes the hooks 0, 1, 2, 3.
  JsHookManager();
  ~JsHookManager() = default;

  // ---- Worker side (any thread; Reset: script's thread only) ----
  bool Start(HookHandlerType type) override;
  std::string GetError(HookHandlerType type) override;
  bool HasError(HookHandlerType type) override;
  bool IsBusy(HookHandlerType type) override;
  bool Reset(HookHandlerType type) override;

  // ---- Script side (script's thread) ----
  bool SetCallback(HookHandlerType type, v8::Local<v8::Function> callback);
  void SetError(HookHandlerType type, const std::string& message);
  bool SetStatus(HookHandlerType type, HookHandlerStatus status);

 private:
  // The hook of the type, after the range check.
  JsHookHandler& Hook(HookHandlerType type);

  std::vector<std::unique_ptr<JsHookHandler>> handlers_;
};

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_HOOK_MANAGER_H
