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
  // The most ranges a multi-range workload takes (each is drawn by its probability for every command).
  static constexpr uint32_t kMaxRanges = 1000000;
  // The most LBAs a list range takes: its length is checked before anything is reserved (a sparse Array may claim
  // 2^32 - 1 elements it does not hold).
  static constexpr uint32_t kMaxLbaList = 16777216;
  // The largest duration in seconds and loop count (the signed 32-bit range the options always had).
  static constexpr uint32_t kMaxWholeNumber = 2147483647;

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
  // The array's element (read once); a failed read throws "<name> could not be read".
  v8::Local<v8::Value> Element(v8::Local<v8::Array> array, uint32_t index, const std::string& name);
  // "duration" (seconds, default 0: no limit) and "loops" (default 1): whole numbers from 0 (1 for loops) to
  // kMaxWholeNumber. A fraction is refused with the option's own text, never cut (0.5 s would mean no limit).
  uint32_t Duration(v8::Local<v8::Object> options);
  uint32_t Loops(v8::Local<v8::Object> options);
  uint32_t WholeNumber(v8::Local<v8::Object> options, const std::string& prefix, const std::string& name,
                       uint32_t def, uint32_t min, const std::string& refusal);

  JsEvent& event_;
  v8::Isolate* isolate_;
  WorkloadGenerationInput& input_;
};

#endif  // KYT_JAVASCRIPT_JS_WORKLOAD_OPTIONS_H
