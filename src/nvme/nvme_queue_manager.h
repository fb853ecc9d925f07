// Owner of one controller's I/O queue pairs: the QID -> queue pair table, the free-QID pool, submission of reads,
// writes, dataset management and raw commands, the queue create/delete admin commands, completion reaping, error
// texts, and queue teardown for reset, shutdown and detach. It holds the context of every command it submits for as
// long as the device may write into it (CommandContext). Worker thread only.
#ifndef KYT_NVME_NVME_QUEUE_MANAGER_H
#define KYT_NVME_NVME_QUEUE_MANAGER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nvme/command_context.h"
#include "nvme/nvme_generic_ctx.h"
#include "nvme/nvme_queue_ctx.h"
#include "spdk/nvme.h"

struct NvmeIoCtx;

namespace kyt {
namespace nvme {

// Queue-operation status.
enum QueueOpsStatus : uint32_t {
  kQueueOpsSuccess = 0,
  kQueueOpsNoFreeQid = 1,
  kQueueOpsQpairInitFailed = 2,
  kQueueOpsNoMemory = 3,
  kQueueOpsNoDevice = 4,        // driver answered -ENXIO (-6)
  kQueueOpsInvalidArgument = 5, // driver answered -EINVAL (-22)
  kQueueOpsDriverError = 6,     // any other driver failure
  kQueueOpsNoFreeSlot = 7,      // driver answered -ENOMEM: every request of the queue pair is in use
};

class NvmeQueueManager {
 public:
  // The table has one empty slot for every QID 0..num_io_queues of the controller.
  explicit NvmeQueueManager(spdk_nvme_ctrlr* ctrlr);
  // The controller is disabled or gone by now: every context still held goes back to its owner, or is freed.
  ~NvmeQueueManager();
  NvmeQueueManager(const NvmeQueueManager&) = delete;
  NvmeQueueManager& operator=(const NvmeQueueManager&) = delete;

  // Table.
  void AddQpair(spdk_nvme_qpair* qpair);
  void RemoveQpair(spdk_nvme_qpair* qpair);
  void AddQueuePair(const std::shared_ptr<NvmeQueueCtx>& ctx);     // throws on a null qpair
  void RemoveQueuePair(const std::shared_ptr<NvmeQueueCtx>& ctx);  // throws on a null qpair
  spdk_nvme_qpair* GetQpair(uint16_t qid) const;                  // null when not registered
  bool IsValidQueueId(uint16_t qid) const;                         // QID 0 is never valid
  uint16_t GetFirstAvailableQueueId() const;                       // lowest registered QID, 0 when none
  size_t GetTableSize() const { return qpairs_.size(); }
  // Rebuilds an empty table sized from the controller (after the controller was re-initialised).
  void ResizeTable();

  // QID pool.
  uint32_t GetFreeQueueId();             // 0 (and a log line) when none is free
  void PutFreeQueueId(uint32_t qid);     // throws for QID 0

  // Two-step queue-pair life.
  std::shared_ptr<NvmeQueueCtx> MakeCreateQueueCtx();
  // Empty when the QID has no registered pair. A pair that is being deleted already, or that a task claimed and
  // `requester` is not that task, is refused with std::runtime_error saying so. The pair counts as being deleted
  // from here on.
  std::shared_ptr<NvmeQueueCtx> MakeDeleteQueueCtx(uint16_t qid, const void* requester = nullptr);
  uint32_t CreateQueuePairMeta(const std::shared_ptr<NvmeQueueCtx>& ctx);
  void DeleteQueuePairMeta(const std::shared_ptr<NvmeQueueCtx>& ctx);
  // For a pair whose create command went unanswered: the device may still use its memory, so the pair is kept with
  // the controller (its QID stays taken) until the controller goes.
  void StrandQueuePairMeta(const std::shared_ptr<NvmeQueueCtx>& ctx);
  // For a pair whose deletion failed (refused or unanswered): the drive may still hold it, whole or its completion
  // queue alone, so it stays registered with its memory and QID and may be deleted again (a deletion that gets that
  // far skips the submission queue the drive already deleted); a reset drops it with every other pair.
  void KeepQueuePair(const std::shared_ptr<NvmeQueueCtx>& ctx);

  // A task that made a pair for its own use claims it: only that task may delete it. The claim goes with the pair.
  void ClaimQueue(uint16_t qid, const void* owner);
  void ReleaseClaim(uint16_t qid, const void* owner);
  bool IsClaimedBy(uint16_t qid, const void* owner) const {
    return owner != nullptr && qid < claims_.size() && claims_[qid].owner == owner;
  }

