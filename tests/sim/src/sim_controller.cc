// Simulated NVMe controller: bus presence, registers, queues and the service thread. The admin and NVM command sets
// are in sim_controller_admin.cc and sim_controller_io.cc.
#include "kyt_sim/sim_controller.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "kyt/env_test.h"
#include "spdk/env.h"

namespace kyt::sim {

namespace {

constexpr uint64_t kMaxBar0Size = 1u << 20;
// Submission queue entries read ahead of the one executed.
constexpr uint32_t kFetchAhead = 4;

uint64_t RoundUpPow2(uint64_t v) {
  uint64_t r = 1;
  while (r < v) r <<= 1;
  return r;
}

void* EnvTranslate(uint64_t iova, uint64_t len) { return kyt_env_iova_to_vaddr(iova, len); }

// A stable 64-bit mix (splitmix64) for identifiers derived from the address.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

bool ParseUuid(const std::string& text, std::array<uint8_t, 16>* out) {
  std::string hex;
  for (char c : text)
    if (c != '-') hex.push_back(c);
  if (hex.size() != 32 || text.size() != 36) return false;
  for (int i = 0; i < 16; ++i) {
    unsigned v;
    if (std::sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1) return false;
    (*out)[i] = static_cast<uint8_t>(v);
  }
  return true;
}

inline void CpuRelax() { __builtin_ia32_pause(); }

}  // namespace

SimController::SimController(const std::string& pci_address, const SimConfig& config, TranslateFn translate)
    : address_([&] {
        spdk_pci_addr a{};
        if (spdk_pci_addr_parse(&a, pci_address.c_str()) != 0)
          throw std::invalid_argument("invalid PCI address \"" + pci_address + "\"");
        char text[SPDK_PCI_ADDR_FMT_LEN + 4] = {};
        spdk_pci_addr_fmt(text, sizeof(text), &a);
        return std::string(text);
      }()),
      config_(config),
      memory_(translate ? translate : &EnvTranslate),
      log_(config.command_log_capacity) {
  spdk_pci_addr a{};
  spdk_pci_addr_parse(&a, address_.c_str());
  pci_domain_ = a.domain;
  pci_bus_ = a.bus;
  pci_dev_ = a.dev;
  pci_func_ = a.func;

  if (config_.io_queues == 0) throw std::invalid_argument("io_queues must be at least 1");
  if (config_.mqes == 0) throw std::invalid_argument("mqes must be at least 1 (queues of two entries)");
  if (config_.dstrd > 8) throw std::invalid_argument("dstrd above 8 is not supported");
  if (config_.mpsmin > config_.mpsmax || config_.mpsmax > 15) throw std::invalid_argument("bad mpsmin/mpsmax");
  if (config_.max_held_commands < 16) throw std::invalid_argument("max_held_commands must be at least 16");
  if (config_.max_namespaces == 0 || config_.max_namespaces > 1024)
    throw std::invalid_argument("max_namespaces must be 1..1024");

  bar0_size_ = RoundUpPow2(std::max<uint64_t>(16384, reg::kDoorbellBase + (uint64_t(config_.io_queues) + 1) * 2 *
                                                                             doorbell_stride()));
  if (bar0_size_ > kMaxBar0Size) throw std::invalid_argument("too many queues for the doorbell stride");
  uint32_t slot = ((uint32_t(pci_bus_) << 8) | (uint32_t(pci_dev_) << 3) | pci_func_) % 2048;
  bar0_phys_ = 0x80000000ull + uint64_t(slot) * kMaxBar0Size;

  PciConfigSpace::Identity id{config_.vendor_id, config_.device_id, config_.subsystem_vendor_id, config_.subsystem_id,
                              config_.revision};
  pci_ = std::make_unique<PciConfigSpace>(id, bar0_size_, bar0_phys_);

  sqs_.resize(config_.io_queues + 1u);
  cqs_.resize(config_.io_queues + 1u);
  held_pool_.resize(config_.max_held_commands);
  for (auto& h : held_pool_) {
    h.next = held_free_;
    held_free_ = &h;
  }
  bounce_.resize(2 * (4096 + 64));

  const uint64_t seed = Mix((uint64_t(pci_domain_) << 32) | (uint64_t(pci_bus_) << 16) | (pci_dev_ << 8) | pci_func_);
  for (const NamespaceConfig& nc : config_.namespaces) {
    if (nc.nsid == 0 || nc.nsid > config_.max_namespaces)
      throw std::invalid_argument("namespace id " + std::to_string(nc.nsid) + " outside 1.." +
                                  std::to_string(config_.max_namespaces));
    for (const auto& other : namespaces_)
      if (other->nsid() == nc.nsid) throw std::invalid_argument("namespace id " + std::to_string(nc.nsid) + " twice");
    std::array<uint8_t, 16> uuid{};
    if (!nc.uuid.empty()) {
      if (!ParseUuid(nc.uuid, &uuid)) throw std::invalid_argument("bad namespace UUID \"" + nc.uuid + "\"");
    } else {
      uint64_t hi = Mix(seed ^ nc.nsid), lo = Mix(hi + nc.nsid);
      std::memcpy(uuid.data(), &hi, 8);
      std::memcpy(uuid.data() + 8, &lo, 8);
      uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x40);  // version 4
      uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);  // variant 1
    }
    namespaces_.push_back(std::make_unique<SimNamespace>(nc, uuid, config_.store_first_8_bytes));
  }
  std::sort(namespaces_.begin(), namespaces_.end(),
            [](const auto& x, const auto& y) { return x->nsid() < y->nsid(); });

  uint64_t used = 0;
  for (const auto& ns : namespaces_) used += ns->capacity_bytes();
  total_capacity_ = config_.total_capacity ? config_.total_capacity : 2 * used;
  if (used > total_capacity_) throw std::invalid_argument("the namespaces need more than total_capacity");
  if (config_.serial.empty()) {
    char sn[21];
    std::snprintf(sn, sizeof(sn), "KYTSIM%04X%02X%02X%X", pci_domain_ & 0xFFFF, pci_bus_, pci_dev_, pci_func_);
    serial_ = sn;
  } else {
    serial_ = config_.serial;
  }
  if (serial_.size() > 20 || config_.model.size() > 40 || config_.firmware.size() > 8)
    throw std::invalid_argument("serial (20), model (40) or firmware (8) text too long");

  ResetFeatures();
  created_tick_ = spdk_get_ticks();
  AttachToBus(false);
  clock_pacer_ = kyt_env_test_clock_pacer_add();
  thread_ = std::thread([this] { ServiceLoop(); });
}

