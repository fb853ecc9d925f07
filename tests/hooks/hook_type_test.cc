// The hook types the bridge accepts and the text with which it refuses the others.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "javascript/hook_manager.h"

namespace {

std::string RefusalOf(int32_t type) {
  try {
    tyr::CheckHookType(type);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "accepted";
}

TEST(HookType, AcceptsTheFourHooks) {
  EXPECT_EQ(tyr::kHookCount, 4);
  for (int32_t type = 0; type < 4; ++type) EXPECT_EQ(RefusalOf(type), "accepted") << type;
  EXPECT_EQ(tyr::kHookPowerOn, 0);
  EXPECT_EQ(tyr::kHookPowerOff, 1);
}

TEST(HookType, RefusesOthersWithTheSignedNumber) {
  EXPECT_EQ(RefusalOf(4), "Invalid handler type: 4");
  EXPECT_EQ(RefusalOf(-1), "Invalid handler type: -1");
  EXPECT_EQ(RefusalOf(std::numeric_limits<int32_t>::min()), "Invalid handler type: -2147483648");
  EXPECT_EQ(RefusalOf(std::numeric_limits<int32_t>::max()), "Invalid handler type: 2147483647");
  // A script's unsigned 2^32-1 reaches the manager as -1.
  EXPECT_EQ(RefusalOf(static_cast<int32_t>(UINT32_C(4294967295))), "Invalid handler type: -1");
}

// A manager written against the interface alone, as the worker's users see it: held by a shared pointer made for the
// concrete class and used through the interface, the concrete destructor runs when the last holder lets go.
class CountingManager final : public tyr::HookManager {
 public:
  explicit CountingManager(int* destroyed) : destroyed_(destroyed) {}
  ~CountingManager() { ++*destroyed_; }
  bool Start(tyr::HookHandlerType type) override { tyr::CheckHookType(type); return ++starts_ == 1; }
  std::string GetError(tyr::HookHandlerType) override { return "e"; }
  bool HasError(tyr::HookHandlerType) override { return false; }
  bool IsBusy(tyr::HookHandlerType) override { return starts_ > 0; }
  bool Reset(tyr::HookHandlerType) override { starts_ = 0; return true; }

 private:
  int* destroyed_;
  int starts_ = 0;
};

TEST(HookType, InterfaceHoldersDestroyTheConcreteManager) {
  int destroyed = 0;
  {
    std::shared_ptr<tyr::HookManager> held = std::make_shared<CountingManager>(&destroyed);
    EXPECT_TRUE(held->Start(tyr::kHookPowerOff));
    EXPECT_FALSE(held->Start(tyr::kHookPowerOn));
    EXPECT_TRUE(held->IsBusy(tyr::kHookPowerOn));
    EXPECT_THROW(held->Start(static_cast<tyr::HookHandlerType>(4)), std::runtime_error);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
