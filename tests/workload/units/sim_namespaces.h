// An attached simulated controller whose namespaces cover the geometries the access patterns meet.
#ifndef KYT_TESTS_WORKLOAD_UNITS_SIM_NAMESPACES_H
#define KYT_TESTS_WORKLOAD_UNITS_SIM_NAMESPACES_H

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include <unistd.h>

#include "kyt/env_test.h"
#include "kyt_sim/sim_controller.h"
#include "nvme/namespace_ctx.h"
#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "nvme/nvme_controller_manager.h"

namespace wlunits {

// Namespaces: 1 active, 1 Mi blocks of 512 bytes; 2 inactive; 3 active, 4096 blocks of 512 bytes with 8 bytes of
// separate metadata; 4 active, 1000 blocks of 512 bytes with 8 bytes of metadata inline (520-byte buffer blocks);
// 5 active, 64 blocks of 512 bytes. NN is 5; transfers up to 128 KiB.
inline kyt::sim::SimConfig PatternConfig() {
  kyt::sim::SimConfig config;
  config.max_namespaces = 5;
  config.mdts = 5;
  config.namespaces.clear();
  auto add = [&config](uint32_t nsid, uint64_t blocks, uint8_t lbaf, bool extended, bool active) {
    kyt::sim::NamespaceConfig ns;
    ns.nsid = nsid;
    ns.blocks = blocks;
    ns.lba_format = lbaf;
    ns.extended_lba = extended;
    ns.active = active;
    config.namespaces.push_back(ns);
  };
  add(1, 1u << 20, 0, false, true);
  add(2, 4096, 0, false, false);
  add(3, 4096, 1, false, true);
  add(4, 1000, 1, true, true);
  add(5, 64, 0, false, true);
  return config;
}

class SimNamespaces : public ::testing::Test {
 protected:
  static constexpr uint32_t kClockScale = 20;

  void SetUp() override {
    if (kyt_env_test_init("kyt_workload_units_tests") != 0) GTEST_SKIP() << "the environment does not start here";
    kyt_env_test_set_clock_scale(kClockScale);
    kyt_env_test_clock_pace_thread();  // this thread steps the driver: the clock waits for it as for the drive
    static int next = 0;
    char address[32];
    std::snprintf(address, sizeof(address), "%04x:c%x:%02x.0", static_cast<unsigned>(getpid()) & 0xFFFF,
                  (next / 32) % 16, next % 32);
    ++next;
    address_ = address;
    sim_ = std::make_unique<kyt::sim::SimController>(address_, PatternConfig());
    manager_ = std::make_shared<NvmeControllerManager>();
    controller_ = manager_->GetController(address_);
    controller_->ScanAttachement(0);
    ASSERT_NE(controller_->GetState(), kyt::nvme::ControllerState::kDetached)
        << "the simulated controller did not attach";
  }

  void TearDown() override {
    controller_.reset();
    if (manager_) manager_->Teardown();
    manager_.reset();
    sim_.reset();
  }

  std::shared_ptr<const NamespaceCtx> Ns(uint32_t nsid) {
    return controller_->GetControllerCtx()->GetNamespaceManager().GetNamespace(nsid);
  }

  std::string address_;
  std::unique_ptr<kyt::sim::SimController> sim_;
  std::shared_ptr<NvmeControllerManager> manager_;
  std::shared_ptr<NvmeController> controller_;
};

}  // namespace wlunits

#endif  // KYT_TESTS_WORKLOAD_UNITS_SIM_NAMESPACES_H
