// The driver on a real NVMe controller (QEMU's, in the VM bench, with a controller memory buffer): attach by address
// from whatever state firmware left the controller in, Identify, references and detach, then data through I/O queue
// pairs: one page to the largest transfer (PRP1, PRP2, PRP lists), scattered payloads (SGL or PRPs), the CMB, delayed
// doorbells, and a device error passed through unchanged.
//
// Usage: kyt_nvme_vm PCI-ADDRESS. Prints one line per check and "N passed, M failed"; exits 0 only when all passed.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "nvme_internal.h"

namespace {

int g_passed = 0, g_failed = 0;
spdk_nvme_ctrlr* g_ctrlr;
spdk_nvme_transport_id g_trid;

void Check(bool ok, const std::string& what)
{
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
  std::fflush(stdout);
  (ok ? g_passed : g_failed)++;
}

int Finish()
{
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  std::fflush(stdout);
  return g_failed == 0 && g_passed > 0 ? 0 : 1;
}

struct Done {
  bool done = false;
  spdk_nvme_cpl cpl{};
  static void Cb(void* arg, const spdk_nvme_cpl* cpl)
  {
    static_cast<Done*>(arg)->cpl = *cpl;
    static_cast<Done*>(arg)->done = true;
  }
};

bool Wait(spdk_nvme_qpair* q, Done& d)
{
  uint64_t end = spdk_get_ticks() + 10 * spdk_get_ticks_hz();
  while (!d.done && spdk_get_ticks() < end && spdk_nvme_qpair_process_completions(q, 0) >= 0) {
  }
  return d.done;
}

// Probe with the device layer's settings; the attached controller, nullptr when none.
spdk_nvme_ctrlr* Probe(int* rc)
{
  spdk_nvme_ctrlr* ctrlr = nullptr;
  *rc = spdk_nvme_probe(
      &g_trid, &ctrlr,
      [](void*, const spdk_nvme_transport_id*, spdk_nvme_ctrlr_opts* opts) {
        opts->io_queue_size = 65536;
        opts->override_cap_to = 60000;
        return true;
      },
      [](void* ctx, const spdk_nvme_transport_id*, spdk_nvme_ctrlr* c, const spdk_nvme_ctrlr_opts*) {
        *static_cast<spdk_nvme_ctrlr**>(ctx) = c;
      },
      nullptr);
  return ctrlr;
}

bool Io(spdk_nvme_qpair* q, uint8_t opc, uint64_t lba, void* buf, uint32_t len, uint32_t bs, Done* d)
{
  spdk_nvme_cmd cmd{};
  cmd.opc = opc;
  cmd.nsid = 1;
  cmd.cdw10 = (uint32_t)lba;
  cmd.cdw11 = (uint32_t)(lba >> 32);
  cmd.cdw12 = len / bs - 1;
  return spdk_nvme_ctrlr_cmd_io_raw(g_ctrlr, q, &cmd, buf, len, &Done::Cb, d) == 0 && Wait(q, *d);
}

// Write `len` bytes from `src` at `lba`, read them back into `dst`, compare.
bool RoundTrip(spdk_nvme_qpair* q, uint32_t bs, uint64_t lba, uint8_t* src, uint8_t* dst, uint32_t len, uint8_t seed)
{
  for (uint32_t i = 0; i < len; i++) src[i] = (uint8_t)(i * 13 + seed);
  memset(dst, 0, len);
  Done w, r;
  return Io(q, SPDK_NVME_OPC_WRITE, lba, src, len, bs, &w) && !spdk_nvme_cpl_is_error(&w.cpl) &&
         Io(q, SPDK_NVME_OPC_READ, lba, dst, len, bs, &r) && !spdk_nvme_cpl_is_error(&r.cpl) &&
         memcmp(src, dst, len) == 0;
}

struct Sgl {
  std::vector<std::pair<void*, uint32_t>> elems;
  size_t next = 0;
  static void Reset(void* arg, uint32_t) { static_cast<Sgl*>(arg)->next = 0; }
  static int Next(void* arg, void** addr, uint32_t* len)
  {
    auto* s = static_cast<Sgl*>(arg);
    if (s->next >= s->elems.size()) return -1;
    *addr = s->elems[s->next].first;
    *len = s->elems[s->next++].second;
    return 0;
  }
};

void DataChecks(spdk_nvme_qpair* q, const std::string& l, uint32_t bs, uint8_t* src, uint8_t* dst)
{
  uint32_t max = spdk_nvme_ctrlr_get_max_xfer_size(g_ctrlr);
  Check(RoundTrip(q, bs, 0, src, dst, bs, 1), l + ": one block (PRP1 only)");
  Check(RoundTrip(q, bs, 8, src + 512, dst + 512, 4096, 2), l + ": 4 KiB from 512 bytes into a page (PRP2)");
  Check(RoundTrip(q, bs, 64, src, dst, 3 * 4096, 3), l + ": three pages (PRP list)");
  Check(RoundTrip(q, bs, 1024, src, dst, max, 4), l + ": the largest transfer, " + std::to_string(max) + " bytes");

  // Scattered write, contiguous read.
  Sgl sgl;
  sgl.elems = {{src + 4096, 1024}, {src + 5120, 3072}, {src + 40960, 8192}};
  for (uint32_t i = 0; i < 12288; i++) src[4096 + (i < 4096 ? i : 40960 - 4096 + (i - 4096))] = (uint8_t)(i * 7 + 5);
  nvme_payload payload{};
  payload.reset_sgl_fn = &Sgl::Reset;
  payload.next_sge_fn = &Sgl::Next;
  payload.contig_or_cb_arg = &sgl;
  Done w, r;
  nvme_request* req = nvme_allocate_request(q, &payload, 12288, &Done::Cb, &w);
  req->cmd.opc = SPDK_NVME_OPC_WRITE;
  req->cmd.nsid = 1;
  req->cmd.cdw10 = 4096;
  req->cmd.cdw12 = 12288 / bs - 1;
  bool ok = nvme_qpair_submit_request(q, req) == 0 && Wait(q, w) && !spdk_nvme_cpl_is_error(&w.cpl) &&
            Io(q, SPDK_NVME_OPC_READ, 4096, dst, 12288, bs, &r) && !spdk_nvme_cpl_is_error(&r.cpl) &&
            memcmp(dst, src + 4096, 4096) == 0 && memcmp(dst + 4096, src + 40960, 8192) == 0;
  bool sgl_hw = spdk_nvme_ctrlr_get_flags(g_ctrlr) & SPDK_NVME_CTRLR_SGL_SUPPORTED;
  Check(ok, l + ": scattered payload (" + (sgl_hw ? "SGL" : "PRP") + ")");

  // Over PRPs (SGL support set aside), an element followed by another must end on a page boundary: such a payload
  // is refused before submission and the blocks keep their data.
  const uint64_t flags = g_ctrlr->flags;
  g_ctrlr->flags &= ~(uint64_t)SPDK_NVME_CTRLR_SGL_SUPPORTED;
  sgl.elems = {{src + 4096, 1024}, {src + 8192, 4096}};
  memset(src + 4096, 0x5A, 8192);
  Done before, refused, after;
  ok = Io(q, SPDK_NVME_OPC_READ, 4096, dst, 8192, bs, &before);
  req = nvme_allocate_request(q, &payload, 5120, &Done::Cb, &refused);
  req->cmd.opc = SPDK_NVME_OPC_WRITE;
  req->cmd.nsid = 1;
  req->cmd.cdw10 = 4096;
  req->cmd.cdw12 = 5120 / bs - 1;
  ok = ok && nvme_qpair_submit_request(q, req) == -EINVAL && refused.done &&
       refused.cpl.status.sc == SPDK_NVME_SC_INVALID_FIELD && Io(q, SPDK_NVME_OPC_READ, 4096, dst + 8192, 8192, bs, &after) &&
       memcmp(dst, dst + 8192, 8192) == 0;
  g_ctrlr->flags = flags;
  Check(ok, l + ": PRP element ending inside a page refused");

  Done e;
  uint64_t end = spdk_nvme_ns_get_num_sectors(spdk_nvme_ctrlr_get_ns(g_ctrlr, 1));
  Check(Io(q, SPDK_NVME_OPC_READ, end, dst, bs, bs, &e) && e.cpl.status.sct == SPDK_NVME_SCT_GENERIC &&
            e.cpl.status.sc == SPDK_NVME_SC_LBA_OUT_OF_RANGE,
        l + ": LBA out of range reported by the device");
}

void AttachChecks()
{
  spdk_nvme_ctrlr* ctrlr = g_ctrlr;
  Check(ctrlr->state == NVME_CTRLR_STATE_READY, "initialised to ready");
  Check((spdk_nvme_ctrlr_get_regs_csts(ctrlr) & 0x3) == 0x1, "CSTS.RDY 1, CFS 0");
  const spdk_nvme_ctrlr_data* cdata = spdk_nvme_ctrlr_get_data(ctrlr);
  char serial[21] = {};
  std::memcpy(serial, cdata->sn, 20);
  std::printf("vid %04x sn '%s' nn %u mdts %u vs %08x max_xfer %u io queues %u queue size %u\n", cdata->vid, serial,
              cdata->nn, cdata->mdts, spdk_nvme_ctrlr_get_regs_vs(ctrlr), spdk_nvme_ctrlr_get_max_xfer_size(ctrlr),
              ctrlr->opts.num_io_queues, ctrlr->opts.io_queue_size);
  Check(cdata->vid == 0x1b36 && std::strncmp(serial, "VMBENCH", 7) == 0, "Identify Controller: QEMU's vendor, serial");
  Check(ctrlr->opts.io_queue_size >= 2 && ctrlr->opts.io_queue_size <= 32768, "I/O queue size clamped");
  Check(ctrlr->opts.num_io_queues >= 1 && ctrlr->free_io_qids != nullptr, "I/O queues allocated");
  Check(ctrlr->num_aers >= 1, "asynchronous event requests outstanding");
  spdk_nvme_ns* ns = spdk_nvme_ctrlr_get_ns(ctrlr, spdk_nvme_ctrlr_get_first_active_ns(ctrlr));
  Check(ns != nullptr && ns->id == 1 && spdk_nvme_ns_is_active(ns) && spdk_nvme_ns_get_size(ns) == 64ull << 20,
        "namespace 1 active, 64 MiB");

  // Identify again through the admin queue, as a caller would.
  auto* data = static_cast<spdk_nvme_ctrlr_data*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ctrlr_data), 4096, nullptr));
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_IDENTIFY;
  cmd.cdw10 = SPDK_NVME_IDENTIFY_CTRLR;
  nvme_completion_poll_status status{};
  int rc = data ? spdk_nvme_ctrlr_cmd_admin_raw(ctrlr, &cmd, data, sizeof(*data), nvme_completion_poll_cb, &status)
                : -ENOMEM;
  if (rc == 0) rc = spdk_nvme_wait_for_completion_robust_lock(ctrlr->adminq, &status, &ctrlr->ctrlr_lock);
  Check(rc == 0 && data->vid == cdata->vid && std::memcmp(data->sn, cdata->sn, 20) == 0,
        "Identify Controller through the admin queue");
  spdk_dma_free(data);

  // A second probe while attached hands out the same controller with one more reference.
  spdk_nvme_ctrlr* again = Probe(&rc);
  Check(rc == 0 && again == ctrlr && nvme_ctrlr_get_ref_count(ctrlr) == 2, "second probe: same controller");
  Check(spdk_nvme_detach(ctrlr) == 0 && nvme_ctrlr_get_ref_count(ctrlr) == 1, "first detach keeps it attached");
  Check(spdk_nvme_detach(ctrlr) == 0, "detached");
  nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
  Check(spdk_nvme_get_ctrlr_by_trid_unsafe(&g_trid) == nullptr, "no longer attached");
  nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);

  // The controller was left enabled: a new attachment disables and enables it again.
  g_ctrlr = Probe(&rc);
  Check(rc == 0 && g_ctrlr != nullptr && g_ctrlr->state == NVME_CTRLR_STATE_READY, "attached again after detach");
}

}  // namespace

