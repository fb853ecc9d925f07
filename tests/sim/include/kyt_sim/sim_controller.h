/*
 * A simulated NVMe controller on the PCI bus of the environment library.
 *
 * The controller registers a software PCI function at its address: its configuration space is served by
 * PciConfigSpace and its BAR0 (registers and doorbells) is a shared-memory file that the environment maps for the
 * driver, exactly as a real device's BAR. A service thread watches the registers and doorbells, fetches commands from
 * submission queues in host memory, executes them against sparse namespace storage and posts completions with phase
 * tags, the way the NVMe base standard (1.4) describes an NVMe over PCIe controller.
 *
 * Every public method is thread safe. Control methods (faults, power, removal) take effect before they return.
 */
#ifndef KYT_SIM_SIM_CONTROLLER_H
#define KYT_SIM_SIM_CONTROLLER_H

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kyt_sim/command_log.h"
#include "kyt_sim/data_pointer.h"
#include "kyt_sim/fault_injector.h"
#include "kyt_sim/host_memory.h"
#include "kyt_sim/nvme_defs.h"
#include "kyt_sim/pci_config_space.h"
#include "kyt_sim/sim_config.h"
#include "kyt_sim/sim_namespace.h"

namespace kyt::sim {

class SimController {
 public:
  // Where the controller is.
  enum class Presence {
    kOnBus,       // registered, serving
    kPoweredOff,  // off the bus, media kept; PowerOn brings it back
    kRemoved,     // surprise removal; only destruction follows
  };

  struct QueueState {
    uint16_t qid;
    bool submission;        // submission queue (else completion queue)
    uint32_t size;          // entries
    uint16_t head;
    uint16_t tail;
    uint16_t cqid;          // submission queues: the completion queue they post to
    bool phase;             // completion queues: phase tag of the next entry
    uint64_t base;          // bus address of the ring
    uint64_t doorbell_updates;  // doorbell values seen change (writes of a repeated value cannot be told apart)
    uint64_t entries;       // commands fetched (SQ) or completions posted (CQ)
    uint32_t held_back;     // completion queues: completions waiting for room
  };

  struct Counters {
    uint64_t commands = 0;          // fetched since creation
    uint64_t completions = 0;       // posted since creation
    uint64_t injected = 0;          // fault rules applied
    uint64_t invalid_doorbells = 0;  // doorbell writes of an invalid value (ignored, reported as an error event)
    uint64_t power_cycles = 0;
    uint64_t unsafe_shutdowns = 0;
    uint64_t resets = 0;            // CC.EN 1 -> 0 transitions
    uint64_t lost_completions = 0;  // completions dropped because the held-command pool was exhausted
  };

  // `translate` turns the bus addresses the host gives into pointers; null uses the environment's translation.
  // Throws std::invalid_argument for a bad address or configuration and std::runtime_error when the address is taken
  // or the bus refuses the function.
  SimController(const std::string& pci_address, const SimConfig& config, TranslateFn translate = nullptr);
  ~SimController();
  SimController(const SimController&) = delete;
  SimController& operator=(const SimController&) = delete;

  const std::string& address() const { return address_; }
  const SimConfig& config() const { return config_; }
  Presence presence();

  // BAR0 as the bus offers it: the shared-memory descriptor (-1 while off the bus or removed), its size and the bus
  // address firmware assigned.
  int bar0_fd();
  uint64_t bar0_size() const { return bar0_size_; }
  uint64_t bar0_bus_address() const { return bar0_phys_; }
  uint32_t doorbell_stride() const { return 4u << config_.dstrd; }

  // Configuration space as the bus delivers it (what the environment's callbacks reach).
  bool ConfigRead(uint32_t offset, uint32_t len, void* value);
  bool ConfigWrite(uint32_t offset, uint32_t len, const void* value);

