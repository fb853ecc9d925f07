#include "nvme/data_validator.h"
#include "nvme/data_validator_manager.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>
#include <vector>

using kyt::nvme::DataValidator;
using kyt::nvme::DataValidatorManager;
using kyt::nvme::kDataValidatorOk;
using kyt::nvme::kDataValidatorOutOfRange;

namespace {

TEST(DataValidatorTest, NextTagCycle) {
  for (const auto& [tag, next] : {std::pair<uint8_t, uint8_t>{0, 1}, {251, 252}, {252, 0}, {254, 0}, {255, 0}}) {
    EXPECT_EQ(DataValidator::NextTag(tag), next) << int{tag};
  }
  EXPECT_EQ(DataValidator::StampWord(0x0102030405060708ULL, 0xFD), 0x02030405060708FDULL);
}

TEST(DataValidatorTest, RangesAndPendingBits) {
  DataValidator v;
  ASSERT_EQ(v.Resize(200, 512), kDataValidatorOk);
  EXPECT_EQ(v.GetNumPendingWords(), 4u);
  for (const auto& [lba, n, valid] : {std::tuple<uint64_t, uint64_t, bool>{0, 0, false}, {199, 2, false}, {199, 1, true},
                                      {UINT64_MAX, 2, false}}) {  // no wrap-around
    EXPECT_EQ(v.IsValidRange(lba, n), valid) << lba << "+" << n;
  }
  auto pending = [&v](std::initializer_list<std::tuple<uint64_t, uint64_t, bool>> cases) {
    for (const auto& [lba, n, want] : cases) EXPECT_EQ(v.IsPending(lba, n), want) << lba << "+" << n;
  };
  // A range across three words sets only its own bits; clearing part of it clears only that part.
  ASSERT_EQ(v.AddPending(60, 70), kDataValidatorOk);
  pending({{0, 60, false}, {59, 2, true}, {64, 64, true}, {129, 1, true}, {130, 70, false}});
  ASSERT_EQ(v.RemovePending(64, 64), kDataValidatorOk);
  pending({{60, 4, true}, {64, 64, false}, {128, 2, true}});
  ASSERT_EQ(v.RemovePending(0, 200), kDataValidatorOk);
  pending({{0, 200, false}});

  // Out-of-range operations change nothing; the last LBA of the last, partial word is tracked.
  EXPECT_EQ(v.AddPending(150, 51), kDataValidatorOutOfRange);
  EXPECT_EQ(v.UpdateMap(0, 0), kDataValidatorOutOfRange);
  EXPECT_EQ(v.MarkDeallocated(199, 2), kDataValidatorOutOfRange);
  EXPECT_EQ(v.GetTag(199), 255);
  ASSERT_EQ(v.AddPending(199, 1), kDataValidatorOk);
  pending({{0, 200, true}, {0, 199, false}});

  // A claim takes a free range whole (within a word or across words) and leaves a busy or invalid one untouched.
  EXPECT_TRUE(v.ClaimPending(10, 5));
  EXPECT_TRUE(v.ClaimPending(60, 10));
  EXPECT_FALSE(v.ClaimPending(14, 2));
  EXPECT_FALSE(v.ClaimPending(120, 80));
  EXPECT_FALSE(v.ClaimPending(150, 51));
  pending({{0, 10, false}, {10, 5, true}, {15, 1, false}, {60, 10, true}, {70, 129, false}});

  // Two I/Os in flight in one word (LBAs 0 and 16): the first one's end leaves the second one pending.
  ASSERT_EQ(v.RemovePending(0, 200), kDataValidatorOk);
  ASSERT_TRUE(v.ClaimPending(0, 8));
  ASSERT_TRUE(v.ClaimPending(16, 8));
  ASSERT_EQ(v.RemovePending(0, 8), kDataValidatorOk);
  pending({{0, 8, false}, {16, 8, true}});
}

TEST(DataValidatorTest, TagsAdvanceAndDeallocate) {
  DataValidator v;
  ASSERT_EQ(v.Resize(16, 4096), kDataValidatorOk);
  auto tags = [&v] {
    std::vector<uint8_t> out;
    EXPECT_EQ(v.CopyTags(1, 5, out), kDataValidatorOk);
    return out;
  };
  ASSERT_EQ(v.UpdateMap(2, 3), kDataValidatorOk);
  EXPECT_EQ(tags(), (std::vector<uint8_t>{255, 0, 0, 0, 255}));
  ASSERT_EQ(v.UpdateMap(2, 1), kDataValidatorOk);
  EXPECT_EQ(v.GetTag(2), 1);
  ASSERT_EQ(v.MarkDeallocated(2, 2), kDataValidatorOk);
  EXPECT_EQ(tags(), (std::vector<uint8_t>{255, 254, 254, 0, 255}));
  ASSERT_EQ(v.MarkUntracked(2, 1), kDataValidatorOk);
  EXPECT_EQ(v.GetTag(2), 255);
}

TEST(DataValidatorManagerTest, EnableKeepsAndGrowsResetCutsDisableEmpties) {
  DataValidatorManager m;
  m.Resize(2);
  m.Resize(1);  // never shrinks
  EXPECT_EQ(m.GetSize(), 2u);
  EXPECT_EQ(m.GetDataValidator(0), nullptr);
  EXPECT_EQ(m.GetDataValidator(3), nullptr);
  for (uint32_t bad : {0u, 3u}) EXPECT_THROW(m.Enable(bad, 10, 512), std::runtime_error) << bad;
  EXPECT_THROW(m.Disable(3), std::runtime_error);

  ASSERT_EQ(m.Enable(1, 100, 4096), kDataValidatorOk);
  auto v = m.GetDataValidator(1);
  EXPECT_FALSE(m.GetDataValidator(2)->IsEnabled());
  ASSERT_EQ(v->AddPending(70, 20), kDataValidatorOk);
  ASSERT_EQ(v->UpdateMap(5, 1), kDataValidatorOk);

  ASSERT_EQ(m.Enable(1, 100, 4096), kDataValidatorOk);  // the same: nothing changes
  EXPECT_EQ(v->GetTag(5), 0);
  EXPECT_TRUE(v->IsPending(70, 1));
  ASSERT_EQ(m.Enable(1, 300, 4096), kDataValidatorOk);  // larger: old tags kept, new ones untracked
  EXPECT_EQ(v->GetTag(5), 0);
  EXPECT_EQ(v->GetTag(299), 255);
  EXPECT_TRUE(v->IsPending(70, 1));

  const uint64_t epoch = v->GetEpoch();
  ASSERT_EQ(m.Reset(1, 50, 512), kDataValidatorOk);  // smaller: cut, and a new epoch
  EXPECT_EQ(v->GetNumLbas(), 50u);
  EXPECT_EQ(v->GetBlockSize(), 512u);
  EXPECT_EQ(v->GetTag(5), 0);
  EXPECT_NE(v->GetEpoch(), epoch);

  m.Disable(1);
  EXPECT_FALSE(v->IsEnabled());
  EXPECT_EQ(m.GetDataValidator(1), v);  // emptied in place
  ASSERT_EQ(m.Enable(1, 10, 512), kDataValidatorOk);
  EXPECT_EQ(v->GetTag(5), 255);
  ASSERT_EQ(m.Enable(2, 10, 512), kDataValidatorOk);
  m.DisableAll();
  EXPECT_FALSE(v->IsEnabled());
  EXPECT_FALSE(m.GetDataValidator(2)->IsEnabled());
}

}  // namespace
