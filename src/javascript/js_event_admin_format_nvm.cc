#include "javascript/js_event_admin_format_nvm.h"

#include <cmath>
#include <stdexcept>
#include <string>

JsEventAdminFormatNvm::JsEventAdminFormatNvm(std::string bdf, v8::Isolate* isolate)
    : JsEventAdminBase(std::move(bdf), isolate, "FormatNvm", kAdminCmdFormatNvm) {}

JsEventAdminFormatNvm::~JsEventAdminFormatNvm() = default;

namespace {

// The format is destructive: a number is taken only when it is a whole number in [0, max] as the script wrote it, so
// that no conversion (NaN to 0, 2^32 + 1 to 1, -1 to all namespaces) turns it into another value.
uint32_t WholeNumber(v8::Local<v8::Value> value, uint32_t max, const std::string& what) {
  const double number = value->IsNumber() ? value.As<v8::Number>()->Value() : 0;
  if (!(number >= 0 && number <= max && number == std::floor(number))) {
    throw std::runtime_error(what + " must be a value in [0 - " + std::to_string(max) + "]");
  }
  return static_cast<uint32_t>(number);
}

}  // namespace

bool JsEventAdminFormatNvm::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("formatNvm : ", [&] {
    AdminCmdFormatParams& params = runner_->GetInput().params.format;
    ParseJsArgUint32(info[0], "nsid");
    params.nsid = WholeNumber(info[0], 0xFFFFFFFFu, "argument \"nsid\"");
    ParseJsArgUint32(info[1], "lbaFormat");
    params.format.lbaf = WholeNumber(info[1], 15, "argument \"lbaFormat\"");
    v8::Local<v8::Object> options = ParseJsArgObject(info[2], "options");
    // Each option is a small field of the command (0 when left out) with its own upper bound.
    auto field = [&](const std::string& name, uint32_t max) {
      ParseJsPropUint32(options, "options", name, 0);
      return WholeNumber(GetJsPropValue(options, name), max, "options." + name);
    };
    params.format.ms = field("mset", 1);
    params.format.pi = field("pi", 7);
    params.format.pil = field("pil", 1);
    params.format.ses = field("ses", 7);
    ParseBdfAndCallback(info, 4);
  });
}
