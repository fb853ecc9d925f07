// The hook types the bridge accepts and the text with which it refuses the others.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "utility/hook_manager.h"

namespace {

std::string RefusalOf(int32_t type) {
  try {
    tyr::CheckHookType(type);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "accepted";
}

TEST(HookType, AcceptsTheFourHooksAndRefusesOthersWithTheSignedNumber) {
  for (int32_t type = 0; type < tyr::kHookCount; ++type) EXPECT_EQ(RefusalOf(type), "accepted") << type;
  EXPECT_EQ(RefusalOf(4), "Invalid handler type: 4");
  EXPECT_EQ(RefusalOf(-1), "Invalid handler type: -1");
  EXPECT_EQ(RefusalOf(std::numeric_limits<int32_t>::min()), "Invalid handler type: -2147483648");
}

}  // namespace
