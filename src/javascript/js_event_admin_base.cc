#include "javascript/js_event_admin_base.h"

JsEventAdminBase::JsEventAdminBase(std::string bdf, v8::Isolate* isolate, const std::string& command_name,
                                   uint32_t code)
    : JsEvent(bdf, isolate), runner_(new AdminCmdRunner(bdf, command_name)) {
  runner_->GetInput().code = code;
  set_runner(runner_);
}

JsEventAdminBase::~JsEventAdminBase() { delete runner_; }

void JsEventAdminBase::CallCallback() { CallbackWithCompletion(runner_->GetOutput().cpl); }
