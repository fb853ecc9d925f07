#include "utility/command_tracker.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string TempPath(const char* name) {
  return std::string(::testing::TempDir()) + "kyt_tracker_" + std::to_string(::getpid()) + "_" + name;
}

TEST(CommandTrackerTest, Statuses) {
  tyr::NvmeCommandTrackerInterface sink;
  tyr::CommandTracker tracker(&sink);
  const std::string path = TempPath("set_log");
  std::remove(path.c_str());
  EXPECT_EQ(tracker.SetLog(path), tyr::kCommandTrackerOk);
  // The path is not kept, so enabling still finds no log file and nothing is created.
  EXPECT_EQ(tracker.Enable(), tyr::kCommandTrackerNoLogFile);
  EXPECT_FALSE(tracker.IsEnabled());
  EXPECT_EQ(tracker.Disable(), tyr::kCommandTrackerOk);
  EXPECT_FALSE(std::ifstream(path).good());
}

TEST(CommandTrackerTest, SinkWritesThroughTheFile) {
  tyr::NvmeCommandTrackerInterface sink;
  tyr::CommandTrackerPodHeader header;
  EXPECT_FALSE(sink.FlushPod(header));  // no path yet
  EXPECT_FALSE(sink.OpenTracker(""));
  const std::string path = TempPath("sink");
  ASSERT_TRUE(sink.OpenTracker(path));
  EXPECT_EQ(sink.GetLogPath(), path);
  header.text = "first line\n";
  EXPECT_TRUE(sink.FlushPod(header));
  header.text = "second line\n";
  EXPECT_TRUE(sink.FlushPod(header));
  header.text = nullptr;
  EXPECT_TRUE(sink.FlushPod(header));
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "first line\nsecond line\n");
  std::remove(path.c_str());

  EXPECT_FALSE(sink.OpenTracker("/nonexistent-dir/x/y"));
  EXPECT_FALSE(sink.FlushPod(header));
}

}  // namespace
