// NVM command set of the simulated controller.
#include <algorithm>
#include <cstring>

#include "kyt_sim/protection_info.h"
#include "kyt_sim/sim_controller.h"

namespace kyt::sim {

namespace {
Status Generic(uint8_t code, bool dnr = true) { return Status::Of(sct::kGeneric, code, dnr); }
}  // namespace

SimController::Result SimController::ExecuteIo(const Command& cmd) {
  if (cmd.fuse() != 0 || cmd.psdt() != 0) return Result{Generic(sc::kInvalidField)};
  const uint8_t opc = cmd.opcode();
  if (opc != io_opc::kFlush && opc != io_opc::kWrite && opc != io_opc::kRead && opc != io_opc::kCompare &&
      opc != io_opc::kWriteZeroes && opc != io_opc::kDatasetManagement && opc != io_opc::kWriteUncorrectable)
    return Result{Generic(sc::kInvalidOpcode)};
  if (opc == io_opc::kFlush && cmd.nsid == kBroadcastNsid && config_.volatile_write_cache) return Result{};
  SimNamespace* ns = FindNamespace(cmd.nsid);
  if (!ns || !ns->attached()) return Result{Generic(sc::kInvalidNamespaceOrFormat)};
  if (format_cmd_ && (formatting_nsid_ == cmd.nsid || formatting_nsid_ == kBroadcastNsid))
    return Result{Generic(sc::kFormatInProgress, false)};
  switch (opc) {
    case io_opc::kFlush: return Result{};
    case io_opc::kWrite: return ReadWrite(cmd, *ns, true);
    case io_opc::kRead: return ReadWrite(cmd, *ns, false);
    case io_opc::kCompare: return Compare(cmd, *ns);
    case io_opc::kWriteZeroes: return WriteZeroes(cmd, *ns);
    case io_opc::kWriteUncorrectable: return WriteUncorrectable(cmd, *ns);
    default: return DatasetManagement(cmd, *ns);
  }
}

// Range check, transfer size limit and the data (and separate metadata) pointers of a block transfer. `strip`: the
// metadata is not transferred (protection information only, inserted or stripped by the controller).
Status SimController::MapBlocks(const Command& cmd, SimNamespace& ns, uint64_t slba, uint32_t nlb, bool strip,
                                bool* separate_md) {
  if (slba >= ns.size() || ns.size() - slba < nlb) return Generic(sc::kLbaOutOfRange);
  const uint32_t ms = strip ? 0 : ns.metadata_size();
  *separate_md = ms && !ns.extended();
  const uint64_t bytes = uint64_t(nlb) * (ns.data_size() + (ns.extended() ? ms : 0));
  if (config_.mdts && bytes > (uint64_t(1) << config_.mdts) * (uint64_t(1) << (12 + config_.mpsmin)))
    return Generic(sc::kInvalidField);
  Status st = data_.Build(cmd.prp1, cmd.prp2, bytes, page_size(), memory_);
  if (!st.ok()) return st;
  if (*separate_md) return meta_.BuildContiguous(cmd.mptr, uint64_t(nlb) * ms, memory_);
  return st;
}

SimController::Result SimController::ReadWrite(const Command& cmd, SimNamespace& ns, bool write) {
  const uint64_t slba = cmd.cdw10 | uint64_t(cmd.cdw11) << 32;
  const uint32_t nlb = (cmd.cdw12 & 0xFFFF) + 1;
  BlockStore& store = ns.store();
  const ProtectionInfo pi(store.first_8_only() ? 0 : ns.pi_type(), cmd);
  const uint32_t ds = ns.data_size(), ms = ns.metadata_size();
  const bool strip = pi.pract() && ms == 8;
  bool separate_md;
  Status st = MapBlocks(cmd, ns, slba, nlb, strip, &separate_md);
  if (!st.ok()) return Result{st};
  if (!pi.RefTagValid(slba)) return Result{Status::Of(sct::kCommandSpecific, cssc::kInvalidProtectionInfo)};
  uint64_t bad;
  if (!write && ns.FindUncorrectable(slba, nlb, &bad)) {
    ++media_errors_;
    Result r{Status::Of(sct::kMediaError, mesc::kUnrecoveredReadError)};
    r.lba = bad;
    return r;
  }
  if (write) ns.ClearUncorrectable(slba, nlb);
  DataPointer& md = separate_md ? meta_ : data_;
  const uint32_t md_moved = strip ? 0 : ms;  // metadata bytes that cross the bus per block
  uint8_t* bounce = bounce_.data();
  auto failed = [&](const Status& s, uint32_t i) {
    Result r{s};
    r.lba = slba + i;
    return r;
  };
  if (store.first_8_only()) {
    // Only the first 8 bytes of each block's data are the drive's: they alone are stored and moved; the rest of the
    // host's buffer, data and metadata, is left as it is.
    const uint32_t stride = ds + (separate_md ? 0 : md_moved);
    if (uint8_t* host = data_.Take(uint64_t(nlb) * stride)) {
      // The usual case: the blocks lie in one piece of host memory.
      if (write) {
        store.WriteHeads(slba, nlb, host, stride);
      } else {
        store.ReadHeads(slba, nlb, host, stride);
      }
    } else {
      for (uint32_t i = 0; i < nlb; ++i) {
        if (write) {
          data_.FromHost(bounce, 8);
          store.WriteHeads(slba + i, 1, bounce, 8);
        } else {
          store.ReadHeads(slba + i, 1, bounce, 8);
          data_.ToHost(bounce, 8);
        }
        data_.Skip(stride - 8);
      }
    }
  } else {
    const uint32_t tuple_at = ds + (pi.enabled() ? ns.pi_offset() : 0);
    for (uint32_t i = 0; i < nlb; ++i) {
      if (write) {
        data_.FromHost(bounce, ds);
        if (strip) {
          std::memset(bounce + ds, 0, ms);
        } else {
          md.FromHost(bounce + ds, ms);
        }
        if (pi.pract()) {
          pi.Generate(bounce, ds, i, bounce + tuple_at);
        } else if (pi.prchk()) {
          st = pi.Check(bounce, ds, i, bounce + tuple_at);
          if (!st.ok()) return failed(st, i);
        }
        store.Write(slba + i, bounce);
      } else {
        const uint8_t* block = store.Find(slba + i);
        if (pi.enabled()) {
          if (!block) {
            // Unwritten blocks of a protected namespace: zeros with a tuple of all ones, which is never checked.
            std::memset(bounce, 0, ds + ms);
            std::memset(bounce + tuple_at, 0xFF, 8);
            block = bounce;
          }
          if (pi.prchk()) {
            st = pi.Check(block, ds, i, block + tuple_at);
            if (!st.ok()) return failed(st, i);
          }
        }
        if (block) {
          data_.ToHost(block, ds);
          md.ToHost(block + ds, md_moved);
        } else {
          data_.ZeroToHost(ds);
          md.ZeroToHost(md_moved);
        }
      }
    }
  }
  const uint64_t units = uint64_t(nlb) * ds / 512;
  if (write) {
    data_units_written_ += units;
    ++host_writes_;
  } else {
    data_units_read_ += units;
    ++host_reads_;
  }
  return Result{};
}

SimController::Result SimController::Compare(const Command& cmd, SimNamespace& ns) {
  const uint64_t slba = cmd.cdw10 | uint64_t(cmd.cdw11) << 32;
  const uint32_t nlb = (cmd.cdw12 & 0xFFFF) + 1;
  const ProtectionInfo pi(ns.store().first_8_only() ? 0 : ns.pi_type(), cmd);
  const bool strip = pi.pract() && ns.metadata_size() == 8;
  bool separate_md;
  Status st = MapBlocks(cmd, ns, slba, nlb, strip, &separate_md);
  if (!st.ok()) return Result{st};
  uint64_t bad;
  if (ns.FindUncorrectable(slba, nlb, &bad)) {
    ++media_errors_;
    Result r{Status::Of(sct::kMediaError, mesc::kUnrecoveredReadError)};
    r.lba = bad;
    return r;
  }
  const uint32_t ds = ns.data_size(), ms = strip ? 0 : ns.metadata_size();
  DataPointer& md = separate_md ? meta_ : data_;
  uint8_t* host = bounce_.data();
  uint8_t* stored = bounce_.data() + bounce_.size() / 2;
  bool equal = true;
  for (uint32_t i = 0; i < nlb; ++i) {
    data_.FromHost(host, ds);
    md.FromHost(host + ds, ms);
    ns.store().Read(slba + i, stored);
    if (std::memcmp(host, stored, ns.store().first_8_only() ? 8 : ds + ms) != 0) {
      equal = false;
      break;
    }
  }
  ++host_reads_;
  if (!equal) return Result{Status::Of(sct::kMediaError, mesc::kCompareFailure)};
  return Result{};
}

SimController::Result SimController::WriteZeroes(const Command& cmd, SimNamespace& ns) {
  const uint64_t slba = cmd.cdw10 | uint64_t(cmd.cdw11) << 32;
  const uint32_t nlb = (cmd.cdw12 & 0xFFFF) + 1;
  if (slba >= ns.size() || ns.size() - slba < nlb) return Result{Generic(sc::kLbaOutOfRange)};
  // Zeroed blocks and deallocated blocks read the same here, so both forget the blocks.
  ns.store().Deallocate(slba, nlb);
  ns.ClearUncorrectable(slba, nlb);
  ++host_writes_;
  return Result{};
}

SimController::Result SimController::WriteUncorrectable(const Command& cmd, SimNamespace& ns) {
  const uint64_t slba = cmd.cdw10 | uint64_t(cmd.cdw11) << 32;
  const uint32_t nlb = (cmd.cdw12 & 0xFFFF) + 1;
  if (slba >= ns.size() || ns.size() - slba < nlb) return Result{Generic(sc::kLbaOutOfRange)};
  ns.MarkUncorrectable(slba, nlb);
  return Result{};
}

SimController::Result SimController::DatasetManagement(const Command& cmd, SimNamespace& ns) {
  const uint32_t nr = (cmd.cdw10 & 0xFF) + 1;
  const bool deallocate = cmd.cdw11 & (1u << 2);
  uint8_t* ranges = page_.data();
  Status st = data_.Build(cmd.prp1, cmd.prp2, uint64_t(nr) * 16, page_size(), memory_);
  if (!st.ok()) return Result{st};
  data_.FromHost(ranges, uint64_t(nr) * 16);
  for (uint32_t i = 0; i < nr; ++i) {
    uint32_t length;
    uint64_t slba;
    std::memcpy(&length, ranges + 16 * i + 4, 4);
    std::memcpy(&slba, ranges + 16 * i + 8, 8);
    if (slba > ns.size() || ns.size() - slba < length) return Result{Generic(sc::kLbaOutOfRange)};
  }
  if (deallocate) {
    for (uint32_t i = 0; i < nr; ++i) {
      uint32_t length;
      uint64_t slba;
      std::memcpy(&length, ranges + 16 * i + 4, 4);
      std::memcpy(&slba, ranges + 16 * i + 8, 8);
      ns.store().Deallocate(slba, length);
      ns.ClearUncorrectable(slba, length);
    }
  }
  return Result{};
}

}  // namespace kyt::sim
