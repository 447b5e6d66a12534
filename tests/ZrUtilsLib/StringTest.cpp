#include "ZrUtilsLib/String.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/Utilities.h"

using namespace ZrUtilsLib;

TEST(ReplaceEnv, BothBracketFormsUnterminatedReferencesAndLongValues) {
    setenv("KV_HOME", "/home/op", 1);
    setenv("KV_WIN", "C:\\dir\\file", 1);
    setenv("KV_EMPTY", "", 1);
    setenv("KV_NESTED", "$(KV_HOME)", 1);
    unsetenv("KV_NOPE");
    const char* const cases[][2] = {
        {"$(KV_HOME)/logs ${KV_WIN}", "/home/op/logs C:/dir/file"},
        {"a$(KV_NOPE)b$(KV_EMPTY)c $(KV_NESTED) $5 end$", "abc $(KV_HOME) $5 end$"},
        {"pre$(HOME", "pre"},
        {"pre$(", "pre"}};  // unterminated: the rest is dropped
    for (const auto& c : cases) {
        EXPECT_STREQ(ReplaceEnv(String(c[0])).GetAscii(), c[1]) << c[0];
    }
    // The input is cut at 2047 characters, but the output grows with the values.
    const std::string huge(100000, 'v');
    setenv("KV_HUGE", huge.c_str(), 1);
    std::string text;
    for (int i = 0; i < 210; ++i) {
        text += "$(KV_HUGE)";  // 2100 characters: 204 whole references before the cut
    }
    EXPECT_EQ(std::string(ReplaceEnv(String(text.c_str())).GetAscii()).size(), 204u * huge.size());
}

// An explicit configuration, else the environment's if it fits the buffer, else the default.
TEST(LoggerConfiguration, ExplicitThenEnvironmentThenDefault) {
    char out[Logger::kConfigurationSize];
    const std::string longest(4095, 'y');
    for (const std::string& environment : {std::string(), std::string(4096, 'x'), longest}) {
        setenv("ZR_TINY_LOGGER", environment.c_str(), 1);
        Logger::ReadConfiguration(nullptr, out);
        EXPECT_EQ(out, environment == longest ? longest : "syslog,3,127.0.0.1,17") << environment;
        Logger::ReadConfiguration("stdout,7", out);
        EXPECT_STREQ(out, "stdout,7");
    }
    unsetenv("ZR_TINY_LOGGER");
}
