// Reads the options object of startWorkloadGenerator into a workload's input record, checking every value. The
// first failed check throws std::runtime_error with the message the script sees (after "startWorkloadGenerator : ").
// Script's thread only; the record is complete when Parse returns.
#ifndef KYT_JAVASCRIPT_JS_WORKLOAD_OPTIONS_H
#define KYT_JAVASCRIPT_JS_WORKLOAD_OPTIONS_H

#include <v8.h>

#include <cstdint>
#include <string>

#include "runner/workload_generation_records.h"

class JsEvent;

class WorkloadOptionsParser {
 public:
  // `event` supplies the property readers and keeps the data-pattern Buffer alive.
  WorkloadOptionsParser(JsEvent& event, v8::Isolate* isolate, WorkloadGenerationInput& input);

  void Parse(v8::Local<v8::Object> options);

  void ParseCommonParameters(v8::Local<v8::Object> options);
  void ParseDataPattern(v8::Local<v8::Object> options);
  void ParseFeatures(v8::Local<v8::Object> options);
  void ParseAccessPatternParameters(v8::Local<v8::Object> options);
  void ParseBasicCommon(v8::Local<v8::Object> options);
  void ParseBasicRange(v8::Local<v8::Object> options);
  void ParseMultiRangeAccessPattern(v8::Local<v8::Object> options);

  // The range texts "<n>%", "<n>k", "<n>m", "<n>g", "<n>t" (any case). False when the text is none of these.
  static bool ParseRangeText(const std::string& text, BasicAccessPatternInput& basic);
  // "sequential" 1, "random" 2 (any case); 0 for anything else.
  static uint32_t WorkloadCode(const std::string& text);

 private:
  // A feature's object (null when the feature is absent); throws "<prefix>.<name> must be an Object".
  bool FeatureObject(v8::Local<v8::Object> features, const std::string& name, v8::Local<v8::Object>& out);
  v8::Local<v8::Value> Element(v8::Local<v8::Array> array, uint32_t index);

  JsEvent& event_;
  v8::Isolate* isolate_;
  WorkloadGenerationInput& input_;
};

#endif  // KYT_JAVASCRIPT_JS_WORKLOAD_OPTIONS_H
