// Per-process records of a controller, dead-process reaping, and the robust locks.
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

int FreeRequests(spdk_nvme_qpair* qpair) {
  int n = 0;
  nvme_request* req;
  STAILQ_FOREACH(req, &qpair->free_req, stailq) n++;
  return n;
}

// A record for another process, as that process would have added it.
spdk_nvme_ctrlr_process* AddForeignRecord(spdk_nvme_ctrlr* ctrlr, pid_t pid, int ref) {
  auto* proc = static_cast<spdk_nvme_ctrlr_process*>(
      spdk_zmalloc(sizeof(spdk_nvme_ctrlr_process), 64, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_SHARE));
  proc->pid = pid;
  proc->ref = ref;
  STAILQ_INIT(&proc->active_reqs);
  TAILQ_INIT(&proc->allocated_io_qpairs);
  nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
  TAILQ_INSERT_TAIL(&ctrlr->active_procs, proc, tailq);
  nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
  return proc;
}

pid_t DeadPid() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  int status;
  waitpid(child, &status, 0);
  return child;
}

class ProcessTest : public CtrlrTest {};

TEST_F(ProcessTest, AttachingProcessHasItsRecordAndReference) {
  AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  spdk_nvme_ctrlr_process* proc = spdk_nvme_ctrlr_get_current_process(ctrlr);
  ASSERT_NE(nullptr, proc);
  EXPECT_EQ(getpid(), proc->pid);
  EXPECT_TRUE(proc->is_primary);
  EXPECT_EQ(1, proc->ref);
  EXPECT_NE(nullptr, proc->devhandle);
  EXPECT_EQ(proc->devhandle, nvme_ctrlr_proc_get_devhandle(ctrlr));
  EXPECT_EQ(proc, spdk_nvme_ctrlr_get_process(ctrlr, getpid()));
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_get_process(ctrlr, DeadPid()));
  // A second add for the same process changes nothing.
  EXPECT_EQ(0, nvme_ctrlr_add_process(ctrlr, nullptr));
  EXPECT_EQ(proc, spdk_nvme_ctrlr_get_current_process(ctrlr));
  EXPECT_EQ(proc->devhandle, nvme_ctrlr_proc_get_devhandle(ctrlr));
}

TEST_F(ProcessTest, LastLiveProcessKeepsItsRecordAtZeroReferences) {
  AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  nvme_ctrlr_proc_put_ref(ctrlr);
  EXPECT_EQ(0, nvme_ctrlr_get_ref_count(ctrlr));
  ASSERT_NE(nullptr, spdk_nvme_ctrlr_get_current_process(ctrlr));
  // Dropping below zero is refused: the count stays usable for the detach.
  nvme_ctrlr_proc_put_ref(ctrlr);
  EXPECT_EQ(0, spdk_nvme_ctrlr_get_current_process(ctrlr)->ref);
  nvme_ctrlr_proc_get_ref(ctrlr);
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));
}

