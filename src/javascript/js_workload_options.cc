#include "javascript/js_workload_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "javascript/js_event.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool IsPowerOfTen(uint64_t value) {
  const double exponent = std::log10(static_cast<double>(value));
  return exponent == std::floor(exponent);
}

}  // namespace

uint32_t WorkloadOptionsParser::Duration(v8::Local<v8::Object> options) {
  return WholeNumber(options, "options", "duration", 0, 0, "options.duration must be a non-negative integer");
}

uint32_t WorkloadOptionsParser::Loops(v8::Local<v8::Object> options) {
  return WholeNumber(options, "options", "loops", 1, 1, "options.loops must be a positive integer");
}

WorkloadOptionsParser::WorkloadOptionsParser(JsEvent& event, v8::Isolate* isolate, WorkloadGenerationInput& input)
    : event_(event), isolate_(isolate), input_(input) {}

void WorkloadOptionsParser::Parse(v8::Local<v8::Object> options) {
  ParseCommonParameters(options);
  ParseAccessPatternParameters(options);
}

v8::Local<v8::Value> WorkloadOptionsParser::Element(v8::Local<v8::Array> array, uint32_t index,
                                                    const std::string& name) {
  v8::TryCatch try_catch(isolate_);
  v8::Local<v8::Value> value;
  if (!array->Get(isolate_->GetCurrentContext(), index).ToLocal(&value)) {
    throw std::runtime_error(name + " could not be read");
  }
  return value;
}

uint32_t WorkloadOptionsParser::WholeNumber(v8::Local<v8::Object> options, const std::string& prefix,
                                            const std::string& name, uint32_t def, uint32_t min,
                                            const std::string& refusal) {
  const v8::Local<v8::Value> value = event_.GetJsPropValue(options, name);
  if (value->IsUndefined()) return def;
  if (!value->IsNumber()) throw std::runtime_error(prefix + "." + name + " must be a Number");
  // A fraction, NaN or an infinity is no count of seconds or loops: refused, never cut to one.
  const double number = value.As<v8::Number>()->Value();
  if (!(number >= min) || number != std::floor(number)) throw std::runtime_error(refusal);
  if (number > kMaxWholeNumber) {
    throw std::runtime_error(prefix + "." + name + " must be at most " + std::to_string(kMaxWholeNumber));
  }
  return static_cast<uint32_t>(number);
}

void WorkloadOptionsParser::ParseCommonParameters(v8::Local<v8::Object> options) {
  input_.queueDepth = event_.ParseJsPropUint32(options, "options", "queueDepth", 0);
  input_.qid = event_.ParseJsPropUint32(options, "options", "qid", 0);
  ParseDataPattern(options);
  const v8::Local<v8::Value> ignore = event_.GetJsPropValue(options, "ignoreError");
  if (!ignore->IsUndefined()) {
    IgnoreErrorArray codes;
    event_.ParseJsEcArray(ignore, "options", "ignoreError", codes);
    for (const ErrorCode& code : codes) input_.ignoreError.emplace_back(code.sct, code.sc);
  }
  ParseFeatures(options);
}

void WorkloadOptionsParser::ParseDataPattern(v8::Local<v8::Object> options) {
  // The event's own aligned copy (none when absent): the pattern checked is the one the workload writes.
  const JsHeldBuffer pattern = event_.ParseJsDataPattern(options);
  input_.dataPattern = pattern.length == 0 ? nullptr : reinterpret_cast<const uint64_t*>(pattern.data);
  input_.dataPatternSize = pattern.length;
}

bool WorkloadOptionsParser::FeatureObject(v8::Local<v8::Object> features, const std::string& name,
                                          v8::Local<v8::Object>& out) {
  const v8::Local<v8::Value> value = event_.GetJsPropValue(features, name);
  if (value->IsUndefined()) return false;
  if (!value->IsObject()) throw std::runtime_error("options.features." + name + " must be an Object");
  out = value.As<v8::Object>();
  return true;
}

