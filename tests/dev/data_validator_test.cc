#include "nvme/data_validator.h"
#include "nvme/data_validator_manager.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "memory_files.h"

using kyt::nvme::DataValidator;
using kyt::nvme::DataValidatorManager;
using kyt::nvme::kDataValidatorOk;
using kyt::nvme::kDataValidatorNoMemory;
using kyt::nvme::kDataValidatorOutOfRange;
using kyt_dev_test::MemoryFiles;

namespace {

// Field `index` of /proc/self/statm (0 address space, 1 resident) in bytes.
uint64_t Statm(int index) {
  unsigned long long fields[2] = {0, 0};
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f != nullptr) {
    if (std::fscanf(f, "%llu %llu", &fields[0], &fields[1]) != 2) fields[0] = fields[1] = 0;
    std::fclose(f);
  }
  return fields[index] * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Minor page faults this thread has taken.
uint64_t MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<uint64_t>(usage.ru_minflt);
}

// The flags of the mapping that holds `address` (/proc/self/smaps "VmFlags"), each followed by a space.
std::string VmFlags(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx ", &lo, &hi) == 2) {
      inside = lo <= at && at < hi;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line.substr(8) + " ";
    }
  }
  return "";
}

constexpr uint64_t kPageLbas = DataValidator::kLbasPerLine * DataValidator::kLinesPerPage;

TEST(DataValidatorTest, NextTagCycle) {
  for (const auto& [tag, next] : {std::pair<uint8_t, uint8_t>{0, 1}, {251, 252}, {252, 0}, {254, 0}, {255, 0}}) {
    EXPECT_EQ(DataValidator::NextTag(tag), next) << int{tag};
  }
  EXPECT_EQ(DataValidator::StampWord(0x0102030405060708ULL, 0xFD), 0x02030405060708FDULL);
}