int main(int argc, char** argv)
{
  spdk_pci_addr pci_addr;
  if (argc < 2 || spdk_pci_addr_parse(&pci_addr, argv[1]) != 0) {
    std::fprintf(stderr, "usage: %s PCI-ADDRESS\n", argv[0]);
    return 2;
  }
  spdk_env_opts env_opts;
  spdk_env_opts_init(&env_opts);
  env_opts.name = "kyt_nvme_vm";
  env_opts.core_mask = "1";
  env_opts.shm_id = -1;
  env_opts.pci_whitelist = &pci_addr;
  env_opts.num_pci_addr = 1;
  int rc = spdk_env_init(&env_opts);
  Check(rc == 0, "environment started (rc " + std::to_string(rc) + ")");
  std::string text = std::string("trtype:PCIe traddr:") + argv[1];
  Check(rc == 0 && spdk_nvme_transport_id_parse(&g_trid, text.c_str()) == 0, "transport ID " + text);
  g_ctrlr = rc == 0 ? Probe(&rc) : nullptr;
  Check(rc == 0 && g_ctrlr != nullptr, "probe attached the controller (rc " + std::to_string(rc) + ")");
  if (g_ctrlr == nullptr) return Finish();
  AttachChecks();
  if (g_ctrlr == nullptr) return Finish();

  struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(g_ctrlr);
  std::printf("CMBSZ 0x%08x, data in CMB %s, SQs in CMB %s, doorbell buffer %s\n",
              spdk_nvme_ctrlr_get_regs_cmbsz(g_ctrlr), p->cmb_io_data_supported ? "yes" : "no",
              g_ctrlr->opts.use_cmb_sqs ? "yes" : "no", g_ctrlr->shadow_doorbell ? "yes" : "no");
  Check(spdk_nvme_ctrlr_get_regs_cmbsz(g_ctrlr) != 0 && p->cmb_bar_virt_addr != nullptr, "the CMB is mapped");
  uint32_t bs = spdk_nvme_ns_get_sector_size(spdk_nvme_ctrlr_get_ns(g_ctrlr, 1));
  uint32_t max = spdk_nvme_ctrlr_get_max_xfer_size(g_ctrlr);
  auto* src = static_cast<uint8_t*>(spdk_zmalloc(max + 65536, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  auto* dst = static_cast<uint8_t*>(spdk_zmalloc(max + 65536, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  Check(src && dst, "DMA buffers");
  if (!src || !dst) return Finish();

  // One-step queue pair with the controller's options: the submission ring goes to the CMB when it may.
  spdk_nvme_qpair* q = spdk_nvme_ctrlr_alloc_io_qpair(g_ctrlr, nullptr, 0);
  Check(q != nullptr && q->id == 1, "I/O queue pair 1 allocated");
  if (q) {
    Check(nvme_pcie_qpair(q)->sq_in_cmb == (g_ctrlr->opts.use_cmb_sqs != 0), "SQ placement follows the CMB decision");
    DataChecks(q, "default queue", bs, src, dst);
    Check(spdk_nvme_ctrlr_free_io_qpair(q) == 0 && spdk_bit_array_get(g_ctrlr->free_io_qids, 1),
          "I/O queue pair freed, identifier 1 free again");
  }

  // Delayed doorbells, SQ in host memory.
  g_ctrlr->opts.use_cmb_sqs = false;
  spdk_nvme_io_qpair_opts o;
  spdk_nvme_ctrlr_get_default_io_qpair_opts(g_ctrlr, &o, sizeof(o));
  o.delay_pcie_doorbell = true;
  o.io_queue_size = 64;
  q = spdk_nvme_ctrlr_alloc_io_qpair(g_ctrlr, &o, sizeof(o));
  Check(q != nullptr && !nvme_pcie_qpair(q)->sq_in_cmb, "delayed-doorbell queue pair in host memory");
  if (q) {
    DataChecks(q, "delayed doorbell", bs, src, dst);
    Check(spdk_nvme_ctrlr_free_io_qpair(q) == 0, "delayed-doorbell queue pair freed");
  }

  // I/O data in the CMB itself, when the controller allows it.
  if (p->cmb_io_data_supported) {
    q = spdk_nvme_ctrlr_alloc_io_qpair(g_ctrlr, nullptr, 0);
    auto* cmb_src = static_cast<uint8_t*>(spdk_nvme_ctrlr_alloc_cmb_io_buffer(g_ctrlr, 8192));
    Check(q && cmb_src && RoundTrip(q, bs, 2048, cmb_src, dst, 8192, 9), "write from the CMB, read to host memory");
    if (q) spdk_nvme_ctrlr_free_io_qpair(q);
  }
  spdk_free(src);
  spdk_free(dst);
  Check(spdk_nvme_detach(g_ctrlr) == 0, "detached");
  return Finish();
}
