// Rule files read from temporary directories, and once from the fixed "/etc/Halvex" inside a
// private mount namespace.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "Isolation.h"
#include "TextMatch.h"
#include "ZrUtilsLib/LogSink.h"
#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/TinyLogConfig.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;
using namespace LoggingTest;

namespace {

using Files = std::map<std::string, std::string>;
using Query = std::pair<std::string, int>;

// Collects the rule reader's messages as "level|message" lines.
class ReaderMessages : public LogSink {
public:
    void OnLog(int level, const char*, unsigned int, const char*, const char* channel,
               const char* message) override {
        if (std::string(channel) == "LogConfig") {
            mText << level << '|' << message << '\n';
        }
    }
    std::string Text() const { return mText.str(); }

private:
    std::ostringstream mText;
};

void Lay(const TempDir& dir, const Files& files) {
    for (const auto& file : files) {
        const std::string path = dir / file.first;
        const size_t slash = file.first.rfind('/');
        if (slash != std::string::npos) {
            std::filesystem::create_directories(dir / file.first.substr(0, slash));
        }
        WriteFile(path, file.second);
    }
}

std::string Key(const Query& query) {
    return query.first + ":" + std::to_string(query.second);
}

// Reads the rules of `dir` into a server with limit level `limit` and asks it about each query.
// The process's own server, which the reader's channel reaches, outputs up to level 7, so that
// the reader's debug messages are logged (and reach the sink).
ChildOutcome AskServer(const TempDir& dir, int limit, const std::vector<Query>& queries,
                       int laterLimit = -1) {
    return RunInChild([&](ChildReport& report) {
        setenv("ZR_TINY_LOGGER", "stdout,7", 1);
        Logger bootstrap("Test");
        ReaderMessages messages;
        TinyLogServer server(("stdout," + std::to_string(limit)).c_str());
        server.LoadConfig(dir.Path().c_str());
        for (const Query& query : queries) {
            report.Put(Key(query), server.IsPriorityEnabled(query.first.c_str(), query.second));
        }
        if (laterLimit >= 0) {
            server.SetLimitLevel(laterLimit);
            for (const Query& query : queries) {
                report.Put("later." + Key(query),
                           server.IsPriorityEnabled(query.first.c_str(), query.second));
            }
        }
        report.Put("messages", messages.Text());
        Logger::sTinyLogServer.load()->WaitUntilIdle(10000);
    });
}

void ExpectAnswers(const ChildOutcome& outcome, const std::vector<std::pair<Query, bool>>& answers,
                   const std::string& prefix = "") {
    for (const auto& answer : answers) {
        EXPECT_EQ(outcome.Get(prefix + Key(answer.first)), answer.second ? "1" : "0")
            << prefix << Key(answer.first);
    }
}

std::vector<Query> QueriesOf(const std::vector<std::pair<Query, bool>>& answers) {
    std::vector<Query> queries;
    for (const auto& answer : answers) {
        queries.push_back(answer.first);
    }
    return queries;
}

}  // namespace

TEST(RuleFiles, WithoutFilesTheLimitLevelAloneDecides) {
    TempDir dir;
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        setenv("ZR_TINY_LOGGER", "stdout,7", 1);
        Logger bootstrap("Test");
        ReaderMessages messages;
        TinyLogConfig rules(dir.Path().c_str(), 3);
        rules.ReadConfig();
        report.Put("rules", static_cast<long long>(rules.GetRuleCount()));
        for (int level = 0; level <= 8; ++level) {
            report.Put("check" + std::to_string(level), rules.Check("KvUtilsLib", level));
        }
        report.Put("messages", messages.Text());
        Logger::sTinyLogServer.load()->WaitUntilIdle(10000);
    });
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("rules"), "0");
    for (int level = 0; level <= 8; ++level) {
        EXPECT_EQ(outcome.Get("check" + std::to_string(level)), "2");
    }
    EXPECT_EQ(outcome.Get("messages"), "7|No extra log folder found at " + dir.Path() +
                                           "/Log.cfg.d\n7|No logging config file at " + dir.Path() +
                                           "/Log.cfg\n");
    EXPECT_NE(outcome.output.find("\tDBG\tLogConfig->"), std::string::npos);
}