  // Sends one command of `ctx` on queue `qid` (0: admin) through `send`, the driver call (0 when the driver took the
  // command), and answers what `send` answered. From here until the device is done with the command, the queue
  // manager holds the context (CommandContext).
  template <typename Send>
  int Submit(CommandContext& ctx, uint16_t qid, Send&& send) {
    Hold(ctx, qid);
    const int rc = send();
    if (rc != 0 && ctx.holder_ == this) Unhold(ctx);
    return rc;
  }
  // Contexts the queue manager ends itself as their queue goes (or as the controller is disabled): those of admin
  // commands at the device (the driver's detach frees the admin queue without completing them), and those of commands
  // the host ended by their time-out (the driver no longer tells of their completion).
  size_t GetKeptCount() const { return listed_.size(); }
  // Of those, the ones whose owner still holds them. A task holds none once it is final: its owner frees it on
  // another thread, where letting go of a context the device may still write would race the worker.
  size_t GetOwnedKeptCount() const;
  int ResetQueuePair(const std::shared_ptr<NvmeQueueCtx>& ctx);
  uint32_t SubmitCreateIoCompletionQueueCommand(const std::shared_ptr<NvmeQueueCtx>& ctx);
  uint32_t SubmitCreateIoSubmissionQueueCommand(const std::shared_ptr<NvmeQueueCtx>& ctx);
  uint32_t SubmitDeleteIoSubmissionQueueCommand(const std::shared_ptr<NvmeQueueCtx>& ctx);
  uint32_t SubmitDeleteIoCompletionQueueCommand(const std::shared_ptr<NvmeQueueCtx>& ctx);

  // I/O submission (after IoManager's checks).
  uint32_t SubmitReadCommand(NvmeIoCtx* ctx);
  uint32_t SubmitWriteCommand(NvmeIoCtx* ctx);
  uint32_t SubmitDsmCommand(NvmeIoCtx* ctx);
  // 0 when the driver accepted the command, 6 otherwise.
  uint32_t SubmitGenericCommand(NvmeGenericCtx* ctx);

  // Completions.
  int ProcessAdminCompletions();
  int ProcessIoCompletions(uint16_t qid);  // -1 for an unregistered QID

  // Teardown.
  void AbortAsyncEventRequests();
  // Ends every admin command outstanding or waiting (aborted by request, do not retry).
  void AbortAdminRequests();
  void DisableIoQueuePairs();
  void DisableAdminQueuePair();
  // Ends the aborts waiting for a slot: their senders hear aborted by request.
  void FreeQueuedAborts();
  void FreeDoorbellBuffer();
  // Frees every registered pair in QID order (reaping it once first when `process_completions`); each slot is
  // emptied as its pair is freed.
  void FreeIoQueuePairs(bool process_completions);
  // Ends everything the controller held and counts one more reset (GetResetCount).
  void FreeAll();
  // How many times FreeAll ran: a queue-pair machine that sees it change knows that the controller dropped every I/O
  // queue pair and began a new set of queue identifiers under it.
  uint64_t GetResetCount() const { return reset_count_; }
  // For a pair whose creation a reset cut short: frees its host memory; its identifier belonged to the identifier
  // set the reset replaced, so it is not given back.
  void ForgetQueuePairMeta(const std::shared_ptr<NvmeQueueCtx>& ctx);

  static std::string GetErrorMessageFromOpsStatus(uint32_t status);
  static uint32_t GetOpsStatusFromSpdkStatus(int rc);

  spdk_nvme_ctrlr* GetController() const { return ctrlr_; }

 private:
  uint32_t SubmitIo(NvmeIoCtx* ctx, uint8_t opcode);
  // Hands a read, write or dataset-management command of `ctx` to the driver on the context's queue pair.
  uint32_t SubmitWithTick(NvmeIoCtx* ctx, spdk_nvme_cmd* cmd, void* buffer, uint32_t length, void* metadata);
  friend class CommandContext;
  // Before every submission. The contexts of an I/O queue's commands are not listed: the driver completes what is
  // left on such a queue as the queue goes.
  void Hold(CommandContext& ctx, uint16_t qid);
  // The driver refused the command: it never reached the device.
  void Unhold(CommandContext& ctx);
  void List(CommandContext& ctx);
  void Unlist(CommandContext& ctx);
  // Ends the holds listed for queue `qid` (every one when `qid` is negative): the queue is gone.
  void EndHolds(int qid);

  struct Claim {
    const void* owner = nullptr;
    bool deleting = false;
    bool sq_deleted = false;  // an earlier deletion took the submission queue and failed at the completion queue
  };

  spdk_nvme_ctrlr* ctrlr_;
  std::vector<spdk_nvme_qpair*> qpairs_;
  std::vector<Claim> claims_;  // by QID, beside the table
  std::vector<CommandContext*> listed_;
  uint64_t reset_count_ = 0;
};

inline void NvmeQueueManager::Hold(CommandContext& ctx, uint16_t qid) {
  if (ctx.kept_) {
    // Sent again while the device may still be executing a command of it the host ended: it stays until that queue
    // goes, or, sent on another queue, until the controller is disabled.
    if (ctx.held_qid_ != qid) ctx.held_qid_ = 0;
    return;
  }
  ctx.holder_ = this;
  ctx.held_qid_ = qid;
  if (qid == 0) List(ctx);
}

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_NVME_QUEUE_MANAGER_H
