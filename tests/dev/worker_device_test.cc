// The device layer driven on the real worker thread: a task attaches the simulated drive, creates a queue pair with
// the polled machine, runs validated I/O, resets the controller and works again afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kyt/env_test.h"
#include "kyt_sim/sim_controller.h"
#include "nvme/data_validator_manager.h"
#include "nvme/dma_context.h"
#include "nvme/io_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"
#include "nvme/nvme_driver.h"
#include "nvme/nvme_io_ctx.h"
#include "runner/task_base.h"

namespace {

// A task whose steps are given by the test: each pass runs the current step once; a step answers whether it is
// finished. Everything a step touches runs on the worker.
class StepTask : public TaskBase {
 public:
  using Step = std::function<bool(StepTask&)>;

  StepTask(const std::string& device, std::vector<Step> steps)
      : TaskBase(1, "DeviceLayerSteps", device), steps_(std::move(steps)) {}

  std::shared_ptr<NvmeController> controller;
  std::thread::id worker_thread;
  std::string failure;

  bool Fail(const std::string& why) {
    failure = why;
    SetErrorMessage(why);
    ChangeState(kStateAborted);
    return false;
  }

 protected:
  void FetchStates() override {
    worker_thread = std::this_thread::get_id();
    try {
      if (steps_[next_](*this) && !IsComplete()) {
        ++next_;
        if (next_ == steps_.size()) ChangeState(kStateDone);
      }
    } catch (const std::exception& e) {
      Fail(std::string("exception: ") + e.what());
    }
  }

 private:
  std::vector<Step> steps_;
  size_t next_ = 0;
};

std::string UniqueAddress() {
  char address[32];
  std::snprintf(address, sizeof(address), "%04x:%02x:00.0", 0x1000u + static_cast<unsigned>(getpid()) % 0xE000u,
                0x90);
  return address;
}

TEST(WorkerDeviceTest, AttachQueuePairValidatedIoAndResetOnTheWorker) {
  kyt_env_test_set_clock_scale(50);
  const std::string address = UniqueAddress();
  kyt::sim::SimConfig config;
  config.namespaces[0].blocks = 1024;
  auto sim = std::make_unique<kyt::sim::SimController>(address, config);

  auto driver = std::make_unique<NvmeDriver>();
  ASSERT_TRUE(driver->StartScheduler(0, 1, static_cast<uint32_t>(getpid()), address));

  std::shared_ptr<kyt::nvme::QueuePairCreationController> creation;
  uint16_t qid = 0;
  std::unique_ptr<NvmeIoCtx> io;
  bool mismatch_after_reset = true;
  uint16_t qid_after_reset = 0;

  auto make_io = [&](uint64_t lba, uint32_t blocks) {
    io = std::make_unique<NvmeIoCtx>();
    io->nsid = 1;
    io->start_lba = lba;
    io->num_blocks = blocks;
    io->data = std::make_unique<DmaContext>(blocks * 512ull);
  };
  auto submit = [&](StepTask& t, bool write, uint16_t on_qid) {
    io->qid = on_qid;
    auto& io_manager = t.controller->GetControllerCtx()->GetIoManager();
    const kyt::nvme::IoOpsStatus status = write ? io_manager.SendWriteAsync(io.get()) : io_manager.SendReadAsync(io.get());
    return status == kyt::nvme::kIoOpsSubmitted || t.Fail("submission refused: " + io->error);
  };
  auto completed = [&](StepTask& t, uint16_t on_qid) {
    t.controller->GetControllerCtx()->GetQueueManager().ProcessIoCompletions(on_qid);
    return io->completed;
  };
  auto create = [&](StepTask& t, uint16_t* out) {
    if (!creation) creation = t.controller->GetControllerCtx()->MakeQueuePairCreationController();
    creation->Run();
    if (!creation->IsCompleted()) return false;
    if (creation->HasError()) return t.Fail(creation->GetErrorMessage());
    *out = static_cast<uint16_t>(creation->GetQid());
    creation.reset();
    return true;
  };

  std::vector<StepTask::Step> steps = {
      [&](StepTask& t) {
        t.controller = t.GetNvmeControllerManager()->GetController(t.GetDevice());
        t.controller->ScanAttachement(0);
        if (!t.controller->IsInitialized()) return t.Fail("not attached");
        t.GetNvmeControllerManager()->GetDataValidatorManager()->Enable(1, 1024, 512);
        return true;
      },
      [&](StepTask& t) { return create(t, &qid); },
      [&](StepTask& t) {
        make_io(10, 4);
        return submit(t, true, qid);
      },
      [&](StepTask& t) { return completed(t, qid); },
      [&](StepTask& t) {
        make_io(10, 4);
        return submit(t, false, qid);
      },
      [&](StepTask& t) {
        if (!completed(t, qid)) return false;
        return !io->data_mismatch || t.Fail("mismatch before the reset");
      },
      [&](StepTask& t) {
        t.controller->GetControllerCtx()->GetResetController().Start();
        return true;
      },
      [&](StepTask& t) { return t.controller->GetControllerCtx()->GetResetController().IsDone(); },
      [&](StepTask& t) { return create(t, &qid_after_reset); },
      [&](StepTask& t) {
        make_io(10, 4);
        return submit(t, false, qid_after_reset);
      },
      [&](StepTask& t) {
        if (!completed(t, qid_after_reset)) return false;
        mismatch_after_reset = io->data_mismatch;
        return true;
      },
  };

  StepTask task(address, std::move(steps));
  driver->AddTask(&task);
  task.WaitForDone();
  ASSERT_TRUE(task.IsDone()) << task.GetErrorMessage();
  EXPECT_NE(task.worker_thread, std::this_thread::get_id());
  EXPECT_EQ(qid, 1);
  EXPECT_NE(qid_after_reset, 0);
  // The media kept the blocks written before the reset, and the validator still expects them.
  EXPECT_FALSE(mismatch_after_reset);
  uint64_t word = 0;
  std::memcpy(&word, io->data->GetBuffer(), sizeof(word));
  EXPECT_EQ(word, 0x0A00u);

  io.reset();
  task.controller.reset();
  driver.reset();  // tears the controllers down (detach) after the worker stopped
  sim.reset();
}

}  // namespace
