#include "ZrUtilsLib/String.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

#include "ZrUtilsLib/Utilities.h"

using namespace ZrUtilsLib;

// Both directions, through the stack buffer and past it; in the POSIX locale nothing above 0x7F
// converts, and the text stops there, terminated.
TEST(StringConversion, BothDirectionsAndCuts) {
    for (size_t length : {0, 4095, 4096, 6000}) {
        const std::string narrow(length, 'q');
        EXPECT_EQ(std::wstring(String(narrow.c_str()).GetUnicode()), std::wstring(length, L'q'));
        const std::wstring wide(length, L'w');
        EXPECT_EQ(std::string(String(wide.c_str()).GetAscii()), std::string(length, 'w'));
    }
    EXPECT_STREQ(String(L"ab\u00e9cd").GetAscii(), "ab");
    EXPECT_STREQ(String("xy\xe9z").GetUnicode(), L"xy");
    EXPECT_TRUE(String(L"abc") == String("abc"));
    EXPECT_TRUE(String("abc") < String("abd"));
    // Sized copies cut or pad, partial ones cut.
    EXPECT_STREQ(String("abcdef", 3).GetAscii(), "abc");
    EXPECT_EQ(std::string(String("ab", 4).GetAscii(), 4), std::string("ab\0\0", 4));
    EXPECT_THROW(String(static_cast<const char*>(nullptr), 2), std::logic_error);
    EXPECT_TRUE(String(static_cast<const char*>(nullptr)).IsEmpty());
    const String source("hello world");
    EXPECT_STREQ(String(source, 6).GetAscii(), "world");
    EXPECT_STREQ(String(source, 0, 5).GetAscii(), "hello");
    EXPECT_EQ(String(source, 6, 8).GetLength(), 8u);
}

TEST(ReplaceEnv, BothBracketFormsUnterminatedReferencesAndLongValues) {
    setenv("KV_HOME", "/home/op", 1);
    setenv("KV_WIN", "C:\\dir\\file", 1);
    setenv("KV_EMPTY", "", 1);
    setenv("KV_NESTED", "$(KV_HOME)", 1);
    unsetenv("KV_NOPE");
    const std::pair<const char*, const char*> cases[] = {
        {"$(KV_HOME)/logs/app.log", "/home/op/logs/app.log"},
        {"${KV_HOME}/x", "/home/op/x"},
        {"$(KV_HOME}", "/home/op"},
        {"a$(KV_NOPE)b$(KV_EMPTY)c", "abc"},
        {"$(KV_HOME)$(KV_HOME)", "/home/op/home/op"},
        {"$(KV_WIN)", "C:/dir/file"},
        {"$(KV_NESTED)", "$(KV_HOME)"},
        {"cost $5 end$", "cost $5 end$"},
        {"pre$(HOME", "pre"},
        {"pre$(", "pre"}};
    for (const auto& c : cases) {
        EXPECT_STREQ(ReplaceEnv(String(c.first)).GetAscii(), c.second) << c.first;
    }
    // The input is cut at 2047 characters, but the output grows with the values.
    const std::string huge(100000, 'v');
    setenv("KV_HUGE", huge.c_str(), 1);
    std::string text;
    for (int i = 0; i < 210; ++i) {
        text += "$(KV_HUGE)";  // 2100 characters: 204 whole references before the cut
    }
    EXPECT_EQ(std::string(ReplaceEnv(String(text.c_str())).GetAscii()).size(), 204u * huge.size());
    unsetenv("KV_HUGE");
}
