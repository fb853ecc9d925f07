#include "javascript/js_hook_manager.h"

#include "utility/log_line.h"

namespace tyr {

namespace {

std::string Decimal(int32_t value) {
  return std::to_string(value);
}

}  // namespace

JsHookManager::JsHookManager() {
  kyt::LogLine("NVME: JsHookManager: Initializing " + Decimal(kHookCount) + " hooks");
  handlers_.reserve(kHookCount);
  for (int32_t type = 0; type < kHookCount; ++type) {
    handlers_.push_back(std::make_unique<JsHookHandler>(static_cast<HookHandlerType>(type)));
  }
}

JsHookHandler& JsHookManager::Hook(HookHandlerType type) {
  CheckHookType(type);
  return *handlers_[static_cast<size_t>(type)];
}

bool JsHookManager::Start(HookHandlerType type) {
  JsHookHandler& hook = Hook(type);
  kyt::LogLine("NVME: JsHookManager:Start(" + Decimal(type) + ")");
  return hook.Start();
}

std::string JsHookManager::GetError(HookHandlerType type) {
  return Hook(type).GetError();
}

bool JsHookManager::HasError(HookHandlerType type) {
  return Hook(type).HasError();
}

bool JsHookManager::IsBusy(HookHandlerType type) {
  return Hook(type).IsBusy();
}

bool JsHookManager::Reset(HookHandlerType type) {
  return Hook(type).Reset();
}

bool JsHookManager::SetCallback(HookHandlerType type, v8::Local<v8::Function> callback) {
  JsHookHandler& hook = Hook(type);
  kyt::LogLine("NVME: JsHookManager:SetCallback(" + Decimal(type) + ")");
  return hook.SetCallback(callback);
}

void JsHookManager::SetError(HookHandlerType type, const std::string& message) {
  JsHookHandler& hook = Hook(type);
  kyt::LogLine("NVME: JsHookManager:SetError(" + Decimal(type) + "," + message + ")");
  hook.SetError(message);
}

bool JsHookManager::SetStatus(HookHandlerType type, HookHandlerStatus status) {
  JsHookHandler& hook = Hook(type);
  kyt::LogLine("NVME: JsHookManager:SetStatus(" + Decimal(type) + "," + Decimal(status) + ")");
  return hook.SetStatus(status);
}

}  // namespace tyr
