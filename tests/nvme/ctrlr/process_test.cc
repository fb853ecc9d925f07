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
  waitpid(child, nullptr, 0);
  return child;
}

using ProcessTest = CtrlrTest;

TEST_F(ProcessTest, RecordsAndReferencesOfLiveProcesses) {
  AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  spdk_nvme_ctrlr_process* proc = spdk_nvme_ctrlr_get_current_process(ctrlr);
  ASSERT_NE(nullptr, proc);
  EXPECT_EQ(getpid(), proc->pid);
  EXPECT_TRUE(proc->is_primary);
  EXPECT_EQ(1, proc->ref);
  EXPECT_NE(nullptr, proc->devhandle);
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_get_process(ctrlr, DeadPid()));
  EXPECT_EQ(0, nvme_ctrlr_add_process(ctrlr, nullptr)) << "a second add for the same process changes nothing";
  EXPECT_EQ(proc, spdk_nvme_ctrlr_get_current_process(ctrlr));

  // The last live process keeps its record at zero references; dropping below zero is refused.
  nvme_ctrlr_proc_put_ref(ctrlr);
  nvme_ctrlr_proc_put_ref(ctrlr);
  EXPECT_EQ(0, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_EQ(proc, spdk_nvme_ctrlr_get_current_process(ctrlr));
  nvme_ctrlr_proc_get_ref(ctrlr);
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));

  // References of live processes add up.
  spdk_nvme_ctrlr_process* other = AddForeignRecord(ctrlr, getppid(), 2);
  EXPECT_EQ(3, nvme_ctrlr_get_ref_count(ctrlr));
  nvme_ctrlr_proc_get_ref(ctrlr);
  EXPECT_EQ(4, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_EQ(2, other->ref);
  EXPECT_FALSE(log_->Contains("terminated unexpected"));
  nvme_robust_mutex_lock(&ctrlr->ctrlr_lock);
  TAILQ_REMOVE(&ctrlr->active_procs, other, tailq);
  nvme_robust_mutex_unlock(&ctrlr->ctrlr_lock);
  spdk_free(other);
  nvme_ctrlr_proc_put_ref(ctrlr);
}

TEST_F(ProcessTest, DeadProcessRecordIsReapedWithItsParkedRequests) {
  AddSim();
  spdk_nvme_ctrlr* ctrlr = Attach();
  ASSERT_NE(nullptr, ctrlr);
  const pid_t dead = DeadPid();
  const int free_before = FreeRequests(ctrlr->adminq);
  spdk_nvme_ctrlr_process* proc = AddForeignRecord(ctrlr, dead, 3);
  // Admin requests completed for it and parked until it polls return to the pool without callbacks; a bounce buffer
  // goes with its request.
  static int callbacks = 0;
  auto cb = [](void*, const spdk_nvme_cpl*) { callbacks++; };
  uint8_t user_data[512] = {};
  nvme_request* copy = nvme_allocate_request_user_copy(ctrlr->adminq, user_data, sizeof(user_data), cb, nullptr, true);
  ASSERT_NE(nullptr, copy);
  ASSERT_NE(nullptr, copy->payload.contig_or_cb_arg);
  for (nvme_request* req : {nvme_allocate_request_null(ctrlr->adminq, cb, nullptr),
                            nvme_allocate_request_null(ctrlr->adminq, cb, nullptr), copy}) {
    ASSERT_NE(nullptr, req);
    req->pid = dead;
    STAILQ_INSERT_TAIL(&proc->active_reqs, req, stailq);
  }
  EXPECT_EQ(free_before - 3, FreeRequests(ctrlr->adminq));

  // The next reference operation drops the record.
  EXPECT_EQ(1, nvme_ctrlr_get_ref_count(ctrlr));
  EXPECT_TRUE(log_->Contains("process " + std::to_string(dead) + " terminated unexpected"));
  EXPECT_EQ(nullptr, spdk_nvme_ctrlr_get_process(ctrlr, dead));
  EXPECT_EQ(free_before, FreeRequests(ctrlr->adminq));
  EXPECT_EQ(nullptr, copy->payload.contig_or_cb_arg);
  EXPECT_EQ(0, callbacks);
  ASSERT_NE(nullptr, spdk_nvme_ctrlr_get_current_process(ctrlr));

  // A dead process holding the only other reference does not keep the controller attached.
  AddForeignRecord(ctrlr, DeadPid(), 1);
  attached_.clear();
  EXPECT_EQ(0, spdk_nvme_detach(ctrlr));
  EXPECT_FALSE(IsAttached(sims_.back()->address()));
}

TEST(RobustLockTest, ControllerLockIsRecursiveAndSurvivesADeadOwner) {
  pthread_mutex_t mutex;
  ASSERT_EQ(0, nvme_robust_mutex_init_recursive_shared(&mutex));
  ASSERT_EQ(0, nvme_robust_mutex_lock(&mutex));
  ASSERT_EQ(0, nvme_robust_mutex_lock(&mutex));  // the same thread again
  ASSERT_EQ(0, nvme_robust_mutex_unlock(&mutex));
  ASSERT_EQ(0, nvme_robust_mutex_unlock(&mutex));
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(
                   &thread, nullptr,
                   [](void* arg) -> void* {
                     nvme_robust_mutex_lock(static_cast<pthread_mutex_t*>(arg));
                     return nullptr;  // ends holding the lock
                   },
                   &mutex));
  pthread_join(thread, nullptr);
  EXPECT_EQ(0, nvme_robust_mutex_lock(&mutex));  // owner died: repaired and taken
  EXPECT_EQ(0, nvme_robust_mutex_unlock(&mutex));
  EXPECT_EQ(0, nvme_robust_mutex_lock(&mutex));
  EXPECT_EQ(0, nvme_robust_mutex_unlock(&mutex));
  pthread_mutex_destroy(&mutex);
}

}  // namespace
}  // namespace kyt::nvme_test
