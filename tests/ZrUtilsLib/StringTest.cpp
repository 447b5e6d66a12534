#include "ZrUtilsLib/String.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

using ZrUtilsLib::String;

TEST(StringForms, EmptyAndNarrowToWide) {
    String empty;
    EXPECT_EQ(empty.GetLength(), 0u);
    EXPECT_TRUE(empty.IsEmpty());
    ASSERT_NE(empty.GetAscii(), nullptr);
    EXPECT_STREQ(empty.GetAscii(), "");

    String abc("abc");
    EXPECT_EQ(abc.GetLength(), 3u);
    EXPECT_STREQ(abc.GetUnicode(), L"abc");
    EXPECT_FALSE(abc.IsEmpty());

    String fromNull(static_cast<const char*>(nullptr));
    EXPECT_TRUE(fromNull.IsEmpty());

    EXPECT_TRUE(String(L"abc") == String("abc"));
    EXPECT_TRUE(String("abc") < String("abd"));
    EXPECT_TRUE(String("a") != String("b"));
}

TEST(StringForms, SizedConstructorsCutOrPad) {
    String cut("abcdef", 3);
    EXPECT_STREQ(cut.GetAscii(), "abc");
    String padded("ab", 4);
    EXPECT_EQ(padded.GetLength(), 4u);
    EXPECT_EQ(std::string(padded.GetAscii(), 4), std::string("ab\0\0", 4));
    EXPECT_THROW(String(static_cast<const char*>(nullptr), 2), std::logic_error);

    String source("hello world");
    EXPECT_STREQ(String(source, 6).GetAscii(), "world");
    EXPECT_STREQ(String(source, 0, 5).GetAscii(), "hello");
    EXPECT_EQ(String(source, 6, 8).GetLength(), 8u);
}

TEST(StringChanges, AppendInsertClear) {
    String text;
    text += String("xy");
    EXPECT_STREQ(text.GetAscii(), "xy");
    EXPECT_EQ(text.GetLength(), 2u);

    text.Append(text);
    EXPECT_STREQ(text.GetAscii(), "xyxy");

    text.Insert(2, String("--"));
    EXPECT_STREQ(text.GetAscii(), "xy--xy");
    EXPECT_THROW(text.Insert(100, String("z")), std::out_of_range);
    EXPECT_STREQ(text.GetAscii(), "xy--xy");

    text.Clear();
    EXPECT_EQ(text.GetLength(), 0u);
    EXPECT_TRUE(text.IsEmpty());

    EXPECT_EQ(String("MiXed").ToUpper(), "MIXED");
    EXPECT_EQ(String("MiXed").ToLower(), "mixed");
}

TEST(StringConversion, StackAndHeapPaths) {
    const std::string stackSized(4095, 'q');
    EXPECT_EQ(std::wstring(String(stackSized.c_str()).GetUnicode()).size(), 4095u);
    const std::string heapSized(5000, 'r');
    String big(heapSized.c_str());
    EXPECT_EQ(std::wstring(big.GetUnicode()), std::wstring(5000, L'r'));

    const std::wstring wideHeap(6000, L'w');
    EXPECT_EQ(std::string(String(wideHeap.c_str()).GetAscii()), std::string(6000, 'w'));
}

TEST(StringConversion, UnconvertibleCharacterEndsTheText) {
    // In the POSIX locale nothing above 0x7F converts: the text stops there, terminated.
    String wide(L"ab\u00e9cd");
    EXPECT_STREQ(wide.GetAscii(), "ab");
    String narrow("xy\xe9z");
    EXPECT_STREQ(narrow.GetUnicode(), L"xy");
}

TEST(StringExpansion, FirstPercentReferenceOnly) {
    setenv("KV_TEST_HOME", "/root", 1);
    setenv("KV_TEST_A", "1", 1);
    unsetenv("KV_TEST_NOPE");
    EXPECT_EQ(String("%KV_TEST_HOME%/x").ExpandEnvironmentVariables(), "/root/x");
    EXPECT_EQ(String("a%KV_TEST_NOPE%b").ExpandEnvironmentVariables(), "a%KV_TEST_NOPE%b");
    EXPECT_EQ(String("%KV_TEST_A%%KV_TEST_A%").ExpandEnvironmentVariables(), "1%KV_TEST_A%");
    EXPECT_EQ(String("no reference").ExpandEnvironmentVariables(), "");
}