SimController::~SimController() {
  StopService();
  std::lock_guard<std::mutex> lock(mu_);
  if (registered_ || bar_) DetachFromBus(true);
}

void SimController::StopService() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  kyt_env_test_clock_pacer_remove(clock_pacer_);
  clock_pacer_ = -1;
}

// ---------------------------------------------------------------------------------------------------------------
// Bus

int SimController::CfgReadCb(void* ctx, void* value, uint32_t len, uint32_t offset) {
  return static_cast<SimController*>(ctx)->pci_->Read(offset, len, value) ? 0 : -EINVAL;
}

int SimController::CfgWriteCb(void* ctx, const void* value, uint32_t len, uint32_t offset) {
  return static_cast<SimController*>(ctx)->pci_->Write(offset, len, value) ? 0 : -EINVAL;
}

void SimController::AttachToBus(bool power_on_reset) {
  int fd = memfd_create("kyt-sim-bar0", MFD_CLOEXEC);
  if (fd < 0) throw std::runtime_error("memfd_create failed: " + std::string(strerror(errno)));
  if (ftruncate(fd, static_cast<off_t>(bar0_size_)) != 0) {
    int e = errno;
    close(fd);
    throw std::runtime_error("sizing BAR0 failed: " + std::string(strerror(e)));
  }
  void* p = mmap(nullptr, bar0_size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    int e = errno;
    close(fd);
    throw std::runtime_error("mapping BAR0 failed: " + std::string(strerror(e)));
  }
  bar_fd_ = fd;
  bar_ = static_cast<uint8_t*>(p);
  if (power_on_reset) pci_->PowerOnReset();
  InitRegisters(!power_on_reset);

  kyt_swdev_desc desc{};
  desc.addr.domain = pci_domain_;
  desc.addr.bus = pci_bus_;
  desc.addr.dev = pci_dev_;
  desc.addr.func = pci_func_;
  desc.id.class_id = 0x010802;
  desc.id.vendor_id = config_.vendor_id;
  desc.id.device_id = config_.device_id;
  desc.id.subvendor_id = config_.subsystem_vendor_id;
  desc.id.subdevice_id = config_.subsystem_id;
  desc.bar0_fd = bar_fd_;
  desc.bar0_size = bar0_size_;
  desc.bar0_phys = bar0_phys_;
  desc.ops.cfg_read = &CfgReadCb;
  desc.ops.cfg_write = &CfgWriteCb;
  desc.ctx = this;
  int rc = kyt_swdev_register(&desc);
  if (rc != 0) {
    munmap(bar_, bar0_size_);
    close(bar_fd_);
    bar_ = nullptr;
    bar_fd_ = -1;
    throw std::runtime_error("cannot put a simulated controller at " + address_ + ": " +
                             (rc == -EEXIST ? std::string("the address is taken") : std::string(strerror(-rc))));
  }
  registered_ = true;
  presence_ = Presence::kOnBus;
  all_ones_ = false;
}

void SimController::DetachFromBus(bool vanish) {
  if (vanish && bar_fd_ >= 0) {
    // Every mapping of the file loses its pages: the driver's next access raises SIGBUS.
    if (ftruncate(bar_fd_, 0) != 0) Log("truncating BAR0 failed");
  }
  if (registered_) {
    spdk_pci_addr a{pci_domain_, pci_bus_, pci_dev_, pci_func_};
    kyt_swdev_unregister(&a);
    registered_ = false;
  }
  if (vanish) {
    if (bar_) munmap(bar_, bar0_size_);
    if (bar_fd_ >= 0) close(bar_fd_);
    bar_ = nullptr;
    bar_fd_ = -1;
  }
}

void SimController::Lock(std::unique_lock<std::mutex>* lock) {
  api_waiting_.fetch_add(1);
  *lock = std::unique_lock<std::mutex>(mu_);
  api_waiting_.fetch_sub(1);
}

SimController::Presence SimController::presence() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  return presence_;
}

int SimController::bar0_fd() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  return presence_ == Presence::kOnBus ? bar_fd_ : -1;
}

bool SimController::ConfigRead(uint32_t offset, uint32_t len, void* value) {
  {
    std::unique_lock<std::mutex> lock;
    Lock(&lock);
    if (presence_ == Presence::kPoweredOff || (presence_ == Presence::kRemoved && !all_ones_)) return false;
  }
  return pci_->Read(offset, len, value);
}

bool SimController::ConfigWrite(uint32_t offset, uint32_t len, const void* value) {
  {
    std::unique_lock<std::mutex> lock;
    Lock(&lock);
    if (presence_ == Presence::kPoweredOff || (presence_ == Presence::kRemoved && !all_ones_)) return false;
  }
  return pci_->Write(offset, len, value);
}

void SimController::PowerOff() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  if (presence_ == Presence::kRemoved)
    throw std::logic_error("the simulated controller at " + address_ + " was removed");
  if (presence_ == Presence::kPoweredOff) return;
  if (!clean_shutdown_) ++counters_.unsafe_shutdowns;
  DropQueuesAndCommands();
  DetachFromBus(true);
  presence_ = Presence::kPoweredOff;
  Log("powered off");
}

void SimController::PowerOn() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  if (presence_ == Presence::kRemoved)
    throw std::logic_error("the simulated controller at " + address_ + " was removed");
  if (presence_ == Presence::kOnBus) return;
  AttachToBus(true);
  ++counters_.power_cycles;
  Log("powered on");
}

