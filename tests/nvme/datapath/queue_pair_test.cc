// PCIe queue pairs: trackers, PRP lists and SGLs byte for byte, doorbells, completion harvesting by phase, parked
// requests, deletion and abort of everything outstanding, and the queue creation and deletion commands.
#include <cstring>

#include "fake_device.h"

namespace kyt::test {
namespace {

class QpairTest : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    ASSERT_NE(q_ = MakeQueue(16), nullptr);
  }
  spdk_nvme_cmd Entry(uint16_t slot, nvme_tracker** tr = nullptr, spdk_nvme_qpair* q = nullptr) {
    spdk_nvme_cmd c = FakeDevice::SqEntry(q ? q : q_, slot);
    if (tr) *tr = nvme_pcie_qpair_find_tracker(nvme_pcie_qpair(q ? q : q_), c.cid);
    return c;
  }
  int Read(void* data, uint32_t len, CplLog* log, spdk_nvme_qpair* q = nullptr) {
    return Io(q ? q : q_, SPDK_NVME_OPC_READ, data, len, log);
  }
  static int FreeTrackers(spdk_nvme_qpair* q) {
    int n = 0;
    nvme_tracker* t;
    TAILQ_FOREACH(t, &nvme_pcie_qpair(q)->free_tr, tq_list) n++;
    return n;
  }
  spdk_nvme_qpair* q_ = nullptr;  // 16 entries: 4 completions per poll, 12 trackers
};

TEST_F(QpairTest, TrackersLeaveRoomForAPollsCompletions) {
  struct {
    uint32_t entries, cap, trackers;
  } cases[] = {{2, 1, 1}, {1024, 128, 896}};
  for (auto& c : cases) {
    spdk_nvme_qpair* q = MakeQueue(c.entries);
    ASSERT_NE(q, nullptr) << c.entries;
    EXPECT_EQ(nvme_pcie_qpair(q)->max_completions_cap, c.cap) << c.entries;
    EXPECT_EQ(FreeTrackers(q), (int)c.trackers) << c.entries;
    EXPECT_EQ((uintptr_t)nvme_pcie_qpair(q)->tr % 4096, 0u) << "a tracker's PRP list never crosses a page";
  }
  for (uint32_t bad : {0u, 1u, 65536u}) EXPECT_EQ(MakeQueue(bad), nullptr) << bad;
}

TEST_F(QpairTest, PrpEntriesOfContiguousBuffers) {
  CplLog log;
  // Across two pages: PRP1 and PRP2; the caller's command is copied whole. Within one page: no PRP2. Three pages:
  // a PRP list the device reads through its bus address. A metadata buffer goes to MPTR.
  ASSERT_EQ(Read(buf_ + 512, 4096, &log), 0);
  ASSERT_EQ(Read(buf_ + 8, 512, &log), 0);
  ASSERT_EQ(Read(buf_, 3 * 4096, &log), 0);
  spdk_nvme_cmd md{};
  ASSERT_EQ(spdk_nvme_ctrlr_cmd_io_raw_with_md(ctrlr_, q_, &md, buf_, 4096, buf_ + 8 * 4096, &CplLog::Cb, &log), 0);
  spdk_nvme_cmd c = Entry(0);
  EXPECT_EQ(c.cdw15, 0xCAFEF00Du);
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_ + 512));
  EXPECT_EQ(c.dptr.prp.prp2, Phys(buf_ + 4096));
  EXPECT_EQ(Entry(1).dptr.prp.prp2, 0u);
  nvme_tracker* tr;
  c = Entry(2, &tr);
  EXPECT_EQ(c.dptr.prp.prp2, tr->prp_sgl_bus_addr);
  auto* list = static_cast<uint64_t*>(FakeDevice::Dma(c.dptr.prp.prp2, 16));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list[0], Phys(buf_ + 4096));
  EXPECT_EQ(list[1], Phys(buf_ + 8192));
  EXPECT_EQ(Entry(3).mptr, Phys(buf_ + 8 * 4096));
  EXPECT_TRUE(log.cpls.empty());
}

