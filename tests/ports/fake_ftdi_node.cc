// Script control of the libftdi1/libusb stand-in, plus pseudo-terminals for serial tests.
// Preload this module into Node (LD_PRELOAD) so that its FTDI entry points replace the real
// ones, then require() it to drive them:
//   reset(), addDevice(vendor, product, manufacturer, description, serial, stringsResult = 0),
//   setResult(call, code) (no code: clears it), pushRead(bufferOrString), takeWritten() → Buffer,
//   calls() → [text], openPty() → {fd, path}.
#include <fcntl.h>
#include <node_api.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "fake_ftdi.h"

namespace {

// Argument i of the call (undefined when missing).
napi_value Arg(napi_env env, napi_callback_info info, size_t i) {
  napi_value args[6];
  size_t argc = 6;
  napi_get_cb_info(env, info, &argc, args, nullptr, nullptr);
  if (i < argc) return args[i];
  napi_value undefined;
  napi_get_undefined(env, &undefined);
  return undefined;
}

// A Buffer's bytes or a string's UTF-8 text.
std::string Text(napi_env env, napi_value value) {
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

int32_t Int(napi_env env, napi_value value) {
  int32_t n = 0;
  napi_get_value_int32(env, value, &n);
  return n;
}

napi_value AddDevice(napi_env env, napi_callback_info info) {
  auto arg = [&](size_t i) { return Arg(env, info, i); };
  fakeftdi::addDevice({static_cast<uint16_t>(Int(env, arg(0))), static_cast<uint16_t>(Int(env, arg(1))),
                       Text(env, arg(2)), Text(env, arg(3)), Text(env, arg(4)), Int(env, arg(5))});
  return nullptr;
}

napi_value TakeWritten(napi_env env, napi_callback_info) {
  std::string bytes = fakeftdi::takeWritten();
  napi_value buffer;
  napi_create_buffer_copy(env, bytes.size(), bytes.data(), nullptr, &buffer);
  return buffer;
}

napi_value Calls(napi_env env, napi_callback_info) {
  auto calls = fakeftdi::calls();
  napi_value array, text;
  napi_create_array_with_length(env, calls.size(), &array);
  for (size_t i = 0; i < calls.size(); ++i) {
    napi_create_string_utf8(env, calls[i].c_str(), calls[i].size(), &text);
    napi_set_element(env, array, static_cast<uint32_t>(i), text);
  }
  return array;
}

napi_value OpenPty(napi_env env, napi_callback_info) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    if (master >= 0) close(master);
    napi_throw_error(env, nullptr, "fake ftdi: cannot open a pseudo-terminal");
    return nullptr;
  }
  napi_value result, fd, path;
  napi_create_object(env, &result);
  napi_create_int32(env, master, &fd);
  napi_create_string_utf8(env, ptsname(master), NAPI_AUTO_LENGTH, &path);
  napi_set_named_property(env, result, "fd", fd);
  napi_set_named_property(env, result, "path", path);
  return result;
}

}  // namespace

extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  struct Entry {
    const char* name;
    napi_callback callback;
  } entries[] = {
      {"reset", [](napi_env, napi_callback_info) -> napi_value { return fakeftdi::reset(), nullptr; }},
      {"addDevice", AddDevice},
      {"setResult",
       [](napi_env env, napi_callback_info info) -> napi_value {
         napi_value code = Arg(env, info, 1);
         napi_valuetype type;
         napi_typeof(env, code, &type);
         if (type == napi_undefined) fakeftdi::clearResult(Text(env, Arg(env, info, 0)));
         else fakeftdi::setResult(Text(env, Arg(env, info, 0)), Int(env, code));
         return nullptr;
       }},
      {"pushRead",
       [](napi_env env, napi_callback_info info) -> napi_value {
         fakeftdi::pushReadData(Text(env, Arg(env, info, 0)));
         return nullptr;
       }},
      {"takeWritten", TakeWritten},
      {"calls", Calls},
      {"openPty", OpenPty},
  };
  for (const auto& entry : entries) {
    napi_value fn;
    if (napi_create_function(env, entry.name, NAPI_AUTO_LENGTH, entry.callback, nullptr, &fn) != napi_ok ||
        napi_set_named_property(env, exports, entry.name, fn) != napi_ok)
      return nullptr;
  }
  return exports;
}