void SimController::Remove(bool sigbus) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  if (presence_ == Presence::kRemoved) return;
  DropQueuesAndCommands();
  if (presence_ == Presence::kOnBus) {
    if (sigbus) {
      DetachFromBus(true);
    } else {
      std::memset(bar_, 0xFF, bar0_size_);
      pci_->SetAllOnes(true);
      all_ones_ = true;
    }
  }
  presence_ = Presence::kRemoved;
  Log(sigbus ? "removed (BAR gone)" : "removed (reads all ones)");
}

// ---------------------------------------------------------------------------------------------------------------
// Registers

uint64_t SimController::Ticks(uint64_t us) const { return us * spdk_get_ticks_hz() / 1000000u; }

void SimController::Log(const std::string& line) {
  if (!config_.verbose) return;
  std::printf("SIM: %s %s\n", address_.c_str(), line.c_str());
  std::fflush(stdout);
}

void SimController::WriteCsts() { *Reg32(reg::kCsts) = csts_; }

void SimController::InitRegisters(bool start_state) {
  std::memset(bar_, 0, bar0_size_);
  cap_ = uint64_t(config_.mqes) | (1ull << 16) /* CQR */ | (uint64_t(config_.ams & 3) << 17) |
         (uint64_t(config_.timeout) << 24) | (uint64_t(config_.dstrd & 0xF) << 32) | (1ull << 37) /* CSS: NVM */ |
         (uint64_t(config_.mpsmin & 0xF) << 48) | (uint64_t(config_.mpsmax & 0xF) << 52);
  *Reg32(reg::kCap) = static_cast<uint32_t>(cap_);
  *Reg32(reg::kCap + 4) = static_cast<uint32_t>(cap_ >> 32);
  *Reg32(reg::kVs) = config_.version;
  cc_ = 0;
  csts_ = 0;
  engine_ = Engine::kIdle;
  shutting_down_ = false;
  clean_shutdown_ = true;
  rdy_stuck_ = false;
  rdy_stuck_until_ = 0;
  fatal_clear_on_reset_ = true;
  ResetFeatures();
  const uint64_t now = spdk_get_ticks();
  if (start_state) {
    rdy_stuck_ = config_.start_ready_stuck;
    rdy_stuck_until_ = rdy_stuck_ && config_.start_ready_stuck_us ? now + Ticks(config_.start_ready_stuck_us) : 0;
    if (config_.start_enabled) cc_ = cc::kEn | (6u << 16) | (4u << 20);
    if (config_.start_ready) csts_ |= csts::kRdy;
    if (config_.start_enabled && config_.start_ready) {
      engine_ = Engine::kReady;  // enabled by a previous owner; its admin queue is unknown
      clean_shutdown_ = false;
    } else if (config_.start_enabled) {
      engine_ = Engine::kEnabling;
      rdy_due_ = now + Ticks(config_.ready_delay_us);
      clean_shutdown_ = false;
    } else if (config_.start_ready) {
      engine_ = Engine::kDisabling;
      rdy_due_ = now + Ticks(config_.disable_delay_us);
    }
  }
  *Reg32(reg::kCc) = cc_;
  WriteCsts();
}

void SimController::RestoreReadOnlyRegisters() {
  // The host may write anywhere in BAR0; read-only registers keep their value.
  auto restore = [this](uint32_t offset, uint32_t value) {
    if (*Reg32(offset) != value) *Reg32(offset) = value;
  };
  restore(reg::kCap, static_cast<uint32_t>(cap_));
  restore(reg::kCap + 4, static_cast<uint32_t>(cap_ >> 32));
  restore(reg::kVs, config_.version);
  restore(reg::kCsts, csts_);
  restore(reg::kIntms, 0);
  restore(reg::kIntmc, 0);
  restore(reg::kNssr, 0);
  restore(reg::kCmbloc, 0);
  restore(reg::kCmbsz, 0);
}

bool SimController::ValidEnable(uint32_t cc, std::string* why) {
  const uint32_t aqa = *Reg32(reg::kAqa);
  const uint64_t asq = *Reg32(reg::kAsq) | uint64_t(*Reg32(reg::kAsq + 4)) << 32;
  const uint64_t acq = *Reg32(reg::kAcq) | uint64_t(*Reg32(reg::kAcq + 4)) << 32;
  const uint32_t mps = cc::Mps(cc);
  if (mps < config_.mpsmin || mps > config_.mpsmax) {
    *why = "CC.MPS " + std::to_string(mps) + " outside CAP.MPSMIN..MPSMAX";
    return false;
  }
  if (cc::Css(cc) != 0) {
    *why = "CC.CSS " + std::to_string(cc::Css(cc)) + " is not a supported command set";
    return false;
  }
  const uint32_t ams = cc::Ams(cc);
  if (!(ams == 0 || (ams == 1 && (config_.ams & 1)) || (ams == 7 && (config_.ams & 2)))) {
    *why = "CC.AMS " + std::to_string(ams) + " is not supported";
    return false;
  }
  if ((aqa & 0xFFF) == 0 || ((aqa >> 16) & 0xFFF) == 0) {
    *why = "AQA asks for an admin queue of one entry";
    return false;
  }
  const uint64_t page_mask = (uint64_t(1) << (12 + mps)) - 1;
  if ((asq & page_mask) || (acq & page_mask)) {
    *why = "ASQ or ACQ is not page aligned";
    return false;
  }
  return true;
}

