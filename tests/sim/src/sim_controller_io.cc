// NVM command set of the simulated controller.
#include <algorithm>
#include <cstring>

#include "kyt_sim/sim_controller.h"

namespace kyt::sim {

namespace {
Status Generic(uint8_t code, bool dnr = true) { return Status::Of(sct::kGeneric, code, dnr); }
}  // namespace

SimController::Result SimController::ExecuteIo(const Command& cmd) {
  if (cmd.fuse() != 0 || cmd.psdt() != 0) return Result{Generic(sc::kInvalidField)};
  const uint8_t opc = cmd.opcode();
  if (opc != io_opc::kFlush && opc != io_opc::kWrite && opc != io_opc::kRead && opc != io_opc::kCompare &&
      opc != io_opc::kWriteZeroes && opc != io_opc::kDatasetManagement)
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
    default: return DatasetManagement(cmd, *ns);
  }
}

// Range check, transfer size limit and the data (and separate metadata) pointers of a block transfer.
Status SimController::MapBlocks(const Command& cmd, SimNamespace& ns, uint64_t slba, uint32_t nlb, bool* separate_md) {
  if (slba >= ns.size() || ns.size() - slba < nlb) return Generic(sc::kLbaOutOfRange);
  const uint32_t ms = ns.metadata_size();
  *separate_md = ms && !ns.extended();
  const uint64_t bytes = uint64_t(nlb) * (ns.data_size() + (ns.extended() ? ms : 0));
  if (config_.mdts && bytes > (uint64_t(1) << config_.mdts) * (uint64_t(1) << (12 + config_.mpsmin)))
    return Generic(sc::kInvalidField);
  Status st = data_.Build(cmd.prp1, cmd.prp2, bytes, page_size(), translate_);
  if (!st.ok()) return st;
  if (*separate_md) return meta_.BuildContiguous(cmd.mptr, uint64_t(nlb) * ms, translate_);
  return st;
}

SimController::Result SimController::ReadWrite(const Command& cmd, SimNamespace& ns, bool write) {
  const uint64_t slba = cmd.cdw10 | uint64_t(cmd.cdw11) << 32;
  const uint32_t nlb = (cmd.cdw12 & 0xFFFF) + 1;
  bool separate_md;
  Status st = MapBlocks(cmd, ns, slba, nlb, &separate_md);
  if (!st.ok()) return Result{st};
  const uint32_t ds = ns.data_size(), ms = ns.metadata_size();
  DataPointer& md = separate_md ? meta_ : data_;
  BlockStore& store = ns.store();
  uint8_t* bounce = bounce_.data();
  if (store.first_8_only()) {
    for (uint32_t i = 0; i < nlb; ++i) {
      if (write) {
        data_.FromHost(bounce, 8);
        data_.Skip(ds - 8);
        md.Skip(ms);
        store.Write(slba + i, bounce);
      } else {
        const uint8_t* block = store.Find(slba + i);
        if (block) {
          data_.ToHost(block, 8);
          data_.ZeroToHost(ds - 8);
        } else {
          data_.ZeroToHost(ds);
        }
        md.ZeroToHost(ms);
      }
    }
  } else {
    for (uint32_t i = 0; i < nlb; ++i) {
      if (write) {
        data_.FromHost(bounce, ds);
        md.FromHost(bounce + ds, ms);
        store.Write(slba + i, bounce);
      } else {
        const uint8_t* block = store.Find(slba + i);
        if (block) {
          data_.ToHost(block, ds);
          md.ToHost(block + ds, ms);
        } else {
          data_.ZeroToHost(ds);
          md.ZeroToHost(ms);
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
  bool separate_md;
  Status st = MapBlocks(cmd, ns, slba, nlb, &separate_md);
  if (!st.ok()) return Result{st};
  const uint32_t ds = ns.data_size(), ms = ns.metadata_size();
  DataPointer& md = separate_md ? meta_ : data_;
  uint8_t* host = bounce_.data();
  uint8_t* stored = bounce_.data() + bounce_.size() / 2;
  bool equal = true;
  for (uint32_t i = 0; i < nlb; ++i) {
    data_.FromHost(host, ds);
    md.FromHost(host + ds, ms);
    ns.store().Read(slba + i, stored);
    if (std::memcmp(host, stored, ds + ms) != 0) {
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
  ++host_writes_;
  return Result{};
}

SimController::Result SimController::DatasetManagement(const Command& cmd, SimNamespace& ns) {
  const uint32_t nr = (cmd.cdw10 & 0xFF) + 1;
  const bool deallocate = cmd.cdw11 & (1u << 2);
  uint8_t* ranges = page_.data();
  Status st = data_.Build(cmd.prp1, cmd.prp2, uint64_t(nr) * 16, page_size(), translate_);
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
    }
  }
  return Result{};
}

}  // namespace kyt::sim
