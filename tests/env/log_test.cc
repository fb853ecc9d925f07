/* Logging: the line format, level filtering, log flags and the installed log function. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "spdk/log.h"

SPDK_LOG_REGISTER_COMPONENT("envtest", SPDK_LOG_ENVTEST)

namespace {

struct Captured {
	int level;
	std::string file;
	int line;
	std::string msg;
};
std::vector<Captured> g_captured;

void Capture(int level, const char *file, const int line, const char *func, const char *msg)
{
	g_captured.push_back({level, file, line, msg});
}

class LogTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		g_captured.clear();
		spdk_log_set_print_level(SPDK_LOG_NOTICE);
		spdk_log_clear_flag("all");
	}
	void TearDown() override
	{
		spdk_log_open(nullptr);
	}
};

TEST_F(LogTest, DefaultPrinterJoinsLinesAndAppendsFileAndLine)
{
	testing::internal::CaptureStdout();
	spdk_log(SPDK_LOG_WARN, "ctrlr.c", 42, "f", "first\nsecond\n%s %d\n", "third", 3);
	spdk_log(SPDK_LOG_INFO, "ctrlr.c", 43, "f", "not printed\n");
	spdk_log(SPDK_LOG_DEBUG, "ctrlr.c", 44, "f", "not printed either\n");
	spdk_log(SPDK_LOG_ERROR, "pcie.c", 7, "f", "an error\n");
	spdk_log(SPDK_LOG_NOTICE, "pcie.c", 8, "f", "a notice");
	std::string out = testing::internal::GetCapturedStdout();
	EXPECT_EQ(out, "SPDK: firstsecondthird 3 (ctrlr.c:42)\n"
		       "SPDK: an error (pcie.c:7)\n"
		       "SPDK: a notice (pcie.c:8)\n");
}

TEST_F(LogTest, InstalledFunctionGetsTheWholeFormattedMessageWithItsSource)
{
	spdk_log_open(Capture);
	const std::string big(3000, 'x'); /* long messages are not truncated */
	SPDK_WARNLOG("%s|%u\n", big.c_str(), 17u);
	spdk_log(SPDK_LOG_INFO, "x.c", 1, "f", "dropped by the print level\n");
	ASSERT_EQ(g_captured.size(), 1u);
	EXPECT_EQ(g_captured[0].level, SPDK_LOG_WARN);
	EXPECT_EQ(g_captured[0].msg, big + "|17\n");
	EXPECT_NE(g_captured[0].file.find("log_test.cc"), std::string::npos);
	EXPECT_GT(g_captured[0].line, 0);
}

TEST_F(LogTest, FlagMessagesOnlyWhileTheFlagIsEnabled)
{
	spdk_log_open(Capture);
	SPDK_INFOLOG(SPDK_LOG_ENVTEST, "hidden %d\n", 1);
	ASSERT_EQ(spdk_log_set_flag("ENVTEST"), 0) << "flag names are not case-sensitive";
	SPDK_DEBUGLOG(SPDK_LOG_ENVTEST, "shown %d\n", 2);
	ASSERT_EQ(spdk_log_clear_flag("envtest"), 0);
	SPDK_DEBUGLOG(SPDK_LOG_ENVTEST, "hidden again\n");
	ASSERT_EQ(g_captured.size(), 1u);
	EXPECT_EQ(g_captured[0].level, SPDK_LOG_DEBUG);
	EXPECT_EQ(g_captured[0].msg, "shown 2\n");
	EXPECT_EQ(spdk_log_set_flag("no_such_flag"), -EINVAL);
}

}  // namespace
