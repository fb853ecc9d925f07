// JsEvent: the script-side half of one task-backed NVMe call (read, write, datasetManagement, createQueuePair,
// deleteQueuePair, formatNvm, sendGenericCommand, startWorkloadGenerator).
//
// Flow of one call (script thread unless noted):
//   1. the method makes the concrete event for the default PCI address; its constructor makes the runner;
//   2. ParseParameters reads the script's arguments into the runner and stores the callback (false: a TypeError is
//      pending, the method deletes the event);
//   3. JsEvent::Start registers the runner with the loop's TaskCompletionNotifier and hands it to the worker
//      (NvmeDriver::AddTask); no thread waits for it;
//   4. the worker releases the final runner and the notifier wakes the loop;
//   5. Finish logs "NVME: JsEvent: Calling callback", runs CallCallback and deletes the event with its runner (only
//      deletes it when the call's environment is ending: no script may run then).
//
// The event keeps the NVMe driver alive until its callback has run, so that dropping the addon object while a call
// is pending cannot destroy the driver under a running task. A script Buffer handed to a command is copied at the
// call into memory the event owns: the worker and the device use only that copy, so a script that shrinks, detaches
// or shares the buffer meanwhile changes nothing they see (a command that returns data copies it back on the script's
// thread, see CopyBack).
//
// The value conversions are the kit's (tyr::JsValueKit), which every method object uses too; a getter or Proxy trap
// that throws while an option is read is refused as "property \"<name>\" could not be read" behind the method's name.
#ifndef KYT_JAVASCRIPT_JS_EVENT_H
#define KYT_JAVASCRIPT_JS_EVENT_H

#include <node.h>
#include <uv.h>
#include <v8.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "javascript/js_value_kit.h"
#include "spdk/nvme_spec.h"

class TaskBase;
class NvmeDriver;
namespace tyr {
class JsEnvironment;
}
struct DataMismatchRecord;

// One NVMe status to ignore (workload options).
struct ErrorCode {
  uint16_t sct;
  uint16_t sc;
};
using IgnoreErrorArray = std::vector<ErrorCode>;

// A script buffer handed to a command: the event's own copy of its bytes (8-byte aligned) and their count, and the
// script Buffer's own length (more than `length` when only its start was copied).
struct JsHeldBuffer {
  uint8_t* data = nullptr;
  size_t length = 0;
  size_t whole = 0;
};

class JsEvent : public tyr::JsValueKit {
 public:
  JsEvent(std::string bdf, v8::Isolate* isolate);
  virtual ~JsEvent();
  JsEvent(const JsEvent&) = delete;
  JsEvent& operator=(const JsEvent&) = delete;

  virtual void CallCallback();
  virtual bool ParseParameters(const v8::FunctionCallbackInfo<v8::Value>& info) = 0;

  TaskBase* GetRunner() const { return runner_; }
  const std::string& GetBdf() const { return bdf_; }

  // The Error a task that ended aborted gives the script: its message, and as "data" {cause, action} when the task
  // said more about it (TaskBase::SetErrorDetail).
  static v8::Local<v8::Value> TaskError(v8::Isolate* isolate, const TaskBase& task);

  // Keeps the driver alive until the event is deleted (after its callback).
  void SetDriver(std::shared_ptr<NvmeDriver> driver) { driver_ = std::move(driver); }

  // Steps 2 to 5 of a call for an event made by the method: parse; on success have the loop told when the runner is
  // released and hand it to the driver's worker (the event then owns itself); on failure delete the event (its
  // TypeError is pending). Returns whether the call was started.
  static bool Start(JsEvent* event, const v8::FunctionCallbackInfo<v8::Value>& info,
                    std::shared_ptr<NvmeDriver> driver);

  // Callback and options.
  v8::Local<v8::Object> ParseBdfAndCallback(const v8::FunctionCallbackInfo<v8::Value>& info, int n);
  void ParseCallback(const v8::FunctionCallbackInfo<v8::Value>& info);
  void SetCallback(v8::Local<v8::Function> callback);
  void SetBdfFromObject(v8::Local<v8::Object> object);
  bool HasCallback() const { return !callback_.IsEmpty(); }