void SimController::OnEnable(uint32_t cc, uint64_t now) {
  DropQueuesAndCommands();
  std::string why;
  if (!ValidEnable(cc, &why)) {
    Log("fatal: " + why);
    csts_ |= csts::kCfs;
    fatal_clear_on_reset_ = true;
    WriteCsts();
    return;
  }
  const uint32_t aqa = *Reg32(reg::kAqa);
  const uint64_t asq = *Reg32(reg::kAsq) | uint64_t(*Reg32(reg::kAsq + 4)) << 32;
  const uint64_t acq = *Reg32(reg::kAcq) | uint64_t(*Reg32(reg::kAcq + 4)) << 32;
  memory_.Revalidate();
  Sq& sq = sqs_[0];
  Cq& cq = cqs_[0];
  sq = Sq{};
  cq = Cq{};
  sq.size = (aqa & 0xFFF) + 1;
  cq.size = ((aqa >> 16) & 0xFFF) + 1;
  sq.base = asq;
  cq.base = acq;
  sq.ring = static_cast<Command*>(memory_.Translate(asq, uint64_t(sq.size) * sizeof(Command)));
  cq.ring = static_cast<Completion*>(memory_.Translate(acq, uint64_t(cq.size) * sizeof(Completion)));
  if (!sq.ring || !cq.ring) {
    Log("fatal: the admin queues are not in host memory");
    csts_ |= csts::kCfs;
    fatal_clear_on_reset_ = true;
    WriteCsts();
    return;
  }
  sq.live = cq.live = true;
  sq.cqid = 0;
  cq.sq_count = 1;
  live_sqs_.assign(1, 0);
  live_cqs_.assign(1, 0);
  ++queue_version_;
  engine_ = Engine::kEnabling;
  rdy_due_ = now + Ticks(config_.ready_delay_us);
  clean_shutdown_ = false;
  Log("enabling");
}

void SimController::OnDisable(uint64_t now) {
  DropQueuesAndCommands();
  ResetFeatures();
  formatting_nsid_ = 0;
  shutting_down_ = false;
  csts_ &= ~csts::kShstMask;
  if (fatal_clear_on_reset_) csts_ &= ~csts::kCfs;
  engine_ = Engine::kDisabling;
  rdy_due_ = now + Ticks(config_.disable_delay_us);
  ++counters_.resets;
  WriteCsts();
  Log("disabling");
}

void SimController::PollRegisters(uint64_t now) {
  const uint32_t cc = *Reg32(reg::kCc);
  if (cc != cc_) {
    const uint32_t old = cc_;
    cc_ = cc;
    const bool was = old & cc::kEn, is = cc & cc::kEn;
    if (!was && is) OnEnable(cc, now);
    if (was && !is) OnDisable(now);
    if (cc::Shn(cc) != 0 && cc::Shn(old) == 0) {
      // Shutdown notification: finish what is in flight, then report the shutdown complete.
      shutting_down_ = true;
      shutdown_due_ = now + Ticks(config_.shutdown_delay_us);
      csts_ = (csts_ & ~csts::kShstMask) | csts::kShstOccurring;
      WriteCsts();
      Log("shutdown notification");
    }
  }
  if (rdy_stuck_ && rdy_stuck_until_ && now >= rdy_stuck_until_) {
    rdy_stuck_ = false;
    rdy_stuck_until_ = 0;
  }
  if ((engine_ == Engine::kEnabling || engine_ == Engine::kDisabling) && !rdy_stuck_ && now >= rdy_due_) {
    if (engine_ == Engine::kEnabling) {
      csts_ |= csts::kRdy;
      engine_ = Engine::kReady;
      keep_alive_deadline_ = 0;
      Log("ready");
    } else {
      csts_ &= ~csts::kRdy;
      engine_ = Engine::kIdle;
      Log("disabled");
    }
    WriteCsts();
  }
  if (shutting_down_ && now >= shutdown_due_) {
    shutting_down_ = false;
    csts_ = (csts_ & ~csts::kShstMask) | csts::kShstComplete;
    clean_shutdown_ = true;
    WriteCsts();
    Log("shutdown complete");
  }
  if ((++step_count_ & 63) == 0) RestoreReadOnlyRegisters();
}

SimController::Features SimController::DefaultFeatures() const {
  Features f;
  f.write_cache = config_.volatile_write_cache;
  f.sq_allocated = static_cast<uint16_t>(config_.io_queues - 1);
  f.cq_allocated = static_cast<uint16_t>(config_.io_queues - 1);
  for (auto& t : f.over_temp) t = 0xFFFF;
  f.over_temp[0] = 343;  // composite: 70 C
  return f;
}

void SimController::ResetFeatures() {
  features_ = DefaultFeatures();
  keep_alive_deadline_ = 0;
}

void SimController::DropQueuesAndCommands() {
  // A reset ends every queue and command without completions: the queues' memory is no longer the controller's.
  for (Cq& cq : cqs_) {
    while (cq.backlog_head) {
      Held* h = cq.backlog_head;
      cq.backlog_head = h->next;
      FreeHeld(h);
    }
    cq = Cq{};
  }
  for (Sq& sq : sqs_) sq = Sq{};
  for (Held** list : {&delayed_, &dropped_, &aers_, &duplicates_}) {
    while (*list) {
      Held* h = *list;
      *list = h->next;
      FreeHeld(h);
    }
  }
  if (format_cmd_) {
    FreeHeld(format_cmd_);
    format_cmd_ = nullptr;
  }
  aer_count_ = 0;
  shadow_ = eventidx_ = nullptr;
  events_.clear();
  masked_events_ = 0;
  live_sqs_.clear();
  live_cqs_.clear();
  ++queue_version_;
  if (bar_ && !all_ones_) std::memset(bar_ + reg::kDoorbellBase, 0, bar0_size_ - reg::kDoorbellBase);
}

// ---------------------------------------------------------------------------------------------------------------
// Service thread

// The service thread plays hardware: it must not share a core with the threads the environment pinned (the creating
// thread may be one of them and its affinity is inherited). Run on any other allowed core, or any core at all.
static void LeaveEnvironmentCores() {
  cpu_set_t all;
  CPU_ZERO(&all);
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  for (long i = 0; i < n && i < CPU_SETSIZE; ++i) CPU_SET(i, &all);
  cpu_set_t free_cores = all;
  if (spdk_env_is_initialized()) {
    uint32_t core;
    SPDK_ENV_FOREACH_CORE(core) {
      if (core < CPU_SETSIZE) CPU_CLR(core, &free_cores);
    }
  }
  if (CPU_COUNT(&free_cores) == 0 || pthread_setaffinity_np(pthread_self(), sizeof(free_cores), &free_cores) != 0)
    pthread_setaffinity_np(pthread_self(), sizeof(all), &all);
}