TEST_F(QpairTest, Prp506PagesFitAnd507OrMisalignedFail) {
  CplLog ok, bad;
  ASSERT_EQ(Read(buf_, 506 * 4096, &ok), 0);
  nvme_tracker* tr;
  Entry(0, &tr);
  EXPECT_EQ(tr->u.prp[504], Phys(buf_ + 505 * 4096));
  // Too many pages, or a buffer not dword aligned: the callback has already run, nothing reached the queue.
  EXPECT_EQ(Read(buf_, 507 * 4096, &bad), -EINVAL);
  EXPECT_EQ(Read(buf_ + 2, 512, &bad), -EINVAL);
  ASSERT_EQ(bad.cpls.size(), 2u);
  for (auto& c : bad.cpls) EXPECT_EQ(c.status_raw >> 1, (1u << 14) | SPDK_NVME_SC_INVALID_FIELD) << "with DNR";
  EXPECT_EQ(nvme_pcie_qpair(q_)->sq_tail, 1);
  EXPECT_EQ(FreeTrackers(q_), 11) << "the failed requests' trackers are free again";
}

// A scatter list over fixed (address, length) elements.
struct Sgl {
  std::vector<std::pair<void*, uint32_t>> elems;
  size_t next = 0;
  static void Reset(void* arg, uint32_t) { static_cast<Sgl*>(arg)->next = 0; }
  static int Next(void* arg, void** addr, uint32_t* len) {
    auto* s = static_cast<Sgl*>(arg);
    if (s->next >= s->elems.size()) return -1;
    *addr = s->elems[s->next].first;
    *len = s->elems[s->next++].second;
    return 0;
  }
  int Submit(spdk_nvme_qpair* q, uint32_t size, CplLog* log) {
    nvme_payload payload{&Sgl::Reset, &Sgl::Next, this, nullptr};
    return nvme_qpair_submit_request(q, nvme_allocate_request(q, &payload, size, &CplLog::Cb, log));
  }
};

TEST_F(QpairTest, ScatteredPayloadWithoutSglSupportBuildsPrpsOnlyOnPageBoundaries) {
  ctrlr_->flags &= ~(uint64_t)SPDK_NVME_CTRLR_SGL_SUPPORTED;
  Sgl sgl{{{buf_ + 1024, 3072}, {buf_ + 8 * 4096, 4096}, {buf_ + 20 * 4096, 8192}}};
  CplLog log;
  ASSERT_EQ(sgl.Submit(q_, 3072 + 4096 + 8192, &log), 0);
  nvme_tracker* tr;
  spdk_nvme_cmd c = Entry(0, &tr);
  EXPECT_EQ(c.dptr.prp.prp1, Phys(buf_ + 1024));
  EXPECT_EQ(c.dptr.prp.prp2, tr->prp_sgl_bus_addr);
  EXPECT_EQ((std::vector<uint64_t>(tr->u.prp, tr->u.prp + 3)),
            (std::vector<uint64_t>{Phys(buf_ + 8 * 4096), Phys(buf_ + 20 * 4096), Phys(buf_ + 21 * 4096)}));
  // A later element that does not start on a page, or an element followed by another that does not end on one,
  // cannot be described by PRP entries: invalid field before submission.
  Sgl late_start{{{buf_, 4096}, {buf_ + 8 * 4096 + 512, 512}}};
  Sgl early_end{{{buf_ + 1024, 1024}, {buf_ + 8 * 4096, 4096}}};
  for (Sgl* bad : {&late_start, &early_end}) EXPECT_EQ(bad->Submit(q_, 4096 + 512, &log), -EINVAL);
  EXPECT_EQ(log.cpls.size(), 2u);
  EXPECT_EQ(nvme_pcie_qpair(q_)->sq_tail, 1) << "nothing was submitted";
}