  // Power and presence.
  // Power off: the function leaves the bus and its BAR vanishes (accesses through an old mapping raise SIGBUS);
  // queues, commands and volatile state are lost; an enabled controller without a completed shutdown counts as an
  // unsafe shutdown. Media is kept. No-op when already off; throws std::logic_error after removal.
  void PowerOff();
  // Power on at the same address: reset state (CC 0, CSTS 0), configuration space with BAR0 unassigned and the
  // command register 0. No-op when on; throws std::logic_error after removal, std::runtime_error when the bus
  // refuses the function.
  void PowerOn();
  // Surprise removal. sigbus: the BAR vanishes (SIGBUS on access) and the function leaves the bus. Otherwise the
  // function stays on the bus but answers every access with all ones and drops writes, like a device that fell off
  // the link behind a bridge that completes the accesses.
  void Remove(bool sigbus = true);

  // Faults.
  void InjectFault(const FaultRule& rule);
  // Post a completion entry for command identifier `cid` on I/O queue `qid`'s completion queue (0: the admin
  // queue) now, whether or not the host has a command outstanding under it. False when that submission queue does
  // not exist.
  bool PostStrayCompletion(uint16_t qid, uint16_t cid, const Status& status);
  void ClearFaults();
  size_t pending_faults();
  // XOR `mask` into byte `offset` of a stored block (data first, then metadata). False for an unknown namespace, an
  // LBA beyond its size or an offset beyond the block (or beyond the first 8 bytes in that mode).
  bool CorruptBlock(uint32_t nsid, uint64_t lba, uint32_t offset = 0, uint8_t mask = 0xFF);
  // Controller fatal status (CSTS.CFS): the controller stops processing commands. With clear_on_reset the next
  // controller reset (CC.EN 1 -> 0) clears it; otherwise only SetFatal(false) or a power cycle does.
  void SetFatal(bool fatal, bool clear_on_reset = true);
  // Hold CSTS.RDY at its present value whatever CC.EN does (for `for_us` microseconds of the environment's clock when
  // not 0); releasing lets it follow CC.EN again.
  void SetReadyStuck(bool stuck, uint64_t for_us = 0);
  // Set CSTS.RDY to `ready` and hold it there (as SetReadyStuck(true)); a controller whose RDY is forced to 0 serves
  // no queues. SetReadyStuck(false) lets RDY follow CC.EN again.
  void ForceReady(bool ready);
  // Make blocks fail reads with an unrecovered read error (SCT 2h, SC 81h) until they are written again, as Write
  // Uncorrectable does. False for an unknown namespace or a range beyond it.
  bool MarkUncorrectable(uint32_t nsid, uint64_t lba, uint64_t count = 1);
  // Raise SMART critical warning bits (an asynchronous event when enabled); 0 clears them.
  void SetCriticalWarning(uint8_t bits);

  // Media access for tests, bypassing the queues. The buffer holds data then metadata of one block.
  bool ReadBlock(uint32_t nsid, uint64_t lba, std::vector<uint8_t>* block);
  bool WriteBlock(uint32_t nsid, uint64_t lba, const std::vector<uint8_t>& block);
  // Geometry of a namespace: false when it does not exist.
  struct NamespaceInfo {
    uint32_t nsid;
    bool attached;
    uint64_t size;
    uint32_t data_size;
    uint16_t metadata_size;
    bool extended;
    uint8_t format_index;
    uint64_t allocated_blocks;
    uint8_t pi_type;
    bool pi_first;
  };
  bool GetNamespace(uint32_t nsid, NamespaceInfo* info);
  std::vector<NamespaceInfo> Namespaces();

  // Ends the service thread: from now on the controller neither fetches commands nor posts completions, and a
  // benchmark may play the device itself on the queues the host made. Cannot be undone.
  void StopService();
  // While held, the service thread does nothing, as on a machine too loaded to run it: the test clock waits for it.
  void HoldService(bool held) { held_ = held; }

  // Observability.
  std::vector<LoggedCommand> CommandLogSnapshot();
  uint64_t CommandLogTotal();
  void ClearCommandLog();
  std::vector<QueueState> Queues();
  Counters counters();
  // Service passes completed (doorbells looked at, commands fetched and executed). A test's explicit event: once
  // two more passes than before the host rang have completed, a command the doorbell told of has been fetched (and
  // completed, unless a fault holds it or its completion queue is full).
  uint64_t ServicePasses() const { return passes_.load(std::memory_order_acquire); }
  // The register file as the host sees it now (all ones after removal).
  uint32_t ReadRegister32(uint32_t offset);
  uint64_t ReadRegister64(uint32_t offset);

