// Per-process records of a controller, dead-process reaping, and the robust locks.
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ctrlr_test_util.h"

namespace kyt::nvme_test {
namespace {

int FreeRequests(spdk_nvme_qpair* qpair) {
  int n = 0;
  nvme_request* req;
  STAILQ_FOREACH(req, &qpair->free_req, stailq) n++;
  return n;
}

// A record for another process, as that process would have added it: the parent, or a process that has ended.
spdk_nvme_ctrlr_process* AddForeignRecord(spdk_nvme_ctrlr* ctrlr, int ref, bool alive = false) {
  const pid_t pid = alive ? getppid() : fork();
  if (pid == 0) _exit(0);
  if (!alive) waitpid(pid, nullptr, 0);
  auto* proc = static_cast<spdk_nvme_ctrlr_process*>(
      spdk_zmalloc(sizeof(spdk_nvme_ctrlr_process), 64, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_SHARE));
  proc->pid = pid;
  proc->ref = ref;
  STAILQ_INIT(&proc->active_reqs);
  TAILQ_INSERT_TAIL(&ctrlr->active_procs, proc, tailq);
  return proc;
}

using ProcessTest = CtrlrTest;

// References of live processes add up; the last live process keeps its record at zero references, and dropping
// below zero is refused; a second add for the same process changes nothing.
TEST_F(ProcessTest, RecordsAndReferencesOfLiveProcesses) {
  AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  spdk_nvme_ctrlr_process* proc = spdk_nvme_ctrlr_get_current_process(ctrlr);
  ASSERT_TRUE(proc && proc->pid == getpid() && proc->is_primary && proc->devhandle);
  EXPECT_EQ(0, nvme_ctrlr_add_process(ctrlr, nullptr));
  nvme_ctrlr_proc_put_ref(ctrlr);
  nvme_ctrlr_proc_put_ref(ctrlr);
  EXPECT_EQ(0, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_EQ(proc, spdk_nvme_ctrlr_get_current_process(ctrlr));
  nvme_ctrlr_proc_get_ref(ctrlr);
  spdk_nvme_ctrlr_process* other = AddForeignRecord(ctrlr, 2, true);
  nvme_ctrlr_proc_get_ref(ctrlr);
  EXPECT_EQ(4, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_EQ(2, other->ref);
  TAILQ_REMOVE(&ctrlr->active_procs, other, tailq);
  spdk_free(other);
  nvme_ctrlr_proc_put_ref(ctrlr);
}

// The record of a process that ended is dropped at the next reference operation, with the admin requests completed
// for it and parked until it polls: they go back to the pool without callbacks, with their bounce buffers. A dead
// process holding the only other reference does not keep the controller attached.
TEST_F(ProcessTest, DeadProcessRecordIsReapedWithItsParkedRequests) {
  AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  const int free_before = FreeRequests(ctrlr->adminq);
  spdk_nvme_ctrlr_process* proc = AddForeignRecord(ctrlr, 3);
  static int callbacks = 0;
  auto cb = [](void*, const spdk_nvme_cpl*) { callbacks++; };
  uint8_t data[512] = {};
  nvme_request* copy = nvme_allocate_request_user_copy(ctrlr->adminq, data, sizeof(data), cb, nullptr, true);
  for (nvme_request* req : {nvme_allocate_request_null(ctrlr->adminq, cb, nullptr), copy}) {
    req->pid = proc->pid;
    STAILQ_INSERT_TAIL(&proc->active_reqs, req, stailq);
  }
  EXPECT_EQ(free_before - 2, FreeRequests(ctrlr->adminq));
  const pid_t dead = proc->pid;
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_get_process(ctrlr, dead));
  EXPECT_EQ(free_before, FreeRequests(ctrlr->adminq));
  EXPECT_EQ(nullptr, copy->payload.contig_or_cb_arg);
  EXPECT_EQ(0, callbacks);

  AddForeignRecord(ctrlr, 1);
  attached_.clear();
  EXPECT_EQ(0, spdk_nvme_detach(ctrlr));
  EXPECT_FALSE(IsAttached(sims_.back()->address()));
}

TEST(RobustLockTest, ControllerLockIsRecursiveAndSurvivesADeadOwner) {
  pthread_mutex_t mutex;
  ASSERT_EQ(0, nvme_robust_mutex_init_recursive_shared(&mutex));
  for (int i = 0; i < 2; i++) ASSERT_EQ(0, nvme_robust_mutex_lock(&mutex));  // the same thread again
  for (int i = 0; i < 2; i++) ASSERT_EQ(0, nvme_robust_mutex_unlock(&mutex));
  pthread_t thread;
  auto lock_and_end = [](void* arg) -> void* {
    nvme_robust_mutex_lock(static_cast<pthread_mutex_t*>(arg));
    return nullptr;  // ends holding the lock
  };
  ASSERT_EQ(0, pthread_create(&thread, nullptr, lock_and_end, &mutex));
  pthread_join(thread, nullptr);
  for (int i = 0; i < 2; i++) {  // owner died: repaired and taken, and usable again
    EXPECT_EQ(0, nvme_robust_mutex_lock(&mutex));
    EXPECT_EQ(0, nvme_robust_mutex_unlock(&mutex));
  }
  pthread_mutex_destroy(&mutex);
}

}  // namespace
}  // namespace kyt::nvme_test
