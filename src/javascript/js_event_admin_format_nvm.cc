#include "javascript/js_event_admin_format_nvm.h"

#include <stdexcept>
#include <string>

JsEventAdminFormatNvm::JsEventAdminFormatNvm(std::string bdf, v8::Isolate* isolate)
    : JsEventAdminBase(std::move(bdf), isolate, "FormatNvm", kAdminCmdFormatNvm) {}

JsEventAdminFormatNvm::~JsEventAdminFormatNvm() = default;

bool JsEventAdminFormatNvm::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("formatNvm : ", [&] {
    AdminCmdFormatParams& params = runner_->GetInput().params.format;
    params.nsid = ParseJsArgUint32(info[0], "nsid");
    const uint32_t lba_format = ParseJsArgUint32(info[1], "lbaFormat");
    if (lba_format > 15) throw std::runtime_error("argument \"lbaFormat\" must be a value in [0 - 15]");
    params.format.lbaf = lba_format;
    v8::Local<v8::Object> options = ParseJsArgObject(info[2], "options");
    // Each option is a small field of the command (0 when left out) with its own upper bound.
    auto field = [&](const std::string& name, uint32_t max) {
      const uint32_t value = ParseJsPropUint32(options, "options", name, 0);
      if (value > max) {
        throw std::runtime_error("options." + name + " must be a value in [0 - " + std::to_string(max) + "]");
      }
      return value;
    };
    params.format.ms = field("mset", 1);
    params.format.pi = field("pi", 7);
    params.format.pil = field("pil", 1);
    params.format.ses = field("ses", 7);
    ParseBdfAndCallback(info, 4);
  });
}