void WorkloadOptionsParser::ParseFeatures(v8::Local<v8::Object> options) {
  const v8::Local<v8::Value> value = event_.GetJsPropValue(options, "features");
  if (value->IsUndefined()) return;
  if (!value->IsObject()) throw std::runtime_error("options.features must be an Object");
  const v8::Local<v8::Object> features = value.As<v8::Object>();
  v8::Local<v8::Object> feature;

  const std::string pc = "options.features.powerControl";
  if (FeatureObject(features, "powerControl", feature)) {
    input_.powerControlEnabled = event_.ParseJsPropBool(feature, pc, "enabled", false);
    if (input_.powerControlEnabled) {
      input_.detectionTimeoutMs = event_.ParseJsPropUint32(feature, pc, "detectionTimeoutMs", 0);
      input_.removalTimeoutMs = event_.ParseJsPropUint32(feature, pc, "removalTimeoutMs", 0);
      input_.offHoldTimeMs = event_.ParseJsPropUint32(feature, pc, "offHoldTimeMs", 0);
      input_.onHoldTimeMs = event_.ParseJsPropUint32(feature, pc, "onHoldTimeMs", 0);
    }
  }

  const std::string h = "options.features.histogram";
  if (FeatureObject(features, "histogram", feature)) {
    input_.histogramEnabled = event_.ParseJsPropBool(feature, h, "enabled", false);
    if (input_.histogramEnabled) {
      input_.histogramStartUs = event_.ParseJsPropUint64(feature, h, "startUs", 1);
      input_.histogramEndUs = event_.ParseJsPropUint64(feature, h, "endUs", 100000000);
      input_.histogramRawData = event_.ParseJsPropBool(feature, h, "rawData", false);
      input_.histogramPrecisions = event_.ParseJsPropUint32(feature, h, "precisions", 4);
      if (input_.histogramStartUs == 0) throw std::runtime_error(h + ".startUs must be greater than 0");
      if (input_.histogramEndUs == 0) throw std::runtime_error(h + ".endUs must be greater than 0");
      if (input_.histogramPrecisions < 1 || input_.histogramPrecisions > 7) {
        throw std::runtime_error(h + ".precisions must be greater than 0 and less than 8");
      }
      if (input_.histogramStartUs >= input_.histogramEndUs) {
        throw std::runtime_error(h + ".endUs must be greater than " + h + ".startUs");
      }
      if (!IsPowerOfTen(input_.histogramStartUs)) {
        throw std::runtime_error("log10 of " + h + ".startUs must be an integer value");
      }
      if (!IsPowerOfTen(input_.histogramEndUs)) {
        throw std::runtime_error("log10 of " + h + ".endUs must be an integer value");
      }
    }
  }

  const std::string is = "options.features.intervalStats";
  if (FeatureObject(features, "intervalStats", feature)) {
    input_.intervalStatsEnabled = event_.ParseJsPropBool(feature, is, "enabled", false);
    if (input_.intervalStatsEnabled) {
      input_.interval = event_.ParseJsPropUint64(feature, is, "interval", 1);
      input_.delay = event_.ParseJsPropUint64(feature, is, "delay", 0);
    }
  }
}

void WorkloadOptionsParser::ParseAccessPatternParameters(v8::Local<v8::Object> options) {
  const std::string type = event_.ParseJsPropStdString(options, "options", "type", "basic");
  const std::string lower = Lower(type);
  if (lower == "basic") {
    input_.accessPattern.type = kAccessPatternBasic;
    ParseBasicCommon(options);
    ParseBasicRange(options);
  } else if (lower == "multirange") {
    input_.accessPattern.type = kAccessPatternMultiRange;
    ParseMultiRangeAccessPattern(options);
  } else {
    input_.accessPattern.type = 0;
    throw std::runtime_error("options.type, \"" + type + "\", is not a valid type");
  }
}

uint32_t WorkloadOptionsParser::WorkloadCode(const std::string& text) {
  const std::string lower = Lower(text);
  if (lower == "sequential") return kAccessSequential;
  if (lower == "random") return kAccessRandom;
  return 0;
}

