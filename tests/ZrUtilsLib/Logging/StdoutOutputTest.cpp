// Standard-output lines as a process's channels produce them, captured from a child process.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "Isolation.h"
#include "TextMatch.h"
#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;
using namespace LoggingTest;

namespace {

bool WaitForServer(unsigned int milliseconds = 10000) {
    TinyLogServer* server = Logger::sTinyLogServer.load();
    return server != nullptr && server->WaitUntilIdle(milliseconds);
}

void Flush(ChildReport& report) {
    report.Put("idle", WaitForServer() ? 1 : 0);
    std::fflush(stdout);
}

// The lines without their elapsed-time field, leaving out the rule reader's own messages.
std::vector<std::string> LinesWithoutElapsed(const std::string& output) {
    std::vector<std::string> lines;
    for (const std::string& line : SplitLines(output, "\r\n")) {
        if (line.find("\tLogConfig->") == std::string::npos) {
            lines.push_back(line.substr(line.find('\t') + 1));
        }
    }
    return lines;
}

}  // namespace

TEST(StdoutOutput, LinesUpToTheLimitLevelInLoggingOrder) {
    const ChildOutcome outcome = RunInChild([](ChildReport& report) {
        setenv("ZR_TINY_LOGGER", "stdout,7", 1);
        Logger channel("ZrUtilsLib");
        report.Put("limit", channel.GetLogPriority());
        report.Put("records",
                   static_cast<long long>(Logger::sTinyLogServer.load()->GetRecordCount()));
        for (int level = PRIORITY_EMERGENCY; level <= PRIORITY_NOT_SET; ++level) {
            ZR_LOG(channel, static_cast<PriorityLevel>(level), "level %d", level);
        }
        channel.Log(PRIORITY_INFO, "src/a/Thread", 230, "StartThread", "Start Thread");
        channel.LogResult(0x1D, "src/a/Thread", 10, "Run", "fail %d", 2);
        Flush(report);
    });
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("idle"), "1");
    EXPECT_EQ(outcome.Get("limit"), "7");
    EXPECT_EQ(outcome.Get("records"), "128");
    const std::string self = "StdoutOutputTest.cpp";
    const std::vector<std::string> expected = {
        "EMER\tZrUtilsLib->" + self, "----\tZrUtilsLib->" + self, "CRIT\tZrUtilsLib->" + self,
        "ERR\tZrUtilsLib->" + self,  "WARN\tZrUtilsLib->" + self, "----\tZrUtilsLib->" + self,
        "INFO\tZrUtilsLib->" + self, "DBG\tZrUtilsLib->" + self,
    };
    const std::vector<std::string> lines = LinesWithoutElapsed(outcome.output);
    ASSERT_EQ(lines.size(), expected.size() + 2) << outcome.output;
    for (size_t level = 0; level < expected.size(); ++level) {
        EXPECT_EQ(lines[level].rfind(expected[level], 0), 0u) << lines[level];
        const std::string ending = "::operator() - level " + std::to_string(level);
        EXPECT_EQ(lines[level].substr(lines[level].size() - ending.size()), ending);
    }
    EXPECT_EQ(lines[8], "INFO\tZrUtilsLib->Thread:230::StartThread - Start Thread");
    // An error result keeps the '/' before the short file name.
    EXPECT_EQ(lines[9], "ERR\tZrUtilsLib->/Thread:10::Run - fail 2");
    EXPECT_TRUE(Search(outcome.output, ("(^|\n)[0-9]+\tEMER\t")));
}

TEST(StdoutOutput, LimitLevelFollowsSetLogPriority) {
    const ChildOutcome outcome = RunInChild([](ChildReport& report) {
        setenv("ZR_TINY_LOGGER", "stdout,,5", 1);
        Logger channel("KvUtilsLib");
        report.Put("before", channel.GetLogPriority());
        report.Put("enabled5", channel.IsPriorityEnabled(PRIORITY_NOTICE));
        channel.SetLogPriority(2);
        report.Put("after", channel.GetLogPriority());
        report.Put("enabled3", channel.IsPriorityEnabled(PRIORITY_ERROR));
        ZR_LOG(channel, PRIORITY_ERROR, "hidden");
        ZR_LOG(channel, PRIORITY_CRITICAL, "shown");
        Flush(report);
    });
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("before"), "5");
    EXPECT_EQ(outcome.Get("enabled5"), "1");
    EXPECT_EQ(outcome.Get("after"), "2");
    EXPECT_EQ(outcome.Get("enabled3"), "0");
    const std::vector<std::string> lines = LinesWithoutElapsed(outcome.output);
    ASSERT_EQ(lines.size(), 1u) << outcome.output;
    EXPECT_NE(lines[0].find("CRIT\tKvUtilsLib->"), std::string::npos);
    EXPECT_NE(lines[0].find(" - shown"), std::string::npos);
}

TEST(StdoutOutput, LongMessageLineIsCutTo512Characters) {
    const ChildOutcome outcome = RunInChild([](ChildReport& report) {
        setenv("ZR_TINY_LOGGER", "stdout,6", 1);
        Logger channel("ZrUtilsLib");
        const std::string text(600, 'm');
        channel.Log(PRIORITY_INFO, "f", 1, "g", "%s", text.c_str());
        channel.Log(PRIORITY_INFO, "f", 2, "g", "after");
        Flush(report);
    });
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("idle"), "1");
    // The first line lost its line end, so the second follows it directly.
    ASSERT_GT(outcome.output.size(), 512u);
    const std::string first = outcome.output.substr(0, 512);
    EXPECT_TRUE(FullMatch(first, ("[0-9]+\tINFO\tZrUtilsLib->f:1::g - m+")));
    EXPECT_TRUE(
        FullMatch(outcome.output.substr(512), ("[0-9]+\tINFO\tZrUtilsLib->f:2::g - after\r\n")))
        << outcome.output.substr(512);
}
