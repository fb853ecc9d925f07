// Attach, Identify and detach of a real NVMe controller (QEMU's, in the VM bench): the environment starts with the one
// allowed device, the driver probes it by address, initialises it from whatever state firmware left it in, answers
// an Identify, allocates and frees an I/O queue pair, and detaches.
//
// Usage: kyt_nvme_vm_attach [PCI address]   (default: the first address of $VMBENCH_NVME)
// Prints one line per check and "N passed, M failed"; exits 0 only when every check passed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nvme_internal.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
  std::fflush(stdout);
  (ok ? g_passed : g_failed)++;
}

struct Attached {
  spdk_nvme_ctrlr* ctrlr = nullptr;
  int attach_calls = 0;
};

bool ProbeCb(void*, const spdk_nvme_transport_id*, spdk_nvme_ctrlr_opts* opts) {
  // The device layer's settings.
  opts->io_queue_size = 65536;
  opts->override_cap_to = 60000;
  return true;
}

void AttachCb(void* ctx, const spdk_nvme_transport_id*, spdk_nvme_ctrlr* ctrlr, const spdk_nvme_ctrlr_opts*) {
  auto* a = static_cast<Attached*>(ctx);
  a->ctrlr = ctrlr;
  a->attach_calls++;
}

int Finish() {
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  std::fflush(stdout);
  return g_failed == 0 && g_passed > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
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
  env_opts.name = "kyt_vm_attach";
  env_opts.core_mask = "1";
  env_opts.shm_id = -1;
  env_opts.pci_whitelist = &pci_addr;
  env_opts.num_pci_addr = 1;
  int rc = spdk_env_init(&env_opts);
  Check(rc == 0, "environment started (rc " + std::to_string(rc) + ")");
  if (rc != 0) return Finish();

  spdk_nvme_transport_id trid;
  std::memset(&trid, 0, sizeof(trid));
  std::string text = "trtype:PCIe traddr:" + address;
  Check(spdk_nvme_transport_id_parse(&trid, text.c_str()) == 0, "transport ID " + text);

  Attached attached;
  rc = spdk_nvme_probe(&trid, &attached, ProbeCb, AttachCb, nullptr);
  Check(rc == 0 && attached.attach_calls == 1 && attached.ctrlr != nullptr,
        "probe attached the controller (rc " + std::to_string(rc) + ")");
  spdk_nvme_ctrlr* ctrlr = attached.ctrlr;
  if (ctrlr == nullptr) return Finish();

  Check(ctrlr->state == NVME_CTRLR_STATE_READY, "initialised to ready");
  Check((spdk_nvme_ctrlr_get_regs_csts(ctrlr) & 0x3) == 0x1, "CSTS.RDY 1, CFS 0");
  const spdk_nvme_ctrlr_data* cdata = spdk_nvme_ctrlr_get_data(ctrlr);
  char serial[21] = {};
  std::memcpy(serial, cdata->sn, 20);
  std::printf("vid %04x ssvid %04x sn '%s' nn %u mdts %u vs %08x max_xfer %u io queues %u queue size %u\n",
              cdata->vid, cdata->ssvid, serial, cdata->nn, cdata->mdts, spdk_nvme_ctrlr_get_regs_vs(ctrlr),
              spdk_nvme_ctrlr_get_max_xfer_size(ctrlr), ctrlr->opts.num_io_queues, ctrlr->opts.io_queue_size);
  Check(cdata->vid == 0x1b36, "Identify Controller: PCI vendor of QEMU");
  Check(std::strncmp(serial, "VMBENCH", 7) == 0, "Identify Controller: serial number");
  Check(ctrlr->opts.io_queue_size >= 2 && ctrlr->opts.io_queue_size <= 32768, "I/O queue size clamped");
  Check(ctrlr->opts.num_io_queues >= 1 && ctrlr->free_io_qids != nullptr, "I/O queues allocated");
  Check(ctrlr->num_aers >= 1, "asynchronous event requests outstanding");

  uint32_t nsid = spdk_nvme_ctrlr_get_first_active_ns(ctrlr);
  spdk_nvme_ns* ns = spdk_nvme_ctrlr_get_ns(ctrlr, nsid);
  Check(nsid == 1 && ns != nullptr && spdk_nvme_ns_is_active(ns), "namespace 1 active");
  if (ns != nullptr) {
    std::printf("ns %u: %lu sectors of %u bytes\n", nsid, (unsigned long)spdk_nvme_ns_get_num_sectors(ns),
                spdk_nvme_ns_get_sector_size(ns));
    Check(spdk_nvme_ns_get_size(ns) == 64ull << 20, "namespace 1 is 64 MiB");
  }

  // Identify again through the admin queue, as a caller would.
  auto* data = static_cast<spdk_nvme_ctrlr_data*>(spdk_dma_zmalloc(sizeof(spdk_nvme_ctrlr_data), 4096, nullptr));
  spdk_nvme_cmd cmd;
  std::memset(&cmd, 0, sizeof(cmd));
  cmd.opc = SPDK_NVME_OPC_IDENTIFY;
  cmd.cdw10 = SPDK_NVME_IDENTIFY_CTRLR;
  nvme_completion_poll_status status;
  std::memset(&status, 0, sizeof(status));
  rc = data != nullptr
           ? spdk_nvme_ctrlr_cmd_admin_raw(ctrlr, &cmd, data, sizeof(*data), nvme_completion_poll_cb, &status)
           : -ENOMEM;
  if (rc == 0) rc = spdk_nvme_wait_for_completion_robust_lock(ctrlr->adminq, &status, &ctrlr->ctrlr_lock);
  Check(rc == 0 && data->vid == cdata->vid && std::memcmp(data->sn, cdata->sn, 20) == 0,
        "Identify Controller through the admin queue");
  spdk_dma_free(data);

  // One I/O queue pair through the controller, in one step, and back.
  spdk_nvme_qpair* qpair = spdk_nvme_ctrlr_alloc_io_qpair(ctrlr, nullptr, 0);
  Check(qpair != nullptr && qpair->id == 1, "I/O queue pair 1 created");
  if (qpair != nullptr) {
    Check(spdk_nvme_ctrlr_free_io_qpair(qpair) == 0, "I/O queue pair deleted");
    Check(spdk_bit_array_get(ctrlr->free_io_qids, 1), "queue identifier 1 free again");
  }

  // A second probe while attached hands out the same controller with one more reference.
  Attached again;
  rc = spdk_nvme_probe(&trid, &again, ProbeCb, AttachCb, nullptr);
  Check(rc == 0 && again.ctrlr == ctrlr && nvme_ctrlr_get_ref_count(ctrlr) == 2, "second probe: same controller");
  Check(spdk_nvme_detach(ctrlr) == 0 && nvme_ctrlr_get_ref_count(ctrlr) == 1, "first detach keeps it attached");

  Check(spdk_nvme_detach(ctrlr) == 0, "detached");
  nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
  Check(spdk_nvme_get_ctrlr_by_trid_unsafe(&trid) == nullptr, "no longer attached");
  nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);

  // The controller was left enabled: a new attachment disables and enables it again.
  Attached fresh;
  rc = spdk_nvme_probe(&trid, &fresh, ProbeCb, AttachCb, nullptr);
  Check(rc == 0 && fresh.ctrlr != nullptr && fresh.ctrlr->state == NVME_CTRLR_STATE_READY,
        "attached again after detach");
  if (fresh.ctrlr != nullptr) {
    Check(spdk_nvme_detach(fresh.ctrlr) == 0, "detached again");
  }
  return Finish();
}