void WorkloadOptionsParser::ParseBasicCommon(v8::Local<v8::Object> options) {
  BasicAccessPatternInput& basic = input_.accessPattern.basic;
  basic.nsid = event_.ParseJsPropUint32(options, "options", "nsid", 0);
  basic.workload = WorkloadCode(event_.ParseJsPropStdString(options, "options", "workload", "sequential"));
  if (basic.workload == 0) throw std::runtime_error("options.workload is not a valid workload");
  basic.readPercent = event_.ParseJsPropUint32(options, "options", "readPercent", 100);
  if (basic.readPercent > 100) throw std::runtime_error("options.readPercent must be an integer between 0 and 100");
  basic.trimPercent = event_.ParseJsPropUint32(options, "options", "trimPercent", 0);
  if (basic.trimPercent > 100) throw std::runtime_error("options.trimPercent must be an integer between 0 and 100");
  if (basic.readPercent + basic.trimPercent > 100) {
    throw std::runtime_error("options.readPercent + option.trimPercent must be between 0 and 100");
  }
  const int32_t xfer = event_.ParseJsPropInt32(options, "options", "xferSize", 4096);
  if (xfer % 512 > 0) throw std::runtime_error("options.xferSize must be mutples of 512");
  if (xfer < 0) throw std::runtime_error("options.xferSize must not be negative");
  basic.xferSize = static_cast<uint32_t>(xfer);
  basic.unaligned = event_.ParseJsPropBool(options, "options", "unaligned", false);
  basic.duration = Duration(options);
  basic.loops = Loops(options);
}

bool WorkloadOptionsParser::ParseRangeText(const std::string& text, BasicAccessPatternInput& basic) {
  if (text.empty()) return false;
  const std::string lower = Lower(text);
  const char suffix = lower.back();
  const std::string digits = lower.substr(0, lower.size() - 1);
  const char* begin = digits.c_str();
  char* end = nullptr;
  errno = 0;
  if (suffix == '%') {
    const unsigned long value = std::strtoul(begin, &end, 10);
    if (errno != 0 || end == begin || end != begin + digits.size()) return false;
    const uint32_t percent = static_cast<uint32_t>(value);
    if (percent < 1 || percent > 100) return false;
    basic.rangeType = kRangePercent;
    basic.rangePercent = percent;
    return true;
  }
  unsigned shift;
  switch (suffix) {
    case 'k': shift = 10; break;
    case 'm': shift = 20; break;
    case 'g': shift = 30; break;
    case 't': shift = 40; break;
    default: return false;
  }
  const unsigned long long value = std::strtoull(begin, &end, 10);
  if (errno != 0 || end == begin || end != begin + digits.size()) return false;
  basic.rangeType = kRangeBytes;
  basic.rangeBytes = static_cast<uint64_t>(value) << shift;
  return true;
}

void WorkloadOptionsParser::ParseBasicRange(v8::Local<v8::Object> options) {
  BasicAccessPatternInput& basic = input_.accessPattern.basic;
  const v8::Local<v8::Value> value = event_.GetJsPropValue(options, "range");
  if (value->IsUndefined()) {
    basic.rangeType = kRangePercent;
    basic.rangePercent = 100;
    return;
  }
  if (value->IsString()) {
    const std::string text = event_.GetJsStdString(value.As<v8::String>(), "options.range");
    if (!ParseRangeText(text, basic)) throw std::runtime_error("options.range \"" + text + "\" is not a valid range");
    return;
  }
  if (value->IsArray()) {
    // A real Array only (an object with a length and indices is a range object, refused below for its members).
    const v8::Local<v8::Array> list = value.As<v8::Array>();
    const uint32_t length = list->Length();
    if (length == 0) throw std::runtime_error("options.range must not be an empty Array");
    if (length > kMaxLbaList) {
      throw std::runtime_error("options.range must hold at most " + std::to_string(kMaxLbaList) + " LBAs");
    }
    basic.workload = kAccessLbaList;
    basic.rangeType = kRangeLbaList;
    basic.lbaList.reserve(length);
    for (uint32_t i = 0; i < length; ++i) {
      v8::HandleScope scope(isolate_);
      const v8::Local<v8::Value> lba = Element(list, i, "options.range[" + std::to_string(i) + "]");
      if (!lba->IsNumber()) {
        throw std::runtime_error("argument \"options.range[" + std::to_string(i) + "]\" must be a Number");
      }
      basic.lbaList.push_back(event_.ParseJsArgUint64(lba, ""));
    }
    return;
  }
  if (value->IsObject()) {
    const v8::Local<v8::Object> range = value.As<v8::Object>();
    basic.rangeType = kRangeStartSize;
    basic.startLba = event_.ParseJsPropUint64(range, "range", "startLba");
    basic.size = event_.ParseJsPropUint64(range, "range", "size");
    return;
  }
  throw std::runtime_error("options.range must be either a String or an Object");
}