TEST(RuleFiles, FilterRuleRaisesAndLowersItsChannels) {
    TempDir dir;
    Lay(dir, {{"Log.cfg", "=7:KvTransportLayerLib\n=1:Kv\n"}});
    const std::vector<std::pair<Query, bool>> answers = {
        {{"KvTransportLayerLib", 7}, true}, {{"KvTransportLayerLib", 8}, false},
        {{"KvTransportLayerLib", 3}, true}, {{"ZrUtilsLib", 7}, false},
        {{"ZrUtilsLib", 3}, true},          {{"KvUtilsLib", 3}, false},
        {{"KvUtilsLib", 1}, true},
    };
    const ChildOutcome outcome = AskServer(dir, 3, QueriesOf(answers));
    EXPECT_CHILD_OK(outcome);
    ExpectAnswers(outcome, answers);
}

TEST(RuleFiles, MaxRuleAroundTheLimitLevelFollowsSetLimitLevel) {
    TempDir dir;
    Lay(dir, {{"Log.cfg", ">2:ZrUtilsLib\n=8:Zr\n"}});
    // With limit 3: level 3 stops the scan (the limit lets it through), level 4 stops it too
    // (the limit refuses it, the later =8 rule is never consulted); level 2 passes the rule.
    const std::vector<std::pair<Query, bool>> atThree = {
        {{"ZrUtilsLib", 2}, true},  {{"ZrUtilsLib", 3}, true},  {{"ZrUtilsLib", 4}, false},
        {{"ZrUtilsLib", 5}, false}, {{"ZrUtilsLib", 6}, false}, {{"ZrThing", 6}, true},
    };
    const ChildOutcome outcome = AskServer(dir, 3, QueriesOf(atThree), 5);
    EXPECT_CHILD_OK(outcome);
    ExpectAnswers(outcome, atThree);
    // With limit 5, the rule's default level moves along: 4 is below it and above 2.
    const std::vector<std::pair<Query, bool>> atFive = {
        {{"ZrUtilsLib", 2}, true}, {{"ZrUtilsLib", 3}, false}, {{"ZrUtilsLib", 4}, false},
        {{"ZrUtilsLib", 5}, true}, {{"ZrUtilsLib", 6}, false}, {{"ZrThing", 6}, true},
    };
    ExpectAnswers(outcome, atFive, "later.");
}

TEST(RuleFiles, NegatedMinRuleRaisesEveryOtherChannel) {
    TempDir dir;
    Lay(dir, {{"Log.cfg", "<7!ZrUtilsLib\n"}});
    const std::vector<std::pair<Query, bool>> answers = {
        {{"KvUtilsLib", 7}, true},  {{"LogConfig", 7}, true},  {{"KvUtilsLib", 8}, false},
        {{"ZrUtilsLib", 7}, false}, {{"ZrUtilsLib", 3}, true}, {{"KvUtilsLib", 2}, true},
    };
    const ChildOutcome outcome = AskServer(dir, 3, QueriesOf(answers));
    EXPECT_CHILD_OK(outcome);
    ExpectAnswers(outcome, answers);
}

TEST(RuleFiles, ExtraFilesInByteOrderComeBeforeLogCfg) {
    TempDir dir;
    Lay(dir, {
                 {"Log.cfg", "=8:KvUtilsLib\n"},
                 {"Log.cfg.d/b.cfg", "=7:Kv\n"},
                 {"Log.cfg.d/a.cfg", "=3:Kv\n"},
                 {"Log.cfg.d/B.cfg", "=5:^Upper$\n"},
                 {"Log.cfg.d/_x.cfg", "=5:^Underscore$\n"},
                 {"Log.cfg.d/\xc3\xa9.cfg", "=5:^Accent$\n"},
                 {"Log.cfg.d/.cfg", "=5:^Dot$\n"},
                 // Not rule files.
                 {"Log.cfg.d/rules.cfg.bak", "=8:.*\n"},
                 {"Log.cfg.d/a.CFG", "=8:.*\n"},
                 {"Log.cfg.d/x.cfg/inner.cfg", "=8:.*\n"},
             });
    const std::vector<std::pair<Query, bool>> answers = {
        {{"KvUtilsLib", 7}, false}, {{"KvUtilsLib", 4}, false}, {{"KvUtilsLib", 3}, true},
        {{"ZrUtilsLib", 8}, false}, {{"Accent", 5}, true},
    };
    const ChildOutcome outcome = AskServer(dir, 3, QueriesOf(answers));
    EXPECT_CHILD_OK(outcome);
    ExpectAnswers(outcome, answers);
    const std::string d = dir.Path();
    const std::string messages = outcome.Get("messages");
    const std::string order =
        "7|Reading extra logging config files from " + d + "/Log.cfg.d\n" +
        "7|Parsing extra config file: " + d + "/Log.cfg.d/.cfg\n" +
        "7|Adding log filter level 5 with rule \"^Dot$\"\n" + "7|Parsing extra config file: " + d +
        "/Log.cfg.d/B.cfg\n" + "7|Adding log filter level 5 with rule \"^Upper$\"\n" +
        "7|Parsing extra config file: " + d + "/Log.cfg.d/_x.cfg\n" +
        "7|Adding log filter level 5 with rule \"^Underscore$\"\n" +
        "7|Parsing extra config file: " + d + "/Log.cfg.d/a.cfg\n" +
        "7|Adding log filter level 3 with rule \"Kv\"\n" + "7|Parsing extra config file: " + d +
        "/Log.cfg.d/b.cfg\n" + "7|Adding log filter level 7 with rule \"Kv\"\n" +
        "7|Parsing extra config file: " + d + "/Log.cfg.d/\xc3\xa9.cfg\n" +
        "7|Adding log filter level 5 with rule \"^Accent$\"\n" +
        "7|Parsing logging config file: " + d + "/Log.cfg\n" +
        "7|Adding log filter level 8 with rule \"KvUtilsLib\"\n";
    EXPECT_EQ(messages, order);
}

