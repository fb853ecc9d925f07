#include "javascript/js_event_create_workload_generator.h"

#include <algorithm>
#include <iostream>
#include <utility>

#include "javascript/js_hook_manager.h"
#include "javascript/js_workload_options.h"
#include "runner/workload_generation_runner.h"

namespace {

void Log(const char* text) { std::cout << "NVME: JsEvent: " << text << std::endl; }

const char* WorkloadName(uint32_t workload) { return workload == kAccessSequential ? "sequential" : "random"; }

const char* CommandName(uint32_t cmd) {
  return cmd == kIoDirectionWrite ? "Write" : cmd == kIoDirectionTrim ? "Trim" : "Read";
}

}  // namespace

JsEventCreateWorkloadGenerator::JsEventCreateWorkloadGenerator(std::string bdf, v8::Isolate* isolate,
                                                               std::shared_ptr<tyr::JsHookManager> hooks)
    : JsEvent(bdf, isolate), runner_(nullptr), hooks_(std::move(hooks)) {
  runner_ = new WorkloadGenerationRunner(bdf, std::shared_ptr<tyr::HookManager>(hooks_));
  set_runner(runner_);
}

JsEventCreateWorkloadGenerator::~JsEventCreateWorkloadGenerator() {
  delete runner_;
  runner_ = nullptr;
  set_runner(nullptr);
  hooks_.reset();
}

bool JsEventCreateWorkloadGenerator::ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) {
  return Guard("startWorkloadGenerator : ", [&] {
    v8::Local<v8::Object> options = ParseBdfAndCallback(info, 2);
    WorkloadOptionsParser parser(*this, info.GetIsolate(), *runner_->input);
    parser.Parse(options);
  });
}

void JsEventCreateWorkloadGenerator::CallCallback() {
  v8::Isolate* iso = isolate();
  v8::HandleScope scope(iso);
  if (!HasCallback()) return;
  WorkloadGenerationOutput& out = *runner_->output;

  v8::Local<v8::Object> target;
  v8::Local<v8::Value> error = v8::Null(iso);
  v8::Local<v8::Value> result = v8::Null(iso);
  if (runner_->IsAborted()) {
    v8::Local<v8::Value> made = RunnerError();
    target = made.As<v8::Object>();
    error = made;
    if (out.mismatch) SetMismatchData(target, *out.mismatch);
  } else {
    target = CreateJsObject();
    result = target;
  }

  if (out.accessPatternOutput) {
    Log("Creating Info Object");
    v8::Local<v8::Object> info = CreateJsObject();
    SetJsPropUint32(info, "queueDepth", out.accessPatternOutput->queueDepth);
    SetJsPropDouble(info, "duration", out.accessPatternOutput->duration);
    if (runner_->input->accessPattern.type == kAccessPatternBasic) {
      SetBasicOutput(info);
    } else {
      SetMultiRangeOutput(info);
    }
    SetJsPropObject(target, "info", info);
  }

  struct Direction {
    std::unique_ptr<PerformanceTracker>& tracker;
    const char* log;
    const char* key;
  };
  Direction directions[] = {
      {out.readPerf, "Creating Read Statistics Object", "read"},
      {out.writePerf, "Creating Write Statistics Object", "write"},
      {out.trimPerf, "Creating Trim Statistics Object", "trim"},
  };
  for (Direction& d : directions) {
    if (!d.tracker) continue;
    Log(d.log);
    v8::Local<v8::Object> stats = CreateJsObject();
    SetPerformance(stats, std::move(d.tracker));
    SetJsPropObject(target, d.key, stats);
  }

  if (out.errorTracker) {
    Log("Creating Error Code History Object");
    SetErrorCode(target);
  }
  InvokeCallback(error, result);
}

void JsEventCreateWorkloadGenerator::SetBasicOutput(v8::Local<v8::Object> info) {
  const BasicAccessPatternOutput& basic = runner_->output->accessPatternOutput->basic;
  SetJsPropUint32(info, "loops", basic.loops);
  SetJsPropUint32(info, "readPercent", basic.readPercent);
  SetJsPropUint32(info, "trimPercent", basic.trimPercent);
  SetJsPropUint32(info, "xferSize", basic.xferSize);
  SetJsPropUint64(info, "startLba", basic.startLba);
  SetJsPropUint64(info, "size", basic.size);
  SetJsPropStdString(info, "workload", WorkloadName(basic.workload));
}

