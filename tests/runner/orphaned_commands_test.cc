// The keeper of contexts whose runner gave up on an outstanding command.
#include <gtest/gtest.h>

#include <memory>

#include "runner/orphaned_commands.h"

namespace {

TEST(OrphanedCommandsTest, KeepsEachContextUntilItsCommandCompletes) {
  bool done[2] = {false, false};
  std::weak_ptr<int> seen[2];
  for (int i = 0; i < 2; ++i) {
    auto ctx = std::make_shared<int>(i);
    seen[i] = ctx;
    OrphanedCommands::Adopt(std::move(ctx), [&done, i] { return done[i]; });
  }
  OrphanedCommands::Sweep();
  EXPECT_FALSE(seen[0].expired() || seen[1].expired()) << "nothing completed: nothing freed";
  done[1] = true;
  OrphanedCommands::Sweep();
  EXPECT_TRUE(!seen[0].expired() && seen[1].expired()) << "the completed one is freed, in any order";
  done[0] = true;
  OrphanedCommands::Sweep();
  EXPECT_TRUE(seen[0].expired());
}

}  // namespace
