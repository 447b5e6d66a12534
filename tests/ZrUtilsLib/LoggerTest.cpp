#include "ZrUtilsLib/Logger.h"

#include <gtest/gtest.h>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZrUtilsLib/LogSink.h"

using namespace ZrUtilsLib;

namespace {

struct Entry {
    int level;
    std::string file;
    unsigned int line;
    std::string function;
    std::string channel;
    std::string message;
};

class RecordingSink : public LogSink {
public:
    void OnLog(int level, const char* file, unsigned int line, const char* function,
               const char* channel, const char* message) override {
        entries.push_back({level, file, line, function, channel, message});
    }
    std::vector<Entry> entries;
};

}  // namespace

TEST(LoggerConfiguration, ExplicitEnvironmentAndDefault) {
    char out[Logger::kConfigurationSize];
    Logger::ReadConfiguration("stdout,7", out);
    EXPECT_STREQ(out, "stdout,7");

    setenv("ZR_TINY_LOGGER", "file,6,/tmp/x.log", 1);
    Logger::ReadConfiguration(nullptr, out);
    EXPECT_STREQ(out, "file,6,/tmp/x.log");

    setenv("ZR_TINY_LOGGER", "", 1);
    Logger::ReadConfiguration(nullptr, out);
    EXPECT_STREQ(out, "syslog,3,127.0.0.1,17");

    const std::string tooLong(4096, 'x');
    setenv("ZR_TINY_LOGGER", tooLong.c_str(), 1);
    Logger::ReadConfiguration(nullptr, out);
    EXPECT_STREQ(out, "syslog,3,127.0.0.1,17");

    const std::string longest(4095, 'y');
    setenv("ZR_TINY_LOGGER", longest.c_str(), 1);
    Logger::ReadConfiguration(nullptr, out);
    EXPECT_EQ(std::string(out), longest);

    unsetenv("ZR_TINY_LOGGER");
    Logger::ReadConfiguration(nullptr, out);
    EXPECT_STREQ(out, "syslog,3,127.0.0.1,17");
}

TEST(LoggerChannels, FirstChannelCreatesTheServerOnce) {
    Logger first("ZrUtilsLib");
    TinyLogServer* server = Logger::sTinyLogServer.load();
    ASSERT_NE(server, nullptr);
    Logger second("KvUtilsLib");
    EXPECT_EQ(Logger::sTinyLogServer.load(), server);
    EXPECT_STREQ(second.GetName(), "KvUtilsLib");
    EXPECT_THROW(Logger(nullptr), std::logic_error);

    Logger* heap = Logger::Create("heap", "ignored", 3);
    ASSERT_NE(heap, nullptr);
    EXPECT_STREQ(heap->GetName(), "heap");
    Logger::Free(heap);
    Logger* none = nullptr;
    Logger::Free(none);
    EXPECT_EQ(none, nullptr);
}

TEST(LoggerSinks, LogReachesEverySinkWithTheFullFile) {
    Logger channel("KvTransportLayerLib");
    RecordingSink first;
    RecordingSink second;
    channel.Log(PRIORITY_INFO, "src/a/Thread", 10, "Run", "x=%d", 5);
    ASSERT_EQ(first.entries.size(), 1u);
    ASSERT_EQ(second.entries.size(), 1u);
    const Entry& entry = first.entries[0];
    EXPECT_EQ(entry.level, PRIORITY_INFO);
    EXPECT_EQ(entry.file, "src/a/Thread");
    EXPECT_EQ(entry.line, 10u);
    EXPECT_EQ(entry.function, "Run");
    EXPECT_EQ(entry.channel, "KvTransportLayerLib");
    EXPECT_EQ(entry.message, "x=5");
}

TEST(LoggerSinks, SinkLeavesTheRegistryOnDestruction) {
    Logger channel("ZrUtilsLib");
    RecordingSink staying;
    {
        RecordingSink leaving;
        channel.Log(PRIORITY_DEBUG, "f", 1, "g", "one");
        EXPECT_EQ(leaving.entries.size(), 1u);
    }
    channel.Log(PRIORITY_DEBUG, "f", 1, "g", "two");
    EXPECT_EQ(staying.entries.size(), 2u);
    EXPECT_EQ(LogSink::GetSinks()->size(), 1u);
}

TEST(LoggerResults, LogResultBuildsTheResultAndReachesSinks) {
    Logger channel("ZrUtilsLib");
    RecordingSink sink;
    const Result result = channel.LogResult(0x1D, "src/a/Thread", 10, "Run", "fail %d", 2);
    EXPECT_EQ(result.GetCode(), 0x1Du);
    EXPECT_STREQ(result.GetDescription(), "fail 2");
    ASSERT_EQ(sink.entries.size(), 1u);
    EXPECT_EQ(sink.entries[0].level, PRIORITY_ERROR);
    EXPECT_EQ(sink.entries[0].file, "src/a/Thread");

    const Result percent = channel.LogResult(FILE_ERROR, "f", 1, "g", "%s", "100% full %d");
    EXPECT_STREQ(percent.GetDescription(), "100% full %d");

    const Result macro = ZR_LOG_RESULT(channel, NOT_FOUND, "no %s", "adapter");
    EXPECT_EQ(macro.GetCode(), static_cast<unsigned int>(NOT_FOUND));
    EXPECT_EQ(sink.entries.back().function, "TestBody");
}

TEST(LoggerResults, MessagesAreCutAt511And191) {
    Logger channel("ZrUtilsLib");
    RecordingSink sink;
    const std::string longText(600, 'm');
    channel.Log(PRIORITY_INFO, "f", 1, "g", "%s", longText.c_str());
    const Result result = channel.LogResult(TIMEOUT, "f", 1, "g", "%s", longText.c_str());
    ASSERT_EQ(sink.entries.size(), 2u);
    EXPECT_EQ(sink.entries[0].message, longText.substr(0, 511));
    EXPECT_EQ(sink.entries[1].message, longText.substr(0, 191));
    EXPECT_EQ(std::string(result.GetDescription()), longText.substr(0, 191));
}

TEST(LoggerLevels, SetAndGetTheProcessLimit) {
    Logger channel("ZrUtilsLib");
    const int before = channel.GetLogPriority();
    EXPECT_GE(before, 0);
    channel.SetLogPriority(5);
    EXPECT_EQ(channel.GetLogPriority(), 5);
    channel.SetLogPriority(before);
    channel.ResetConfiguration(LOG_CONFIGURATION_DEFAULT);
    EXPECT_EQ(channel.GetLogPriority(), before);
}
