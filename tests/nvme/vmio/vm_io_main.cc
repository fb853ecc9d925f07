// Data through the driver's I/O queue pairs on a real NVMe controller (QEMU's, in the VM bench): contiguous payloads
// from one page to the largest transfer (PRP1 only, PRP2, PRP lists), scattered payloads (hardware SGL when the
// controller offers it, PRPs otherwise), the controller memory buffer, shadow and delayed doorbells, and a device
// error passed through unchanged.
//
// Usage: kyt_nvme_vm_io [PCI address]   (default: the first address of $VMBENCH_NVME)
// Prints one line per check and "N passed, M failed"; exits 0 only when every check passed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nvme_internal.h"

namespace {

int g_passed = 0;
int g_failed = 0;

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
    auto* d = static_cast<Done*>(arg);
    d->cpl = *cpl;
    d->done = true;
  }
};

bool Wait(spdk_nvme_qpair* q, Done& d)
{
  uint64_t end = spdk_get_ticks() + 10 * spdk_get_ticks_hz();
  while (!d.done && spdk_get_ticks() < end) {
    if (spdk_nvme_qpair_process_completions(q, 0) < 0) break;
  }
  return d.done;
}

spdk_nvme_ctrlr* g_ctrlr;

bool ProbeCb(void*, const spdk_nvme_transport_id*, spdk_nvme_ctrlr_opts* opts)
{
  opts->io_queue_size = 65536;
  opts->override_cap_to = 60000;
  return true;
}

void AttachCb(void*, const spdk_nvme_transport_id*, spdk_nvme_ctrlr* ctrlr, const spdk_nvme_ctrlr_opts*)
{
  g_ctrlr = ctrlr;
}

// Write `len` bytes from `src` at `lba`, read them back into `dst`, compare.
bool RoundTrip(spdk_nvme_qpair* q, uint32_t bs, uint64_t lba, uint8_t* src, uint8_t* dst, uint32_t len, uint8_t seed)
{
  for (uint32_t i = 0; i < len; i++) src[i] = (uint8_t)(i * 13 + seed);
  memset(dst, 0, len);
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_WRITE;
  cmd.nsid = 1;
  cmd.cdw10 = (uint32_t)lba;
  cmd.cdw11 = (uint32_t)(lba >> 32);
  cmd.cdw12 = len / bs - 1;
  Done w, r;
  if (spdk_nvme_ctrlr_cmd_io_raw(g_ctrlr, q, &cmd, src, len, &Done::Cb, &w) != 0 || !Wait(q, w) ||
      spdk_nvme_cpl_is_error(&w.cpl)) {
    return false;
  }
  cmd.opc = SPDK_NVME_OPC_READ;
  if (spdk_nvme_ctrlr_cmd_io_raw(g_ctrlr, q, &cmd, dst, len, &Done::Cb, &r) != 0 || !Wait(q, r) ||
      spdk_nvme_cpl_is_error(&r.cpl)) {
    return false;
  }
  return memcmp(src, dst, len) == 0;
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
    *len = s->elems[s->next].second;
    s->next++;
    return 0;
  }
};

void DataChecks(spdk_nvme_qpair* q, const char* label, uint32_t bs, uint8_t* src, uint8_t* dst)
{
  std::string l = label;
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
  bool ok = nvme_qpair_submit_request(q, req) == 0 && Wait(q, w) && !spdk_nvme_cpl_is_error(&w.cpl);
  spdk_nvme_cmd cmd{};
  cmd.opc = SPDK_NVME_OPC_READ;
  cmd.nsid = 1;
  cmd.cdw10 = 4096;
  cmd.cdw12 = 12288 / bs - 1;
  ok = ok && spdk_nvme_ctrlr_cmd_io_raw(g_ctrlr, q, &cmd, dst, 12288, &Done::Cb, &r) == 0 && Wait(q, r) &&
       !spdk_nvme_cpl_is_error(&r.cpl);
  ok = ok && memcmp(dst, src + 4096, 4096) == 0 && memcmp(dst + 4096, src + 40960, 8192) == 0;
  Check(ok, l + ": scattered payload (" +
                 std::string((spdk_nvme_ctrlr_get_flags(g_ctrlr) & SPDK_NVME_CTRLR_SGL_SUPPORTED) ? "SGL" : "PRP") +
                 ")");

  // The device's own error passes through unchanged.
  spdk_nvme_ns* ns = spdk_nvme_ctrlr_get_ns(g_ctrlr, 1);
  cmd.opc = SPDK_NVME_OPC_READ;
  cmd.cdw10 = (uint32_t)spdk_nvme_ns_get_num_sectors(ns);
  cmd.cdw12 = 0;
  Done e;
  Check(spdk_nvme_ctrlr_cmd_io_raw(g_ctrlr, q, &cmd, dst, bs, &Done::Cb, &e) == 0 && Wait(q, e) &&
            e.cpl.status.sct == SPDK_NVME_SCT_GENERIC && e.cpl.status.sc == SPDK_NVME_SC_LBA_OUT_OF_RANGE,
        l + ": LBA out of range reported by the device");
}

}  // namespace