TEST_F(QpairTest, HardwareSglMergesContiguousPiecesAndUsesALastSegment) {
  ctrlr_->flags |= SPDK_NVME_CTRLR_SGL_SUPPORTED;
  // One element, at no particular alignment: a single data block descriptor in the command. Three elements, the
  // first two adjacent in bus address space: two descriptors behind a last segment.
  Sgl one{{{buf_ + 403, 2000}}}, three{{{buf_, 4096}, {buf_ + 4096, 1000}, {buf_ + 30 * 4096, 512}}};
  CplLog log;
  ASSERT_EQ(one.Submit(q_, 2000, &log), 0);
  ASSERT_EQ(three.Submit(q_, 4096 + 1000 + 512, &log), 0);
  spdk_nvme_cmd c = Entry(0);
  EXPECT_EQ(c.psdt, SPDK_NVME_PSDT_SGL_MPTR_CONTIG);
  EXPECT_EQ(c.dptr.sgl1.unkeyed.type, SPDK_NVME_SGL_TYPE_DATA_BLOCK);
  EXPECT_EQ(c.dptr.sgl1.address, Phys(buf_ + 403));
  EXPECT_EQ(c.dptr.sgl1.unkeyed.length, 2000u);
  nvme_tracker* tr;
  c = Entry(1, &tr);
  EXPECT_EQ(c.dptr.sgl1.unkeyed.type, SPDK_NVME_SGL_TYPE_LAST_SEGMENT);
  EXPECT_EQ(c.dptr.sgl1.address, tr->prp_sgl_bus_addr);
  EXPECT_EQ(c.dptr.sgl1.unkeyed.length, 32u);
  EXPECT_EQ(tr->u.sgl[0].address, Phys(buf_));
  EXPECT_EQ(tr->u.sgl[0].unkeyed.length, 5096u);
  EXPECT_EQ(tr->u.sgl[1].address, Phys(buf_ + 30 * 4096));
  EXPECT_EQ(tr->u.sgl[1].unkeyed.length, 512u);
  EXPECT_EQ(one.Submit(q_, 4000, &log), -EINVAL) << "more bytes asked than the elements give";
}

// A doorbell write per command, or one per poll for a queue pair that delays them; CAP.DSTRD spaces them; with a
// doorbell buffer, MMIO only when the device asks through the event index.
TEST_F(QpairTest, DoorbellsPerCommandDelayedStridedAndShadowed) {
  spdk_nvme_qpair* delayed = MakeQueue(16, true, 2);
  ASSERT_NE(delayed, nullptr);
  CplLog log;
  for (uint32_t i = 1; i <= 3; i++) {
    ASSERT_EQ(Read(buf_, 512, &log), 0);
    EXPECT_EQ(dev_->SqDoorbell(1), i);
    ASSERT_EQ(Read(buf_, 512, &log, delayed), 0);
  }
  EXPECT_EQ(dev_->SqDoorbell(2), 0u) << "delayed until the next poll";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(delayed, 0), 0);
  EXPECT_EQ(dev_->SqDoorbell(2), 3u);

  FakeDevice::Options o;
  o.cap = 1023ull | (1ull << 16) | (0x20ull << 24) | (2ull << 32) | (1ull << 37);  // DSTRD 2: 16 bytes apart
  FakeDevice d(o);
  spdk_nvme_io_qpair_opts io = IoOpts(16);
  spdk_nvme_ctrlr* ctrlr = d.Construct();
  spdk_nvme_qpair* sq = ctrlr ? nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr, 2, &io) : nullptr;
  ASSERT_NE(sq, nullptr);
  const uintptr_t regs = (uintptr_t)nvme_pcie_ctrlr(ctrlr)->regs, sq_db = (uintptr_t)nvme_pcie_qpair(sq)->sq_tdbl;
  EXPECT_EQ(std::make_pair(sq_db - regs, (uintptr_t)nvme_pcie_qpair(sq)->cq_hdbl - regs),
            std::make_pair(uintptr_t{0x1000 + 4 * 16}, uintptr_t{0x1000 + 5 * 16}));
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(sq);

  spdk_nvme_qpair* q = MakeQueue(16, false, 3);
  static uint32_t shadow[64], eventidx[64];
  ctrlr_->shadow_doorbell = shadow;
  ctrlr_->eventidx = eventidx;
  nvme_pcie_ctrlr_set_shadow_doorbell(ctrlr_, q);
  ctrlr_->shadow_doorbell = ctrlr_->eventidx = nullptr;
  // (event index, MMIO tail) per submission: 0 with tail 0 -> 1 is crossed; 5 is not; 2 with 2 -> 3 is.
  const std::pair<uint32_t, uint32_t> steps[] = {{0, 1}, {5, 1}, {2, 3}};
  for (auto [index, mmio] : steps) {
    eventidx[6] = index;
    ASSERT_EQ(Read(buf_, 512, &log, q), 0);
    EXPECT_EQ(dev_->SqDoorbell(3), mmio) << index;
  }
  EXPECT_EQ(shadow[6], 3u);
  eventidx[7] = 7;  // completion side: head 0 -> 1 with CQ event index 7 skips the MMIO write
  dev_->Post(q, Entry(0, nullptr, q).cid);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  EXPECT_EQ(shadow[7], 1u);
  EXPECT_EQ(dev_->CqDoorbell(3), 0u);
}

