// Script control of the libftdi1/libusb stand-in, plus pseudo-terminals for serial tests.
// Preload this module into Node (LD_PRELOAD) so that its FTDI entry points replace the real
// ones, then require() it to drive them:
//   reset(), addDevice({vendor, product, manufacturer, description, serial, stringsResult}),
//   setResult(call, code), clearResult(call), pushRead(bufferOrString), takeWritten() → Buffer,
//   calls() → [text], liveContexts() → n, openPty() → {fd, path}, preloaded() → bool.
#include <fcntl.h>
#include <node_api.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "fake_ftdi.h"

namespace {

#define CHECK_NAPI(call)                                        \
  do {                                                          \
    if ((call) != napi_ok) {                                    \
      napi_throw_error(env, nullptr, "fake ftdi: " #call " failed"); \
      return nullptr;                                           \
    }                                                           \
  } while (0)

bool GetArgs(napi_env env, napi_callback_info info, size_t want, napi_value* args) {
  size_t argc = want;
  if (napi_get_cb_info(env, info, &argc, args, nullptr, nullptr) != napi_ok || argc < want) {
    napi_throw_type_error(env, nullptr, "fake ftdi: missing arguments");
    return false;
  }
  return true;
}

std::string ToText(napi_env env, napi_value value) {
  bool isBuffer = false;
  napi_is_buffer(env, value, &isBuffer);
  if (isBuffer) {
    void* data = nullptr;
    size_t length = 0;
    napi_get_buffer_info(env, value, &data, &length);
    return std::string(static_cast<const char*>(data), length);
  }
  size_t length = 0;
  napi_get_value_string_utf8(env, value, nullptr, 0, &length);
  std::string text(length, '\0');
  napi_get_value_string_utf8(env, value, &text[0], length + 1, &length);
  return text;
}

bool Property(napi_env env, napi_value object, const char* name, napi_value* out) {
  bool has = false;
  napi_has_named_property(env, object, name, &has);
  if (!has) return false;
  napi_get_named_property(env, object, name, out);
  napi_valuetype type;
  napi_typeof(env, *out, &type);
  return type != napi_undefined;
}

napi_value Undefined(napi_env env) {
  napi_value u;
  napi_get_undefined(env, &u);
  return u;
}

napi_value Reset(napi_env env, napi_callback_info) {
  fakeftdi::reset();
  return Undefined(env);
}

napi_value AddDevice(napi_env env, napi_callback_info info) {
  napi_value args[1];
  if (!GetArgs(env, info, 1, args)) return nullptr;
  fakeftdi::Device device;
  napi_value v;
  uint32_t number = 0;
  int32_t code = 0;
  if (Property(env, args[0], "vendor", &v) && napi_get_value_uint32(env, v, &number) == napi_ok)
    device.vendor = static_cast<uint16_t>(number);
  if (Property(env, args[0], "product", &v) && napi_get_value_uint32(env, v, &number) == napi_ok)
    device.product = static_cast<uint16_t>(number);
  if (Property(env, args[0], "manufacturer", &v)) device.manufacturer = ToText(env, v);
  if (Property(env, args[0], "description", &v)) device.description = ToText(env, v);
  if (Property(env, args[0], "serial", &v)) device.serial = ToText(env, v);
  if (Property(env, args[0], "stringsResult", &v) && napi_get_value_int32(env, v, &code) == napi_ok)
    device.stringsResult = code;
  fakeftdi::addDevice(device);
  return Undefined(env);
}

napi_value SetResult(napi_env env, napi_callback_info info) {
  napi_value args[2];
  if (!GetArgs(env, info, 2, args)) return nullptr;
  int32_t code = 0;
  CHECK_NAPI(napi_get_value_int32(env, args[1], &code));
  fakeftdi::setResult(ToText(env, args[0]), code);
  return Undefined(env);
}

napi_value ClearResult(napi_env env, napi_callback_info info) {
  napi_value args[1];
  if (!GetArgs(env, info, 1, args)) return nullptr;
  fakeftdi::clearResult(ToText(env, args[0]));
  return Undefined(env);
}

napi_value PushRead(napi_env env, napi_callback_info info) {
  napi_value args[1];
  if (!GetArgs(env, info, 1, args)) return nullptr;
  fakeftdi::pushReadData(ToText(env, args[0]));
  return Undefined(env);
}

napi_value TakeWritten(napi_env env, napi_callback_info) {
  std::string bytes = fakeftdi::takeWritten();
  napi_value buffer;
  void* copy = nullptr;
  CHECK_NAPI(napi_create_buffer_copy(env, bytes.size(), bytes.data(), &copy, &buffer));
  return buffer;
}

napi_value Calls(napi_env env, napi_callback_info) {
  auto calls = fakeftdi::calls();
  napi_value array;
  CHECK_NAPI(napi_create_array_with_length(env, calls.size(), &array));
  for (size_t i = 0; i < calls.size(); ++i) {
    napi_value text;
    CHECK_NAPI(napi_create_string_utf8(env, calls[i].c_str(), calls[i].size(), &text));
    CHECK_NAPI(napi_set_element(env, array, static_cast<uint32_t>(i), text));
  }
  return array;
}

napi_value LiveContexts(napi_env env, napi_callback_info) {
  napi_value n;
  CHECK_NAPI(napi_create_int32(env, fakeftdi::liveContexts(), &n));
  return n;
}

// True when this module's FTDI entry points are the ones the process uses.
napi_value Preloaded(napi_env env, napi_callback_info) {
  const char* preload = getenv("LD_PRELOAD");
  napi_value result;
  CHECK_NAPI(napi_get_boolean(env, preload && std::string(preload).find("kyt_fake_ftdi") != std::string::npos,
                              &result));
  return result;
}

napi_value OpenPty(napi_env env, napi_callback_info) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    if (master >= 0) close(master);
    napi_throw_error(env, nullptr, "fake ftdi: cannot open a pseudo-terminal");
    return nullptr;
  }
  const char* name = ptsname(master);
  napi_value result, fd, path;
  CHECK_NAPI(napi_create_object(env, &result));
  CHECK_NAPI(napi_create_int32(env, master, &fd));
  CHECK_NAPI(napi_create_string_utf8(env, name, NAPI_AUTO_LENGTH, &path));
  CHECK_NAPI(napi_set_named_property(env, result, "fd", fd));
  CHECK_NAPI(napi_set_named_property(env, result, "path", path));
  return result;
}

}  // namespace

extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  struct Entry {
    const char* name;
    napi_callback callback;
  } entries[] = {{"reset", Reset},          {"addDevice", AddDevice},       {"setResult", SetResult},
                 {"clearResult", ClearResult}, {"pushRead", PushRead},    {"takeWritten", TakeWritten},
                 {"calls", Calls},          {"liveContexts", LiveContexts}, {"openPty", OpenPty},
                 {"preloaded", Preloaded}};
  for (const auto& entry : entries) {
    napi_value fn;
    if (napi_create_function(env, entry.name, NAPI_AUTO_LENGTH, entry.callback, nullptr, &fn) != napi_ok) return nullptr;
    if (napi_set_named_property(env, exports, entry.name, fn) != napi_ok) return nullptr;
  }
  return exports;
}
