// Admin command set of the simulated controller.
#include <algorithm>
#include <cstring>

#include "kyt_sim/sim_controller.h"
#include "spdk/env.h"

namespace kyt::sim {

namespace {

void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void Put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
uint64_t Get64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
void PutText(uint8_t* p, const std::string& text, size_t width) {
  std::memset(p, ' ', width);
  std::memcpy(p, text.data(), std::min(width, text.size()));
}

Status Generic(uint8_t code) { return Status::Of(sct::kGeneric, code); }
Status Specific(uint8_t code) { return Status::Of(sct::kCommandSpecific, code); }

constexpr uint8_t kOacs = 0x0A;  // Format NVM, Namespace Management and Attachment
constexpr uint16_t kOncs = 0x0F;  // Compare, Write Uncorrectable, Dataset Management, Write Zeroes
constexpr uint32_t kOaes = 1u << 8;  // namespace attribute notices
constexpr uint32_t kCtratt = 1u << 0;  // 128-bit host identifier
constexpr uint8_t kErrorLogEntries = 64;

}  // namespace

SimNamespace* SimController::FindNamespace(uint32_t nsid) {
  for (auto& ns : namespaces_)
    if (ns->nsid() == nsid) return ns.get();
  return nullptr;
}

uint64_t SimController::AllocatedCapacity() const {
  uint64_t sum = 0;
  for (const auto& ns : namespaces_) sum += ns->capacity_bytes();
  return sum;
}

Status SimController::ToHost(const Command& cmd, const void* data, uint32_t len) {
  Status st = data_.Build(cmd.prp1, cmd.prp2, len, page_size(), memory_);
  if (!st.ok()) return st;
  data_.ToHost(data, len);
  return st;
}

Status SimController::FromHost(const Command& cmd, void* data, uint32_t len) {
  Status st = data_.Build(cmd.prp1, cmd.prp2, len, page_size(), memory_);
  if (!st.ok()) return st;
  data_.FromHost(data, len);
  return st;
}

SimController::Result SimController::ExecuteAdmin(const Command& cmd) {
  if (cmd.fuse() != 0 || cmd.psdt() != 0) return Result{Generic(sc::kInvalidField)};
  switch (cmd.opcode()) {
    case admin_opc::kDeleteIoSq: return DeleteIoSq(cmd);
    case admin_opc::kCreateIoSq: return CreateIoSq(cmd);
    case admin_opc::kGetLogPage: return GetLogPage(cmd);
    case admin_opc::kDeleteIoCq: return DeleteIoCq(cmd);
    case admin_opc::kCreateIoCq: return CreateIoCq(cmd);
    case admin_opc::kIdentify: return Identify(cmd);
    case admin_opc::kAbort: return Abort(cmd);
    case admin_opc::kSetFeatures: return SetFeatures(cmd);
    case admin_opc::kGetFeatures: return GetFeatures(cmd);
    case admin_opc::kAsyncEventRequest: return AsyncEventRequest(cmd);
    case admin_opc::kNamespaceManagement: return NamespaceManagement(cmd);
    case admin_opc::kNamespaceAttachment: return NamespaceAttachment(cmd);
    case admin_opc::kKeepAlive: return KeepAlive(cmd);
    case admin_opc::kFormatNvm: return FormatNvm(cmd);
    case admin_opc::kDoorbellBufferConfig:
      if (!config_.doorbell_buffer) return Result{Generic(sc::kInvalidOpcode)};
      return DoorbellBufferConfig(cmd);
    default: return Result{Generic(sc::kInvalidOpcode)};
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Queues

SimController::Result SimController::CreateIoCq(const Command& cmd) {
  const uint16_t qid = cmd.cdw10 & 0xFFFF;
  const uint32_t size = (cmd.cdw10 >> 16) + 1;
  const bool contiguous = cmd.cdw11 & 1;
  const bool interrupts = cmd.cdw11 & 2;
  const uint16_t vector = cmd.cdw11 >> 16;
  if (qid == 0 || qid > uint32_t(features_.cq_allocated) + 1 || qid >= cqs_.size() || cqs_[qid].live)
    return Result{Specific(cssc::kInvalidQueueIdentifier)};
  if (size < 2 || size > uint32_t(config_.mqes) + 1) return Result{Specific(cssc::kInvalidQueueSize)};
  if (!contiguous) return Result{Generic(sc::kInvalidField)};  // CAP.CQR: queues must be contiguous
  if (interrupts && vector != 0) return Result{Specific(cssc::kInvalidInterruptVector)};
  if (cc::Iocqes(cc_) != 4) return Result{Generic(sc::kInvalidField)};
  if (cmd.prp1 & (page_size() - 1)) return Result{Generic(sc::kInvalidPrpOffset)};
  auto* ring = static_cast<Completion*>(memory_.Translate(cmd.prp1, uint64_t(size) * sizeof(Completion)));
  if (!ring) return Result{Generic(sc::kDataTransferError)};
  Cq& cq = cqs_[qid];
  cq = Cq{};
  cq.live = true;
  cq.size = size;
  cq.base = cmd.prp1;
  cq.ring = ring;
  cq.interrupts = interrupts;
  cq.vector = vector;
  StartDoorbell(qid, true, cq.doorbell, 0, true);
  live_cqs_.push_back(qid);
  ++queue_version_;
  return Result{};
}

SimController::Result SimController::CreateIoSq(const Command& cmd) {
  const uint16_t qid = cmd.cdw10 & 0xFFFF;
  const uint32_t size = (cmd.cdw10 >> 16) + 1;
  const bool contiguous = cmd.cdw11 & 1;
  const uint8_t priority = (cmd.cdw11 >> 1) & 3;
  const uint16_t cqid = cmd.cdw11 >> 16;
  if (qid == 0 || qid > uint32_t(features_.sq_allocated) + 1 || qid >= sqs_.size() || sqs_[qid].live)
    return Result{Specific(cssc::kInvalidQueueIdentifier)};
  if (cqid == 0 || cqid >= cqs_.size() || !cqs_[cqid].live) return Result{Specific(cssc::kCompletionQueueInvalid)};
  if (size < 2 || size > uint32_t(config_.mqes) + 1) return Result{Specific(cssc::kInvalidQueueSize)};
  if (!contiguous) return Result{Generic(sc::kInvalidField)};
  if (cc::Iosqes(cc_) != 6) return Result{Generic(sc::kInvalidField)};
  if (cmd.prp1 & (page_size() - 1)) return Result{Generic(sc::kInvalidPrpOffset)};
  auto* ring = static_cast<Command*>(memory_.Translate(cmd.prp1, uint64_t(size) * sizeof(Command)));
  if (!ring) return Result{Generic(sc::kDataTransferError)};
  Sq& sq = sqs_[qid];
  sq = Sq{};
  sq.live = true;
  sq.size = size;
  sq.cqid = cqid;
  sq.priority = priority;
  sq.base = cmd.prp1;
  sq.ring = ring;
  StartDoorbell(qid, false, sq.doorbell, 0, true);
  ++cqs_[cqid].sq_count;
  live_sqs_.push_back(qid);
  ++queue_version_;
  return Result{};
}

SimController::Result SimController::DeleteIoSq(const Command& cmd) {
  const uint16_t qid = cmd.cdw10 & 0xFFFF;
  if (qid == 0 || qid >= sqs_.size() || !sqs_[qid].live) return Result{Specific(cssc::kInvalidQueueIdentifier)};
  Sq& sq = sqs_[qid];
  const Status aborted = Status::Of(sct::kGeneric, sc::kAbortedSqDeletion, false);
  // Commands the controller holds: aborted.
  for (Held** list : {&delayed_, &dropped_}) {
    for (Held** link = list; *link;) {
      Held* h = *link;
      if (h->sqid == qid) {
        *link = h->next;
        PostCompletion(qid, h->command.cid(), aborted, 0);
        FreeHeld(h);
      } else {
        link = &h->next;
      }
    }
  }
  // Commands submitted but not fetched yet: aborted too.
  while (sq.head != sq.tail) {
    Command pending;
    std::memcpy(&pending, const_cast<const Command*>(&sq.ring[sq.head]), sizeof(pending));
    sq.head = sq.head + 1 == sq.size ? 0 : sq.head + 1;
    PostCompletion(qid, pending.cid(), aborted, 0);
  }
  // Second copies of completions already posted go with the queue.
  for (Held** link = &duplicates_; *link;) {
    Held* h = *link;
    if (h->sqid == qid) {
      *link = h->next;
      FreeHeld(h);
    } else {
      link = &h->next;
    }
  }
  --cqs_[sq.cqid].sq_count;
  sq = Sq{};
  *Doorbell(qid, false) = 0;
  live_sqs_.erase(std::find(live_sqs_.begin(), live_sqs_.end(), qid));
  ++queue_version_;
  return Result{};
}

SimController::Result SimController::DeleteIoCq(const Command& cmd) {
  const uint16_t qid = cmd.cdw10 & 0xFFFF;
  if (qid == 0 || qid >= cqs_.size() || !cqs_[qid].live) return Result{Specific(cssc::kInvalidQueueIdentifier)};
  Cq& cq = cqs_[qid];
  if (cq.sq_count) return Result{Specific(cssc::kInvalidQueueDeletion)};
  while (cq.backlog_head) {
    Held* h = cq.backlog_head;
    cq.backlog_head = h->next;
    FreeHeld(h);
  }
  cq = Cq{};
  *Doorbell(qid, true) = 0;
  live_cqs_.erase(std::find(live_cqs_.begin(), live_cqs_.end(), qid));
  ++queue_version_;
  return Result{};
}

// ---------------------------------------------------------------------------------------------------------------
// Identify

void SimController::FillIdentifyController(uint8_t* out) {
  std::memset(out, 0, 4096);
  Put16(out + 0, config_.vendor_id);                 // VID
  Put16(out + 2, config_.subsystem_vendor_id);       // SSVID
  PutText(out + 4, serial_, 20);                     // SN
  PutText(out + 24, config_.model, 40);              // MN
  PutText(out + 64, config_.firmware, 8);            // FR
  out[72] = 6;                                       // RAB
  out[73] = 0x1d; out[74] = 0x1d; out[75] = 0x00;    // IEEE OUI
  out[76] = 0;                                       // CMIC: one port, one controller
  out[77] = config_.mdts;                            // MDTS
  Put16(out + 78, config_.cntlid);                   // CNTLID
  Put32(out + 80, config_.version);                  // VER
  Put32(out + 84, 1000000);                          // RTD3R: 1 s
  Put32(out + 88, 1000000);                          // RTD3E: 1 s
  Put32(out + 92, kOaes);                            // OAES
  Put32(out + 96, kCtratt);                          // CTRATT
  out[111] = 1;                                      // CNTRLTYPE: I/O controller
  Put16(out + 256, kOacs | (config_.doorbell_buffer ? 0x100 : 0));  // OACS
  out[258] = config_.acl;                            // ACL
  out[259] = config_.aerl;                           // AERL
  out[260] = 0x03;                                   // FRMW: one slot, slot 1 read only
  out[261] = 0x04;                                   // LPA: extended data for Get Log Page
  out[262] = kErrorLogEntries - 1;                   // ELPE
  out[263] = 0;                                      // NPSS: one power state
  Put16(out + 266, 343);                             // WCTEMP: 70 C
  Put16(out + 268, 358);                             // CCTEMP: 85 C
  Put64(out + 280, total_capacity_);                 // TNVMCAP (low 8 of 16 bytes)
  Put64(out + 296, total_capacity_ - AllocatedCapacity());  // UNVMCAP
  Put16(out + 320, config_.kas);                     // KAS
  out[512] = 0x66;                                   // SQES: 64 bytes
  out[513] = 0x44;                                   // CQES: 16 bytes
  Put32(out + 516, config_.max_namespaces);          // NN
  Put16(out + 520, kOncs);                           // ONCS
  out[524] = 0;                                      // FNA: formats per namespace, no crypto erase
  out[525] = config_.volatile_write_cache ? 0x07 : 0x00;  // VWC: present, Flush of all namespaces supported
  Put32(out + 536, 0);                               // SGLS: not supported
  std::string nqn = "nqn.2019-08.dev.kyt:sim:" + serial_;
  std::memcpy(out + 768, nqn.data(), std::min<size_t>(nqn.size(), 255));  // SUBNQN
  // Power state 0: 25 W, operational.
  Put16(out + 2048, 2500);
}

SimController::Result SimController::Identify(const Command& cmd) {
  const uint8_t cns = cmd.cdw10 & 0xFF;
  const uint16_t cntid = cmd.cdw10 >> 16;
  const uint32_t nsid = cmd.nsid;
  const uint32_t nn = config_.max_namespaces;
  uint8_t* out = page_.data();
  std::memset(out, 0, 4096);
  auto invalid_ns = Result{Generic(sc::kInvalidNamespaceOrFormat)};
  switch (cns) {
    case 0x00:  // namespace data of an active NSID (zeros for an inactive one), or common capabilities
    case 0x11: {  // namespace data of an allocated NSID
      if (nsid == kBroadcastNsid) {
        if (cns == 0x11) return invalid_ns;
        out[25] = static_cast<uint8_t>(kLbaFormats.size() - 1);
        out[27] = 0x03;
        out[28] = 0x1F;
        out[33] = 0x09;
        for (size_t i = 0; i < kLbaFormats.size(); ++i) {
          Put16(out + 128 + 4 * i, kLbaFormats[i].metadata_size);
          out[128 + 4 * i + 2] = kLbaFormats[i].data_size == 4096 ? 12 : 9;
        }
        break;
      }
      if (nsid == 0 || nsid > nn) return invalid_ns;
      SimNamespace* ns = FindNamespace(nsid);
      if (ns && (cns == 0x11 || ns->attached())) {
        int remaining = -1;
        if (format_cmd_ && (formatting_nsid_ == nsid || formatting_nsid_ == kBroadcastNsid)) {
          const uint64_t span = std::max<uint64_t>(1, format_due_ - format_start_);
          const uint64_t left = format_due_ > now_ ? format_due_ - now_ : 0;
          remaining = static_cast<int>(std::min<uint64_t>(100, (left * 100 + span - 1) / span));
        }
        ns->FillIdentify(out, remaining);
      }
      break;
    }
    case 0x01:
      FillIdentifyController(out);
      break;
    case 0x02:  // active namespace list
    case 0x10: {  // allocated namespace list
      if (nsid >= 0xFFFFFFFEu) return invalid_ns;
      uint32_t n = 0;
      for (const auto& ns : namespaces_) {
        if (ns->nsid() <= nsid || (cns == 0x02 && !ns->attached())) continue;
        if (n == 1024) break;
        Put32(out + 4 * n++, ns->nsid());
      }
      break;
    }
    case 0x03: {  // namespace identification descriptors
      SimNamespace* ns = FindNamespace(nsid);
      if (!ns || !ns->attached()) return invalid_ns;
      ns->FillDescriptors(out);
      break;
    }
    case 0x12: {  // controllers attached to a namespace
      if (nsid == 0 || nsid > nn) return invalid_ns;
      SimNamespace* ns = FindNamespace(nsid);
      if (ns && ns->attached() && config_.cntlid >= cntid) {
        Put16(out, 1);
        Put16(out + 2, config_.cntlid);
      }
      break;
    }
    case 0x13:  // controllers in the subsystem
      if (config_.cntlid >= cntid) {
        Put16(out, 1);
        Put16(out + 2, config_.cntlid);
      }
      break;
    default:
      return Result{Generic(sc::kInvalidField)};
  }
  return Result{ToHost(cmd, out, 4096)};
}

// ---------------------------------------------------------------------------------------------------------------
// Log pages

void SimController::FillSmartLog(uint8_t* out) {
  std::memset(out, 0, 512);
  out[0] = critical_warning_;
  Put16(out + 1, 313);  // composite temperature: 40 C
  out[3] = 100;         // available spare
  out[4] = 10;          // available spare threshold
  out[5] = 0;           // percentage used
  auto put128 = [out](size_t offset, uint64_t v) { Put64(out + offset, v); };
  put128(32, (data_units_read_ + 999) / 1000);
  put128(48, (data_units_written_ + 999) / 1000);
  put128(64, host_reads_);
  put128(80, host_writes_);
  put128(112, counters_.power_cycles);
  const uint64_t hz = spdk_get_ticks_hz();
  put128(128, hz ? (now_ - created_tick_) / hz / 3600 : 0);
  put128(144, counters_.unsafe_shutdowns);
  put128(160, media_errors_);
  put128(176, error_count_);
  Put16(out + 200, 313);  // temperature sensor 1
}

SimController::Result SimController::GetLogPage(const Command& cmd) {
  const uint8_t lid = cmd.cdw10 & 0xFF;
  const bool retain = cmd.cdw10 & (1u << 15);
  const uint64_t dwords = ((uint64_t(cmd.cdw11 & 0xFFFF) << 16) | (cmd.cdw10 >> 16)) + 1;
  const uint64_t offset = uint64_t(cmd.cdw12) | uint64_t(cmd.cdw13) << 32;
  if (offset & 3) return Result{Generic(sc::kInvalidField)};
  std::vector<uint8_t> log;
  uint8_t event_type = 0xFF;
  switch (lid) {
    case log_page::kErrorInformation: {
      log.assign(size_t(kErrorLogEntries) * 64, 0);
      size_t i = 0;
      for (auto it = errors_.rbegin(); it != errors_.rend(); ++it, ++i) {  // newest first
        uint8_t* e = log.data() + i * 64;
        Put64(e + 0, it->count);
        Put16(e + 8, it->sqid);
        Put16(e + 10, it->cid);
        Put16(e + 12, it->status);
        Put16(e + 14, it->location);
        Put64(e + 16, it->lba);
        Put32(e + 24, it->nsid);
      }
      event_type = aen::kTypeError;
      break;
    }
    case log_page::kSmartHealth:
      if (cmd.nsid != 0 && cmd.nsid != kBroadcastNsid) return Result{Generic(sc::kInvalidField)};
      log.assign(512, 0);
      FillSmartLog(log.data());
      event_type = aen::kTypeSmart;
      break;
    case log_page::kFirmwareSlot:
      log.assign(512, 0);
      log[0] = 0x01;  // active slot 1
      PutText(log.data() + 8, config_.firmware, 8);
      break;
    case log_page::kChangedNamespaceList:
      log.assign(4096, 0);
      if (changed_namespaces_.size() > 1024) {
        Put32(log.data(), 0xFFFFFFFFu);
      } else {
        for (size_t i = 0; i < changed_namespaces_.size(); ++i) Put32(log.data() + 4 * i, changed_namespaces_[i]);
      }
      if (!retain) changed_namespaces_.clear();
      event_type = aen::kTypeNotice;
      break;
    default:
      return Result{Specific(cssc::kInvalidLogPage)};
  }
  if (offset > log.size()) return Result{Generic(sc::kInvalidField)};
  const uint64_t length = dwords * 4;
  Status st = data_.Build(cmd.prp1, cmd.prp2, length, page_size(), memory_);
  if (!st.ok()) return Result{st};
  const uint64_t avail = std::min<uint64_t>(length, log.size() - offset);
  data_.ToHost(log.data() + offset, avail);
  data_.ZeroToHost(length - avail);
  if (!retain && event_type != 0xFF) masked_events_ &= static_cast<uint8_t>(~(1u << event_type));
  return Result{};
}

// ---------------------------------------------------------------------------------------------------------------
// Features

SimController::Result SimController::SetFeatures(const Command& cmd) {
  const uint8_t fid = cmd.cdw10 & 0xFF;
  if (cmd.cdw10 >> 31) return Result{Specific(cssc::kFeatureNotSaveable)};
  const uint32_t v = cmd.cdw11;
  Result r;
  switch (fid) {
    case feature::kArbitration:
      features_.arbitration = v;
      break;
    case feature::kPowerManagement:
      if ((v & 0x1F) != 0) return Result{Generic(sc::kInvalidField)};  // power state 0 only
      features_.power_management = v & 0xFF;
      break;
    case feature::kTemperatureThreshold: {
      const uint32_t sel = (v >> 16) & 0xF, kind = (v >> 20) & 0x3;
      if (kind > 1 || (sel != 0 && sel != 0xF)) return Result{Generic(sc::kInvalidField)};
      (kind == 0 ? features_.over_temp : features_.under_temp)[0] = v & 0xFFFF;
      break;
    }
    case feature::kErrorRecovery:
      if (v & (1u << 16)) return Result{Generic(sc::kInvalidField)};  // DULBE needs deallocated-block errors
      features_.error_recovery = v & 0xFFFF;
      break;
    case feature::kVolatileWriteCache:
      if (!config_.volatile_write_cache) return Result{Generic(sc::kInvalidField)};
      features_.write_cache = v & 1;
      break;
    case feature::kNumberOfQueues: {
      if (live_sqs_.size() > 1 || live_cqs_.size() > 1) return Result{Generic(sc::kCommandSequenceError)};
      const uint32_t nsqr = v & 0xFFFF, ncqr = v >> 16;
      if (nsqr == 0xFFFF || ncqr == 0xFFFF) return Result{Generic(sc::kInvalidField)};
      features_.sq_allocated = static_cast<uint16_t>(std::min<uint32_t>(nsqr, config_.io_queues - 1u));
      features_.cq_allocated = static_cast<uint16_t>(std::min<uint32_t>(ncqr, config_.io_queues - 1u));
      features_.queues_set = true;
      r.cdw0 = features_.sq_allocated | uint32_t(features_.cq_allocated) << 16;
      break;
    }
    case feature::kInterruptCoalescing:
      features_.interrupt_coalescing = v & 0xFFFF;
      break;
    case feature::kInterruptVectorConfig:
      if ((v & 0xFFFF) != 0) return Result{Generic(sc::kInvalidField)};
      features_.interrupt_vector_config = v & 0x1FFFF;
      break;
    case feature::kWriteAtomicity:
      features_.write_atomicity = v & 1;
      break;
    case feature::kAsyncEventConfig:
      features_.async_event_config = v & (0xFFu | kOaes);
      break;
    case feature::kKeepAliveTimer: {
      if (config_.kas == 0) return Result{Generic(sc::kInvalidField)};
      const uint32_t unit = uint32_t(config_.kas) * 100;
      features_.keep_alive_ms = (v + unit - 1) / unit * unit;
      keep_alive_deadline_ = features_.keep_alive_ms ? now_ + Ticks(uint64_t(features_.keep_alive_ms) * 1000) : 0;
      break;
    }
    case feature::kHostIdentifier: {
      if (!(v & 1)) return Result{Generic(sc::kInvalidField)};  // only the 128-bit identifier
      std::array<uint8_t, 16> id{};
      Status st = FromHost(cmd, id.data(), 16);
      if (!st.ok()) return Result{st};
      features_.host_id = id;
      break;
    }
    default:
      return Result{Generic(sc::kInvalidField)};
  }
  return r;
}

SimController::Result SimController::GetFeatures(const Command& cmd) {
  const uint8_t fid = cmd.cdw10 & 0xFF;
  const uint32_t sel = (cmd.cdw10 >> 8) & 0x7;
  if (sel > 3) return Result{Generic(sc::kInvalidField)};
  const Features defaults = DefaultFeatures();
  const Features& f = sel == 0 ? features_ : defaults;
  Result r;
  switch (fid) {
    case feature::kArbitration: r.cdw0 = f.arbitration; break;
    case feature::kPowerManagement: r.cdw0 = f.power_management; break;
    case feature::kTemperatureThreshold: {
      const uint32_t tsel = (cmd.cdw11 >> 16) & 0xF, kind = (cmd.cdw11 >> 20) & 0x3;
      if (kind > 1 || tsel != 0) return Result{Generic(sc::kInvalidField)};
      r.cdw0 = (kind == 0 ? f.over_temp : f.under_temp)[0];
      break;
    }
    case feature::kErrorRecovery: r.cdw0 = f.error_recovery; break;
    case feature::kVolatileWriteCache:
      if (!config_.volatile_write_cache) return Result{Generic(sc::kInvalidField)};
      r.cdw0 = f.write_cache ? 1 : 0;
      break;
    case feature::kNumberOfQueues: r.cdw0 = f.sq_allocated | uint32_t(f.cq_allocated) << 16; break;
    case feature::kInterruptCoalescing: r.cdw0 = f.interrupt_coalescing; break;
    case feature::kInterruptVectorConfig:
      if ((cmd.cdw11 & 0xFFFF) != 0) return Result{Generic(sc::kInvalidField)};
      r.cdw0 = f.interrupt_vector_config;
      break;
    case feature::kWriteAtomicity: r.cdw0 = f.write_atomicity; break;
    case feature::kAsyncEventConfig: r.cdw0 = f.async_event_config; break;
    case feature::kKeepAliveTimer:
      if (config_.kas == 0) return Result{Generic(sc::kInvalidField)};
      r.cdw0 = f.keep_alive_ms;
      break;
    case feature::kHostIdentifier: {
      if (!(cmd.cdw11 & 1)) return Result{Generic(sc::kInvalidField)};
      if (sel == 3) break;
      Status st = ToHost(cmd, f.host_id.data(), 16);
      if (!st.ok()) return Result{st};
      break;
    }
    default:
      return Result{Generic(sc::kInvalidField)};
  }
  if (sel == 3) r.cdw0 = 0x4;  // changeable, not saveable, not namespace specific
  return r;
}

// ---------------------------------------------------------------------------------------------------------------
// Events, abort, keep alive

SimController::Result SimController::AsyncEventRequest(const Command& cmd) {
  if (aer_count_ >= uint32_t(config_.aerl) + 1) return Result{Specific(cssc::kAerLimitExceeded)};
  Held* h = AllocHeld();
  if (!h) return Result{Generic(sc::kInternalError)};
  h->command = cmd;
  h->sqid = 0;
  Held** link = &aers_;
  while (*link) link = &(*link)->next;
  *link = h;
  ++aer_count_;
  DeliverEvents();
  Result r;
  r.hold = true;
  return r;
}

SimController::Result SimController::Abort(const Command& cmd) {
  const uint16_t sqid = cmd.cdw10 & 0xFFFF;
  const uint16_t cid = cmd.cdw10 >> 16;
  const Status aborted = Status::Of(sct::kGeneric, sc::kAbortRequested, false);
  for (Held** list : {&delayed_, &dropped_, &aers_}) {
    for (Held** link = list; *link; link = &(*link)->next) {
      Held* h = *link;
      if (h->sqid != sqid || h->command.cid() != cid) continue;
      *link = h->next;
      if (list == &aers_) --aer_count_;
      PostCompletion(sqid, cid, aborted, 0);
      FreeHeld(h);
      Result r;
      r.cdw0 = 0;  // aborted
      return r;
    }
  }
  Result r;
  r.cdw0 = 1;  // not aborted
  return r;
}

SimController::Result SimController::DoorbellBufferConfig(const Command& cmd) {
  const uint64_t mask = page_size() - 1;
  if ((cmd.prp1 & mask) || (cmd.prp2 & mask) || !cmd.prp1 || !cmd.prp2) return Result{Generic(sc::kInvalidField)};
  auto* shadow = static_cast<volatile uint32_t*>(memory_.Translate(cmd.prp1, page_size()));
  auto* eventidx = static_cast<volatile uint32_t*>(memory_.Translate(cmd.prp2, page_size()));
  if (!shadow || !eventidx) return Result{Generic(sc::kDataTransferError)};
  shadow_ = shadow;
  eventidx_ = eventidx;
  // I/O queues that exist already continue from their current positions (the admin queue keeps its registers).
  for (uint16_t qid : live_sqs_) {
    if (qid != 0) StartDoorbell(qid, false, sqs_[qid].doorbell, sqs_[qid].tail, false);
  }
  for (uint16_t qid : live_cqs_) {
    if (qid != 0) StartDoorbell(qid, true, cqs_[qid].doorbell, cqs_[qid].head, false);
  }
  return Result{};
}

SimController::Result SimController::KeepAlive(const Command&) {
  if (config_.kas == 0) return Result{Generic(sc::kInvalidOpcode)};
  keep_alive_deadline_ = features_.keep_alive_ms ? now_ + Ticks(uint64_t(features_.keep_alive_ms) * 1000) : 0;
  return Result{};
}

// ---------------------------------------------------------------------------------------------------------------
// Namespace management and format

SimController::Result SimController::NamespaceManagement(const Command& cmd) {
  const uint32_t sel = cmd.cdw10 & 0xF;
  if (sel == 0) {  // create
    uint8_t* data = page_.data();
    Status st = FromHost(cmd, data, 4096);
    if (!st.ok()) return Result{st};
    const uint64_t nsze = Get64(data + 0), ncap = Get64(data + 8);
    const uint8_t flbas = data[26], dps = data[29], nmic = data[30];
    if (!SimNamespace::ValidFormat(flbas & 0xF) || !SimNamespace::ValidProtection(flbas & 0xF, dps & 7) || (dps & 0xF0))
      return Result{Specific(cssc::kInvalidFormat)};
    if (nmic & 1) return Result{Generic(sc::kInvalidField)};  // no shared namespaces
    if (nsze == 0 || ncap == 0 || ncap > nsze) return Result{Generic(sc::kInvalidField)};
    const uint64_t block = kLbaFormats[flbas & 0xF].data_size;
    if (ncap > (total_capacity_ - AllocatedCapacity()) / block)
      return Result{Specific(cssc::kNamespaceInsufficientCapacity)};
    uint32_t nsid = 1;
    for (const auto& ns : namespaces_) {
      if (ns->nsid() != nsid) break;
      ++nsid;
    }
    if (nsid > config_.max_namespaces) return Result{Specific(cssc::kNamespaceIdUnavailable)};
    NamespaceConfig nc;
    nc.nsid = nsid;
    nc.blocks = nsze;
    nc.lba_format = flbas & 0xF;
    nc.extended_lba = flbas & 0x10;
    nc.pi_type = dps & 7;
    nc.pi_first = dps & 8;
    nc.active = false;
    std::array<uint8_t, 16> uuid{};
    const uint64_t hi = spdk_get_ticks() * 0x9E3779B97F4A7C15ull ^ nsid, lo = hi * 0xBF58476D1CE4E5B9ull + nsid;
    std::memcpy(uuid.data(), &hi, 8);
    std::memcpy(uuid.data() + 8, &lo, 8);
    uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x40);
    uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);
    auto ns = std::make_unique<SimNamespace>(nc, uuid, config_.store_first_8_bytes);
    ns->set_capacity(ncap);
    namespaces_.push_back(std::move(ns));
    std::sort(namespaces_.begin(), namespaces_.end(),
              [](const auto& x, const auto& y) { return x->nsid() < y->nsid(); });
    Result r;
    r.cdw0 = nsid;
    return r;
  }
  if (sel == 1) {  // delete
    const uint32_t nsid = cmd.nsid;
    bool changed = false;
    if (nsid == kBroadcastNsid) {
      for (const auto& ns : namespaces_)
        if (ns->attached()) changed_namespaces_.push_back(ns->nsid()), changed = true;
      namespaces_.clear();
    } else {
      auto it = std::find_if(namespaces_.begin(), namespaces_.end(),
                             [nsid](const auto& ns) { return ns->nsid() == nsid; });
      if (nsid == 0 || it == namespaces_.end()) return Result{Generic(sc::kInvalidNamespaceOrFormat)};
      if ((*it)->attached()) changed_namespaces_.push_back(nsid), changed = true;
      namespaces_.erase(it);
    }
    if (changed && (features_.async_event_config & kOaes))
      RaiseEvent(aen::kTypeNotice, aen::kNoticeNamespaceAttributeChanged, log_page::kChangedNamespaceList);
    return Result{};
  }
  return Result{Generic(sc::kInvalidField)};
}

SimController::Result SimController::NamespaceAttachment(const Command& cmd) {
  const uint32_t sel = cmd.cdw10 & 0xF;
  if (sel > 1) return Result{Generic(sc::kInvalidField)};
  SimNamespace* ns = FindNamespace(cmd.nsid);
  if (cmd.nsid == 0 || cmd.nsid == kBroadcastNsid || !ns) return Result{Generic(sc::kInvalidNamespaceOrFormat)};
  uint8_t* data = page_.data();
  Status st = FromHost(cmd, data, 4096);
  if (!st.ok()) return Result{st};
  uint16_t count;
  std::memcpy(&count, data, 2);
  if (count == 0 || count > 2047) return Result{Specific(cssc::kControllerListInvalid)};
  bool ours = false;
  for (uint16_t i = 0; i < count; ++i) {
    uint16_t id;
    std::memcpy(&id, data + 2 + 2 * i, 2);
    if (id != config_.cntlid) return Result{Specific(cssc::kControllerListInvalid)};
    ours = true;
  }
  if (!ours) return Result{Specific(cssc::kControllerListInvalid)};
  if (sel == 0) {
    if (ns->attached()) return Result{Specific(cssc::kNamespaceAlreadyAttached)};
    ns->set_attached(true);
  } else {
    if (!ns->attached()) return Result{Specific(cssc::kNamespaceNotAttached)};
    ns->set_attached(false);
  }
  changed_namespaces_.push_back(ns->nsid());
  if (features_.async_event_config & kOaes)
    RaiseEvent(aen::kTypeNotice, aen::kNoticeNamespaceAttributeChanged, log_page::kChangedNamespaceList);
  return Result{};
}

SimController::Result SimController::FormatNvm(const Command& cmd) {
  const uint8_t lbaf = cmd.cdw10 & 0xF;
  const bool mset = cmd.cdw10 & 0x10;
  const uint8_t pi = (cmd.cdw10 >> 5) & 0x7;
  const uint8_t ses = (cmd.cdw10 >> 9) & 0x7;
  std::vector<SimNamespace*> targets;
  if (cmd.nsid == kBroadcastNsid) {
    for (auto& ns : namespaces_)
      if (ns->attached()) targets.push_back(ns.get());
  } else {
    SimNamespace* ns = FindNamespace(cmd.nsid);
    if (!ns || !ns->attached()) return Result{Generic(sc::kInvalidNamespaceOrFormat)};
    targets.push_back(ns);
  }
  const bool pil = cmd.cdw10 & (1u << 8);
  if (!SimNamespace::ValidFormat(lbaf) || !SimNamespace::ValidProtection(lbaf, pi))
    return Result{Specific(cssc::kInvalidFormat)};
  if (ses > 1) return Result{Generic(sc::kInvalidField)};  // no cryptographic erase
  if (format_cmd_) return Result{Generic(sc::kCommandSequenceError)};
  for (SimNamespace* ns : targets) ns->Format(lbaf, mset, pi, pil);
  if (config_.format_delay_us == 0) return Result{};
  Held* h = AllocHeld();
  if (!h) return Result{};
  h->command = cmd;
  h->sqid = 0;
  h->status = Status::Success();
  format_cmd_ = h;
  formatting_nsid_ = cmd.nsid;
  format_start_ = now_;
  format_due_ = now_ + Ticks(config_.format_delay_us);
  Result r;
  r.hold = true;
  return r;
}

}  // namespace kyt::sim