 private:
  struct Held;
  // What the controller has seen of one queue's doorbell.
  struct DoorbellSeen {
    uint32_t last_register = 0;
    // With a doorbell buffer: the shadow entry's value last taken, and whether the controller reads the entry on
    // every pass (from a register write until it has caught up and published its event index).
    uint32_t last_shadow = 0;
    bool following = false;
  };
  struct Sq {
    bool live = false;
    uint32_t size = 0;
    uint32_t head = 0;
    uint32_t tail = 0;
    uint16_t cqid = 0;
    uint8_t priority = 0;
    uint64_t base = 0;
    Command* ring = nullptr;
    DoorbellSeen doorbell;
    uint64_t doorbell_updates = 0;
    uint64_t fetched = 0;
  };
  struct Cq {
    bool live = false;
    uint32_t size = 0;
    uint32_t head = 0;
    uint32_t tail = 0;
    bool phase = true;
    bool interrupts = false;
    uint16_t vector = 0;
    uint64_t base = 0;
    Completion* ring = nullptr;
    uint16_t sq_count = 0;
    DoorbellSeen doorbell;
    uint64_t doorbell_updates = 0;
    uint64_t posted = 0;
    Held* backlog_head = nullptr;
    Held* backlog_tail = nullptr;
    uint32_t backlog = 0;
  };
  // A command whose completion is not posted at once.
  struct Held {
    Command command;
    uint16_t sqid = 0;
    Status status;
    uint32_t cdw0 = 0;
    uint64_t due = 0;   // delayed: tick when the completion is due
    Held* next = nullptr;
  };
  // Outcome of executing a command.
  struct Result {
    Status status;
    uint32_t cdw0 = 0;
    bool hold = false;  // kept outstanding (asynchronous event request)
    uint64_t lba = 0;   // for the error log: the failing LBA
  };
  struct ErrorEntry {
    uint64_t count;
    uint16_t sqid, cid, status, location;
    uint64_t lba;
    uint32_t nsid;
  };
  struct Features {
    uint32_t arbitration = 0;
    uint32_t power_management = 0;
    uint16_t over_temp[9] = {};
    uint16_t under_temp[9] = {};
    uint32_t error_recovery = 0;
    bool write_cache = true;
    uint16_t sq_allocated = 0;  // zero-based
    uint16_t cq_allocated = 0;
    bool queues_set = false;
    uint32_t interrupt_coalescing = 0;
    uint32_t interrupt_vector_config = 0;
    uint32_t write_atomicity = 0;
    uint32_t async_event_config = 0;
    uint32_t keep_alive_ms = 0;
    std::array<uint8_t, 16> host_id = {};
  };
  struct Event {
    uint8_t type, info, log_page;
  };
  enum class Engine { kIdle, kEnabling, kReady, kDisabling };

  // Bus.
  void AttachToBus(bool power_on_reset);
  void DetachFromBus(bool vanish);
  static int CfgReadCb(void* ctx, void* value, uint32_t len, uint32_t offset);
  static int CfgWriteCb(void* ctx, const void* value, uint32_t len, uint32_t offset);

  // Service thread.
  void ServiceLoop();
  bool Step();
  void Lock(std::unique_lock<std::mutex>* lock);

  // Registers.
  volatile uint32_t* Reg32(uint32_t offset) { return reinterpret_cast<volatile uint32_t*>(bar_ + offset); }
  volatile uint32_t* Doorbell(uint16_t qid, bool completion) {
    return Reg32(reg::kDoorbellBase + (2u * qid + (completion ? 1 : 0)) * doorbell_stride());
  }
  void WriteCsts();
  void InitRegisters(bool start_state);
  void RestoreReadOnlyRegisters();
  void PollRegisters(uint64_t now);
  void OnEnable(uint32_t cc, uint64_t now);
  void OnDisable(uint64_t now);
  void DropQueuesAndCommands();
  void ResetFeatures();
  Features DefaultFeatures() const;
  bool ValidEnable(uint32_t cc, std::string* why);
  uint64_t Ticks(uint64_t us) const;
  void Log(const std::string& line);