void JsEventCreateWorkloadGenerator::SetMultiRangeOutput(v8::Local<v8::Object> info) {
  const MultiRangeAccessPatternInput& multi = runner_->output->accessPatternOutput->multiRange;
  SetJsPropUint32(info, "loops", multi.loops);
  v8::Local<v8::Array> ranges = CreateJsArray(static_cast<uint32_t>(multi.ranges.size()));
  SetJsPropObject(info, "ranges", ranges);
  for (uint32_t i = 0; i < multi.ranges.size(); ++i) {
    const MultiRangeAccessPatternRange& range = multi.ranges[i];
    v8::Local<v8::Object> object = CreateJsObject();
    SetArrayElement(ranges, i, object);
    SetJsPropUint64(object, "startLba", range.startLba);
    SetJsPropUint64(object, "size", range.size);
    SetJsPropUint32(object, "probability", range.probability);
    SetJsPropStdString(object, "workload", WorkloadName(range.workload));
    SetJsPropUint32(object, "readPercent", range.readPercent);
    SetJsPropUint32(object, "trimPercent", range.trimPercent);
    v8::Local<v8::Array> xfers = CreateJsArray(static_cast<uint32_t>(range.xfers.size()));
    for (uint32_t j = 0; j < range.xfers.size(); ++j) {
      v8::Local<v8::Object> xfer = CreateJsObject();
      SetArrayElement(xfers, j, xfer);
      SetJsPropUint32(xfer, "size", range.xfers[j].size);
      SetJsPropUint32(xfer, "probability", range.xfers[j].probability);
    }
    SetJsPropObject(object, "xfers", xfers);
  }
}

