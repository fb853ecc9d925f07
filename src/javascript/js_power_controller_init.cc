#include "javascript/js_power_controller_init.h"

#include <stdexcept>

namespace tyr {

JsPowerControllerInit::JsPowerControllerInit(v8::Isolate* isolate,
                                             std::shared_ptr<pmu::PowerController> powerController)
    : JsPowerControllerCall("init", isolate, std::move(powerController)) {}

pmu::PowerControllerInitParams JsPowerControllerInit::ParseParams(const v8::FunctionCallbackInfo<v8::Value>& info) {
  requireArgumentCount(info, 2);
  // Both arguments are checked before the manufacturer is looked at.
  std::string manufacturer = ParseJsArgStdString(info[0], "manufacturer");
  v8::Local<v8::Object> options = ParseJsArgObject(info[1], "options");

  pmu::PowerControllerInitParams params;
  if (manufacturer == "tyrvane") {
    params.type = pmu::PowerController::kTypePmu;
    params.serial = ParseJsPropStdString(options, "options", "serial");
    params.interfaceNumber = ParseJsPropUint32(options, "options", "interfaceNumber");
    params.baudRate = static_cast<int32_t>(ParseJsPropUint32(options, "options", "baudRate"));
  } else if (manufacturer == "dorvan") {
    params.type = pmu::PowerController::kTypeRelayBox;
    pmu::DorvanControllerInitOptions& box = params.dorvanOptions;
    box.serial = ParseJsPropStdString(options, "options", "serial");
    box.interfaceNumber = ParseJsPropUint32(options, "options", "interfaceNumber");
    box.baudRate = static_cast<int32_t>(ParseJsPropUint32(options, "options", "baudRate"));
    std::string model = ParseJsPropStdString(options, "options", "model");
    if (model == "pmu-norvik")
      box.model = pmu::DorvanControllerModel::PmuNorvik;
    else if (model == "pmu-brask")
      box.model = pmu::DorvanControllerModel::PmuBrask;
    else if (model == "pmu")
      box.model = pmu::DorvanControllerModel::Pmu;
    else
      throw std::runtime_error("Unsupported parameter options.model = " + model);
  } else {
    throw std::runtime_error("Unsupported manufacturer: " + manufacturer);
  }
  return params;
}

void JsPowerControllerInit::RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) {
  // The whole record is read before the power controller is touched.
  powerController->init(ParseParams(info));
}

}  // namespace tyr