  // Queues.
  bool PollDoorbells();
  void ApplySqTail(Sq& sq, uint32_t value);
  bool ApplyCqHead(Cq& cq, uint32_t value);
  volatile uint32_t* Shadow(volatile uint32_t* base, uint16_t qid, bool completion) {
    return base + (2u * qid + (completion ? 1 : 0)) * (doorbell_stride() / 4);
  }
  // The doorbell value a register write or a followed shadow entry gives, when it changed since the last look.
  bool NewDoorbellValue(uint16_t qid, bool completion, DoorbellSeen& seen, uint32_t* value);
  // An I/O queue created, or one already there when the doorbell buffer is configured, with that doorbell value.
  void StartDoorbell(uint16_t qid, bool completion, DoorbellSeen& seen, uint32_t value, bool created);
  bool FetchCommands();
  uint32_t FetchFrom(uint16_t qid, uint32_t limit);
  bool ServiceTimers(uint64_t now);
  void Execute(uint16_t sqid, const Command& cmd);
  void ExecuteAndComplete(uint16_t sqid, const Command& cmd);
  void PostCompletion(uint16_t sqid, uint16_t cid, const Status& status, uint32_t cdw0);
  void PostBatch();
  bool WriteCqEntry(Cq& cq, uint16_t sqid, uint16_t cid, const Status& status, uint32_t cdw0);
  void FlushBacklog(Cq& cq);
  Held* AllocHeld();
  void FreeHeld(Held* held);
  void RecordError(uint16_t sqid, const Command& cmd, const Status& status, uint64_t lba);
  uint32_t page_size() const { return 1u << (12 + cc::Mps(cc_)); }

  // Asynchronous events.
  void RaiseEvent(uint8_t type, uint8_t info, uint8_t log_page);
  void DeliverEvents();

  // Admin commands (sim_controller_admin.cc).
  Result ExecuteAdmin(const Command& cmd);
  Result CreateIoCq(const Command& cmd);
  Result CreateIoSq(const Command& cmd);
  Result DeleteIoSq(const Command& cmd);
  Result DeleteIoCq(const Command& cmd);
  Result Identify(const Command& cmd);
  Result GetLogPage(const Command& cmd);
  Result SetFeatures(const Command& cmd);
  Result GetFeatures(const Command& cmd);
  Result AsyncEventRequest(const Command& cmd);
  Result Abort(const Command& cmd);
  Result KeepAlive(const Command& cmd);
  Result DoorbellBufferConfig(const Command& cmd);
  Result NamespaceManagement(const Command& cmd);
  Result NamespaceAttachment(const Command& cmd);
  Result FormatNvm(const Command& cmd);
  Status ToHost(const Command& cmd, const void* data, uint32_t len);
  Status FromHost(const Command& cmd, void* data, uint32_t len);
  void FillIdentifyController(uint8_t* out);
  void FillSmartLog(uint8_t* out);
  SimNamespace* FindNamespace(uint32_t nsid);
  static NamespaceInfo Info(const SimNamespace& ns);
  uint64_t AllocatedCapacity() const;

  // I/O commands (sim_controller_io.cc).
  Result ExecuteIo(const Command& cmd);
  Result ReadWrite(const Command& cmd, SimNamespace& ns, bool write);
  Result Compare(const Command& cmd, SimNamespace& ns);
  Result WriteZeroes(const Command& cmd, SimNamespace& ns);
  Result WriteUncorrectable(const Command& cmd, SimNamespace& ns);
  Result DatasetManagement(const Command& cmd, SimNamespace& ns);
  Status MapBlocks(const Command& cmd, SimNamespace& ns, uint64_t slba, uint32_t nlb, bool strip, bool* separate_md);

  const std::string address_;
  const SimConfig config_;
  HostMemory memory_;                  // host memory by bus address
  uint64_t bar0_size_ = 0;
  uint64_t bar0_phys_ = 0;
  uint8_t pci_bus_ = 0, pci_dev_ = 0, pci_func_ = 0;
  uint32_t pci_domain_ = 0;
  std::unique_ptr<PciConfigSpace> pci_;