TEST(RuleFiles, LineSyntaxCommentsLineEndsAndCompileErrors) {
    TempDir dir;
    const std::string longPattern = std::string(100000, 'x') + "|^LongLine$";
    Lay(dir, {{"Log.cfg",
               "# comment\n"                          // 1
               "\n"                                   // 2
               "=9:Kv\n"                              // 3
               "=7Kv\n"                               // 4
               " =7:Kv\n"                             // 5
               "=7:#Kv\n"                             // 6
               "=7: KvUtilsLib\n"                     // 7: the blank stays in the pattern
               "=7:Kv(\n"                             // 8: does not compile
               "<6:ZrUtilsLib # thread messages\r\n"  // 9
               "=7:KvTransportLayerLib\r\n"           // 10
               "=7:" +
                   longPattern +
                   "\n"         // 11
                   "=2!Zr"}});  // 12, no line end
    const std::vector<std::pair<Query, bool>> answers = {
        {{"KvUtilsLib", 7}, false},
        {{"ZrUtilsLib", 6}, true},
        {{"ZrUtilsLib", 7}, false},
        {{"ZrUtilsLib", 3}, true},
        {{"KvTransportLayerLib", 7}, true},
        {{"LongLine", 7}, true},
        {{"Other", 3}, false},
        {{"Other", 2}, true},
    };
    const ChildOutcome outcome = AskServer(dir, 3, QueriesOf(answers));
    EXPECT_CHILD_OK(outcome);
    ExpectAnswers(outcome, answers);

    const std::vector<std::string> messages = SplitLines(outcome.Get("messages"), "\n");
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[1], "7|Parsing logging config file: " + dir.Path() + "/Log.cfg");
    ASSERT_EQ(messages.size(), 8u) << outcome.Get("messages");
    EXPECT_EQ(messages[2], "7|Adding log filter level 7 with rule \" KvUtilsLib\"");
    EXPECT_EQ(messages[3].rfind("3|Logging regex compile error at line 8: ", 0), 0u) << messages[3];
    EXPECT_GT(messages[3].size(), std::string("3|Logging regex compile error at line 8: ").size());
    EXPECT_EQ(messages[4], "7|Adding log min level 6 with rule \"ZrUtilsLib\"");
    EXPECT_EQ(messages[5], "7|Adding log filter level 7 with rule \"KvTransportLayerLib\"");
    // The message text is cut, never the rule.
    EXPECT_EQ(messages[6].rfind("7|Adding log filter level 7 with rule \"xxxx", 0), 0u);
    EXPECT_EQ(messages[7], "7|Adding log filter level 2 with rule (not)\"Zr\"");
    // The compile error reaches the output as an error of the reader's channel.
    EXPECT_TRUE(Search(outcome.output,
                       ("\tERR\tLogConfig->[^\r]* - Logging regex compile error at line 8: ")));
}

