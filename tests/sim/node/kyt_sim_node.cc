// Test-only Node module: create and control simulated NVMe controllers from a script.
//
//   const sim = require('<repo>/build/lib/kyt_sim.node');
//   const dev = sim.create('0000:01:00.0', { namespaces: [{ nsid: 1, blocks: 1 << 20 }] });
//   dev.powerOff(); dev.powerOn(); dev.injectStatus({ opcode: 2, sc: 0x81, sct: 2 }); dev.destroy();
//
// See tests/sim/README.md for every call. No C++ exception leaves this file: each becomes a JavaScript Error.
#include <node_api.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kyt/env_test.h"
#include "kyt_sim/sim_registry.h"
#include "spdk/env.h"

namespace kyt::sim {
namespace {

struct JsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct PendingException {};  // a JavaScript exception is already pending

void Check(napi_env env, napi_status status) {
  if (status == napi_ok) return;
  bool pending = false;
  napi_is_exception_pending(env, &pending);
  if (pending) throw PendingException{};
  const napi_extended_error_info* info = nullptr;
  napi_get_last_error_info(env, &info);
  throw JsError(info && info->error_message ? info->error_message : "Node-API call failed");
}

template <typename Fn>
napi_value Guard(napi_env env, Fn fn) {
  try {
    return fn();
  } catch (const PendingException&) {
  } catch (const std::exception& e) {
    napi_throw_error(env, nullptr, e.what());
  } catch (...) {
    napi_throw_error(env, nullptr, "unexpected error in the simulated controller module");
  }
  return nullptr;
}

napi_valuetype TypeOf(napi_env env, napi_value v) {
  napi_valuetype t;
  Check(env, napi_typeof(env, v, &t));
  return t;
}

std::string ToString(napi_env env, napi_value v, const std::string& what) {
  if (TypeOf(env, v) != napi_string) throw JsError(what + " must be a string");
  size_t len = 0;
  Check(env, napi_get_value_string_utf8(env, v, nullptr, 0, &len));
  std::string s(len, '\0');
  Check(env, napi_get_value_string_utf8(env, v, &s[0], len + 1, &len));
  return s;
}

// A non-negative integer from a Number or a BigInt, at most `max`.
uint64_t ToUint(napi_env env, napi_value v, const std::string& what, uint64_t max) {
  napi_valuetype t = TypeOf(env, v);
  uint64_t out;
  if (t == napi_bigint) {
    bool lossless = false;
    Check(env, napi_get_value_bigint_uint64(env, v, &out, &lossless));
    if (!lossless) throw JsError(what + " is out of range");
  } else if (t == napi_number) {
    double d;
    Check(env, napi_get_value_double(env, v, &d));
    if (!(d >= 0) || std::floor(d) != d || d > 9007199254740991.0)
      throw JsError(what + " must be a non-negative integer");
    out = static_cast<uint64_t>(d);
  } else {
    throw JsError(what + " must be a number");
  }
  if (out > max) throw JsError(what + " must be at most " + std::to_string(max));
  return out;
}

int64_t ToInt(napi_env env, napi_value v, const std::string& what, int64_t min, int64_t max) {
  if (TypeOf(env, v) != napi_number) throw JsError(what + " must be a number");
  double d;
  Check(env, napi_get_value_double(env, v, &d));
  if (std::floor(d) != d || d < double(min) || d > double(max))
    throw JsError(what + " must be an integer from " + std::to_string(min) + " to " + std::to_string(max));
  return static_cast<int64_t>(d);
}

bool ToBool(napi_env env, napi_value v, const std::string& what) {
  if (TypeOf(env, v) != napi_boolean) throw JsError(what + " must be a boolean");
  bool b;
  Check(env, napi_get_value_bool(env, v, &b));
  return b;
}

// Property `name` of an options object, or null when absent or undefined.
napi_value Opt(napi_env env, napi_value obj, const char* name) {
  if (!obj) return nullptr;
  bool has = false;
  Check(env, napi_has_named_property(env, obj, name, &has));
  if (!has) return nullptr;
  napi_value v;
  Check(env, napi_get_named_property(env, obj, name, &v));
  napi_valuetype t = TypeOf(env, v);
  return t == napi_undefined ? nullptr : v;
}

template <typename T>
void OptUint(napi_env env, napi_value obj, const char* name, T* out, uint64_t max) {
  if (napi_value v = Opt(env, obj, name)) *out = static_cast<T>(ToUint(env, v, std::string("option ") + name, max));
}
void OptBool(napi_env env, napi_value obj, const char* name, bool* out) {
  if (napi_value v = Opt(env, obj, name)) *out = ToBool(env, v, std::string("option ") + name);
}
void OptString(napi_env env, napi_value obj, const char* name, std::string* out) {
  if (napi_value v = Opt(env, obj, name)) *out = ToString(env, v, std::string("option ") + name);
}

napi_value Options(napi_env env, napi_value v, const std::string& what) {
  if (!v) return nullptr;
  napi_valuetype t = TypeOf(env, v);
  if (t == napi_undefined || t == napi_null) return nullptr;
  if (t != napi_object) throw JsError(what + " must be an object");
  return v;
}

napi_value Num(napi_env env, double d) {
  napi_value v;
  Check(env, napi_create_double(env, d, &v));
  return v;
}
napi_value Big(napi_env env, uint64_t u) {
  napi_value v;
  Check(env, napi_create_bigint_uint64(env, u, &v));
  return v;
}
napi_value Bool(napi_env env, bool b) {
  napi_value v;
  Check(env, napi_get_boolean(env, b, &v));
  return v;
}
napi_value Str(napi_env env, const std::string& s) {
  napi_value v;
  Check(env, napi_create_string_utf8(env, s.data(), s.size(), &v));
  return v;
}
napi_value Undefined(napi_env env) {
  napi_value v;
  Check(env, napi_get_undefined(env, &v));
  return v;
}
napi_value Object(napi_env env) {
  napi_value v;
  Check(env, napi_create_object(env, &v));
  return v;
}
napi_value Array(napi_env env) {
  napi_value v;
  Check(env, napi_create_array(env, &v));
  return v;
}
void Set(napi_env env, napi_value obj, const char* name, napi_value v) {
  Check(env, napi_set_named_property(env, obj, name, v));
}
void Push(napi_env env, napi_value arr, uint32_t index, napi_value v) {
  Check(env, napi_set_element(env, arr, index, v));
}
// Block counts and LBAs: Numbers while exact, BigInts above 2^53.
napi_value Count(napi_env env, uint64_t u) { return u <= (uint64_t(1) << 53) ? Num(env, double(u)) : Big(env, u); }

struct Call {
  napi_value self = nullptr;
  std::vector<napi_value> args;
  std::string address;  // of the device object the method was called on
};

Call Args(napi_env env, napi_callback_info info, size_t max_args) {
  Call c;
  size_t argc = max_args;
  c.args.resize(max_args);
  Check(env, napi_get_cb_info(env, info, &argc, c.args.data(), &c.self, nullptr));
  c.args.resize(argc);
  for (auto& a : c.args)
    if (TypeOf(env, a) == napi_undefined) a = nullptr;
  c.args.resize(max_args, nullptr);
  return c;
}

// The controller behind `this` of a device method.
std::shared_ptr<SimController> Device(napi_env env, Call& call) {
  void* data = nullptr;
  if (!call.self || napi_unwrap(env, call.self, &data) != napi_ok || !data)
    throw JsError("not a simulated controller object");
  call.address = *static_cast<std::string*>(data);
  auto ctrl = SimRegistry::Instance().Find(call.address);
  if (!ctrl) throw JsError("the simulated controller at " + call.address + " was destroyed");
  return ctrl;
}

SimConfig ParseConfig(napi_env env, napi_value opts) {
  SimConfig c;
  OptUint(env, opts, "vendorId", &c.vendor_id, 0xFFFF);
  OptUint(env, opts, "deviceId", &c.device_id, 0xFFFF);
  OptUint(env, opts, "subsystemVendorId", &c.subsystem_vendor_id, 0xFFFF);
  OptUint(env, opts, "subsystemId", &c.subsystem_id, 0xFFFF);
  OptUint(env, opts, "mqes", &c.mqes, 0xFFFF);
  OptUint(env, opts, "timeout", &c.timeout, 0xFF);
  OptUint(env, opts, "dstrd", &c.dstrd, 8);
  OptUint(env, opts, "ams", &c.ams, 3);
  OptUint(env, opts, "mpsmin", &c.mpsmin, 15);
  OptUint(env, opts, "mpsmax", &c.mpsmax, 15);
  OptUint(env, opts, "version", &c.version, 0xFFFFFFFF);
  OptString(env, opts, "serial", &c.serial);
  OptString(env, opts, "model", &c.model);
  OptString(env, opts, "firmware", &c.firmware);
  OptUint(env, opts, "mdts", &c.mdts, 0xFF);
  OptUint(env, opts, "cntlid", &c.cntlid, 0xFFEF);
  OptUint(env, opts, "kas", &c.kas, 0xFFFF);
  OptUint(env, opts, "aerl", &c.aerl, 0xFF);
  OptUint(env, opts, "acl", &c.acl, 0xFF);
  OptUint(env, opts, "maxNamespaces", &c.max_namespaces, 1024);
  OptUint(env, opts, "totalCapacity", &c.total_capacity, UINT64_MAX);
  OptBool(env, opts, "volatileWriteCache", &c.volatile_write_cache);
  OptBool(env, opts, "doorbellBuffer", &c.doorbell_buffer);
  OptUint(env, opts, "ioQueues", &c.io_queues, 0xFFFF);
  OptBool(env, opts, "startEnabled", &c.start_enabled);
  OptBool(env, opts, "startReady", &c.start_ready);
  OptBool(env, opts, "startReadyStuck", &c.start_ready_stuck);
  OptUint(env, opts, "startReadyStuckUs", &c.start_ready_stuck_us, UINT64_MAX);
  OptUint(env, opts, "readyDelayUs", &c.ready_delay_us, 0xFFFFFFFF);
  OptUint(env, opts, "disableDelayUs", &c.disable_delay_us, 0xFFFFFFFF);
  OptUint(env, opts, "shutdownDelayUs", &c.shutdown_delay_us, 0xFFFFFFFF);
  OptUint(env, opts, "formatDelayUs", &c.format_delay_us, 0xFFFFFFFF);
  OptBool(env, opts, "zeroLatency", &c.zero_latency);
  OptBool(env, opts, "storeFirst8Bytes", &c.store_first_8_bytes);
  OptUint(env, opts, "commandLogCapacity", &c.command_log_capacity, 1u << 24);
  OptUint(env, opts, "maxHeldCommands", &c.max_held_commands, 1u << 20);
  OptBool(env, opts, "verbose", &c.verbose);
  if (napi_value list = Opt(env, opts, "namespaces")) {
    bool is_array = false;
    Check(env, napi_is_array(env, list, &is_array));
    if (!is_array) throw JsError("option namespaces must be an array");
    uint32_t n = 0;
    Check(env, napi_get_array_length(env, list, &n));
    c.namespaces.clear();
    for (uint32_t i = 0; i < n; ++i) {
      napi_value item;
      Check(env, napi_get_element(env, list, i, &item));
      napi_value o = Options(env, item, "namespaces[" + std::to_string(i) + "]");
      NamespaceConfig ns;
      ns.nsid = i + 1;
      OptUint(env, o, "nsid", &ns.nsid, 0xFFFFFFFE);
      OptUint(env, o, "blocks", &ns.blocks, UINT64_MAX);
      OptUint(env, o, "lbaFormat", &ns.lba_format, 15);
      OptBool(env, o, "extendedLba", &ns.extended_lba);
      OptUint(env, o, "piType", &ns.pi_type, 7);
      OptBool(env, o, "piFirst", &ns.pi_first);
      OptBool(env, o, "active", &ns.active);
      OptString(env, o, "uuid", &ns.uuid);
      c.namespaces.push_back(ns);
    }
  }
  return c;
}

FaultRule ParseRule(napi_env env, napi_value arg, FaultRule::Action action) {
  napi_value o = Options(env, arg, "the fault");
  if (!o) throw JsError("the fault must be an object");
  FaultRule r;
  r.action = action;
  OptBool(env, o, "admin", &r.admin);
  if (napi_value v = Opt(env, o, "opcode")) r.opcode = static_cast<int16_t>(ToInt(env, v, "opcode", -1, 255));
  if (napi_value v = Opt(env, o, "qid")) r.qid = static_cast<int32_t>(ToInt(env, v, "qid", -1, 65535));
  OptUint(env, o, "nsid", &r.nsid, 0xFFFFFFFF);
  if (napi_value v = Opt(env, o, "count")) r.count = static_cast<int32_t>(ToInt(env, v, "count", -1, 1 << 30));
  if (r.count == 0) throw JsError("count must be -1 (always) or at least 1");
  if (!r.admin && r.qid == 0) r.admin = true;
  if (action == FaultRule::Action::kStatus) {
    OptUint(env, o, "sct", &r.status.sct, 7);
    OptUint(env, o, "sc", &r.status.sc, 0xFF);
    OptBool(env, o, "more", &r.status.more);
    OptBool(env, o, "dnr", &r.status.dnr);
  }
  if (action == FaultRule::Action::kDelay) {
    if (!Opt(env, o, "delayUs")) throw JsError("delayUs is required");
  }
  if (action == FaultRule::Action::kDelay || action == FaultRule::Action::kDuplicate) {
    OptUint(env, o, "delayUs", &r.delay_us, uint64_t(1) << 40);
  }
  return r;
}

const char* PresenceName(SimController::Presence p) {
  switch (p) {
    case SimController::Presence::kOnBus: return "on";
    case SimController::Presence::kPoweredOff: return "off";
    default: return "removed";
  }
}

// ---- device methods ----

#define DEVICE_METHOD(name, nargs, body)                                  \
  napi_value name(napi_env env, napi_callback_info info) {                \
    return Guard(env, [&]() -> napi_value {                               \
      Call call = Args(env, info, nargs);                                 \
      std::shared_ptr<SimController> ctrl = Device(env, call);            \
      body                                                                \
    });                                                                   \
  }

DEVICE_METHOD(DevAddress, 0, { return Str(env, ctrl->address()); })
DEVICE_METHOD(DevState, 0, { return Str(env, PresenceName(ctrl->presence())); })
DEVICE_METHOD(DevPowerOff, 0, {
  ctrl->PowerOff();
  return Undefined(env);
})
DEVICE_METHOD(DevPowerOn, 0, {
  ctrl->PowerOn();
  return Undefined(env);
})
DEVICE_METHOD(DevRemove, 1, {
  bool sigbus = true;
  OptBool(env, Options(env, call.args[0], "options"), "sigbus", &sigbus);
  ctrl->Remove(sigbus);
  return Undefined(env);
})
DEVICE_METHOD(DevInjectStatus, 1, {
  ctrl->InjectFault(ParseRule(env, call.args[0], FaultRule::Action::kStatus));
  return Undefined(env);
})
DEVICE_METHOD(DevDelayCompletion, 1, {
  ctrl->InjectFault(ParseRule(env, call.args[0], FaultRule::Action::kDelay));
  return Undefined(env);
})
DEVICE_METHOD(DevDropCompletion, 1, {
  ctrl->InjectFault(ParseRule(env, call.args[0], FaultRule::Action::kDrop));
  return Undefined(env);
})
DEVICE_METHOD(DevDuplicateCompletion, 1, {
  ctrl->InjectFault(ParseRule(env, call.args[0], FaultRule::Action::kDuplicate));
  return Undefined(env);
})
DEVICE_METHOD(DevStrayCompletion, 1, {
  napi_value o = Options(env, call.args[0], "the completion");
  if (!o) throw JsError("strayCompletion({qid, cid, sct, sc})");
  uint16_t qid = 0;
  uint16_t cid = 0;
  Status status;
  OptUint(env, o, "qid", &qid, 0xFFFF);
  if (!Opt(env, o, "cid")) throw JsError("cid is required");
  OptUint(env, o, "cid", &cid, 0xFFFF);
  OptUint(env, o, "sct", &status.sct, 7);
  OptUint(env, o, "sc", &status.sc, 0xFF);
  return Bool(env, ctrl->PostStrayCompletion(qid, cid, status));
})
DEVICE_METHOD(DevClearFaults, 0, {
  ctrl->ClearFaults();
  return Undefined(env);
})
DEVICE_METHOD(DevPendingFaults, 0, { return Num(env, double(ctrl->pending_faults())); })
DEVICE_METHOD(DevCorruptBlock, 3, {
  if (!call.args[0] || !call.args[1]) throw JsError("corruptBlock(nsid, lba[, {offset, mask}])");
  uint32_t nsid = static_cast<uint32_t>(ToUint(env, call.args[0], "nsid", 0xFFFFFFFF));
  uint64_t lba = ToUint(env, call.args[1], "lba", UINT64_MAX);
  napi_value o = Options(env, call.args[2], "options");
  uint32_t offset = 0;
  uint8_t mask = 0xFF;
  OptUint(env, o, "offset", &offset, 0xFFFFFFFF);
  OptUint(env, o, "mask", &mask, 0xFF);
  if (mask == 0) throw JsError("mask must not be 0");
  return Bool(env, ctrl->CorruptBlock(nsid, lba, offset, mask));
})
DEVICE_METHOD(DevMarkUncorrectable, 3, {
  if (!call.args[0] || !call.args[1]) throw JsError("markUncorrectable(nsid, lba[, count])");
  uint32_t nsid = static_cast<uint32_t>(ToUint(env, call.args[0], "nsid", 0xFFFFFFFF));
  uint64_t lba = ToUint(env, call.args[1], "lba", UINT64_MAX);
  uint64_t count = call.args[2] ? ToUint(env, call.args[2], "count", UINT64_MAX) : 1;
  return Bool(env, ctrl->MarkUncorrectable(nsid, lba, count));
})
DEVICE_METHOD(DevSetFatal, 2, {
  if (!call.args[0]) throw JsError("setFatal(boolean[, {clearOnReset}])");
  bool fatal = ToBool(env, call.args[0], "fatal");
  bool clear_on_reset = true;
  OptBool(env, Options(env, call.args[1], "options"), "clearOnReset", &clear_on_reset);
  ctrl->SetFatal(fatal, clear_on_reset);
  return Undefined(env);
})
DEVICE_METHOD(DevSetReadyStuck, 2, {
  if (!call.args[0]) throw JsError("setReadyStuck(boolean[, {forUs}])");
  uint64_t for_us = 0;
  OptUint(env, Options(env, call.args[1], "options"), "forUs", &for_us, UINT64_MAX);
  ctrl->SetReadyStuck(ToBool(env, call.args[0], "stuck"), for_us);
  return Undefined(env);
})
DEVICE_METHOD(DevForceReady, 1, {
  if (!call.args[0]) throw JsError("forceReady(boolean)");
  ctrl->ForceReady(ToBool(env, call.args[0], "ready"));
  return Undefined(env);
})
DEVICE_METHOD(DevSetCriticalWarning, 1, {
  if (!call.args[0]) throw JsError("setCriticalWarning(bits)");
  ctrl->SetCriticalWarning(static_cast<uint8_t>(ToUint(env, call.args[0], "bits", 0xFF)));
  return Undefined(env);
})
DEVICE_METHOD(DevCommandLog, 1, {
  bool clear = false;
  OptBool(env, Options(env, call.args[0], "options"), "clear", &clear);
  std::vector<LoggedCommand> log = ctrl->CommandLogSnapshot();
  if (clear) ctrl->ClearCommandLog();
  napi_value arr = Array(env);
  uint32_t i = 0;
  for (const LoggedCommand& e : log) {
    napi_value o = Object(env);
    Set(env, o, "sequence", Num(env, double(e.sequence)));
    Set(env, o, "sqid", Num(env, e.sqid));
    Set(env, o, "opcode", Num(env, e.command.opcode()));
    Set(env, o, "cid", Num(env, e.command.cid()));
    Set(env, o, "nsid", Num(env, e.command.nsid));
    napi_value dw = Array(env);
    for (uint32_t k = 0; k < 16; ++k) Push(env, dw, k, Num(env, e.command.dword(k)));
    Set(env, o, "cdw", dw);
    Push(env, arr, i++, o);
  }
  return arr;
})
DEVICE_METHOD(DevClearCommandLog, 0, {
  ctrl->ClearCommandLog();
  return Undefined(env);
})
DEVICE_METHOD(DevQueues, 0, {
  napi_value arr = Array(env);
  uint32_t i = 0;
  for (const auto& q : ctrl->Queues()) {
    napi_value o = Object(env);
    Set(env, o, "qid", Num(env, q.qid));
    Set(env, o, "type", Str(env, q.submission ? "sq" : "cq"));
    Set(env, o, "size", Num(env, q.size));
    Set(env, o, "head", Num(env, q.head));
    Set(env, o, "tail", Num(env, q.tail));
    if (q.submission) {
      Set(env, o, "cqid", Num(env, q.cqid));
    } else {
      Set(env, o, "phase", Num(env, q.phase ? 1 : 0));
      Set(env, o, "heldBack", Num(env, q.held_back));
    }
    Set(env, o, "base", Big(env, q.base));
    Set(env, o, "doorbellUpdates", Num(env, double(q.doorbell_updates)));
    Set(env, o, "entries", Num(env, double(q.entries)));
    Push(env, arr, i++, o);
  }
  return arr;
})
DEVICE_METHOD(DevCounters, 0, {
  SimController::Counters c = ctrl->counters();
  napi_value o = Object(env);
  Set(env, o, "commands", Num(env, double(c.commands)));
  Set(env, o, "completions", Num(env, double(c.completions)));
  Set(env, o, "injected", Num(env, double(c.injected)));
  Set(env, o, "invalidDoorbells", Num(env, double(c.invalid_doorbells)));
  Set(env, o, "powerCycles", Num(env, double(c.power_cycles)));
  Set(env, o, "unsafeShutdowns", Num(env, double(c.unsafe_shutdowns)));
  Set(env, o, "resets", Num(env, double(c.resets)));
  Set(env, o, "lostCompletions", Num(env, double(c.lost_completions)));
  return o;
})
DEVICE_METHOD(DevRegisters, 0, {
  napi_value o = Object(env);
  Set(env, o, "cap", Big(env, ctrl->ReadRegister64(reg::kCap)));
  Set(env, o, "vs", Num(env, ctrl->ReadRegister32(reg::kVs)));
  Set(env, o, "cc", Num(env, ctrl->ReadRegister32(reg::kCc)));
  Set(env, o, "csts", Num(env, ctrl->ReadRegister32(reg::kCsts)));
  Set(env, o, "aqa", Num(env, ctrl->ReadRegister32(reg::kAqa)));
  Set(env, o, "asq", Big(env, ctrl->ReadRegister64(reg::kAsq)));
  Set(env, o, "acq", Big(env, ctrl->ReadRegister64(reg::kAcq)));
  return o;
})
DEVICE_METHOD(DevNamespaces, 0, {
  napi_value arr = Array(env);
  uint32_t i = 0;
  for (const auto& ns : ctrl->Namespaces()) {
    napi_value o = Object(env);
    Set(env, o, "nsid", Num(env, ns.nsid));
    Set(env, o, "attached", Bool(env, ns.attached));
    Set(env, o, "blocks", Count(env, ns.size));
    Set(env, o, "dataSize", Num(env, ns.data_size));
    Set(env, o, "metadataSize", Num(env, ns.metadata_size));
    Set(env, o, "extendedLba", Bool(env, ns.extended));
    Set(env, o, "lbaFormat", Num(env, ns.format_index));
    Set(env, o, "allocatedBlocks", Count(env, ns.allocated_blocks));
    Set(env, o, "piType", Num(env, ns.pi_type));
    Set(env, o, "piFirst", Bool(env, ns.pi_first));
    Push(env, arr, i++, o);
  }
  return arr;
})
DEVICE_METHOD(DevReadBlock, 2, {
  if (!call.args[0] || !call.args[1]) throw JsError("readBlock(nsid, lba)");
  uint32_t nsid = static_cast<uint32_t>(ToUint(env, call.args[0], "nsid", 0xFFFFFFFF));
  uint64_t lba = ToUint(env, call.args[1], "lba", UINT64_MAX);
  std::vector<uint8_t> block;
  if (!ctrl->ReadBlock(nsid, lba, &block)) throw JsError("no block " + std::to_string(lba) + " in namespace " +
                                                         std::to_string(nsid));
  napi_value buf;
  void* data = nullptr;
  Check(env, napi_create_buffer_copy(env, block.size(), block.data(), &data, &buf));
  return buf;
})
DEVICE_METHOD(DevWriteBlock, 3, {
  if (!call.args[0] || !call.args[1] || !call.args[2]) throw JsError("writeBlock(nsid, lba, buffer)");
  uint32_t nsid = static_cast<uint32_t>(ToUint(env, call.args[0], "nsid", 0xFFFFFFFF));
  uint64_t lba = ToUint(env, call.args[1], "lba", UINT64_MAX);
  bool is_buffer = false;
  Check(env, napi_is_buffer(env, call.args[2], &is_buffer));
  if (!is_buffer) throw JsError("buffer must be a Buffer");
  void* data = nullptr;
  size_t len = 0;
  Check(env, napi_get_buffer_info(env, call.args[2], &data, &len));
  std::vector<uint8_t> block(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + len);
  if (!ctrl->WriteBlock(nsid, lba, block))
    throw JsError("cannot write block " + std::to_string(lba) + " of namespace " + std::to_string(nsid) +
                  " (unknown namespace, LBA out of range or a buffer that is not one block with its metadata)");
  return Undefined(env);
})

napi_value DevDestroy(napi_env env, napi_callback_info info) {
  return Guard(env, [&]() -> napi_value {
    Call call = Args(env, info, 0);
    void* data = nullptr;
    if (!call.self || napi_unwrap(env, call.self, &data) != napi_ok || !data)
      throw JsError("not a simulated controller object");
    return Bool(env, SimRegistry::Instance().Destroy(*static_cast<std::string*>(data)));
  });
}

// ---- module functions ----

napi_value MakeDevice(napi_env env, const std::string& address) {
  napi_value obj = Object(env);
  auto* holder = new std::string(address);
  napi_status st = napi_wrap(
      env, obj, holder, [](napi_env, void* data, void*) { delete static_cast<std::string*>(data); }, nullptr, nullptr);
  if (st != napi_ok) {
    delete holder;
    Check(env, st);
  }
  const napi_property_descriptor props[] = {
      {"address", nullptr, nullptr, DevAddress, nullptr, nullptr, napi_enumerable, nullptr},
      {"state", nullptr, nullptr, DevState, nullptr, nullptr, napi_enumerable, nullptr},
      {"powerOff", nullptr, DevPowerOff, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"powerOn", nullptr, DevPowerOn, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"remove", nullptr, DevRemove, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"injectStatus", nullptr, DevInjectStatus, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"delayCompletion", nullptr, DevDelayCompletion, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"dropCompletion", nullptr, DevDropCompletion, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"duplicateCompletion", nullptr, DevDuplicateCompletion, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"strayCompletion", nullptr, DevStrayCompletion, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"clearFaults", nullptr, DevClearFaults, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"pendingFaults", nullptr, DevPendingFaults, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"corruptBlock", nullptr, DevCorruptBlock, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"markUncorrectable", nullptr, DevMarkUncorrectable, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"setFatal", nullptr, DevSetFatal, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"setReadyStuck", nullptr, DevSetReadyStuck, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"forceReady", nullptr, DevForceReady, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"setCriticalWarning", nullptr, DevSetCriticalWarning, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"commandLog", nullptr, DevCommandLog, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"clearCommandLog", nullptr, DevClearCommandLog, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"queues", nullptr, DevQueues, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"counters", nullptr, DevCounters, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"registers", nullptr, DevRegisters, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"namespaces", nullptr, DevNamespaces, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"readBlock", nullptr, DevReadBlock, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"writeBlock", nullptr, DevWriteBlock, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"destroy", nullptr, DevDestroy, nullptr, nullptr, nullptr, napi_default, nullptr},
  };
  Check(env, napi_define_properties(env, obj, sizeof(props) / sizeof(props[0]), props));
  return obj;
}

napi_value Create(napi_env env, napi_callback_info info) {
  return Guard(env, [&]() -> napi_value {
    Call call = Args(env, info, 2);
    if (!call.args[0]) throw JsError("create(address[, options]): the PCI address is required");
    std::string address = ToString(env, call.args[0], "the PCI address");
    SimConfig config = ParseConfig(env, Options(env, call.args[1], "options"));
    auto ctrl = SimRegistry::Instance().Create(address, config);
    return MakeDevice(env, ctrl->address());
  });
}

napi_value Get(napi_env env, napi_callback_info info) {
  return Guard(env, [&]() -> napi_value {
    Call call = Args(env, info, 1);
    if (!call.args[0]) throw JsError("get(address): the PCI address is required");
    auto ctrl = SimRegistry::Instance().Find(ToString(env, call.args[0], "the PCI address"));
    if (!ctrl) {
      napi_value null;
      Check(env, napi_get_null(env, &null));
      return null;
    }
    return MakeDevice(env, ctrl->address());
  });
}

napi_value List(napi_env env, napi_callback_info info) {
  return Guard(env, [&]() -> napi_value {
    napi_value arr = Array(env);
    uint32_t i = 0;
    for (const std::string& a : SimRegistry::Instance().Addresses()) Push(env, arr, i++, Str(env, a));
    return arr;
  });
}

napi_value DestroyAll(napi_env env, napi_callback_info info) {
  return Guard(env, [&]() -> napi_value {
    SimRegistry::Instance().DestroyAll();
    return Undefined(env);
  });
}

// n when `v` is the Number 1/n for a whole n from 2 to 1000000, else 0.
uint32_t ToSlowdown(napi_env env, napi_value v) {
  double d = 0;
  if (TypeOf(env, v) != napi_number) return 0;
  Check(env, napi_get_value_double(env, v, &d));
  const double n = d > 0 && d < 1 ? std::round(1 / d) : 0;
  return n >= 2 && n <= 1000000 && std::fabs(n * d - 1) < 1e-9 ? static_cast<uint32_t>(n) : 0;
}

// clock([scale]): the environment's clock in microseconds; with a scale, its test clock first runs that many times
// faster, or with 1/n, n times slower (process-wide: the product's delays and time-outs too).
napi_value Clock(napi_env env, napi_callback_info info) {
  return Guard(env, [&]() -> napi_value {
    Call call = Args(env, info, 1);
    if (napi_value scale = call.args[0]) {
      if (const uint32_t slowdown = ToSlowdown(env, scale)) {
        kyt_env_test_set_clock_slowdown(slowdown);
      } else {
        kyt_env_test_set_clock_scale(static_cast<uint32_t>(ToUint(env, scale, "scale", 1000000)));
      }
    }
    return Num(env, double(spdk_get_ticks()) * 1e6 / double(spdk_get_ticks_hz()));
  });
}

// advanceClock(us): the environment's clock jumps forward by that many microseconds at once (deadlines pass now).
napi_value AdvanceClock(napi_env env, napi_callback_info info) {
  return Guard(env, [&]() -> napi_value {
    Call call = Args(env, info, 1);
    const uint64_t us = ToUint(env, call.args[0], "us", uint64_t{1} << 40);
    kyt_env_test_advance_clock(static_cast<uint64_t>(double(us) * double(spdk_get_ticks_hz()) / 1e6));
    return Undefined(env);
  });
}

napi_value Init(napi_env env, napi_value exports) {
  return Guard(env, [&]() -> napi_value {
    const napi_property_descriptor props[] = {
        {"create", nullptr, Create, nullptr, nullptr, nullptr, napi_enumerable, nullptr},
        {"get", nullptr, Get, nullptr, nullptr, nullptr, napi_enumerable, nullptr},
        {"list", nullptr, List, nullptr, nullptr, nullptr, napi_enumerable, nullptr},
        {"destroyAll", nullptr, DestroyAll, nullptr, nullptr, nullptr, napi_enumerable, nullptr},
        {"clock", nullptr, Clock, nullptr, nullptr, nullptr, napi_enumerable, nullptr},
        {"advanceClock", nullptr, AdvanceClock, nullptr, nullptr, nullptr, napi_enumerable, nullptr},
    };
    Check(env, napi_define_properties(env, exports, sizeof(props) / sizeof(props[0]), props));
    // Controllers leave the bus and their threads stop before the process ends.
    napi_add_env_cleanup_hook(env, [](void*) { SimRegistry::Instance().DestroyAll(); }, nullptr);
    return exports;
  });
}

}  // namespace
}  // namespace kyt::sim

NAPI_MODULE(NODE_GYP_MODULE_NAME, kyt::sim::Init)
