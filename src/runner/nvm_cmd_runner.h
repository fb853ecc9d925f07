// NvmCmdRunner: the task that performs one NVM command for a script: one read, one write or one dataset management
// (deallocate) on an I/O queue of an attached controller.
//
// It ends done (completion entry valid) or aborted (error message valid). The completion status is not judged here:
// a command that completes with an error status ends done and the script side reports it.
#ifndef KYT_RUNNER_NVM_CMD_RUNNER_H
#define KYT_RUNNER_NVM_CMD_RUNNER_H

#include <cstdint>
#include <memory>
#include <string>

#include "nvme/command_context.h"
#include "runner/controller_runner.h"
#include "runner/workload_generation_records.h"
#include "spdk/nvme_spec.h"

struct NvmeIoCtx;

// Command codes: 0x200 plus the NVM opcode.
enum NvmCmdCode : uint32_t {
  kNvmCmdWrite = 0x201,
  kNvmCmdRead = 0x202,
  kNvmCmdDatasetManagement = 0x209,
};

class NvmCmdRunner : public ControllerRunner {
 public:
  // Largest number of blocks of one read or write (the 16-bit NLB field of the command, zero-based).
  static constexpr uint32_t kMaxBlocks = 65536;
  // Largest number of ranges of one dataset management command and the bytes of its range buffer.
  static constexpr uint32_t kMaxRanges = 256;
  static constexpr uint32_t kRangeBufferSize = 4096;

  NvmCmdRunner(std::string device, std::string command_name);
  ~NvmCmdRunner() override;

  // The runner's own states, after kStateLookUp, in the order of its handlers.
  enum State : uint32_t {
    kCreateCommand = kStateFirstStep,  // build and submit the command
    kWaitForCompletion = 3,            // poll its queue until it completes
  };

  // Inputs, set by the creator before the hand-over.
  void SetCommandCode(uint32_t code) { code_ = code; }
  void SetQueueId(uint16_t qid) { qid_ = qid; }
  void SetNamespaceId(uint32_t nsid) { nsid_ = nsid; }
  void SetDsmAttributes(uint32_t attributes) { dsm_attributes_ = attributes; }
  void SetLbaRange(uint64_t start_lba, uint32_t num_blocks) {
    start_lba_ = start_lba;
    num_blocks_ = num_blocks;
  }
  // The caller's range list (16-byte entries); it must stay valid until the task is final.
  void SetDsmRanges(const void* ranges, uint32_t num_ranges) {
    ranges_ = ranges;
    num_ranges_ = num_ranges;
  }
  // Write data pattern (64-bit words repeated over every block); it must stay valid until the task is final.
  void SetDataPattern(const void* pattern, uint64_t size) {
    pattern_ = pattern;
    pattern_size_ = size;
  }

  uint32_t GetCommandCode() const { return code_; }
  uint32_t GetNamespaceIdField() const { return nsid_; }
  uint16_t GetQueueIdField() const { return qid_; }
  uint64_t GetStartLba() const { return start_lba_; }
  uint32_t GetNumBlocks() const { return num_blocks_; }
  uint32_t GetNumRanges() const { return num_ranges_; }
  const void* GetRanges() const { return ranges_; }
  uint32_t GetDsmAttributes() const { return dsm_attributes_; }
  const void* GetDataPattern() const { return pattern_; }
  uint64_t GetDataPatternSize() const { return pattern_size_; }

  // Output, valid once the task is done.
  const spdk_nvme_cpl& GetCompletion() const { return cpl_; }
  // After "data mismatch": the block, the tag its validator expected and the tag it carried.
  const DataMismatchRecord& GetMismatch() const { return mismatch_; }
  // The read data of a completed read (null before, or for other commands); valid until the runner is deleted.
  const uint8_t* GetReadData() const;
  uint32_t GetReadDataSize() const;

  // Worker thread, while the controller is attached.
  uint16_t GetIoQueueId();
  uint32_t GetNamespaceId();
  // Bytes of the transfer: bytes per block in the data buffer times the number of blocks.
  uint64_t GetDataXferSize();

 protected:
  void HandleState(uint32_t state) override;
  void LetGoOfCommand() override;

 private:
  void HandleCreateCommand();
  void HandleWaitForCompletion();
  bool SubmitReadWrite(bool write);
  bool SubmitDsm();
  bool CheckSubmission(uint32_t status);

  uint32_t code_ = 0;
  uint16_t qid_ = 0;
  uint32_t nsid_ = 0;
  uint32_t dsm_attributes_ = 0;
  uint64_t start_lba_ = 0;
  uint32_t num_blocks_ = 0;
  const void* ranges_ = nullptr;
  uint32_t num_ranges_ = 0;
  const void* pattern_ = nullptr;
  uint64_t pattern_size_ = 0;
  spdk_nvme_cpl cpl_{};
  DataMismatchRecord mismatch_;
  kyt::nvme::CommandContextPtr<NvmeIoCtx> io_ctx_;
};

#endif  // KYT_RUNNER_NVM_CMD_RUNNER_H