TEST_F(ProcessTest, ReferencesOfLiveProcessesAddUp) {
  AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  spdk_nvme_ctrlr_process* other = AddForeignRecord(ctrlr, getppid(), 2);
  EXPECT_EQ(3, nvme_ctrlr_get_ref_count(ctrlr));
  nvme_ctrlr_proc_get_ref(ctrlr);
  EXPECT_EQ(4, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_EQ(2, other->ref);
  nvme_ctrlr_proc_put_ref(ctrlr);
  EXPECT_EQ(3, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_FALSE(log_->Contains("terminated unexpected"));
  nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
  TAILQ_REMOVE(&ctrlr->active_procs, other, tailq);
  nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
  spdk_free(other);
}

TEST_F(ProcessTest, DeadProcessRecordIsReapedWithItsParkedRequests) {
  AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  const pid_t dead = DeadPid();
  const int free_before = FreeRequests(ctrlr->adminq);

  spdk_nvme_ctrlr_process* proc = AddForeignRecord(ctrlr, dead, 3);
  // Two admin requests completed for it and parked until it polls: they return to the pool, without callbacks.
  static int callbacks = 0;
  for (int i = 0; i < 2; i++) {
    nvme_request* req = nvme_allocate_request_null(
        ctrlr->adminq, [](void*, const spdk_nvme_cpl*) { callbacks++; }, nullptr);
    ASSERT_NE(nullptr, req);
    req->pid = dead;
    STAILQ_INSERT_TAIL(&proc->active_reqs, req, stailq);
  }
  // One more with its data in a bounce buffer: the buffer goes with the record.
  uint8_t user_data[512] = {};
  nvme_request* copy = nvme_allocate_request_user_copy(
      ctrlr->adminq, user_data, sizeof(user_data), [](void*, const spdk_nvme_cpl*) { callbacks++; }, nullptr, true);
  ASSERT_NE(nullptr, copy);
  ASSERT_NE(nullptr, copy->payload.contig_or_cb_arg);
  copy->pid = dead;
  STAILQ_INSERT_TAIL(&proc->active_reqs, copy, stailq);
  EXPECT_EQ(free_before - 3, FreeRequests(ctrlr->adminq));
  EXPECT_EQ(4, [&] {
    int n = 0;
    spdk_nvme_ctrlr_process* p;
    TAILQ_FOREACH(p, &ctrlr->active_procs, tailq) n += p->ref;
    return n;
  }());

  // The next reference operation drops the record.
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_TRUE(log_->Contains("process " + std::to_string(dead) + " terminated unexpected"));
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_get_process(ctrlr, dead));
  EXPECT_EQ(free_before, FreeRequests(ctrlr->adminq));
  EXPECT_EQ(nullptr, copy->payload.contig_or_cb_arg);
  EXPECT_EQ(0, callbacks);
  ASSERT_NE(nullptr, spdk_nvme_ctrlr_get_current_process(ctrlr));
}

TEST_F(ProcessTest, DeadProcessHoldingTheOnlyOtherReferenceDoesNotKeepTheControllerAttached) {
  kyt::sim::SimController& sim = AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  attached_.clear();
  AddForeignRecord(ctrlr, DeadPid(), 1);
  EXPECT_EQ(0, spdk_nvme_detach(ctrlr));
  spdk_nvme_transport_id trid = PcieTrid(sim.address());
  nvme_robust_mutex_lock(&g_spdk_nvme_driver->lock);
  EXPECT_EQ(nullptr, spdk_nvme_get_ctrlr_by_trid_unsafe(&trid));
  nvme_robust_mutex_unlock(&g_spdk_nvme_driver->lock);
  EXPECT_TRUE(log_->Contains("terminated unexpected"));
}

struct LockHolder {
  pthread_mutex_t* mutex;
};

TEST(RobustLockTest, ControllerLockIsRecursiveAndSurvivesADeadOwner) {
  pthread_mutex_t mutex;
  ASSERT_EQ(0, nvme_robust_mutex_init_recursive_shared(&mutex));
  ASSERT_EQ(0, nvme_robust_mutex_lock(&mutex));
  ASSERT_EQ(0, nvme_robust_mutex_lock(&mutex));  // the same thread again
  ASSERT_EQ(0, nvme_robust_mutex_unlock(&mutex));
  ASSERT_EQ(0, nvme_robust_mutex_unlock(&mutex));

  LockHolder holder{&mutex};
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(
                   &thread, nullptr,
                   [](void* arg) -> void* {
                     nvme_robust_mutex_lock(static_cast<LockHolder*>(arg)->mutex);
                     return nullptr;  // ends holding the lock
                   },
                   &holder));
  pthread_join(thread, nullptr);
  EXPECT_EQ(0, nvme_robust_mutex_lock(&mutex));  // owner died: repaired and taken
  EXPECT_EQ(0, nvme_robust_mutex_unlock(&mutex));
  EXPECT_EQ(0, nvme_robust_mutex_lock(&mutex));
  EXPECT_EQ(0, nvme_robust_mutex_unlock(&mutex));
  pthread_mutex_destroy(&mutex);
}

}  // namespace
}  // namespace kyt::nvme_test
