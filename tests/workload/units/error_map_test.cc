// The table of fatal completion statuses.
#include <gtest/gtest.h>

#include <set>

#include "runner/error_map.h"

namespace {

TEST(ErrorMap, HoldsTheKnownStatusesAllFatal) {
  const ErrorMap map = BuildErrorMap();
  EXPECT_EQ(map.size(), 96u);
  std::set<StatusKey> expected;
  for (uint16_t sc = 0x00; sc <= 0x22; ++sc) expected.emplace(0, sc);
  for (uint16_t sc = 0x80; sc <= 0x84; ++sc) expected.emplace(0, sc);
  for (uint16_t sc = 0x00; sc <= 0x25; ++sc) expected.emplace(1, sc);
  for (uint16_t sc = 0x80; sc <= 0x82; ++sc) expected.emplace(1, sc);
  for (uint16_t sc = 0x80; sc <= 0x87; ++sc) expected.emplace(2, sc);
  for (uint16_t sc = 0x00; sc <= 0x03; ++sc) expected.emplace(3, sc);
  expected.emplace(3, 0x60);
  expected.emplace(3, 0x70);
  expected.emplace(3, 0x71);
  ASSERT_EQ(expected.size(), 96u);
  for (const StatusKey& key : expected) {
    const auto it = map.find(key);
    ASSERT_NE(it, map.end()) << key.first << "/" << key.second;
    EXPECT_EQ(it->second.mask, 1u) << key.first << "/" << key.second;
    EXPECT_FALSE(it->second.text.empty());
  }
  EXPECT_LE(map.load_factor(), 1.0f);
}

TEST(ErrorMap, NamesFollowTheTable) {
  const ErrorMap map = BuildErrorMap();
  struct Name {
    uint16_t sct, sc;
    const char* text;
  } names[] = {
      {0, 0x00, "Successful Completion"},
      {0, 0x06, "Internal Error"},
      {0, 0x15, "Opertion Denied"},
      {0, 0x17, "Reserved"},
      {0, 0x84, "Format In Progress"},
      {1, 0x04, "Reserved"},
      {1, 0x05, "Asynchronous Event Request Limited Exceeded"},
      {1, 0x17, "Reserved"},
      {1, 0x23, "Sanitize Prohibited While Persistent Memory Region is Enabled"},
      {1, 0x82, "Attempted Write to Read Only Range"},
      {2, 0x81, "Unrecovered Read Error"},
      {2, 0x87, "Deallocated or Unwritten Logical Block"},
      {3, 0x60, "Controler Pathing Error"},
      {3, 0x71, "Command Aborted By Host"},
  };
  for (const Name& n : names) {
    const auto it = map.find(StatusKey(n.sct, n.sc));
    ASSERT_NE(it, map.end()) << n.text;
    EXPECT_EQ(it->second.text, n.text);
  }
  size_t reserved = 0;
  for (const auto& entry : map) reserved += entry.second.text == "Reserved";
  EXPECT_EQ(reserved, 3u);
}

TEST(ErrorMap, HashIsTheXorOfTheHalves) {
  hash_pair hash;
  EXPECT_EQ(hash(StatusKey(2, 0x81)), 0x83u);
  EXPECT_EQ(hash(StatusKey(0x81, 2)), 0x83u);
  EXPECT_EQ(hash(StatusKey(0xFFFF, 0x00FF)), 0xFF00u);
  // Equal hashes do not make equal keys.
  const ErrorMap map = BuildErrorMap();
  EXPECT_EQ(map.count(StatusKey(0, 0x83)), 1u);
  EXPECT_EQ(map.count(StatusKey(3, 0x80)), 0u);
}

// An ignore list holds for the look-up it is given to; unknown statuses are never fatal.
TEST(ErrorMap, IgnoreListHoldsOnlyForItsLookUp) {
  const error_mask* fatal = FindFatalStatus(2, 0x81);
  ASSERT_NE(fatal, nullptr);
  EXPECT_EQ(fatal->text, "Unrecovered Read Error");
  const std::vector<StatusKey> ignored = {{2, 0x81}, {7, 0x01}};
  EXPECT_EQ(FindFatalStatus(2, 0x81, ignored), nullptr);
  EXPECT_NE(FindFatalStatus(2, 0x80, ignored), nullptr) << "a neighbour stays fatal";
  EXPECT_NE(FindFatalStatus(2, 0x81), nullptr) << "the table itself is unchanged";
  EXPECT_EQ(FindFatalStatus(0, 0x23), nullptr);
  EXPECT_EQ(FindFatalStatus(7, 0x01), nullptr);
}

}  // namespace
