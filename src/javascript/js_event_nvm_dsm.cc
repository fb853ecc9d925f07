#include "javascript/js_event_nvm_dsm.h"

JsEventNvmDsm::JsEventNvmDsm(std::string bdf, v8::Isolate* isolate)
    : JsEventNvmBase(std::move(bdf), isolate, "Dataset Management", kNvmCmdDatasetManagement) {}

JsEventNvmDsm::~JsEventNvmDsm() = default;

bool JsEventNvmDsm::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("datasetManagement : ", [&] {
    const JsHeldBuffer ranges = ParseJsArgBuffer(info[0], "ranges");
    runner_->SetDsmRanges(ranges.data, static_cast<uint32_t>(ranges.length / range_entry_size_));
    runner_->SetDsmAttributes(ParseJsArgUint32(info[1], "attributes"));
    runner_->SetNamespaceId(ParseJsArgUint32(info[2], "nsid"));
    runner_->SetQueueId(static_cast<uint16_t>(ParseJsArgUint32(info[3], "qid")));
    ParseBdfAndCallback(info, 6);
  });
}
