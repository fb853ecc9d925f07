#include "utility/command_tracker.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

TEST(CommandTrackerTest, NeverSwitchesOnAndTheSinkAppendsToItsFile) {
  tyr::NvmeCommandTrackerInterface sink;
  tyr::CommandTracker tracker(&sink);
  const std::string path = std::string(::testing::TempDir()) + "kyt_tracker_" + std::to_string(::getpid());
  std::remove(path.c_str());
  EXPECT_EQ(tracker.SetLog(path), tyr::kCommandTrackerOk);
  EXPECT_EQ(tracker.Enable(), tyr::kCommandTrackerNoLogFile);  // the path is not kept
  EXPECT_FALSE(std::ifstream(path).good());

  tyr::CommandTrackerPodHeader header;
  EXPECT_FALSE(sink.FlushPod(header));  // no path yet
  EXPECT_FALSE(sink.OpenTracker(""));
  ASSERT_TRUE(sink.OpenTracker(path));
  for (const char* text : {"first line\n", "second line\n", static_cast<const char*>(nullptr)}) {
    header.text = text;
    EXPECT_TRUE(sink.FlushPod(header));
  }
  std::stringstream content;
  content << std::ifstream(path).rdbuf();
  EXPECT_EQ(content.str(), "first line\nsecond line\n");
  std::remove(path.c_str());
  EXPECT_FALSE(sink.OpenTracker("/nonexistent-dir/x/y"));
  EXPECT_FALSE(sink.FlushPod(header));
}

}  // namespace
