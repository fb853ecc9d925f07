#include "kyt_sim/sim_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "kyt/env_test.h"
#include "spdk/env.h"

namespace kyt::sim {
namespace {

TEST(SimRegistryTest, CreatesFindsAndDestroysByNormalisedAddress) {
  SimRegistry& reg = SimRegistry::Instance();
  auto a = reg.Create("7d:1.2", SimConfig{});
  EXPECT_EQ(a->address(), "0000:7d:01.2");
  EXPECT_EQ(reg.Find("0000:7d:01.2"), a);
  EXPECT_EQ(reg.Find("7d:01.2"), a);
  EXPECT_EQ(reg.Find("garbage"), nullptr);
  EXPECT_THROW(reg.Create("0000:7d:01.2", SimConfig{}), std::runtime_error);
  EXPECT_THROW(reg.Create("zz", SimConfig{}), std::invalid_argument);
  auto b = reg.Create("7d:1.3", SimConfig{});
  auto all = reg.Addresses();
  EXPECT_NE(std::find(all.begin(), all.end(), "0000:7d:01.3"), all.end());

  spdk_pci_addr addr{};
  ASSERT_EQ(spdk_pci_addr_parse(&addr, "0000:7d:01.2"), 0);
  EXPECT_TRUE(kyt_swdev_present(&addr));
  EXPECT_TRUE(reg.Destroy("7d:1.2"));
  EXPECT_FALSE(kyt_swdev_present(&addr));  // off the bus at once, though `a` still holds the object
  EXPECT_EQ(a->presence(), SimController::Presence::kRemoved);
  EXPECT_EQ(reg.Find("7d:1.2"), nullptr);
  EXPECT_FALSE(reg.Destroy("7d:1.2"));
  reg.DestroyAll();
  EXPECT_TRUE(reg.Addresses().empty());
  EXPECT_EQ(b->presence(), SimController::Presence::kRemoved);
}

}  // namespace
}  // namespace kyt::sim
