// Cost of the driver's I/O path per command: build the PRP list, copy the entry, ring the doorbell, harvest the
// completion and call back. The device side (posting completions) is part of the loop but is a few stores.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "fake_device.h"
#include "kyt/env_test.h"

namespace {

struct Rig {
  std::unique_ptr<kyt::test::FakeDevice> dev;
  spdk_nvme_ctrlr* ctrlr = nullptr;
  spdk_nvme_qpair* q = nullptr;
  uint8_t* buf = nullptr;
  uint64_t completed = 0;

  Rig(uint32_t entries, bool delay)
  {
    dev.reset(new kyt::test::FakeDevice());
    ctrlr = dev->Construct();
    spdk_nvme_io_qpair_opts io = kyt::test::IoOpts(entries, delay);
    q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr, 1, &io);
    buf = static_cast<uint8_t*>(spdk_zmalloc(128 * 1024, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  }
  ~Rig()
  {
    nvme_pcie_ctrlr_delete_io_qpair_data_structure(q);
    spdk_free(buf);
  }
  // The device's side: complete every entry submitted since the last call.
  void PostAllPending()
  {
    struct nvme_pcie_qpair* pq = nvme_pcie_qpair(q);
    while (sq_seen != pq->sq_tail) {
      dev->Post(q, kyt::test::FakeDevice::SqEntry(q, sq_seen).cid);
      sq_seen = (uint16_t)((sq_seen + 1) % pq->num_entries);
    }
  }
  uint16_t sq_seen = 0;
  static void Done(void* arg, const spdk_nvme_cpl*) { static_cast<Rig*>(arg)->completed++; }
  bool Submit(uint32_t bytes)
  {
    spdk_nvme_cmd cmd{};
    cmd.opc = SPDK_NVME_OPC_READ;
    cmd.nsid = 1;
    cmd.cdw12 = bytes / 512 - 1;
    return spdk_nvme_ctrlr_cmd_io_raw(ctrlr, q, &cmd, buf, bytes, &Rig::Done, this) == 0;
  }
};

// One command at a time: submit, complete, poll.
void BM_SubmitCompleteOne(benchmark::State& state)
{
  Rig rig(256, false);
  const uint32_t bytes = (uint32_t)state.range(0);
  for (auto _ : state) {
    rig.Submit(bytes);
    rig.PostAllPending();
    spdk_nvme_qpair_process_completions(rig.q, 0);
  }
  state.SetItemsProcessed((int64_t)rig.completed);
}
BENCHMARK(BM_SubmitCompleteOne)->Arg(4096)->Arg(16384)->Arg(131072);

// Batches of 32 with the doorbell per command or delayed to the poll.
void BM_SubmitCompleteBatch(benchmark::State& state)
{
  Rig rig(256, state.range(0) != 0);
  for (auto _ : state) {
    for (int i = 0; i < 32; i++) rig.Submit(4096);
    rig.PostAllPending();
    while (spdk_nvme_qpair_process_completions(rig.q, 0) > 0) {
    }
  }
  state.SetItemsProcessed((int64_t)rig.completed);
}
BENCHMARK(BM_SubmitCompleteBatch)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv)
{
  if (kyt_env_test_init("kyt_nvme_bench") != 0 || nvme_driver_init() != 0) {
    fprintf(stderr, "environment start failed\n");
    return 1;
  }
  spdk_log_set_print_level(SPDK_LOG_ERROR);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
