// Base of the admin command events (createQueuePair, deleteQueuePair, formatNvm): owns the admin command runner;
// its callback applies the completion rule to the runner's output completion (used by formatNvm).
#ifndef KYT_JAVASCRIPT_JS_EVENT_ADMIN_BASE_H
#define KYT_JAVASCRIPT_JS_EVENT_ADMIN_BASE_H

#include <string>

#include "javascript/js_event.h"
#include "runner/admin_cmd_runner.h"

class JsEventAdminBase : public JsEvent {
 public:
  JsEventAdminBase(std::string bdf, v8::Isolate* isolate, const std::string& command_name, uint32_t code);
  ~JsEventAdminBase() override;

  void CallCallback() override;
  AdminCmdRunner* GetAdminRunner() const { return runner_; }

 protected:
  AdminCmdRunner* runner_;
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_ADMIN_BASE_H
