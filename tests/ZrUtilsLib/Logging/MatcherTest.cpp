// Single rules and the trimming of rule patterns; no channel is created here.
#include <string>

#include <gtest/gtest.h>

#include "ZrUtilsLib/TinyLogConfig.h"

using namespace ZrUtilsLib;
using Matcher = TinyLogConfig::Matcher;

namespace {

std::string Trimmed(std::string text) {
    return rtrim(&text[0]);
}

struct Rule {
    Rule(const char* pattern, int level, bool negated, char comparison)
        : text(pattern), matcher(&text[0], level, negated, comparison) {
        compiled = matcher.Compile(nullptr, 1);
    }
    std::string text;
    Matcher matcher;
    bool compiled;
};

constexpr int kEnable = TinyLogConfig::kEnable;
constexpr int kDisable = TinyLogConfig::kDisable;
constexpr int kGoOn = TinyLogConfig::kNoDecision;
constexpr int kStop = TinyLogConfig::kStop;

}  // namespace

TEST(Rtrim, RemovesTrailingClassicWhiteSpaceOnly) {
    EXPECT_EQ(Trimmed("KvUtilsLib \t\r\n\v\f"), "KvUtilsLib");
    EXPECT_EQ(Trimmed("  lead kept"), "  lead kept");
    EXPECT_EQ(Trimmed("a b "), "a b");
    EXPECT_EQ(Trimmed(" \t "), "");
    EXPECT_EQ(Trimmed(""), "");
    // A non-breaking space byte is not white space in the "C" locale.
    EXPECT_EQ(Trimmed("x\xa0"), "x\xa0");
}

TEST(MatcherCheck, FilterRuleDecidesEveryLevelOfItsChannels) {
    Rule rule("Kv", 1, false, '=');
    ASSERT_TRUE(rule.compiled);
    EXPECT_EQ(rule.matcher.Check("KvUtilsLib", 1, 3), kEnable);
    EXPECT_EQ(rule.matcher.Check("KvUtilsLib", 0, 3), kEnable);
    EXPECT_EQ(rule.matcher.Check("KvUtilsLib", 3, 3), kDisable);  // a filter also lowers
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 3, 3), kGoOn);
}

TEST(MatcherCheck, PatternIsCaseSensitiveUnanchoredAndMayAnchorItself) {
    Rule inside("Utils", 7, false, '=');
    EXPECT_EQ(inside.matcher.Check("KvUtilsLib", 7, 3), kEnable);
    EXPECT_EQ(inside.matcher.Check("kvutilslib", 7, 3), kGoOn);
    Rule anchored("^Kv", 7, false, '=');
    EXPECT_EQ(anchored.matcher.Check("KvUtilsLib", 7, 3), kEnable);
    EXPECT_EQ(anchored.matcher.Check("ZrKv", 7, 3), kGoOn);
    Rule blank(" KvUtilsLib", 7, false, '=');
    EXPECT_EQ(blank.matcher.Check("KvUtilsLib", 7, 3), kGoOn);
}

TEST(MatcherCheck, NegatedRuleAppliesToOtherChannels) {
    Rule rule("ZrUtilsLib", 7, true, '<');
    EXPECT_EQ(rule.matcher.Check("KvUtilsLib", 7, 3), kEnable);
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 7, 3), kGoOn);
    EXPECT_EQ(rule.matcher.Check("KvUtilsLib", 8, 3), kDisable);
}

TEST(MatcherCheck, MinRuleLeavesLevelsUpToTheDefaultToIt) {
    Rule rule("ZrUtilsLib", 6, false, '<');
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 3, 3), kStop);
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 0, 3), kStop);
    EXPECT_EQ(rule.matcher.Check("KvUtilsLib", 2, 3), kGoOn);
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 6, 3), kEnable);
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 7, 3), kDisable);
    EXPECT_EQ(rule.matcher.Check("KvUtilsLib", 7, 3), kGoOn);
}

TEST(MatcherCheck, MaxRuleLeavesLevelsFromTheDefaultUpToIt) {
    Rule rule("ZrUtilsLib", 2, false, '>');
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 3, 3), kStop);
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 4, 3), kStop);
    EXPECT_EQ(rule.matcher.Check("KvUtilsLib", 4, 3), kGoOn);
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 2, 3), kEnable);
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 1, 3), kEnable);
    // Below the default a max rule works like a filter.
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 2, 5), kEnable);
    EXPECT_EQ(rule.matcher.Check("ZrUtilsLib", 4, 5), kDisable);
}

TEST(MatcherCompile, InvalidPatternIsRefused) {
    Rule broken("Kv(", 7, false, '=');
    EXPECT_FALSE(broken.compiled);
    Rule negatedBroken("Kv(", 7, true, '=');
    EXPECT_FALSE(negatedBroken.compiled);
}

TEST(MatcherCompile, RepetitionBombsAreRefusedBeforeCompiling) {
    // Compiling these would copy the repeated expression exponentially often.
    Rule chained(("a" + std::string(40, '+')).c_str(), 7, false, '=');
    EXPECT_FALSE(chained.compiled);
    std::string nested = "a";
    for (int i = 0; i < 30; ++i) {
        nested = "(" + nested + ")+";
    }
    Rule nestedRule(nested.c_str(), 7, false, '=');
    EXPECT_FALSE(nestedRule.compiled);
    Rule intervals("((a{255}){255}){255}", 7, false, '=');
    EXPECT_FALSE(intervals.compiled);

    // Ordinary channel patterns still compile and match.
    Rule alternatives("^Kv(Utils|TransportLayer)Lib$", 7, false, '=');
    ASSERT_TRUE(alternatives.compiled);
    EXPECT_EQ(alternatives.matcher.Check("KvUtilsLib", 7, 3), kEnable);
    Rule repeated("^[A-Z][a-z]+(Utils|Log)+[[:alpha:]]{2,8}$", 7, false, '=');
    ASSERT_TRUE(repeated.compiled);
    EXPECT_EQ(repeated.matcher.Check("ZrUtilsLib", 7, 3), kEnable);
    Rule bracket("[]a+]+x{3}", 7, false, '=');
    EXPECT_TRUE(bracket.compiled);
}
