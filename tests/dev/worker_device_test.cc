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

  bool Fail(const std::string& why) {
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

TEST(WorkerDeviceTest, AttachQueuePairValidatedIoAndResetOnTheWorker) {
  kyt_env_test_set_clock_scale(50);
  char address[32];  // a domain of this process: addresses are claimed host-wide
  std::snprintf(address, sizeof(address), "%04x:90:00.0", 0x1000u + static_cast<unsigned>(getpid()) % 0xE000u);
  kyt::sim::SimConfig config;
  config.namespaces[0].blocks = 1024;
  auto sim = std::make_unique<kyt::sim::SimController>(address, config);

  auto driver = std::make_unique<NvmeDriver>();
  ASSERT_TRUE(driver->StartScheduler(0, 1, static_cast<uint32_t>(getpid()), address));

  std::shared_ptr<kyt::nvme::QueuePairCreationController> creation;
  uint16_t qid = 0, qid_after_reset = 0;
  std::unique_ptr<NvmeIoCtx> io, last;
  std::vector<bool> mismatches;

  // Creates a queue pair with the polled machine, one step per pass.
  auto create = [&](uint16_t* out) {
    return [&, out](StepTask& t) {
      if (!creation) creation = t.controller->GetControllerCtx()->MakeQueuePairCreationController();
      creation->Run();
      if (!creation->IsCompleted()) return false;
      if (creation->HasError()) return t.Fail(creation->GetErrorMessage());
      *out = static_cast<uint16_t>(creation->GetQid());
      creation.reset();
      return true;
    };
  };
  // Submits a validated 4-block I/O at LBA 10 on `*on_qid`, then polls until it completes.
  auto transfer = [&](bool write, const uint16_t* on_qid) {
    return [&, write, on_qid](StepTask& t) {
      auto& ctx = *t.controller->GetControllerCtx();
      if (!io) {
        io = std::make_unique<NvmeIoCtx>();
        io->nsid = 1;
        io->qid = *on_qid;
        io->start_lba = 10;
        io->num_blocks = 4;
        io->data = std::make_unique<DmaContext>(4 * 512);
        auto& manager = ctx.GetIoManager();
        if ((write ? manager.SendWriteAsync(io.get()) : manager.SendReadAsync(io.get())) != kyt::nvme::kIoOpsSubmitted) {
          return t.Fail("submission refused: " + io->error);
        }
      }
      ctx.GetQueueManager().ProcessIoCompletions(*on_qid);
      if (!io->completed) return false;
      mismatches.push_back(io->data_mismatch);
      last = std::move(io);
      return true;
    };
  };

  std::vector<StepTask::Step> steps = {
      [&](StepTask& t) {
        t.controller = t.GetNvmeControllerManager()->GetController(t.GetDevice());
        t.controller->ScanAttachement(0);
        if (!t.controller->IsInitialized()) return t.Fail("not attached");
        t.GetNvmeControllerManager()->GetDataValidatorManager()->Enable(1, 1024, 512);
        return true;
      },
      create(&qid),
      transfer(true, &qid),
      transfer(false, &qid),
      [&](StepTask& t) {
        t.controller->GetControllerCtx()->GetResetController().Start();
        return true;
      },
      [&](StepTask& t) { return t.controller->GetControllerCtx()->GetResetController().IsDone(); },
      create(&qid_after_reset),
      transfer(false, &qid_after_reset),
  };

  StepTask task(address, std::move(steps));
  driver->AddTask(&task);
  task.WaitForDone();
  ASSERT_TRUE(task.IsDone()) << task.GetErrorMessage();
  EXPECT_NE(task.worker_thread, std::this_thread::get_id());
  EXPECT_EQ(qid, 1);
  EXPECT_NE(qid_after_reset, 0);
  // The media kept the blocks written before the reset, and the validator still expects them.
  EXPECT_EQ(mismatches, (std::vector<bool>{false, false, false}));
  uint64_t word = 0;
  std::memcpy(&word, last->data->GetBuffer(), sizeof(word));
  EXPECT_EQ(word, 0x0A00u);

  last.reset();
  task.controller.reset();
  driver.reset();  // tears the controllers down (detach) after the worker stopped
  sim.reset();
}

}  // namespace