void SimController::ServiceLoop() {
  LeaveEnvironmentCores();
  bool env_seen = spdk_env_is_initialized();
  uint32_t idle = 0;
  for (uint32_t loops = 0; !stop_.load(std::memory_order_relaxed); ++loops) {
    if (!env_seen && (loops & 0xFFF) == 0 && spdk_env_is_initialized()) {
      // The environment started after this thread: move off the cores it just took.
      env_seen = true;
      LeaveEnvironmentCores();
    }
    if (api_waiting_.load(std::memory_order_relaxed) || held_.load(std::memory_order_relaxed)) {
      std::this_thread::yield();
      continue;
    }
    bool busy;
    bool serving;
    kyt_env_test_clock_pacer_pass(clock_pacer_);  // what follows looks at everything the host did until now
    {
      std::lock_guard<std::mutex> lock(mu_);
      busy = Step();
      passes_.fetch_add(1, std::memory_order_release);
      serving = presence_ == Presence::kOnBus && engine_ == Engine::kReady;
    }
    if (busy) {
      idle = 0;
    } else if (config_.zero_latency && serving) {
      CpuRelax();
    } else if (++idle > 256) {
      // Back off while idle: quick to answer a host that is busy, cheap for one that is not.
      const uint32_t us = !serving ? 500 : idle < 256 + 100 ? 10 : 100;
      std::this_thread::sleep_for(std::chrono::microseconds(us));
    }
  }
}

bool SimController::Step() {
  if (presence_ != Presence::kOnBus) {
    // A removed function that answers all ones drops whatever the host writes.
    if (all_ones_ && (++step_count_ & 15) == 0) std::memset(bar_, 0xFF, bar0_size_);
    return false;
  }
  now_ = spdk_get_ticks();
  PollRegisters(now_);
  if (engine_ != Engine::kReady || (csts_ & csts::kCfs) || live_sqs_.empty()) return false;
  if (!pci_->bus_master()) return false;  // no DMA without bus mastering
  bool busy = PollDoorbells();
  memory_.Revalidate();
  busy |= ServiceTimers(now_);
  busy |= FetchCommands();
  return busy;
}

void SimController::ApplySqTail(Sq& sq, uint32_t value) {
  ++sq.doorbell_updates;
  if (value >= sq.size) {
    ++counters_.invalid_doorbells;
    RaiseEvent(aen::kTypeError, aen::kErrorInvalidDoorbellValue, log_page::kErrorInformation);
    return;
  }
  sq.tail = value;
}

bool SimController::ApplyCqHead(Cq& cq, uint32_t value) {
  ++cq.doorbell_updates;
  const uint32_t posted = (cq.tail + cq.size - cq.head) % cq.size;
  const uint32_t consumed = (value + cq.size - cq.head) % cq.size;
  if (value >= cq.size || consumed > posted) {
    ++counters_.invalid_doorbells;
    RaiseEvent(aen::kTypeError, aen::kErrorInvalidDoorbellValue, log_page::kErrorInformation);
    return false;
  }
  cq.head = value;
  if (cq.backlog) FlushBacklog(cq);
  return true;
}

// A register write of a shadowed queue is seen as a change from this value, which no host writes: the controller
// sets the register to it whenever it goes back to listening, so that the host's next write is seen whatever value it
// carries.
constexpr uint32_t kUnrungRegister = UINT32_MAX;

// Without a doorbell buffer (and always for the admin queue) the doorbell value is the register's. With one, a
// register write only tells the controller to read the queue's shadow entry, which holds the value; it then reads the
// entry on every pass until the entry stops changing, publishes the value as the event index (the host writes the
// register again at its next change) and listens to the register again. A change the host made meanwhile without
// writing the register is seen by the look after the event index went out, and followed.
bool SimController::NewDoorbellValue(uint16_t qid, bool completion, DoorbellSeen& seen, uint32_t* value) {
  volatile uint32_t* reg = Doorbell(qid, completion);
  const uint32_t v = *reg;
  const bool shadowed = shadow_ && qid != 0;
  if (v != seen.last_register) {
    seen.last_register = v;
    if (!shadowed) {
      *value = v;
      return true;
    }
    seen.following = true;
  }
  if (!seen.following) return false;
  volatile uint32_t* entry = Shadow(shadow_, qid, completion);
  const uint32_t s = *entry;
  if (s != seen.last_shadow) {
    seen.last_shadow = *value = s;
    return true;
  }
  *reg = seen.last_register = kUnrungRegister;
  *Shadow(eventidx_, qid, completion) = s;
  std::atomic_thread_fence(std::memory_order_seq_cst);
  seen.following = *entry != s;
  return false;
}

// With a doorbell buffer the controller reads a created queue's shadow entry at once (it may read the buffer at any
// time): an entry that says other than `value` (0 for a new queue) is a doorbell write, followed like one. It writes
// no event index before it has followed the entry: what the entries held for an earlier queue of the same id is the
// host's to clear before it creates the queue. A queue that was there before the doorbell buffer waits for the
// register.
void SimController::StartDoorbell(uint16_t qid, bool completion, DoorbellSeen& seen, uint32_t value, bool created) {
  const bool shadowed = shadow_ != nullptr;
  seen = DoorbellSeen{};
  seen.last_shadow = value;
  *Doorbell(qid, completion) = seen.last_register = shadowed ? kUnrungRegister : 0;
  seen.following = shadowed && created && *Shadow(shadow_, qid, completion) != value;
}

bool SimController::PollDoorbells() {
  bool busy = false;
  uint32_t value;
  for (uint16_t qid : live_sqs_) {
    Sq& sq = sqs_[qid];
    if (NewDoorbellValue(qid, false, sq.doorbell, &value)) ApplySqTail(sq, value);
  }
  for (uint16_t qid : live_cqs_) {
    Cq& cq = cqs_[qid];
    if (NewDoorbellValue(qid, true, cq.doorbell, &value)) busy |= ApplyCqHead(cq, value);
  }
  // Doorbells come before the entries they announce.
  std::atomic_thread_fence(std::memory_order_acquire);
  return busy;
}