TEST_F(QpairTest, CompletionsAreReapedByPhaseWithThePerCallCap) {
  CplLog log;
  for (int i = 0; i < 12; i++) {
    ASSERT_EQ(Read(buf_ + i * 4096, 512, &log), 0);
    dev_->Post(q_, Entry(i).cid, 0, 0, 1000 + i);
  }
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 4);
  EXPECT_EQ(dev_->CqDoorbell(1), 4u);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 2), 2);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 100), 4) << "a larger request does not raise the cap";
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 2);
  ASSERT_EQ(log.cpls.size(), 12u);
  for (int i = 0; i < 12; i++) EXPECT_EQ(log.cpls[i].cdw0, 1000u + i);
  // Four more: the 16th completion wraps the head and inverts the phase once; slots 12..15 wrap the tail.
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(Read(buf_, 512, &log), 0);
    dev_->Post(q_, Entry(12 + i).cid);
  }
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 4);
  EXPECT_EQ(dev_->CqDoorbell(1), 0u);
  // An entry with the old phase is not new; one for an unknown command is counted and ignored.
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 0);
  ASSERT_EQ(Read(buf_, 512, &log), 0);
  dev_->Post(q_, Entry(0).cid);
  dev_->Post(q_, 300);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q_, 0), 2);
  EXPECT_EQ(log.cpls.size(), 17u);
}

// A completion ends only the command outstanding under its identifier now. A freed tracker goes to the end of the
// free list and comes back under a new identifier (same index, next generation), as does a retried command: the
// drive's second copy of an earlier completion, or an entry for an identifier nothing carries, is counted and ignored.
TEST_F(QpairTest, ACompletionEndsOnlyTheCommandOutstandingUnderItsIdentifierNow) {
  spdk_nvme_qpair* q = MakeQueue(4, false, 2);  // 3 trackers
  const uint16_t mask = nvme_pcie_qpair(q)->cid_index_mask;
  const uint64_t ignored = spdk_nvme_ctrlr_get_ignored_completions(ctrlr_);
  CplLog log;
  ASSERT_EQ(Read(buf_, 512, &log, q), 0);
  const uint16_t a = Entry(0, nullptr, q).cid;
  dev_->Post(q, a, 0, 0, 1);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  std::vector<uint16_t> cids;
  for (uint16_t slot = 1; slot <= 3; slot++) {
    ASSERT_EQ(Read(buf_, 512, &log, q), 0);
    cids.push_back(Entry(slot, nullptr, q).cid);
  }
  EXPECT_NE(cids[0] & mask, a & mask) << "the tracker just freed is used last";
  EXPECT_NE(cids[1] & mask, a & mask);
  EXPECT_EQ(cids[2] & mask, a & mask);
  EXPECT_NE(cids[2], a) << "under a new identifier";
  EXPECT_EQ(nvme_pcie_qpair_outstanding_opc(q, a), -1);
  EXPECT_EQ(nvme_pcie_qpair_outstanding_opc(q, cids[2]), SPDK_NVME_OPC_READ);

  dev_->Post(q, a, 0, 0, 2);                // the first read's completion again
  dev_->Post(q, (uint16_t)(cids[0] ^ (mask + 1)), 0, 0, 3);  // right tracker, wrong generation
  dev_->Post(q, 3);                         // an index no tracker has
  for (int i = 0; i < 3; i++) EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1) << "each entry is reaped";
  EXPECT_EQ(log.cpls.size(), 1u) << "nothing was completed by them";
  EXPECT_EQ(spdk_nvme_ctrlr_get_ignored_completions(ctrlr_) - ignored, 3u);

  // A retried command goes out under a new identifier: the first failure's second copy does not end the retry.
  spdk_nvme_retry_count = 1;
  dev_->Post(q, cids[0], 0, SPDK_NVME_SC_NAMESPACE_NOT_READY);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  const uint16_t retried = Entry(0, nullptr, q).cid;
  EXPECT_EQ(retried & mask, cids[0] & mask);
  dev_->Post(q, cids[0], 0, SPDK_NVME_SC_NAMESPACE_NOT_READY);
  dev_->Post(q, retried, 0, 0, 4);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  ASSERT_EQ(log.cpls.size(), 2u);
  EXPECT_EQ(log.cpls[1].cdw0, 4u) << "ended by its own completion, with success";
  EXPECT_EQ(spdk_nvme_ctrlr_get_ignored_completions(ctrlr_) - ignored, 4u);
}

