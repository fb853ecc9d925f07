// The keeper of contexts whose runner gave up on an outstanding command.
#include <gtest/gtest.h>

#include <memory>

#include "runner/orphaned_commands.h"

namespace {

TEST(OrphanedCommandsTest, KeepsEachContextUntilItsCommandCompletes) {
  const size_t before = OrphanedCommands::Count();
  bool first_done = false;
  bool second_done = false;
  auto first = std::make_shared<int>(1);
  auto second = std::make_shared<int>(2);
  std::weak_ptr<int> first_seen = first;
  std::weak_ptr<int> second_seen = second;
  OrphanedCommands::Adopt(std::move(first), [&first_done] { return first_done; });
  OrphanedCommands::Adopt(std::move(second), [&second_done] { return second_done; });
  EXPECT_EQ(OrphanedCommands::Count(), before + 2);

  OrphanedCommands::Sweep();
  EXPECT_FALSE(first_seen.expired()) << "nothing completed: nothing freed";
  EXPECT_FALSE(second_seen.expired());

  second_done = true;
  OrphanedCommands::Sweep();
  EXPECT_FALSE(first_seen.expired());
  EXPECT_TRUE(second_seen.expired()) << "the completed one is freed, in any order";
  EXPECT_EQ(OrphanedCommands::Count(), before + 1);

  first_done = true;
  OrphanedCommands::Sweep();
  EXPECT_TRUE(first_seen.expired());
  EXPECT_EQ(OrphanedCommands::Count(), before);
}

}  // namespace