  // The events' own conversions.
  // "options.dataPattern", read once: absent -> no data and no length; else the event's own copy of the Buffer
  // (HoldBuffer), whose size must be a multiple of 8. Throws "options.dataPattern must be a Object" for anything else.
  JsHeldBuffer ParseJsDataPattern(v8::Local<v8::Object> options);
  // An Array of error codes ({sct, sc}), from a value already read.
  void ParseJsEcArray(v8::Local<v8::Value> value, const std::string& prefix, const std::string& name,
                      IgnoreErrorArray& out);

  JsHeldBuffer ParseJsArgBuffer(v8::Local<v8::Value> value, const std::string& name, size_t most_copied = SIZE_MAX);

  // Copies a script Buffer (any ArrayBufferView) as it is now into memory the event owns for its life: its first
  // `most_copied` bytes, all of them for a shorter one. A Buffer longer than 2^32 - 1 bytes is refused with "<what>
  // must be a Buffer of at most 4294967295 bytes".
  JsHeldBuffer HoldBuffer(v8::Local<v8::Value> value, const std::string& what, size_t most_copied = SIZE_MAX);
  // Script's thread, after the worker is done: copies the event's copy back into the script's Buffer it was made
  // from: into its memory as pinned at the call (fixed-length buffers: also after a detach or transfer), or, for a
  // resizable buffer, through the view when it still has the length it had at the call. False when nothing could be
  // copied (a resizable buffer resized or detached meanwhile).
  bool CopyBack(const JsHeldBuffer& held);

 protected:
  v8::Isolate* isolate() const { return GetIsolate(); }
  void set_runner(TaskBase* runner) { runner_ = runner; }
  // Calls the stored callback with (error, result) and the global object as receiver.
  void InvokeCallback(v8::Local<v8::Value> error, v8::Local<v8::Value> result);
  // When the runner ended aborted, calls back with (RunnerError(), null) and answers true.
  bool CallbackIfAborted();
  // The error of an aborted runner: an Error with its message, or, when it refused an argument, a TypeError whose
  // message starts with the prefix of the method's argument errors (the one given to Guard).
  v8::Local<v8::Value> RunnerError();
  // The completion rule of the NVMe command events: runner aborted -> (Error(runner's message), null); a completion
  // whose status code is not 0 -> (Error("command error") with the result as "data", null); else (null, result).
  void CallbackWithCompletion(const spdk_nvme_cpl& cpl);
  // The script object of a completion entry: "cdw", "sqhd", "sqid", "cid" and "status" {"sc", "sct", "m", "p", "dnr"}.
  v8::Local<v8::Object> MakeCompletionResult(const spdk_nvme_cpl& cpl);
  // Sets "data" {"lba", "expected", "found"} on the error of a run that ended with "data mismatch".
  void SetMismatchData(v8::Local<v8::Value> error, const DataMismatchRecord& mismatch);
  // Runs a parse step; a std::exception becomes a TypeError "<prefix><what>" and false is returned.
  bool Guard(const std::string& prefix, const std::function<void()>& parse);

 private:
  // Step 5, on the script's thread once the worker has released the runner.
  static void Finish(JsEvent* event);

  void EcArray(v8::Local<v8::Array> array, const std::string& name, IgnoreErrorArray& out);

  v8::Global<v8::Function> callback_;
  TaskBase* runner_ = nullptr;
  std::string bdf_;
  std::string prefix_;  // of the method's argument errors
  std::shared_ptr<NvmeDriver> driver_;
  std::shared_ptr<tyr::JsEnvironment> environment_;  // set when the call starts
  v8::Global<v8::Context> context_;
  struct OwnedCopy {
    std::vector<uint64_t> words;
    size_t length = 0;                        // bytes copied
    size_t whole = 0;                         // the view's length at the call
    v8::Global<v8::ArrayBufferView> view;  // the script's Buffer, for CopyBack
    std::shared_ptr<v8::BackingStore> store;  // its memory when of a fixed length (pinned), else empty
    size_t offset = 0;                        // of the view in that memory
  };
  std::list<OwnedCopy> owned_;  // a list: the copies never move
};

#endif  // KYT_JAVASCRIPT_JS_EVENT_H
