#include "javascript/js_event_admin_format_nvm.h"

#include <stdexcept>

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
    const uint32_t mset = ParseJsPropUint32(options, "options", "mset", 0);
    if (mset > 1) throw std::runtime_error("options.mset must be a value in [0 - 1]");
    params.format.ms = mset;
    const uint32_t pi = ParseJsPropUint32(options, "options", "pi", 0);
    if (pi > 7) throw std::runtime_error("options.pi must be a value in [0 - 7]");
    params.format.pi = pi;
    const uint32_t pil = ParseJsPropUint32(options, "options", "pil", 0);
    if (pil > 1) throw std::runtime_error("options.pil must be a value in [0 - 1]");
    params.format.pil = pil;
    const uint32_t ses = ParseJsPropUint32(options, "options", "ses", 0);
    if (ses > 7) throw std::runtime_error("options.ses must be a value in [0 - 7]");
    params.format.ses = ses;
    ParseBdfAndCallback(info, 4);
  });
}
