/* Logging: the line format, the default level filtering and the installed log function. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "spdk/log.h"

SPDK_LOG_REGISTER_COMPONENT("envtest", SPDK_LOG_ENVTEST)

namespace {

TEST(Log, DefaultPrinterJoinsLinesAndAppendsFileAndLine)
{
	testing::internal::CaptureStdout();
	spdk_log(SPDK_LOG_WARN, "ctrlr.c", 42, "f", "first\nsecond\n%s %d\n", "third", 3);
	spdk_log(SPDK_LOG_INFO, "ctrlr.c", 43, "f", "not printed\n");
	spdk_log(SPDK_LOG_NOTICE, "pcie.c", 8, "f", "a notice");
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "SPDK: firstsecondthird 3 (ctrlr.c:42)\n"
							  "SPDK: a notice (pcie.c:8)\n");
}

/* The installed function gets the whole formatted message, however long, with its source; flag messages stay
 * hidden while their flag is off (as it is unless set). */
TEST(Log, InstalledFunctionGetsTheWholeMessage)
{
	static std::vector<std::pair<int, std::string>> captured;
	static std::string file;
	spdk_log_open([](int level, const char *f, const int, const char *, const char *msg) {
		captured.emplace_back(level, msg);
		file = f;
	});
	const std::string big(3000, 'x');
	SPDK_WARNLOG("%s|%u\n", big.c_str(), 17u);
	spdk_log(SPDK_LOG_INFO, "x.c", 1, "f", "dropped by the print level\n");
	SPDK_DEBUGLOG(SPDK_LOG_ENVTEST, "hidden %d\n", 1);
	spdk_log_open(nullptr);
	ASSERT_EQ(captured.size(), 1u);
	EXPECT_EQ(captured[0], std::make_pair(int(SPDK_LOG_WARN), big + "|17\n"));
	EXPECT_NE(file.find("log_test.cc"), std::string::npos);
}

}  // namespace
