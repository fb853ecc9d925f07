// GenericFunctionRunner: the one task through which a script runs the controller functions that are not NVMe
// commands: data validation on and off, the command tracker and its log, scans for attachment and removal,
// controller reset and shutdown, and command error injection. The creator picks the function by code and sets the
// code's inputs before the hand-over.
#ifndef KYT_RUNNER_GENERIC_FUNCTION_RUNNER_H
#define KYT_RUNNER_GENERIC_FUNCTION_RUNNER_H

#include <cstdint>
#include <memory>
#include <string>

#include "runner/controller_runner.h"


enum GenericFunctionCode : uint32_t {
  kFunctionEnableDataValidator = 0,
  kFunctionDisableDataValidator = 1,
  kFunctionEnableCommandTracker = 2,
  kFunctionDisableCommandTracker = 3,
  kFunctionSetCommandTrackerLog = 4,
  kFunctionScanAttachment = 5,
  kFunctionScanRemoval = 6,
  kFunctionResetController = 7,
  kFunctionShutdown = 8,
  kFunctionSetErrorInjection = 9,
  kFunctionNone = 10,
};

class GenericFunctionRunner : public ControllerRunner {
 public:
  // Namespace id that stands for every active namespace.
  static constexpr uint32_t kAllNamespaces = 0xFFFFFFFF;

  GenericFunctionRunner(std::string device, std::string function_name);
  ~GenericFunctionRunner() override;

  // The runner's own states, after kStateLookUp, in the order of its handlers.
  enum State : uint32_t {
    kRunFunction = kStateFirstStep,  // run the function
    kWaitDone = 3,                   // wait for an attachment scan, a reset or a shutdown
  };

  std::string GetLogPrefix() const;

  // Inputs.
  void SetFunctionCode(uint32_t code) { code_ = code; }
  void SetDeviceCheck(bool check) { device_check_ = check; }
  void SetNamespaceId(uint32_t nsid) { nsid_ = nsid; }
  void SetScanTimeout(uint32_t timeout_ms) { scan_timeout_ms_ = timeout_ms; }
  void SetLogPath(std::string path) { log_path_ = std::move(path); }
  void SetErrorInjection(uint16_t qid, uint8_t opc, bool do_not_submit, uint64_t timeout_us, uint32_t count,
                         uint8_t sct, uint8_t sc) {
    qid_ = qid;
    opc_ = opc;
    do_not_submit_ = do_not_submit;
    timeout_us_ = timeout_us;
    count_ = count;
    sct_ = sct;
    sc_ = sc;
  }

  uint32_t GetFunctionCode() const { return code_; }
  bool GetDeviceCheck() const { return device_check_; }
  uint32_t GetNamespaceId() const { return nsid_; }
  uint32_t GetScanTimeout() const { return scan_timeout_ms_; }
  const std::string& GetLogPath() const { return log_path_; }
  uint16_t GetInjectQueueId() const { return qid_; }
  uint8_t GetInjectOpcode() const { return opc_; }
  bool GetInjectDoNotSubmit() const { return do_not_submit_; }
  uint64_t GetInjectTimeoutUs() const { return timeout_us_; }
  uint32_t GetInjectCount() const { return count_; }
  uint8_t GetInjectSct() const { return sct_; }
  uint8_t GetInjectSc() const { return sc_; }

 protected:
  void HandleState(uint32_t state) override;

 private:
  void HandleGetDevice();
  void HandleRunFunction();
  void HandleWaitDone();
  // Ends a scan for attachment: done when attached, else "failed to initialize the controller." and the cause.
  void FinishAttachment();
  bool EnableDataValidator(uint32_t nsid);
  void RunEnableDataValidator();
  void RunDisableDataValidator();
  void RunStartMachine();
  void RunErrorInjection();
  // Ends the task with the failed reset's or shutdown's text (`fallback` when it has none) and what it said more;
  // a failed reset may be started again.
  void AbortMachine(const std::string& fallback);
  template <typename Machine>
  void AbortWith(const Machine& machine, const std::string& fallback);

  uint32_t code_ = kFunctionNone;
  uint16_t qid_ = 0;
  uint8_t opc_ = 0;
  bool do_not_submit_ = false;
  uint64_t timeout_us_ = 0;
  uint32_t count_ = 0;
  uint8_t sct_ = 0;
  uint8_t sc_ = 0;
  bool device_check_ = false;
  uint32_t nsid_ = 0;
  uint32_t scan_timeout_ms_ = 0;
  std::string log_path_;
  const void* machine_ctx_ = nullptr;  // the context whose reset or shutdown machine is being waited on
};

#endif  // KYT_RUNNER_GENERIC_FUNCTION_RUNNER_H