void WorkloadOptionsParser::ParseMultiRangeAccessPattern(v8::Local<v8::Object> options) {
  MultiRangeAccessPatternInput& multi = input_.accessPattern.multiRange;
  multi.duration = Duration(options);
  multi.loops = Loops(options);
  v8::Local<v8::Array> ranges = event_.ParseJsPropArray(options, "options", "ranges");
  if (ranges->Length() == 0) throw std::runtime_error("options.ranges must not be an empty Array");

  const uint32_t count = ranges->Length();
  if (count > kMaxRanges) {
    throw std::runtime_error("options.ranges must hold at most " + std::to_string(kMaxRanges) + " ranges");
  }
  multi.ranges.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    v8::HandleScope scope(isolate_);  // the values of one range are not needed after it: a long list stays flat
    const std::string p = "options.ranges[" + std::to_string(i) + "]";
    v8::Local<v8::Object> element = event_.ParseJsArgObject(Element(ranges, i, p), p);
    MultiRangeAccessPatternRange range;
    range.nsid = event_.ParseJsPropUint32(element, p, "nsid", 0);
    range.workload = WorkloadCode(event_.ParseJsPropStdString(element, p, "workload", "sequential"));
    if (range.workload == 0) throw std::runtime_error(p + ".workload is not a valid workload");
    range.readPercent = event_.ParseJsPropUint32(element, p, "readPercent", 100);
    if (range.readPercent > 100) throw std::runtime_error(p + ".readPercent must be an integer between 0 and 100");
    range.trimPercent = event_.ParseJsPropUint32(element, p, "trimPercent", 0);
    if (range.trimPercent > 100) throw std::runtime_error(p + ".trimPercent must be an integer between 0 and 100");
    if (range.readPercent + range.trimPercent > 100) {
      throw std::runtime_error(p + ".readPercent + " + p + ".trimPercent must be between 0 and 100");
    }
    range.alignment = event_.ParseJsPropUint32(element, p, "alignment", 0);
    range.startLba = event_.ParseJsPropUint64(element, p, "startLba");
    range.size = event_.ParseJsPropUint64(element, p, "size");
    if (range.size == 0) throw std::runtime_error(p + ".size must be greater than 0");
    range.probability = static_cast<uint32_t>(event_.ParseJsPropUint64(element, p, "probability"));
    if (range.probability == 0) throw std::runtime_error(p + ".probability must be greater than 0");

    v8::Local<v8::Array> xfers = event_.ParseJsPropArray(element, p, "xfers");
    if (xfers->Length() == 0) throw std::runtime_error(p + ".xfers must not be an empty Array");
    const uint32_t xfer_count = xfers->Length();
    for (uint32_t j = 0; j < xfer_count; ++j) {
      const std::string x = p + ".xfers[" + std::to_string(j) + "]";
      v8::Local<v8::Object> entry = event_.ParseJsArgObject(Element(xfers, j, x), x);
      MultiRangeAccessPatternXfer xfer;
      xfer.size = static_cast<uint32_t>(event_.ParseJsPropUint64(entry, x, "size"));
      if (xfer.size == 0) throw std::runtime_error(x + ".size must be greater than 0");
      xfer.probability = static_cast<uint32_t>(event_.ParseJsPropUint64(entry, x, "probability"));
      if (xfer.probability == 0) throw std::runtime_error(x + ".probability must be greater than 0");
      range.xfers.push_back(xfer);
    }
    multi.ranges.push_back(std::move(range));
  }
}