TEST_F(QpairTest, ParkedRequestsStartWhenATrackerFreesButNotDuringAReset) {
  spdk_nvme_qpair* q = MakeQueue(4, false, 2);  // 1 completion per poll, 3 trackers
  CplLog log;
  for (int i = 0; i < 5; i++) ASSERT_EQ(Read(buf_ + i * 4096, 512, &log, q), 0);
  EXPECT_EQ(Count(STAILQ_FIRST(&q->queued_req)), 2);
  spdk_nvme_cmd first = Entry(0, nullptr, q);
  dev_->Post(q, first.cid);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  nvme_tracker *first_tr = nvme_pcie_qpair(q)->tr, *fourth_tr;
  first_tr += first.cid & nvme_pcie_qpair(q)->cid_index_mask;
  spdk_nvme_cmd fourth = Entry(3, &fourth_tr, q);
  EXPECT_EQ(fourth_tr, first_tr) << "it took the tracker that just freed";
  EXPECT_EQ(fourth.dptr.prp.prp1, Phys(buf_ + 3 * 4096));
  ctrlr_->is_resetting = true;
  dev_->Post(q, Entry(1, nullptr, q).cid);
  EXPECT_EQ(spdk_nvme_qpair_process_completions(q, 0), 1);
  EXPECT_EQ(Count(STAILQ_FIRST(&q->queued_req)), 1);
  ctrlr_->is_resetting = false;
}

