#include "javascript/js_event_admin_format_nvm.h"

#include <cmath>
#include <stdexcept>
#include <string>

JsEventAdminFormatNvm::JsEventAdminFormatNvm(std::string bdf, v8::Isolate* isolate)
    : JsEventAdminBase(std::move(bdf), isolate, "FormatNvm", kAdminCmdFormatNvm) {}

JsEventAdminFormatNvm::~JsEventAdminFormatNvm() = default;

namespace {

// The LBA format picks how the namespace is laid out anew: it is taken only when it is a whole number in [0, 15] as
// the script wrote it, so that no conversion (NaN to 0, 2^32 + 1 to 1) formats with a layout the script did not name.
uint32_t LbaFormat(v8::Local<v8::Value> value) {
  const double number = value.As<v8::Number>()->Value();
  if (!(number >= 0 && number <= 15 && number == std::floor(number))) {
    throw std::runtime_error("argument \"lbaFormat\" must be a value in [0 - 15]");
  }
  return static_cast<uint32_t>(number);
}

}  // namespace

bool JsEventAdminFormatNvm::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("formatNvm : ", [&] {
    AdminCmdFormatParams& params = runner_->GetInput().params.format;
    params.nsid = ParseJsArgUint32(info[0], "nsid");
    ParseJsArgUint32(info[1], "lbaFormat");
    params.format.lbaf = LbaFormat(info[1]);
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
