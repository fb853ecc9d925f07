// The table of fatal completion statuses and the ignore list of a look-up.
#include <gtest/gtest.h>

#include "runner/error_map.h"

namespace {

// A known status is fatal with its name, unless the look-up's own ignore list names it (both fields); unknown
// statuses never are.
TEST(ErrorMap, KnownStatusesAreFatalUnlessIgnored) {
  ASSERT_NE(FindFatalStatus(2, 0x81), nullptr);
  EXPECT_EQ(FindFatalStatus(2, 0x81)->text, "Unrecovered Read Error");
  const std::vector<StatusKey> ignored = {{2, 0x81}, {7, 0x01}};
  EXPECT_EQ(FindFatalStatus(2, 0x81, ignored), nullptr);
  EXPECT_NE(FindFatalStatus(0, 0x81, ignored), nullptr) << "the same code of another type stays fatal";
  EXPECT_NE(FindFatalStatus(2, 0x80, ignored), nullptr);
  EXPECT_NE(FindFatalStatus(2, 0x81), nullptr) << "the table itself is unchanged";
  EXPECT_EQ(FindFatalStatus(0, 0x23), nullptr);
}

}  // namespace
