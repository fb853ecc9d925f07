#include "javascript/js_event_create_workload_generator.h"

#include <algorithm>
#include <utility>

#include "javascript/js_hook_manager.h"
#include "javascript/js_workload_options.h"
#include "runner/workload_generation_runner.h"
#include "utility/log_line.h"

namespace {

void Log(const char* text) { kyt::LogLine(std::string("NVME: JsEvent: ") + text); }

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
  // A list may hold a million ranges. Made one object and one property at a time through the engine's interface they
  // cost seconds; a loop of script code, compiled by the engine, makes them from flat arrays of their numbers in a
  // fraction of that. The objects are the same: startLba, size, probability, workload, readPercent, trimPercent,
  // xfers [{size, probability}], in this order.
  static constexpr char kBuilder[] =
      "(function (count, lbas, numbers, sequential, xferCounts, xferNumbers) {\n"
      "  const ranges = [];\n"
      "  for (let i = 0, x = 0; i < count; i += 1) {\n"
      "    const xfers = [];\n"
      "    for (let j = 0; j < xferCounts[i]; j += 1, x += 2) {\n"
      "      xfers[j] = { size: xferNumbers[x], probability: xferNumbers[x + 1] };\n"
      "    }\n"
      "    ranges[i] = { startLba: lbas[2 * i], size: lbas[2 * i + 1], probability: numbers[3 * i],\n"
      "      workload: sequential[i] === 1 ? 'sequential' : 'random', readPercent: numbers[3 * i + 1],\n"
      "      trimPercent: numbers[3 * i + 2], xfers };\n"
      "  }\n"
      "  return ranges;\n"
      "})";
  v8::Isolate* iso = isolate();
  v8::Local<v8::Context> ctx = iso->GetCurrentContext();
  const size_t count = multi.ranges.size();
  size_t xfer_count = 0;
  for (const MultiRangeAccessPatternRange& range : multi.ranges) xfer_count += range.xfers.size();
  // LBAs and sizes as doubles (exact to 2^53, as every Number the result holds); the 32-bit fields as such.
  v8::Local<v8::ArrayBuffer> lbas = v8::ArrayBuffer::New(iso, count * 2 * sizeof(double));
  v8::Local<v8::ArrayBuffer> numbers = v8::ArrayBuffer::New(iso, count * 3 * sizeof(uint32_t));
  v8::Local<v8::ArrayBuffer> sequential = v8::ArrayBuffer::New(iso, count);
  v8::Local<v8::ArrayBuffer> xfer_counts = v8::ArrayBuffer::New(iso, count * sizeof(uint32_t));
  v8::Local<v8::ArrayBuffer> xfer_numbers = v8::ArrayBuffer::New(iso, xfer_count * 2 * sizeof(uint32_t));
  auto* l = static_cast<double*>(lbas->Data());
  auto* n = static_cast<uint32_t*>(numbers->Data());
  auto* seq = static_cast<uint8_t*>(sequential->Data());
  auto* xc = static_cast<uint32_t*>(xfer_counts->Data());
  auto* xn = static_cast<uint32_t*>(xfer_numbers->Data());
  for (const MultiRangeAccessPatternRange& range : multi.ranges) {
    *l++ = static_cast<double>(range.startLba);
    *l++ = static_cast<double>(range.size);
    *n++ = range.probability;
    *n++ = range.readPercent;
    *n++ = range.trimPercent;
    *seq++ = range.workload == kAccessSequential ? 1 : 0;
    *xc++ = static_cast<uint32_t>(range.xfers.size());
    for (const MultiRangeAccessPatternXfer& xfer : range.xfers) {
      *xn++ = xfer.size;
      *xn++ = xfer.probability;
    }
  }
  v8::Local<v8::Value> args[] = {
      v8::Number::New(iso, static_cast<double>(count)),
      v8::Float64Array::New(lbas, 0, count * 2),
      v8::Uint32Array::New(numbers, 0, count * 3),
      v8::Uint8Array::New(sequential, 0, count),
      v8::Uint32Array::New(xfer_counts, 0, count),
      v8::Uint32Array::New(xfer_numbers, 0, xfer_count * 2),
  };
  // The rest of the result reaches the callback whatever happens here (as when a property could not be set).
  v8::TryCatch try_catch(iso);
  v8::Local<v8::Script> script;
  v8::Local<v8::Value> builder;
  v8::Local<v8::Value> ranges;
  if (v8::Script::Compile(ctx, CreateJsString(kBuilder)).ToLocal(&script) && script->Run(ctx).ToLocal(&builder) &&
      builder.As<v8::Function>()->Call(ctx, v8::Undefined(iso), 6, args).ToLocal(&ranges)) {
    SetJsPropObject(info, "ranges", ranges);
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
