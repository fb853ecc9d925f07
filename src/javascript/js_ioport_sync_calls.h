// The ten synchronous port calls. Each one checks its argument count, converts its
// arguments in order, looks the port up (the close call hands the index to the manager
// instead) and runs one port operation.
#ifndef KYT_JAVASCRIPT_JS_IOPORT_SYNC_CALLS_H
#define KYT_JAVASCRIPT_JS_IOPORT_SYNC_CALLS_H

#include "javascript/js_ioport_call.h"

namespace tyr {

#define KYT_IOPORT_SYNC_CALL(Class, operation)                                                      \
  class Class : public JsIoPortCall {                                                               \
   public:                                                                                          \
    Class(std::shared_ptr<ioport::IoPortDeviceManager> manager, const std::string& prefix,          \
          v8::Isolate* isolate)                                                                     \
        : JsIoPortCall(std::move(manager), prefix, operation, isolate) {}                           \
                                                                                                    \
   protected:                                                                                       \
    void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) override;                     \
  };

KYT_IOPORT_SYNC_CALL(JsIoPortClose, "close")
KYT_IOPORT_SYNC_CALL(JsIoPortSetBaudRate, "setBaudRate")
KYT_IOPORT_SYNC_CALL(JsIoPortSetParity, "setParity")
KYT_IOPORT_SYNC_CALL(JsIoPortPipe, "pipe")
KYT_IOPORT_SYNC_CALL(JsIoPortUnpipe, "unpipe")
KYT_IOPORT_SYNC_CALL(JsIoPortPipeText, "pipe")  // errors read "<prefix>.pipe : ...", as the pipe call's
KYT_IOPORT_SYNC_CALL(JsIoPortFlushBuffer, "flushBuffer")
KYT_IOPORT_SYNC_CALL(JsIoPortUseBinaryMode, "useBinaryMode")
KYT_IOPORT_SYNC_CALL(JsIoPortUseTextMode, "useTextMode")
KYT_IOPORT_SYNC_CALL(JsIoPortGetErrorCode, "getErrorCode")

#undef KYT_IOPORT_SYNC_CALL

}  // namespace tyr

#endif  // KYT_JAVASCRIPT_JS_IOPORT_SYNC_CALLS_H