void JsEventCreateWorkloadGenerator::SetPerformance(v8::Local<v8::Object> target,
                                                    std::unique_ptr<PerformanceTracker> tracker) {
  const WorkloadGenerationInput& in = *runner_->input;
  Log("Creating Throughput Information");
  v8::Local<v8::Object> perf = CreateJsObject();
  double bandwidth = 0, iops = 0, xfer = 0, io = 0;
  if (tracker->GetTotalIos() > 0) {
    const double duration = runner_->output->accessPatternOutput ? runner_->output->accessPatternOutput->duration : 0;
    xfer = static_cast<double>(tracker->GetTotalBytes());
    io = static_cast<double>(tracker->GetTotalIos());
    if (duration > 0) {
      bandwidth = xfer / duration;
      iops = io / duration;
    }
  }
  SetJsPropDouble(perf, "bandwidth", bandwidth);
  SetJsPropDouble(perf, "iops", iops);
  SetJsPropDouble(perf, "xfer", xfer);
  SetJsPropDouble(perf, "io", io);
  SetJsPropObject(target, "perf", perf);

  if (in.intervalStatsEnabled) {
    Log("Creating Interval Statistics");
    const auto& samples = tracker->GetSamples();
    v8::Local<v8::Array> data = CreateJsArray(static_cast<uint32_t>(samples.size()));
    uint32_t index = 0;
    for (const PerformanceIntervalSample& s : samples) {
      v8::Local<v8::Object> sample = CreateJsObject();
      SetJsPropDouble(sample, "iops", s.iops);
      SetJsPropDouble(sample, "throughput", s.throughput);
      SetJsPropDouble(sample, "maxLatencyUs", s.maxLatencyUs);
      SetJsPropDouble(sample, "minLatencyUs", s.minLatencyUs);
      SetJsPropDouble(sample, "avgLatencyUs", s.avgLatencyUs);
      SetJsPropDouble(sample, "totalIo", s.totalIo);
      SetJsPropDouble(sample, "totalXfers", s.totalXfers);
      SetJsPropDouble(sample, "interval", s.interval);
      SetJsPropDouble(sample, "sinceStart", s.sinceStart);
      SetArrayElement(data, index++, sample);
    }
    SetJsPropObject(target, "intervalData", data);
  }

  const Histogram* histogram = tracker->GetHistogram();
  if (!in.histogramEnabled || histogram == nullptr) return;
  Log("Creating Latency Statistics");
  HistogramPercentile p;
  histogram->GenerateOutput(p);
  v8::Local<v8::Object> latency = CreateJsObject();
  SetJsPropDouble(latency, "first", p.min_value);
  SetJsPropDouble(latency, "perc50", p.p50);
  SetJsPropDouble(latency, "perc90", p.p90);
  SetJsPropDouble(latency, "perc99", p.p99);
  SetJsPropDouble(latency, "nines3", p.p99_9);
  SetJsPropDouble(latency, "nines4", p.p99_99);
  SetJsPropDouble(latency, "nines5", p.p99_999);
  SetJsPropDouble(latency, "nines6", p.p99_9999);
  SetJsPropDouble(latency, "nines7", p.p99_99999);
  SetJsPropDouble(latency, "nines8", p.p99_999999);
  SetJsPropStdString(latency, "unit", "us");
  SetJsPropObject(target, "latency", latency);

  if (!in.histogramRawData) return;
  Log("Creating Histogram Raw Data");
  std::vector<HistogramBucketData> buckets;
  uint64_t start = 0, end = 0, precision = 0;
  histogram->GenerateRawOutput(buckets, start, end, precision);
  v8::Local<v8::Object> raw = CreateJsObject();
  SetJsPropUint64(raw, "start", start);
  SetJsPropUint64(raw, "end", end);
  SetJsPropUint64(raw, "precision", precision);
  // One object per bucket (at most Histogram::kMaxRawBuckets, refused before the run otherwise): the keys are made
  // once, and each slice of buckets has its own handle scope, so that time and memory stay linear in the buckets.
  v8::Isolate* iso = isolate();
  v8::Local<v8::Context> ctx = iso->GetCurrentContext();
  // Filled in order from empty: an array made with its final length would start out sparse (a dictionary).
  v8::Local<v8::Array> data = CreateJsArray(0);
  const v8::Local<v8::String> start_key = v8::String::NewFromUtf8Literal(iso, "start", v8::NewStringType::kInternalized);
  const v8::Local<v8::String> end_key = v8::String::NewFromUtf8Literal(iso, "end", v8::NewStringType::kInternalized);
  const v8::Local<v8::String> count_key = v8::String::NewFromUtf8Literal(iso, "count", v8::NewStringType::kInternalized);
  constexpr size_t kSlice = 4096;
  for (size_t first = 0; first < buckets.size(); first += kSlice) {
    v8::HandleScope slice(iso);
    const size_t last = std::min(buckets.size(), first + kSlice);
    for (size_t i = first; i < last; ++i) {
      v8::Local<v8::Object> bucket = v8::Object::New(iso);
      bucket->CreateDataProperty(ctx, start_key, v8::Number::New(iso, buckets[i].start)).FromMaybe(false);
      bucket->CreateDataProperty(ctx, end_key, v8::Number::New(iso, buckets[i].end)).FromMaybe(false);
      bucket->CreateDataProperty(ctx, count_key, v8::Number::New(iso, static_cast<double>(buckets[i].count))).FromMaybe(false);
      data->Set(ctx, static_cast<uint32_t>(i), bucket).FromMaybe(false);
    }
  }
  std::vector<HistogramBucketData>().swap(buckets);
  SetJsPropObject(raw, "data", data);
  SetJsPropObject(target, "histogramRawData", raw);
}

void JsEventCreateWorkloadGenerator::SetErrorCode(v8::Local<v8::Object> target) {
  const ErrorTracker& tracker = *runner_->output->errorTracker;
  v8::Local<v8::Array> history = CreateJsArray(static_cast<uint32_t>(tracker.kept));
  uint32_t index = 0;
  for (const auto& entry : tracker.errors) {
    for (const command_info& cmd : entry.second) {
      v8::Local<v8::Object> object = CreateJsObject();
      SetJsPropUint32(object, "sct", entry.first.first);
      SetJsPropUint32(object, "sc", entry.first.second);
      SetJsPropStdString(object, "cmd", CommandName(cmd.cmd));
      SetJsPropUint32(object, "nsid", cmd.nsid);
      SetJsPropUint64(object, "startLba", cmd.startLba);
      SetJsPropUint32(object, "numBlocks", cmd.numBlocks);
      SetArrayElement(history, index++, object);
    }
  }
  SetJsPropObject(target, "errorHistory", history);
  SetJsPropUint64(target, "errorHistoryDropped", tracker.dropped);
}