TEST(RuleFiles, RuleFileThatCannotBeOpenedIsReportedAndSkipped) {
    TempDir dir;
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        setenv("ZR_TINY_LOGGER", "stdout,4", 1);
        Logger bootstrap("Test");
        ReaderMessages messages;
        TinyLogConfig rules(dir.Path().c_str(), 3);
        std::string missing = dir / "missing.cfg";
        rules.ParseConfig(&missing[0]);
        report.Put("rules", static_cast<long long>(rules.GetRuleCount()));
        report.Put("messages", messages.Text());
        Logger::sTinyLogServer.load()->WaitUntilIdle(10000);
    });
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("rules"), "0");
    EXPECT_EQ(outcome.Get("messages"),
              "4|Unable to open log config file " + dir.Path() + "/missing.cfg\n");
    EXPECT_NE(outcome.output.find("\tWARN\tLogConfig->"), std::string::npos);
}

TEST(RuleFiles, CheckAnswersEnableDisableOrNoDecision) {
    TempDir dir;
    Lay(dir, {{"Log.cfg", "<6:ZrUtilsLib\n=1:Kv\n"}});
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        setenv("ZR_TINY_LOGGER", "stdout,3", 1);
        Logger bootstrap("Test");
        TinyLogConfig rules(dir.Path().c_str(), 3);
        rules.ReadConfig();
        report.Put("zr2", rules.Check("ZrUtilsLib", 2));  // min rule stops: no decision
        report.Put("zr6", rules.Check("ZrUtilsLib", 6));
        report.Put("zr7", rules.Check("ZrUtilsLib", 7));
        report.Put("kv1", rules.Check("KvUtilsLib", 1));
        report.Put("kv2", rules.Check("KvUtilsLib", 2));
        report.Put("other", rules.Check("Other", 0));
        Logger::sTinyLogServer.load()->WaitUntilIdle(10000);
    });
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("zr2"), "2");
    EXPECT_EQ(outcome.Get("zr6"), "0");
    EXPECT_EQ(outcome.Get("zr7"), "1");
    EXPECT_EQ(outcome.Get("kv1"), "0");
    EXPECT_EQ(outcome.Get("kv2"), "1");
    EXPECT_EQ(outcome.Get("other"), "2");
}

TEST(RuleFiles, ProcessServerReadsEtcHalvexAndItsRulesGovernTheReaderToo) {
    const bool hostHadHalvex = FileExists("/etc/Halvex");
    const ChildOutcome outcome = RunInChild([](ChildReport& report) {
        std::string error;
        if (!EnterPrivateMounts(&error) || !MountPrivateEtc(&error)) {
            report.Skip(error);
            return;
        }
        std::filesystem::create_directories("/etc/Halvex/Log.cfg.d");
        WriteFile("/etc/Halvex/Log.cfg.d/a.cfg", "=6:ZrUtilsLib\n");
        // The first rule lets the reader's own debug messages through from then on.
        WriteFile("/etc/Halvex/Log.cfg", "=7:LogConfig\n=7:KvUtilsLib\n");
        setenv("ZR_TINY_LOGGER", "stdout,3", 1);
        Logger kv("KvUtilsLib");
        Logger zr("ZrUtilsLib");
        report.Put("kv7", kv.IsPriorityEnabled(PRIORITY_DEBUG));
        report.Put("zr6", zr.IsPriorityEnabled(PRIORITY_INFO));
        report.Put("zr7", zr.IsPriorityEnabled(PRIORITY_DEBUG));
        ZR_LOG(kv, PRIORITY_DEBUG, "debug from the inventory");
        ZR_LOG(zr, PRIORITY_DEBUG, "debug from the threads");
        Logger::sTinyLogServer.load()->WaitUntilIdle(10000);
    });
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(FileExists("/etc/Halvex"), hostHadHalvex);
    EXPECT_EQ(outcome.Get("kv7"), "1");
    EXPECT_EQ(outcome.Get("zr6"), "1");
    EXPECT_EQ(outcome.Get("zr7"), "0");
    std::vector<std::string> lines;
    for (const std::string& line : SplitLines(outcome.output, "\r\n")) {
        lines.push_back(line.substr(line.find('\t') + 1));
    }
    // The messages before the LogConfig rule was added stay below the limit level; the one
    // about the second rule is output.
    ASSERT_EQ(lines.size(), 2u) << outcome.output;
    EXPECT_NE(lines[0].find("DBG\tLogConfig->"), std::string::npos);
    EXPECT_NE(lines[0].find(" - Adding log filter level 7 with rule \"KvUtilsLib\""),
              std::string::npos);
    EXPECT_NE(lines[1].find("DBG\tKvUtilsLib->"), std::string::npos);
    EXPECT_NE(lines[1].find(" - debug from the inventory"), std::string::npos);
}