uint32_t SimController::FetchFrom(uint16_t qid, uint32_t limit) {
  Sq& sq = sqs_[qid];
  const uint64_t version = queue_version_;
  uint32_t fetched = 0;
  while (fetched < limit && sq.live && sq.head != sq.tail && held_free_) {  // room to hold one more completion
    // The host has just written the entries: start fetching a few ahead of the one served now.
    const uint32_t waiting = sq.tail >= sq.head ? sq.tail - sq.head : sq.tail + sq.size - sq.head;
    if (waiting > kFetchAhead) {
      const uint32_t ahead = sq.head + kFetchAhead;
      __builtin_prefetch(const_cast<const Command*>(&sq.ring[ahead < sq.size ? ahead : ahead - sq.size]));
    }
    Command cmd;
    std::memcpy(&cmd, const_cast<const Command*>(&sq.ring[sq.head]), sizeof(cmd));
    sq.head = sq.head + 1 == sq.size ? 0 : sq.head + 1;
    ++sq.fetched;
    ++counters_.commands;
    ++fetched;
    Execute(qid, cmd);
    if (queue_version_ != version) break;
  }
  if (batched_) PostBatch();
  return fetched;
}

bool SimController::FetchCommands() {
  // Arbitration: passes over the submission queues, each queue giving up to the arbitration burst per pass, until
  // the queues are empty or the step's budget is spent. Round robin treats every queue alike; weighted round robin
  // (CC.AMS 1) first drains the admin queue and the urgent queues (strict priority), then gives high, medium and low
  // priority queues (HPW+1), (MPW+1) and (LPW+1) bursts per pass.
  const uint32_t arb = features_.arbitration;
  const uint32_t burst = (arb & 7) == 7 ? UINT32_MAX : 1u << (arb & 7);
  const bool weighted = cc::Ams(cc_) == 1;
  const uint32_t weights[4] = {1, ((arb >> 24) & 0xFF) + 1, ((arb >> 16) & 0xFF) + 1, ((arb >> 8) & 0xFF) + 1};
  const uint32_t full = config_.zero_latency ? 1024 : 256;
  uint32_t budget = full;
  const size_t n = live_sqs_.size();
  const uint64_t version = queue_version_;
  auto pass = [&](bool strict_class) {
    uint32_t fetched = 0, serving = 0;
    uint16_t served = 0;
    for (size_t i = 0; i < n && budget && queue_version_ == version; ++i) {
      const uint16_t qid = live_sqs_[(rr_next_ + i) % n];
      const bool strict = qid == 0 || sqs_[qid].priority == 0;
      if (weighted && strict != strict_class) continue;
      uint32_t limit = burst;
      if (weighted && !strict && burst != UINT32_MAX) limit = burst * weights[sqs_[qid].priority];
      const uint32_t got = FetchFrom(qid, std::min(limit, budget));
      budget -= got;
      fetched += got;
      if (got) ++serving, served = qid;
    }
    if (serving == 1 && budget && queue_version_ == version) {
      // The other queues of the class are empty until the next step: the one queue with commands takes the rest
      // of the budget at once, as further passes would give it command by command.
      const uint32_t got = FetchFrom(served, budget);
      budget -= got;
      fetched += got;
    }
    return fetched;
  };
  if (weighted) {
    while (budget && queue_version_ == version && pass(true)) {
    }
  }
  while (budget && queue_version_ == version && pass(false)) {
  }
  // The queue list may have changed under us (a queue was created or deleted): the next step starts over.
  if (n && queue_version_ == version) rr_next_ = (rr_next_ + 1) % n;
  return budget != full;
}

void SimController::Execute(uint16_t sqid, const Command& cmd) {
  in_command_ = true;
  ExecuteAndComplete(sqid, cmd);
  in_command_ = false;
  if (aers_ && !events_.empty()) DeliverEvents();
}

void SimController::ExecuteAndComplete(uint16_t sqid, const Command& cmd) {
  if (log_.capacity()) log_.Append(sqid, cmd, now_);
  FaultRule rule;
  if (!faults_.empty() && faults_.Match(sqid, cmd, &rule)) {
    if (batched_) PostBatch();  // completions stay in execution order
    ++counters_.injected;
    if (rule.action == FaultRule::Action::kStatus) {
      RecordError(sqid, cmd, rule.status, 0);
      PostCompletion(sqid, cmd.cid(), rule.status, 0);
      return;
    }
    Result r = sqid == 0 ? ExecuteAdmin(cmd) : ExecuteIo(cmd);
    if (r.hold) return;  // an event request stays outstanding anyway
    if (!r.status.ok()) RecordError(sqid, cmd, r.status, r.lba);
    const bool duplicate = rule.action == FaultRule::Action::kDuplicate;
    // A duplicated completion is posted now; its copy goes later to whatever command holds the identifier then.
    if (duplicate) PostCompletion(sqid, cmd.cid(), r.status, r.cdw0);
    Held* h = AllocHeld();
    if (!h) {
      if (!duplicate) PostCompletion(sqid, cmd.cid(), r.status, r.cdw0);
      return;
    }
    h->command = cmd;
    h->sqid = sqid;
    h->status = r.status;
    h->cdw0 = r.cdw0;
    if (rule.action == FaultRule::Action::kDrop) {
      h->next = dropped_;
      dropped_ = h;
    } else {
      h->due = now_ + Ticks(rule.delay_us);
      Held** list = duplicate ? &duplicates_ : &delayed_;
      h->next = *list;
      *list = h;
    }
    return;
  }
  Result r = sqid == 0 ? ExecuteAdmin(cmd) : ExecuteIo(cmd);
  if (r.hold) return;
  if (!r.status.ok()) RecordError(sqid, cmd, r.status, r.lba);
  if (config_.zero_latency && sqid != 0) {
    // Zero-latency I/O completions of a burst are posted together (PostBatch): completion entries then reach the
    // host a cache line at a time rather than one by one while the host polls that very line. Only as many as the
    // completion queue has room for: a completion held back must not wait in a batch.
    const Cq& cq = cqs_[sqs_[sqid].cqid];
    const uint32_t used = cq.tail >= cq.head ? cq.tail - cq.head : cq.tail + cq.size - cq.head;
    if (cq.live && !cq.backlog && cq.size - 1 - used > batched_) {
      batch_[batched_++] = Batched{sqid, cmd.cid(), r.status, r.cdw0};
      if (batched_ == batch_.size()) PostBatch();
      return;
    }
    if (batched_) PostBatch();
  }
  PostCompletion(sqid, cmd.cid(), r.status, r.cdw0);
}

