// The hook bridge as the NVMe worker sees it.
//
// A hook lets work on the NVMe worker thread ask the script to do one step outside the system (switch the drive's
// supply off or on) and then learn how that step ended. The worker starts a hook, the script's callback runs on the
// script's thread, the script reports the outcome (status or error), and meanwhile the worker polls the hook.
//
// The only implementation is tyr::JsHookManager (javascript/js_hook_manager.h); holders keep it through a shared
// pointer made for that class, which destroys the concrete object, so this interface declares no destructor of its
// own.
//
// Every operation refuses a type outside 0..3 by throwing std::runtime_error "Invalid handler type: <type>".
#ifndef KYT_UTILITY_HOOK_MANAGER_H
#define KYT_UTILITY_HOOK_MANAGER_H

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tyr {

// The hook a call is about. 0 and 1 are the power hooks; 2 and 3 behave alike and nothing starts them.
enum HookHandlerType : int32_t {
  kHookPowerOn = 0,
  kHookPowerOff = 1,
  kHookUser2 = 2,
  kHookUser3 = 3,
};

// Number of hooks a manager holds (types 0 to kHookCount - 1).
constexpr int32_t kHookCount = 4;

// The state of one hook. The script may store other values; a hook in such a state refuses to start.
enum HookHandlerStatus : int32_t {
  kHookIdle = 0,   // nothing pending (also: the script has finished its action)
  kHookBusy = 1,   // the script has been asked and has not answered
  kHookError = 2,  // the script reported a failure with a text
};

// Refuses a hook type outside 0..kHookCount-1 (negative ones included) with
// std::runtime_error "Invalid handler type: <type as signed decimal>".
inline void CheckHookType(int32_t type) {
  if (type < 0 || type >= kHookCount) throw std::runtime_error("Invalid handler type: " + std::to_string(type));
}

class HookManager {
 public:
  // Asks the script to run the hook. True when the hook was idle: the script's callback is woken and the hook is
  // busy until the script answers, or, with no callback set, nothing happens and the hook stays idle (the step
  // counts as done). False, with a log line, while the hook is busy, in error or in an unknown state.
  virtual bool Start(HookHandlerType type) = 0;
  // The error text the script reported last (empty after Reset).
  virtual std::string GetError(HookHandlerType type) = 0;
  // True while the hook is in the error state.
  virtual bool HasError(HookHandlerType type) = 0;
  // True from a Start that woke the script until the script sets another status or reports an error.
  virtual bool IsBusy(HookHandlerType type) = 0;
  // Unless busy: drops the script's callback, clears the error text, makes the hook idle and returns true.
  // While busy: changes nothing and returns false. Script's thread only (it releases a script handle).
  virtual bool Reset(HookHandlerType type) = 0;

 protected:
  HookManager() = default;
  HookManager(const HookManager&) = delete;
  HookManager& operator=(const HookManager&) = delete;
  // Not virtual and not public: the owner deletes the concrete class (see the note at the top).
  ~HookManager() = default;
};

}  // namespace tyr

#endif  // KYT_UTILITY_HOOK_MANAGER_H
