// The base of every command's context (an I/O, a raw command, a Format NVM, a queue command): the one rule for how
// long it lives. While its command is at the device, the device may still write into its buffers and the command's
// completion routine will write into the context itself; so from the submission until the device is done with the
// command, the queue manager that submitted it holds the context. The device is done when it completes the command,
// or, for a command the host ended by its time-out (the device may still be executing it), when its queue is deleted
// or the controller disabled.
//
// An owner never frees a context itself: it holds it through a CommandContextPtr (or a shared_ptr made from one),
// whose deleter frees it at once when the device is done with it and otherwise leaves it to the queue manager. So an
// owner that ends early has nothing to hand over, and no path of it can free a buffer the device may still write.
// Worker thread only.
#ifndef KYT_NVME_COMMAND_CONTEXT_H
#define KYT_NVME_COMMAND_CONTEXT_H

#include <cstdint>
#include <memory>

#include "spdk/nvme.h"

namespace kyt {
namespace nvme {

class NvmeQueueManager;

class CommandContext {
 public:
  CommandContext(const CommandContext&) = delete;
  CommandContext& operator=(const CommandContext&) = delete;

  // The deleter of every owning pointer to a context.
  struct Release {
    void operator()(CommandContext* ctx) const;
  };

  // The device may still write into the context: its command was submitted and the device is not done with it.
  bool AtDevice() const { return holder_ != nullptr; }

  // The last step of every completion routine, after the routine's own bookkeeping: the device is done with the
  // command, unless the host ended it by its time-out (`cpl`), in which case the context stays with its queue until
  // the queue goes. True when the owner still holds the context and is to be told of the completion; false when the
  // owner let go of it (it is freed here once the device is done with it) and nothing more may touch it.
  bool Landed(const spdk_nvme_cpl* cpl) {
    if (__builtin_expect(listed_ || spdk_nvme_cpl_is_host_timeout(cpl), 0)) return LandedListed(cpl);
    holder_ = nullptr;
    if (__builtin_expect(!released_, 1)) return true;
    delete this;
    return false;
  }

 protected:
  CommandContext() = default;
  virtual ~CommandContext() = default;

 private:
  friend class NvmeQueueManager;

  // Landed for a context the queue manager lists: an admin command's, or one the host ended.
  bool LandedListed(const spdk_nvme_cpl* cpl);
  // The device is done with the context: it goes back to its owner, or is freed when the owner let go of it.
  void EndHold();

  NvmeQueueManager* holder_ = nullptr;  // the queue manager that submitted the command, while the device has it
  uint16_t held_qid_ = 0;               // the queue it went to (0: admin)
  bool listed_ = false;                 // on the queue manager's list of contexts it ends itself
  bool kept_ = false;                   // the host ended a command of it: held until its queue goes
  bool released_ = false;               // the owner let go of it while the device had it
};

template <typename T>
using CommandContextPtr = std::unique_ptr<T, CommandContext::Release>;

template <typename T>
CommandContextPtr<T> MakeCommandContext() {
  return CommandContextPtr<T>(new T());
}

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_COMMAND_CONTEXT_H
