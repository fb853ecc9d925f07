// GenericCmdRunner: the task that sends one raw NVMe command, admin (queue id 0) or I/O, exactly as the script built
// it, with an optional data buffer copied into DMA memory before the command (host to device) or back out of it
// after the completion (device to host), as much of it as the command moves. The DMA buffer is whole 4 KiB pages, at
// least one, so that the device never reaches past it through the pages the command's data pointer names; a command
// whose own fields give its transfer length (Identify, Get Log Page, Read, Write, Compare) is refused when the
// caller's buffer is shorter than that. A
// block transfer on a namespace that keeps its metadata apart gets a metadata buffer of the runner's own (zeros to
// the device; what the device returns there is not handed back).
#ifndef KYT_RUNNER_GENERIC_CMD_RUNNER_H
#define KYT_RUNNER_GENERIC_CMD_RUNNER_H

#include <cstdint>
#include <memory>
#include <string>

#include "nvme/command_context.h"
#include "runner/controller_runner.h"
#include "spdk/nvme_spec.h"

class NamespaceCtx;
struct NvmeGenericCtx;

class GenericCmdRunner : public ControllerRunner {
 public:
  explicit GenericCmdRunner(std::string device);
  ~GenericCmdRunner() override;

  // The runner's own states, after kStateLookUp, in the order of its handlers.
  enum State : uint32_t {
    kCreateCommand = kStateFirstStep,  // copy and submit
    kWaitForCompletion = 3,            // poll until the completion
  };

  // The most one command moves: the driver maps a transfer through one PRP list, 506 pages of 4 KiB.
  static constexpr uint64_t kMaxTransferBytes = 506 * 4096;

  // Inputs, set before the hand-over. The caller's buffer must stay valid until the task is final; `size` is the
  // length of the caller's buffer, of which the memory at `buffer` needs to hold only the first kMaxTransferBytes:
  // the command moves what its own fields say (the rest of a longer buffer is left alone), or, when they do not tell,
  // the whole buffer, and it is refused when that is more than kMaxTransferBytes.
  void SetQueueId(uint16_t qid) { qid_ = qid; }
  spdk_nvme_cmd& GetCommand() { return cmd_; }
  void SetBuffer(void* buffer, uint32_t size, bool host_to_device) {
    buffer_ = buffer;
    buffer_size_ = size;
    host_to_device_ = host_to_device;
  }

  uint16_t GetQueueId() const { return qid_; }
  const spdk_nvme_cmd& GetCommand() const { return cmd_; }
  void* GetBuffer() const { return buffer_; }
  uint32_t GetBufferSize() const { return buffer_size_; }
  bool IsHostToDevice() const { return host_to_device_; }

  // Outputs.
  const spdk_nvme_cpl& GetCompletion() const { return cpl_; }
  bool HasControllerErrorFlag() const { return controller_error_; }

  // Asks the controller (NvmeController::Admit): before submission whether it takes a command, while the command is
  // in flight whether the wait may go on (a detach, a failed controller or a device gone end it; another command's
  // time-out, a reset and a power-off notice do not). A refusal sets the controller-error flag and the message,
  // aborts the task and answers true.
  bool HasControllerError(bool in_flight);

 protected:
  void HandleState(uint32_t state) override;
  void LetGoOfCommand() override;

 private:
  void HandleGetDevice();
  void HandleCreateCommand();
  void HandleWaitForCompletion();
  // Bytes the command moves by its own fields; 0 when they do not tell.
  uint64_t TransferLength() const;
  // Bytes of metadata the command moves apart from its data (separate-metadata namespaces); 0 otherwise.
  uint64_t MetadataLength() const;
  bool IsBlockTransfer() const;
  bool IsPiByController(const NamespaceCtx& ns) const;

  uint16_t qid_ = 0;
  spdk_nvme_cmd cmd_{};
  void* buffer_ = nullptr;
  uint32_t buffer_size_ = 0;
  uint64_t moved_ = 0;  // bytes of the buffer the command moves
  bool host_to_device_ = false;
  spdk_nvme_cpl cpl_{};
  bool controller_error_ = false;
  kyt::nvme::CommandContextPtr<NvmeGenericCtx> ctx_;
};

#endif  // KYT_RUNNER_GENERIC_CMD_RUNNER_H