// Every request a queue pair holds completes once with an abort, whatever its callback does: deleting the queue pair
// resubmits nothing (and a nested delete does nothing); aborting everything outstanding survives a callback that
// completes another command.
TEST_F(QpairTest, DeletionAndAbortOfAllEndEachRequestOnce) {
  struct Ctx {
    FakeDevice* dev;
    spdk_nvme_qpair* q;
    uint8_t* buf;
    std::vector<spdk_nvme_cpl> cpls{};
    std::vector<int> resubmit_rc{};
    uint16_t other = 0xFFFF;  // aborting: the device completes it from inside the first callback
    static void Cb(void* arg, const spdk_nvme_cpl* cpl) {
      auto* c = static_cast<Ctx*>(arg);
      c->cpls.push_back(*cpl);
      if (c->other == 0xFFFF) {
        c->resubmit_rc.push_back(c->Read());
        nvme_pcie_ctrlr_delete_io_qpair_data_structure(c->q);
      } else if (c->cpls.size() == 1) {
        c->dev->Post(c->q, c->other);
        spdk_nvme_qpair_process_completions(c->q, 0);
      }
    }
    int Read() {
      spdk_nvme_cmd cmd{};
      cmd.opc = SPDK_NVME_OPC_READ;
      return spdk_nvme_ctrlr_cmd_io_raw(q->ctrlr, q, &cmd, buf, 512, &Ctx::Cb, this);
    }
  };
  spdk_nvme_io_qpair_opts o = IoOpts(4);  // 3 trackers; deleted by the test itself
  Ctx del{dev_.get(), nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, 2, &o), buf_};
  ASSERT_NE(del.q, nullptr);
  ASSERT_EQ(spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, del.q, SPDK_NVME_OPC_FLUSH, true, 10000000, 1, 0, 6), 0);
  for (int i = 0; i < 5; i++) ASSERT_EQ(del.Read(), 0);
  spdk_nvme_cmd flush{};
  ASSERT_EQ(spdk_nvme_ctrlr_io_cmd_raw_no_payload_build(ctrlr_, del.q, &flush, &Ctx::Cb, &del), 0);  // held back
  nvme_pcie_ctrlr_delete_io_qpair_data_structure(del.q);
  ASSERT_EQ(del.cpls.size(), 6u) << "3 outstanding, 2 parked, 1 held back";
  for (auto& c : del.cpls) EXPECT_EQ(c.status_raw >> 1, (1u << 14) | SPDK_NVME_SC_ABORTED_BY_REQUEST) << "with DNR";
  for (int rc : del.resubmit_rc) EXPECT_EQ(rc, -ENXIO);

  Ctx all{dev_.get(), MakeQueue(4, false, 3), buf_};
  for (int i = 0; i < 3; i++) ASSERT_EQ(all.Read(), 0);
  all.other = Entry(1, nullptr, all.q).cid;
  nvme_pcie_qpair_abort_reqs(all.q, 1);
  ASSERT_EQ(all.cpls.size(), 3u);
  EXPECT_EQ(all.cpls[1].cid, all.other);
  EXPECT_EQ(all.cpls[1].status.sc, 0) << "completed by the device";
  EXPECT_EQ(all.cpls[2].status.sc, SPDK_NVME_SC_ABORTED_BY_REQUEST);
}

TEST_F(QpairTest, QueueCreationAndDeletionCommands) {
  spdk_nvme_io_qpair_opts o = IoOpts(256);
  o.qprio = SPDK_NVME_QPRIO_MEDIUM;
  spdk_nvme_qpair* q = nvme_pcie_ctrlr_create_io_qpair_data_structure(ctrlr_, 3, &o);
  ASSERT_NE(q, nullptr);
  CplLog log;
  ASSERT_EQ(nvme_pcie_ctrlr_cmd_create_io_cq(ctrlr_, q, &CplLog::Cb, &log), 0);
  ASSERT_EQ(nvme_pcie_ctrlr_cmd_create_io_sq(ctrlr_, q, &CplLog::Cb, &log), 0);
  ASSERT_EQ(nvme_pcie_ctrlr_cmd_delete_io_sq(ctrlr_, q, &CplLog::Cb, &log), 0);
  struct nvme_pcie_qpair* pq = nvme_pcie_qpair(q);
  const std::vector<uint64_t> expect[] = {{SPDK_NVME_OPC_CREATE_IO_CQ, (255u << 16) | 3, 1, pq->cpl_bus_addr},
                                          {SPDK_NVME_OPC_CREATE_IO_SQ, (255u << 16) | 3, (3u << 16) | (2u << 1) | 1,
                                           pq->cmd_bus_addr},
                                          {SPDK_NVME_OPC_DELETE_IO_SQ, 3, 0, 0}};
  for (uint16_t i = 0; i < 3; i++) {
    spdk_nvme_cmd c = FakeDevice::SqEntry(ctrlr_->adminq, i);
    EXPECT_EQ((std::vector<uint64_t>{c.opc, c.cdw10, c.cdw11, c.dptr.prp.prp1}), expect[i]) << i;
  }
  // A removed controller's queue is deleted without a command.
  ctrlr_->is_removed = true;
  EXPECT_EQ(nvme_pcie_ctrlr_delete_io_qpair(ctrlr_, q), 0);
  ctrlr_->is_removed = false;
  EXPECT_EQ(AdminTail(), 3);
}

}  // namespace
}  // namespace kyt::test
