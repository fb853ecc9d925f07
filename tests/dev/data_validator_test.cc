#include "nvme/data_validator.h"
#include "nvme/data_validator_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
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
  EXPECT_EQ(DataValidator::StampWord(10, 0), 0x0A00u);
  EXPECT_EQ(DataValidator::StampWord(0x0102030405060708ULL, 7), 0x0203040506070807ULL);
}

TEST(DataValidatorTest, RangesAndPendingBits) {
  DataValidator v;
  ASSERT_EQ(v.Resize(200, 512), kDataValidatorOk);
  EXPECT_EQ(v.GetNumPendingWords(), 4u);
  for (const auto& [lba, n, valid] : {std::tuple<uint64_t, uint64_t, bool>{0, 0, false}, {199, 2, false}, {199, 1, true},
                                      {UINT64_MAX, 2, false}}) {  // no wrap-around
    EXPECT_EQ(v.IsValidRange(lba, n), valid) << lba << "+" << n;
  }
  // A range across three words: only its own bits are set; removal clears only its own.
  auto pending = [&v](std::initializer_list<std::tuple<uint64_t, uint64_t, bool>> cases) {
    for (const auto& [lba, n, want] : cases) EXPECT_EQ(v.IsPending(lba, n), want) << lba << "+" << n;
  };
  ASSERT_EQ(v.AddPending(60, 70), kDataValidatorOk);
  pending({{0, 60, false}, {59, 2, true}, {64, 64, true}, {129, 1, true}, {130, 70, false}});
  ASSERT_EQ(v.RemovePending(64, 64), kDataValidatorOk);
  pending({{60, 4, true}, {64, 64, false}, {128, 2, true}});
  ASSERT_EQ(v.RemovePending(0, 200), kDataValidatorOk);
  pending({{0, 200, false}});

  // Out-of-range operations change nothing.
  EXPECT_EQ(v.AddPending(150, 51), kDataValidatorOutOfRange);
  EXPECT_FALSE(v.IsPending(150, 50));
  EXPECT_EQ(v.UpdateMap(0, 0), kDataValidatorOutOfRange);
  EXPECT_EQ(v.MarkDeallocated(199, 2), kDataValidatorOutOfRange);
  EXPECT_EQ(v.GetTag(199), 255);
  EXPECT_FALSE(v.IsPending(150, 51));

  // Last LBA of the last, partial word.
  ASSERT_EQ(v.AddPending(199, 1), kDataValidatorOk);
  pending({{0, 200, true}, {0, 199, false}});

  // A claim takes a free range whole (within a word or across words) and leaves a busy or invalid one untouched.
  EXPECT_TRUE(v.ClaimPending(10, 5));
  EXPECT_TRUE(v.ClaimPending(60, 10));
  EXPECT_FALSE(v.ClaimPending(14, 2));
  EXPECT_FALSE(v.ClaimPending(120, 80));
  EXPECT_FALSE(v.ClaimPending(150, 51));
  pending({{0, 10, false}, {10, 5, true}, {15, 1, false}, {60, 10, true}, {70, 129, false}});
}

TEST(DataValidatorTest, TagsAdvanceAndDeallocate) {
  DataValidator v;
  ASSERT_EQ(v.Resize(16, 4096), kDataValidatorOk);
  EXPECT_EQ(v.GetTag(3), 255);
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

TEST(DataValidatorManagerTest, ResizeOnlyGrowsAndBadIdsThrow) {
  DataValidatorManager m;
  testing::internal::CaptureStdout();
  m.Resize(8);
  m.Resize(4);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "NVME: DataValidatorManager: Resizing data validators, size: 8\n");
  EXPECT_EQ(m.GetSize(), 8u);
  EXPECT_EQ(m.GetDataValidator(0), nullptr);
  EXPECT_EQ(m.GetDataValidator(9), nullptr);
  ASSERT_NE(m.GetDataValidator(8), nullptr);
  EXPECT_FALSE(m.GetDataValidator(8)->IsEnabled());
  EXPECT_NE(m.GetDataValidator(1), m.GetDataValidator(2));

  const std::pair<std::function<void()>, const char*> cases[] = {{[&] { m.Disable(0); }, "Invalid namespace ID 0"},
                                                                {[&] { m.Enable(9, 10, 512); }, "Invalid namespace ID 9"},
                                                                {[&] { m.Reset(9, 10, 512); }, "Invalid namespace ID 9"}};
  for (const auto& [call, text] : cases) {
    try {
      call();
      ADD_FAILURE() << text;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), text);
    }
  }
}

TEST(DataValidatorManagerTest, EnableKeepsAndGrowsResetCutsDisableEmpties) {
  DataValidatorManager m;
  m.Resize(2);
  testing::internal::CaptureStdout();
  ASSERT_EQ(m.Enable(1, 100, 4096), kDataValidatorOk);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "NVME: DataValidatorManager: Enabling data validator for NSID 1\n");
  auto v = m.GetDataValidator(1);
  EXPECT_EQ(v->GetNumLbas(), 100u);
  EXPECT_EQ(v->GetNumPendingWords(), 2u);
  EXPECT_EQ(v->GetBlockSize(), 4096u);
  EXPECT_EQ(v->GetTag(99), 255);
  ASSERT_EQ(v->AddPending(70, 20), kDataValidatorOk);  // LBAs 64..99 have pending bits
  EXPECT_TRUE(v->IsPending(89, 1));
  EXPECT_FALSE(m.GetDataValidator(2)->IsEnabled());

  ASSERT_EQ(v->UpdateMap(5, 1), kDataValidatorOk);
  ASSERT_EQ(m.Enable(1, 100, 4096), kDataValidatorOk);  // same: nothing changes
  EXPECT_EQ(v->GetTag(5), 0);
  EXPECT_TRUE(v->IsPending(70, 1));

  ASSERT_EQ(m.Enable(1, 300, 4096), kDataValidatorOk);  // larger: old tags kept, new ones 255
  EXPECT_EQ(v->GetTag(5), 0);
  EXPECT_EQ(v->GetTag(299), 255);
  EXPECT_EQ(v->GetNumPendingWords(), 5u);
  EXPECT_TRUE(v->IsPending(70, 1));

  ASSERT_EQ(m.Reset(1, 50, 512), kDataValidatorOk);  // smaller: cut
  EXPECT_EQ(v->GetNumLbas(), 50u);
  EXPECT_EQ(v->GetBlockSize(), 512u);
  EXPECT_EQ(v->GetTag(5), 0);

  const uint64_t epoch = v->GetEpoch();
  m.Disable(1);
  EXPECT_FALSE(v->IsEnabled());
  EXPECT_EQ(v->GetNumLbas(), 0u);
  EXPECT_NE(v->GetEpoch(), epoch);
  EXPECT_EQ(m.GetDataValidator(1), v);  // emptied in place
  ASSERT_EQ(m.Enable(1, 10, 512), kDataValidatorOk);
  EXPECT_EQ(v->GetTag(5), 255);

  m.Disable(1);  // every slot is logged, enabled or not
  ASSERT_EQ(m.Enable(2, 10, 512), kDataValidatorOk);
  testing::internal::CaptureStdout();
  m.DisableAll();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "NVME: DataValidatorManager: Disabling all data validators\n"
            "NVME: DataValidatorManager: Disabling data validator for NSID: 1\n"
            "NVME: DataValidatorManager: Disabling data validator for NSID: 2\n");
  EXPECT_FALSE(m.GetDataValidator(2)->IsEnabled());
}

}  // namespace