int main(int argc, char** argv)
{
  std::string address;
  if (argc > 1) {
    address = argv[1];
  } else if (const char* env = std::getenv("VMBENCH_NVME")) {
    address = env;
    address = address.substr(0, address.find_first_of(" ,"));
  }
  if (address.empty()) {
    std::fprintf(stderr, "usage: %s PCI-ADDRESS (or set VMBENCH_NVME)\n", argv[0]);
    return 2;
  }
  spdk_pci_addr pci_addr;
  if (spdk_pci_addr_parse(&pci_addr, address.c_str()) != 0) {
    std::fprintf(stderr, "bad PCI address %s\n", address.c_str());
    return 2;
  }
  spdk_env_opts env_opts;
  spdk_env_opts_init(&env_opts);
  env_opts.name = "kyt_vm_io";
  env_opts.core_mask = "1";
  env_opts.shm_id = -1;
  env_opts.pci_whitelist = &pci_addr;
  env_opts.num_pci_addr = 1;
  int rc = spdk_env_init(&env_opts);
  Check(rc == 0, "environment started (rc " + std::to_string(rc) + ")");
  if (rc != 0) return Finish();

  spdk_nvme_transport_id trid{};
  std::string text = "trtype:PCIe traddr:" + address;
  Check(spdk_nvme_transport_id_parse(&trid, text.c_str()) == 0, "transport ID " + text);
  rc = spdk_nvme_probe(&trid, nullptr, ProbeCb, AttachCb, nullptr);
  Check(rc == 0 && g_ctrlr != nullptr, "controller attached");
  if (g_ctrlr == nullptr) return Finish();

  struct nvme_pcie_ctrlr* p = nvme_pcie_ctrlr(g_ctrlr);
  std::printf("CMBSZ 0x%08x, CMB %s, data in CMB %s, SQs in CMB %s, doorbell buffer %s, SGL %s\n",
              spdk_nvme_ctrlr_get_regs_cmbsz(g_ctrlr), p->cmb_bar_virt_addr ? "mapped" : "none",
              p->cmb_io_data_supported ? "yes" : "no", g_ctrlr->opts.use_cmb_sqs ? "yes" : "no",
              g_ctrlr->shadow_doorbell ? "yes" : "no",
              (spdk_nvme_ctrlr_get_flags(g_ctrlr) & SPDK_NVME_CTRLR_SGL_SUPPORTED) ? "yes" : "no");
  Check(spdk_nvme_ctrlr_get_regs_cmbsz(g_ctrlr) != 0, "the controller reports a CMB");
  Check(p->cmb_bar_virt_addr != nullptr, "the CMB is mapped");

  spdk_nvme_ns* ns = spdk_nvme_ctrlr_get_ns(g_ctrlr, 1);
  Check(ns != nullptr && spdk_nvme_ns_is_active(ns), "namespace 1 active");
  if (ns == nullptr) return Finish();
  uint32_t bs = spdk_nvme_ns_get_sector_size(ns);
  uint32_t max = spdk_nvme_ctrlr_get_max_xfer_size(g_ctrlr);
  auto* src = static_cast<uint8_t*>(spdk_zmalloc(max + 65536, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  auto* dst = static_cast<uint8_t*>(spdk_zmalloc(max + 65536, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  Check(src && dst, "DMA buffers");
  if (!src || !dst) return Finish();

  // One-step queue pair with the controller's options: the submission ring goes to the CMB when it may.
  spdk_nvme_qpair* q = spdk_nvme_ctrlr_alloc_io_qpair(g_ctrlr, nullptr, 0);
  Check(q != nullptr, "I/O queue pair allocated");
  if (q) {
    struct nvme_pcie_qpair* pq = nvme_pcie_qpair(q);
    std::printf("qpair %u: %u entries, SQ in CMB %s, shadow doorbell %s\n", q->id, pq->num_entries,
                pq->sq_in_cmb ? "yes" : "no", pq->flags.has_shadow_doorbell ? "yes" : "no");
    Check(pq->sq_in_cmb == (g_ctrlr->opts.use_cmb_sqs != 0), "SQ placement follows the CMB decision");
    DataChecks(q, "default queue", bs, src, dst);
    Check(spdk_nvme_ctrlr_free_io_qpair(q) == 0, "I/O queue pair freed");
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
    spdk_nvme_qpair* q2 = spdk_nvme_ctrlr_alloc_io_qpair(g_ctrlr, nullptr, 0);
    auto* cmb_src = static_cast<uint8_t*>(spdk_nvme_ctrlr_alloc_cmb_io_buffer(g_ctrlr, 8192));
    Check(q2 && cmb_src, "CMB data buffer allocated");
    if (q2 && cmb_src) {
      Check(RoundTrip(q2, bs, 2048, cmb_src, dst, 8192, 9), "write from the CMB, read to host memory");
    }
    if (q2) spdk_nvme_ctrlr_free_io_qpair(q2);
  }

  spdk_free(src);
  spdk_free(dst);
  Check(spdk_nvme_detach(g_ctrlr) == 0, "detached");
  return Finish();
}
