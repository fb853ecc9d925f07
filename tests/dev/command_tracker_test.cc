#include "utility/command_tracker.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
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

// The worker opens and writes the log: a FIFO that no process reads (or that stopped reading) fails the call instead
// of holding the worker.
TEST(CommandTrackerTest, TheSinkNeverWaitsForAFifo) {
  tyr::NvmeCommandTrackerInterface sink;
  const std::string fifo = std::string(::testing::TempDir()) + "kyt_tracker_fifo_" + std::to_string(::getpid());
  std::remove(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(sink.OpenTracker(fifo));
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(sink.OpenTracker(fifo));
  const std::string records(1 << 20, 'r');  // more than the FIFO holds
  tyr::CommandTrackerPodHeader header;
  header.text = records.c_str();
  EXPECT_FALSE(sink.FlushPod(header));
  ::close(reader);
  std::remove(fifo.c_str());
}

}  // namespace