TEST(DataValidatorTest, RangesAndPendingBits) {
  DataValidator v;
  ASSERT_EQ(v.Resize(200, 512), kDataValidatorOk);
  for (const auto& [lba, n, valid] : {std::tuple<uint64_t, uint64_t, bool>{0, 0, false}, {199, 2, false}, {199, 1, true},
                                      {UINT64_MAX, 2, false}}) {  // no wrap-around
    EXPECT_EQ(v.IsValidRange(lba, n), valid) << lba << "+" << n;
  }
  auto pending = [&v](std::initializer_list<std::tuple<uint64_t, uint64_t, bool>> cases) {
    for (const auto& [lba, n, want] : cases) EXPECT_EQ(v.IsPending(lba, n), want) << lba << "+" << n;
  };
  // A range across three lines (56 LBAs each) sets only its own bits; clearing part of it clears only that part.
  ASSERT_EQ(v.AddPending(50, 70), kDataValidatorOk);
  pending({{0, 50, false}, {49, 2, true}, {56, 56, true}, {119, 1, true}, {120, 80, false}});
  ASSERT_EQ(v.RemovePending(56, 56), kDataValidatorOk);
  pending({{50, 6, true}, {56, 56, false}, {112, 8, true}});
  ASSERT_EQ(v.RemovePending(0, 200), kDataValidatorOk);
  pending({{0, 200, false}});

  // Out-of-range operations change nothing; the last LBA of the last, partial line is tracked.
  EXPECT_EQ(v.AddPending(150, 51), kDataValidatorOutOfRange);
  EXPECT_EQ(v.UpdateMap(0, 0), kDataValidatorOutOfRange);
  EXPECT_EQ(v.MarkDeallocated(199, 2), kDataValidatorOutOfRange);
  EXPECT_EQ(v.GetTag(199), 255);
  ASSERT_EQ(v.AddPending(199, 1), kDataValidatorOk);
  pending({{0, 200, true}, {0, 199, false}});

  // A claim takes a free range whole (within a line or across lines) and leaves a busy or invalid one untouched.
  EXPECT_EQ(v.ClaimPending(10, 5), DataValidator::kClaimed);
  EXPECT_EQ(v.ClaimPending(50, 10), DataValidator::kClaimed);
  EXPECT_EQ(v.ClaimPending(14, 2), DataValidator::kClaimBusy);
  EXPECT_EQ(v.ClaimPending(120, 80), DataValidator::kClaimBusy);
  EXPECT_EQ(v.ClaimPending(150, 51), DataValidator::kClaimInvalid);
  pending({{0, 10, false}, {10, 5, true}, {15, 1, false}, {50, 10, true}, {60, 139, false}});

  // Two I/Os in flight in one line (LBAs 0 and 16): the first one's end leaves the second one pending.
  ASSERT_EQ(v.RemovePending(0, 200), kDataValidatorOk);
  ASSERT_EQ(v.ClaimPending(0, 8), DataValidator::kClaimed);
  ASSERT_EQ(v.ClaimPending(16, 8), DataValidator::kClaimed);
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

// A namespace of 2^34 blocks (8 TiB of 512 bytes): enabled without a fill, memory only for the pages I/O touched,
// given back by Forget (tags untracked, a new epoch, still enabled).
TEST(DataValidatorTest, LargeNamespaceHoldsOnlyTouchedPages) {
  const uint64_t blocks = uint64_t(1) << 34;
  const uint64_t resident = Statm(1);
  DataValidator v;
  ASSERT_EQ(v.Resize(blocks, 512), kDataValidatorOk);
  EXPECT_LT(Statm(1), resident + (1u << 20));
  const uint64_t unit = v.GetUnitBytes();  // 4 KiB, or 2 MiB on a machine that could hold the whole map twice
  EXPECT_EQ(v.GetTag(blocks - 1), 255);
  ASSERT_EQ(v.ClaimPending(blocks - 8, 8), DataValidator::kClaimed);
  ASSERT_EQ(v.UpdateMap(blocks - 8, 8), kDataValidatorOk);
  ASSERT_EQ(v.UpdateMap(0, 1), kDataValidatorOk);
  EXPECT_EQ(v.GetTag(blocks - 1), 0);
  EXPECT_TRUE(v.IsPending(blocks - 1, 1));
  EXPECT_EQ(v.GetHeldBytes(), 2 * unit);
  EXPECT_EQ(DataValidator::GetProcessHeldBytes(), 2 * unit);
  EXPECT_LT(Statm(1), resident + 2 * unit + (1u << 20));
  // Where the system puts all anonymous memory on large pages, a page counted as 4 KiB must not take 2 MiB.
  if (unit == DataValidator::kPageBytes) {
    EXPECT_NE(VmFlags(&v.LineAt(0)).find(" nh "), std::string::npos) << VmFlags(&v.LineAt(0));
  }

  const uint64_t epoch = v.GetEpoch();
  v.Forget();
  EXPECT_TRUE(v.IsEnabled());
  EXPECT_NE(v.GetEpoch(), epoch);
  EXPECT_EQ(v.GetTag(0), 255);
  EXPECT_FALSE(v.IsPending(blocks - 1, 1));
  EXPECT_EQ(v.GetHeldBytes(), 0u);
  EXPECT_EQ(DataValidator::GetProcessHeldBytes(), 0u);
}

// On a fresh 8 TiB map, reads of blocks on pages no I/O took claim nothing: no memory and no page fault. A write's
// first touch of a page takes it with one fault (a store), never a read of the shared zero page and a copy at the
// write after it. Reads on taken pages claim as writes do.
TEST(DataValidatorTest, FreshReadsTakeNothingAndFirstWritesFaultOnce) {
  constexpr uint64_t kPages = 64;
  DataValidator v;
  ASSERT_EQ(v.Resize(uint64_t(1) << 34, 512), kDataValidatorOk);
  ASSERT_EQ(v.ClaimPending(0, 8), DataValidator::kClaimed);  // the first page, and the bitmap of taken pages
  uint64_t claims = 0;
  uint64_t faults = MinorFaults();
  for (uint64_t p = 1; p <= kPages; ++p) claims += v.ClaimRead(p * kPageLbas, 8) == DataValidator::kClaimUntracked;
  faults = MinorFaults() - faults;
  EXPECT_EQ(claims, kPages);
  EXPECT_LT(faults, kPages / 2) << faults;
  EXPECT_EQ(v.GetHeldBytes(), DataValidator::kPageBytes);
  EXPECT_FALSE(v.IsPending(kPageLbas, 8));

  claims = 0;
  faults = MinorFaults();
  for (uint64_t p = 1; p <= kPages; ++p) claims += v.ClaimPending(p * kPageLbas, 8) == DataValidator::kClaimed;
  faults = MinorFaults() - faults;
  EXPECT_EQ(claims, kPages);
  EXPECT_LT(faults, kPages + kPages / 2) << faults << " faults: two a page, a read first";
  EXPECT_EQ(v.GetHeldBytes(), (kPages + 1) * DataValidator::kPageBytes);

  EXPECT_EQ(v.ClaimRead(kPageLbas + 4, 8), DataValidator::kClaimBusy);
  EXPECT_EQ(v.ClaimRead(kPageLbas + 8, 8), DataValidator::kClaimed);
  // Across the edge of a taken page and a fresh one the range is claimed whole; across two fresh ones, not at all.
  EXPECT_EQ(v.ClaimRead((kPages + 1) * kPageLbas - 4, 8), DataValidator::kClaimed);
  EXPECT_TRUE(v.IsPending((kPages + 1) * kPageLbas, 4));
  EXPECT_EQ(v.ClaimRead((kPages + 3) * kPageLbas - 4, 8), DataValidator::kClaimUntracked);
  EXPECT_EQ(v.GetHeldBytes(), (kPages + 2) * DataValidator::kPageBytes);
}

// The validators take no more than the room the process has: the reserve of the limit met stays free, and the text
// says which limit that was.
TEST(DataValidatorTest, GrantsStopAtTheReserveOfTheLimitMet) {
  constexpr uint64_t kGiB = uint64_t(1) << 30;
  constexpr uint64_t kPage = DataValidator::kPageBytes;
  MemoryFiles files;
  struct Restore {
    ~Restore() { DataValidator::SetMemoryRoot(""); }
  } restore;
  DataValidator::SetMemoryRoot(files.root());
  DataValidator v;
  ASSERT_EQ(v.Resize(uint64_t(1) << 20, 512), kDataValidatorOk);

  // A 16 GiB machine keeps 1 GiB: of 1 GiB and two pages available, two pages may be taken.
  files.Machine(16 * kGiB, kGiB + 2 * kPage);
  EXPECT_EQ(v.ClaimPending(0, 8), DataValidator::kClaimed);
  EXPECT_EQ(v.ClaimPending(kPageLbas, 8), DataValidator::kClaimed);
  files.Machine(16 * kGiB, kGiB);  // what the machine has once they are taken
  EXPECT_EQ(v.ClaimPending(2 * kPageLbas, 8), DataValidator::kClaimNoMemory);
  EXPECT_NE(DataValidator::DescribeShortfall().find("the machine has 1073741824 bytes (1.0 GiB) available and keeps "
                                                    "1073741824 bytes (1.0 GiB) free"),
            std::string::npos)
      << DataValidator::DescribeShortfall();

  // A 256 MiB group keeps 16 MiB of its own, whatever the machine keeps.
  v.Forget();
  files.Machine(16 * kGiB, 8 * kGiB);
  files.Group("/ci", kGiB / 4, kGiB / 4 - kGiB / 64 - kPage);
  EXPECT_EQ(v.ClaimPending(0, 8), DataValidator::kClaimed);
  files.Group("/ci", kGiB / 4, kGiB / 4 - kGiB / 64);
  EXPECT_EQ(v.ClaimPending(kPageLbas, 8), DataValidator::kClaimNoMemory);
  EXPECT_NE(DataValidator::DescribeShortfall().find("memory control group, limited to 268435456 bytes (256.0 MiB), "
                                                    "has 16777216 bytes (16.0 MiB) available and keeps 16777216 "
                                                    "bytes (16.0 MiB) free"),
            std::string::npos)
      << DataValidator::DescribeShortfall();
}

// A page the validators may not take refuses the claim and changes nothing; the text says how much was needed.
TEST(DataValidatorTest, PageBeyondTheMemoryLimitIsRefused) {
  DataValidator v;
  ASSERT_EQ(v.Resize(uint64_t(1) << 20, 512), kDataValidatorOk);
  DataValidator::SetMemoryCap(DataValidator::kPageBytes);
  ASSERT_EQ(v.ClaimPending(0, 8), DataValidator::kClaimed);  // the first page fits
  const uint64_t far = 10 * DataValidator::kLbasPerLine * DataValidator::kLinesPerPage;
  EXPECT_EQ(v.ClaimPending(far, 8), DataValidator::kClaimNoMemory);
  EXPECT_EQ(v.UpdateMap(far, 1), kDataValidatorNoMemory);
  EXPECT_FALSE(v.IsPending(far, 8));
  EXPECT_EQ(v.MarkUntracked(far, 8), kDataValidatorOk);  // nothing to hold for it
  EXPECT_EQ(v.GetHeldBytes(), DataValidator::kPageBytes);
  EXPECT_NE(DataValidator::DescribeShortfall().find("needs 4096 bytes"), std::string::npos)
      << DataValidator::DescribeShortfall();
  DataValidator::SetMemoryCap(0);
  EXPECT_EQ(v.ClaimPending(far, 8), DataValidator::kClaimed);
}

// An enable that gets its map but not the rest gives the map back: the address space is as before, and an enabled
// validator keeps its state.
TEST(DataValidatorTest, FailedEnableGivesBackWhatItTook) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address-space limit does not work with the sanitizer's shadow memory";
#else
  const uint64_t blocks = uint64_t(1) << 34;
  DataValidator fresh;
  DataValidator grown;
  ASSERT_EQ(grown.Resize(1000, 512), kDataValidatorOk);
  ASSERT_EQ(grown.UpdateMap(5, 1), kDataValidatorOk);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
  const uint64_t size = Statm(0);
  // Room for the map itself, not for its page bitmap.
  rlimit tight = old;
  tight.rlim_cur = size + DataValidator::MapBytes(blocks) + (64u << 10);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
  const auto fresh_status = fresh.Resize(blocks, 512);
  const uint64_t after_fresh = Statm(0);
  const auto grown_status = grown.Resize(blocks, 512);
  const uint64_t after_grown = Statm(0);
  setrlimit(RLIMIT_AS, &old);
  EXPECT_EQ(fresh_status, kDataValidatorNoMemory);
  EXPECT_LT(after_fresh, size + (1u << 20));
  EXPECT_FALSE(fresh.IsEnabled());
  EXPECT_EQ(grown_status, kDataValidatorNoMemory);
  EXPECT_LT(after_grown, size + (1u << 20));
  EXPECT_EQ(grown.GetNumLbas(), 1000u);
  EXPECT_EQ(grown.GetTag(5), 0);
#endif
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
