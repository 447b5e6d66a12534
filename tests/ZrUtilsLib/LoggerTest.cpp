#include "ZrUtilsLib/Logger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ZrUtilsLib/LogSink.h"

using namespace ZrUtilsLib;

namespace {

// Every call as "level|file|line|function|channel|message".
class RecordingSink : public LogSink {
public:
    void OnLog(int level, const char* file, unsigned int line, const char* function,
               const char* channel, const char* message) override {
        entries.push_back(std::to_string(level) + "|" + file + "|" + std::to_string(line) + "|" +
                          function + "|" + channel + "|" + message);
    }
    std::vector<std::string> entries;
};

}  // namespace

TEST(LoggerConfiguration, ExplicitThenEnvironmentThenDefault) {
    char out[Logger::kConfigurationSize];
    Logger::ReadConfiguration("stdout,7", out);
    EXPECT_STREQ(out, "stdout,7");
    const std::string fallback = "syslog,3,127.0.0.1,17", longest(4095, 'y');
    const std::pair<std::string, std::string> cases[] = {{"file,6,/tmp/x.log", "file,6,/tmp/x.log"},
                                                         {"", fallback},
                                                         {std::string(4096, 'x'), fallback},
                                                         {longest, longest}};
    for (const auto& c : cases) {
        setenv("ZR_TINY_LOGGER", c.first.c_str(), 1);
        Logger::ReadConfiguration(nullptr, out);
        EXPECT_EQ(out, c.second) << c.first.size();
    }
    unsetenv("ZR_TINY_LOGGER");
}

// The first channel creates the one server. Sinks get the whole file name and every message,
// logged or not; a message is cut at 511 characters, a result's at 191, and the arguments are
// formatted once only.
TEST(LoggerChannels, OneServerAndEverySinkGetsEachMessageUntilItEnds) {
    EXPECT_THROW(Logger(nullptr), std::logic_error);
    Logger channel("KvTransportLayerLib");
    TinyLogServer* server = Logger::sTinyLogServer.load();
    ASSERT_NE(server, nullptr);
    Logger* other = Logger::Create("ZrUtilsLib", "stdout,7", 3);
    EXPECT_EQ(Logger::sTinyLogServer.load(), server);
    EXPECT_STREQ(other->GetName(), "ZrUtilsLib");
    Logger::Free(other);
    RecordingSink staying;
    {
        RecordingSink leaving;
        channel.Log(PRIORITY_DEBUG, "src/a/Thread", 10, "Run", "x=%d", 5);
        EXPECT_EQ(leaving.entries,
                  std::vector<std::string>{"7|src/a/Thread|10|Run|KvTransportLayerLib|x=5"});
    }
    EXPECT_EQ(LogSink::GetSinks()->size(), 1u);
    const std::string longText(600, 'm');
    channel.Log(PRIORITY_INFO, "f", 1, "g", "%s", longText.c_str());
    const Result cut = channel.LogResult(TIMEOUT, "f", 2, "g", "%s", longText.c_str());
    EXPECT_EQ(std::string(cut.GetDescription()), longText.substr(0, 191));
    const Result percent = channel.LogResult(0x1D, "src/a/Thread", 3, "Run", "%s", "100% full %d");
    EXPECT_EQ(percent.GetCode(), 0x1Du);
    EXPECT_STREQ(percent.GetDescription(), "100% full %d");
    const std::string line = std::to_string(__LINE__ + 1);
    const Result macro = ZR_LOG_RESULT(channel, NOT_FOUND, "no %s", "adapter");
    EXPECT_EQ(macro.GetCode(), static_cast<unsigned int>(NOT_FOUND));
    const std::string prefix = "KvTransportLayerLib|";
    EXPECT_EQ(staying.entries,
              (std::vector<std::string>{
                  "7|src/a/Thread|10|Run|" + prefix + "x=5",
                  "6|f|1|g|" + prefix + longText.substr(0, 511),
                  "3|f|2|g|" + prefix + longText.substr(0, 191),
                  "3|src/a/Thread|3|Run|" + prefix + "100% full %d",
                  "3|" __FILE__ "|" + line + "|TestBody|" + prefix + "no adapter"}));
}