void SimController::PostBatch() {
  for (uint32_t i = 0; i < batched_; ++i) {
    const Batched& b = batch_[i];
    PostCompletion(b.sqid, b.cid, b.status, b.cdw0);
  }
  batched_ = 0;
}

SimController::Held* SimController::AllocHeld() {
  Held* h = held_free_;
  if (h) {
    held_free_ = h->next;
    h->next = nullptr;
  }
  return h;
}

void SimController::FreeHeld(Held* held) {
  held->next = held_free_;
  held_free_ = held;
}

bool SimController::WriteCqEntry(Cq& cq, uint16_t sqid, uint16_t cid, const Status& status, uint32_t cdw0) {
  const uint32_t next = cq.tail + 1 == cq.size ? 0 : cq.tail + 1;
  if (next == cq.head) return false;
  volatile uint64_t* d = reinterpret_cast<volatile uint64_t*>(&cq.ring[cq.tail]);
  d[0] = cdw0;  // DW1 is reserved
  // DW2 (SQ head, SQ identifier) and DW3 (command identifier, status, phase tag): the phase tag makes the entry
  // visible, so this half is written last.
  std::atomic_thread_fence(std::memory_order_release);
  d[1] = (uint32_t(sqs_[sqid].head) | uint32_t(sqid) << 16) |
         uint64_t(uint32_t(cid) | uint32_t((status.field() << 1) | (cq.phase ? 1 : 0)) << 16) << 32;
  cq.tail = next;
  if (next == 0) cq.phase = !cq.phase;
  ++cq.posted;
  ++counters_.completions;
  return true;
}

void SimController::PostCompletion(uint16_t sqid, uint16_t cid, const Status& status, uint32_t cdw0) {
  Cq& cq = cqs_[sqs_[sqid].cqid];
  if (!cq.live) return;
  if (!cq.backlog && WriteCqEntry(cq, sqid, cid, status, cdw0)) return;
  // The completion queue is full: hold the completion until the host frees room.
  Held* h = AllocHeld();
  if (!h) {
    ++counters_.lost_completions;
    Log("completion lost: no room to hold it");
    return;
  }
  h->command.cdw0 = uint32_t(cid) << 16;
  h->sqid = sqid;
  h->status = status;
  h->cdw0 = cdw0;
  if (cq.backlog_tail) {
    cq.backlog_tail->next = h;
  } else {
    cq.backlog_head = h;
  }
  cq.backlog_tail = h;
  ++cq.backlog;
}

void SimController::FlushBacklog(Cq& cq) {
  while (cq.backlog_head) {
    Held* h = cq.backlog_head;
    if (!WriteCqEntry(cq, h->sqid, h->command.cid(), h->status, h->cdw0)) break;
    cq.backlog_head = h->next;
    if (!cq.backlog_head) cq.backlog_tail = nullptr;
    --cq.backlog;
    FreeHeld(h);
  }
}

bool SimController::ServiceTimers(uint64_t now) {
  bool busy = false;
  for (Held** list : {&delayed_, &duplicates_}) {
    for (Held** link = list; *link;) {
      Held* h = *link;
      if (now >= h->due) {
        *link = h->next;
        PostCompletion(h->sqid, h->command.cid(), h->status, h->cdw0);
        FreeHeld(h);
        busy = true;
      } else {
        link = &h->next;
      }
    }
  }
  if (format_cmd_ && now >= format_due_) {
    Held* h = format_cmd_;
    format_cmd_ = nullptr;
    formatting_nsid_ = 0;
    PostCompletion(0, h->command.cid(), h->status, 0);
    FreeHeld(h);
    busy = true;
  }
  if (features_.keep_alive_ms && keep_alive_deadline_ && now > keep_alive_deadline_) {
    Log("fatal: keep alive timer expired");
    keep_alive_deadline_ = 0;
    csts_ |= csts::kCfs;
    fatal_clear_on_reset_ = true;
    WriteCsts();
  }
  return busy;
}

void SimController::RecordError(uint16_t sqid, const Command& cmd, const Status& status, uint64_t lba) {
  ErrorEntry e{};
  e.count = ++error_count_;
  e.sqid = sqid;
  e.cid = cmd.cid();
  e.status = static_cast<uint16_t>(status.field() << 1);
  e.location = 0xFFFF;
  e.lba = lba;
  e.nsid = cmd.nsid;
  if (errors_.size() == 64) errors_.erase(errors_.begin());
  errors_.push_back(e);
}

// ---------------------------------------------------------------------------------------------------------------
// Asynchronous events

void SimController::RaiseEvent(uint8_t type, uint8_t info, uint8_t log_page) {
  for (const Event& e : events_)
    if (e.type == type && e.info == info) return;
  events_.push_back(Event{type, info, log_page});
  if (!in_command_) DeliverEvents();
}

void SimController::DeliverEvents() {
  while (aers_) {
    auto it = std::find_if(events_.begin(), events_.end(),
                           [this](const Event& e) { return !(masked_events_ >> e.type & 1); });
    if (it == events_.end()) return;
    Held* h = aers_;
    aers_ = h->next;
    --aer_count_;
    masked_events_ |= static_cast<uint8_t>(1u << it->type);
    PostCompletion(0, h->command.cid(), Status::Success(),
                   uint32_t(it->type) | uint32_t(it->info) << 8 | uint32_t(it->log_page) << 16);
    FreeHeld(h);
    events_.erase(it);
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Control and observation

void SimController::InjectFault(const FaultRule& rule) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  faults_.Add(rule);
}

bool SimController::PostStrayCompletion(uint16_t qid, uint16_t cid, const Status& status) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  if (qid >= sqs_.size() || !sqs_[qid].live) return false;
  if (batched_) PostBatch();
  ++counters_.injected;
  PostCompletion(qid, cid, status, 0);
  return true;
}