  // The service thread holds the environment's test clock back while it does not get to run (see env_test.h).
  int clock_pacer_ = -1;
  std::atomic<bool> held_{false};

  std::mutex mu_;                      // everything below
  std::atomic<int> api_waiting_{0};    // control calls waiting for mu_: the service thread yields to them
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> passes_{0};
  std::thread thread_;

  Presence presence_ = Presence::kPoweredOff;
  bool registered_ = false;
  int bar_fd_ = -1;
  uint8_t* bar_ = nullptr;
  bool all_ones_ = false;              // plain removal: the BAR answers all ones

  // Register state the controller owns.
  uint64_t cap_ = 0;
  uint32_t cc_ = 0;                    // the CC value last acted on
  uint32_t csts_ = 0;
  Engine engine_ = Engine::kIdle;
  uint64_t rdy_due_ = 0;               // when RDY follows EN (kEnabling, kDisabling)
  bool rdy_stuck_ = false;
  uint64_t rdy_stuck_until_ = 0;       // tick when a timed hold ends; 0: until released
  bool shutting_down_ = false;
  uint64_t shutdown_due_ = 0;
  bool clean_shutdown_ = true;
  bool fatal_clear_on_reset_ = true;
  uint32_t step_count_ = 0;

  std::vector<Sq> sqs_;
  std::vector<Cq> cqs_;
  std::vector<uint16_t> live_sqs_;     // in creation order, admin first
  std::vector<uint16_t> live_cqs_;
  uint64_t queue_version_ = 0;         // changes whenever a queue is created or deleted
  uint64_t now_ = 0;                   // ticks at the start of the current service step
  size_t rr_next_ = 0;

  std::vector<Held> held_pool_;
  Held* held_free_ = nullptr;
  Held* delayed_ = nullptr;            // completion due later
  Held* dropped_ = nullptr;            // never completed
  Held* duplicates_ = nullptr;         // second copies of completions already posted, due later
  Held* aers_ = nullptr;               // outstanding asynchronous event requests
  uint32_t aer_count_ = 0;
  std::vector<Event> events_;          // waiting for an event request
  bool in_command_ = false;            // events raised meanwhile are delivered after the command's completion
  uint8_t masked_events_ = 0;          // bit per event type: reported, waiting for its log page to be read
  std::vector<uint32_t> changed_namespaces_;

  // Doorbell buffer (shadow doorbells written by the host, event indexes written by the controller), or null.
  volatile uint32_t* shadow_ = nullptr;
  volatile uint32_t* eventidx_ = nullptr;

  Features features_;
  uint64_t keep_alive_deadline_ = 0;
  uint8_t critical_warning_ = 0;

  std::vector<std::unique_ptr<SimNamespace>> namespaces_;  // sorted by NSID
  uint32_t formatting_nsid_ = 0;       // Format NVM in progress on this NSID (kBroadcastNsid: all)
  uint64_t format_start_ = 0;
  uint64_t format_due_ = 0;
  Held* format_cmd_ = nullptr;

  FaultInjector faults_;
  CommandLog log_;
  Counters counters_;
  std::vector<ErrorEntry> errors_;     // newest last, at most 64
  uint64_t error_count_ = 0;
  uint64_t data_units_read_ = 0, data_units_written_ = 0;  // bytes / 512
  uint64_t host_reads_ = 0, host_writes_ = 0;
  uint64_t media_errors_ = 0;
  uint64_t created_tick_ = 0;
  uint64_t total_capacity_ = 0;       // TNVMCAP in bytes
  std::string serial_;

  // Zero-latency I/O completions waiting to be posted together, in execution order.
  struct Batched {
    uint16_t sqid;
    uint16_t cid;
    Status status;
    uint32_t cdw0;
  };
  std::array<Batched, 32> batch_;
  uint32_t batched_ = 0;

  DataPointer data_;                   // scratch of the executing command
  DataPointer meta_;
  std::vector<uint8_t> bounce_;
  std::array<uint8_t, 4096> page_ = {};
};

}  // namespace kyt::sim

#endif  // KYT_SIM_SIM_CONTROLLER_H