void SimController::ClearFaults() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  faults_.Clear();
}

size_t SimController::pending_faults() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  return faults_.size();
}

bool SimController::CorruptBlock(uint32_t nsid, uint64_t lba, uint32_t offset, uint8_t mask) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  SimNamespace* ns = FindNamespace(nsid);
  if (!ns || lba >= ns->size() || offset >= ns->block_bytes()) return false;
  return ns->store().Corrupt(lba, offset, mask);
}

void SimController::SetFatal(bool fatal, bool clear_on_reset) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  if (fatal) {
    csts_ |= csts::kCfs;
    fatal_clear_on_reset_ = clear_on_reset;
  } else {
    csts_ &= ~csts::kCfs;
  }
  if (presence_ == Presence::kOnBus) WriteCsts();
}

void SimController::SetReadyStuck(bool stuck, uint64_t for_us) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  rdy_stuck_ = stuck;
  rdy_stuck_until_ = stuck && for_us ? spdk_get_ticks() + Ticks(for_us) : 0;
}

void SimController::ForceReady(bool ready) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  rdy_stuck_ = true;
  rdy_stuck_until_ = 0;
  if (ready) {
    csts_ |= csts::kRdy;
  } else {
    csts_ &= ~csts::kRdy;
    if (engine_ == Engine::kReady) {
      // Not ready while enabled: it becomes ready again once released.
      engine_ = Engine::kEnabling;
      rdy_due_ = 0;
    }
  }
  if (presence_ == Presence::kOnBus) WriteCsts();
}

void SimController::SetCriticalWarning(uint8_t bits) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  const uint8_t raised = static_cast<uint8_t>(bits & ~critical_warning_);
  critical_warning_ = bits;
  if (raised && (features_.async_event_config & raised) && engine_ == Engine::kReady) {
    for (uint8_t bit = 0; bit < 8; ++bit)
      if (raised & features_.async_event_config & (1u << bit)) {
        RaiseEvent(aen::kTypeSmart, bit == 1 ? 1 : (bit == 0 ? 2 : 0), log_page::kSmartHealth);
        break;
      }
  }
}

bool SimController::MarkUncorrectable(uint32_t nsid, uint64_t lba, uint64_t count) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  SimNamespace* ns = FindNamespace(nsid);
  if (!ns || lba >= ns->size() || ns->size() - lba < count) return false;
  ns->MarkUncorrectable(lba, count);
  return true;
}

bool SimController::ReadBlock(uint32_t nsid, uint64_t lba, std::vector<uint8_t>* block) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  SimNamespace* ns = FindNamespace(nsid);
  if (!ns || lba >= ns->size()) return false;
  block->resize(ns->block_bytes());
  ns->store().Read(lba, block->data());
  return true;
}

bool SimController::WriteBlock(uint32_t nsid, uint64_t lba, const std::vector<uint8_t>& block) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  SimNamespace* ns = FindNamespace(nsid);
  if (!ns || lba >= ns->size() || block.size() != ns->block_bytes()) return false;
  ns->store().Write(lba, block.data());
  ns->ClearUncorrectable(lba, 1);
  return true;
}

SimController::NamespaceInfo SimController::Info(const SimNamespace& ns) {
  return NamespaceInfo{ns.nsid(),         ns.attached(),     ns.size(),
                       ns.data_size(),    ns.metadata_size(), ns.extended(),
                       ns.format_index(), ns.store().allocated_blocks(), ns.pi_type(),
                       ns.pi_first()};
}

bool SimController::GetNamespace(uint32_t nsid, NamespaceInfo* info) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  SimNamespace* ns = FindNamespace(nsid);
  if (!ns) return false;
  *info = Info(*ns);
  return true;
}

std::vector<SimController::NamespaceInfo> SimController::Namespaces() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  std::vector<NamespaceInfo> out;
  for (const auto& ns : namespaces_)
    out.push_back(Info(*ns));
  return out;
}

std::vector<LoggedCommand> SimController::CommandLogSnapshot() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  return log_.Snapshot();
}

uint64_t SimController::CommandLogTotal() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  return log_.total();
}

void SimController::ClearCommandLog() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  log_.Clear();
}

std::vector<SimController::QueueState> SimController::Queues() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  std::vector<QueueState> out;
  for (uint16_t qid : live_cqs_) {
    const Cq& cq = cqs_[qid];
    out.push_back(QueueState{qid, false, cq.size, static_cast<uint16_t>(cq.head), static_cast<uint16_t>(cq.tail), 0,
                             cq.phase, cq.base, cq.doorbell_updates, cq.posted, cq.backlog});
  }
  for (uint16_t qid : live_sqs_) {
    const Sq& sq = sqs_[qid];
    out.push_back(QueueState{qid, true, sq.size, static_cast<uint16_t>(sq.head), static_cast<uint16_t>(sq.tail),
                             sq.cqid, false, sq.base, sq.doorbell_updates, sq.fetched, 0});
  }
  return out;
}

SimController::Counters SimController::counters() {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  return counters_;
}

uint32_t SimController::ReadRegister32(uint32_t offset) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  if (!bar_ || offset + 4 > bar0_size_) return 0xFFFFFFFFu;
  return *Reg32(offset);
}

uint64_t SimController::ReadRegister64(uint32_t offset) {
  std::unique_lock<std::mutex> lock;
  Lock(&lock);
  if (!bar_ || offset + 8 > bar0_size_) return ~uint64_t(0);
  return *Reg32(offset) | uint64_t(*Reg32(offset + 4)) << 32;
}

}  // namespace kyt::sim
