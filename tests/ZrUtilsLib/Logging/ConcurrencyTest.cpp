// Logging and rule reading from several threads at once (these tests also run under
// ThreadSanitizer).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "Isolation.h"
#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/TinyLogConfig.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;
using namespace LoggingTest;

namespace {

constexpr int kThreads = 4;
constexpr int kMessagesPerThread = 400;

// Many rule files whose first rule enables "Target" and whose last one disables "Other".
void LayManyRules(const TempDir& dir) {
    std::filesystem::create_directories(dir / "Log.cfg.d");
    WriteFile(dir / "Log.cfg.d/000.cfg", "=7:^Target$\n");
    for (int i = 1; i < 150; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "Log.cfg.d/%03d.cfg", i);
        WriteFile(dir / name, "=5:^Filler" + std::to_string(i) + "$\n<6:^Nothing$\n");
    }
    WriteFile(dir / "Log.cfg", "=0:^Other$\n");
}

}  // namespace

TEST(Concurrency, LoggersOnManyThreadsLoseAndMixNothingWhenThePoolSuffices) {
    const ChildOutcome outcome = RunInChild([](ChildReport& report) {
        setenv("ZR_TINY_LOGGER", "stdout,6,4096", 1);
        Logger channel("KvTransportLayerLib");
        std::atomic<bool> done{false};
        // The limit moves while the others log at a level both limits let through.
        std::thread changer([&] {
            for (int i = 0; !done.load() && i < 1000000; ++i) {
                channel.SetLogPriority(i % 2 == 0 ? 5 : 6);
            }
        });
        std::vector<std::thread> loggers;
        for (int t = 0; t < kThreads; ++t) {
            loggers.emplace_back([&channel, t] {
                for (int m = 0; m < kMessagesPerThread; ++m) {
                    ZR_LOG(channel, PRIORITY_ERROR, "t%d m%04d", t, m);
                }
            });
        }
        for (std::thread& logger : loggers) {
            logger.join();
        }
        done.store(true);
        changer.join();
        TinyLogServer* server = Logger::sTinyLogServer.load();
        report.Put("idle", server->WaitUntilIdle(30000));
        report.Put("dropped", static_cast<long long>(server->GetDroppedCount()));
    });
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("idle"), "1");
    EXPECT_EQ(outcome.Get("dropped"), "0");
    const std::vector<std::string> lines = SplitLines(outcome.output, "\r\n");
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kMessagesPerThread));
    std::set<std::string> seen;
    std::vector<int> nextOfThread(kThreads, 0);
    for (const std::string& line : lines) {
        const size_t dash = line.find(" - t");
        ASSERT_NE(dash, std::string::npos) << line;
        ASSERT_NE(line.find("\tERR\tKvTransportLayerLib->ConcurrencyTest.cpp:"), std::string::npos)
            << line;
        const std::string message = line.substr(dash + 3);
        int thread = -1;
        int number = -1;
        ASSERT_EQ(std::sscanf(message.c_str(), "t%d m%d", &thread, &number), 2) << line;
        ASSERT_GE(thread, 0);
        ASSERT_LT(thread, kThreads);
        // One thread's messages keep their order.
        EXPECT_EQ(number, nextOfThread[thread]) << line;
        nextOfThread[thread] = number + 1;
        EXPECT_TRUE(seen.insert(message).second) << "twice: " << line;
    }
}

TEST(Concurrency, RulesAppendedWhileOtherThreadsCheckAreSeenInOrder) {
    TempDir dir;
    LayManyRules(dir);
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        setenv("ZR_TINY_LOGGER", "stdout,3", 1);
        Logger bootstrap("Test");
        TinyLogConfig rules(dir.Path().c_str(), 3);
        std::atomic<bool> started{false};
        std::atomic<bool> done{false};
        std::atomic<int> backwards{0};
        std::atomic<long long> checks{0};
        auto checker = [&] {
            int target = TinyLogConfig::kNoDecision;
            int other = TinyLogConfig::kNoDecision;
            size_t count = 0;
            started.store(true);
            for (long long i = 0; !done.load() && i < 50000000; ++i) {
                const int nowTarget = rules.Check("Target", 7);
                const int nowOther = rules.Check("Other", 5);
                const size_t nowCount = rules.GetRuleCount();
                // Once a rule is visible it stays visible.
                if ((target == TinyLogConfig::kEnable && nowTarget != target) ||
                    (other == TinyLogConfig::kDisable && nowOther != other) || nowCount < count) {
                    backwards.fetch_add(1);
                }
                target = nowTarget;
                other = nowOther;
                count = nowCount;
                checks.fetch_add(1);
            }
        };
        std::thread first(checker);
        std::thread second(checker);
        while (!started.load()) {
            std::this_thread::yield();
        }
        rules.ReadConfig();
        done.store(true);
        first.join();
        second.join();
        report.Put("backwards", backwards.load());
        report.Put("checks", checks.load() > 0);
        report.Put("rules", static_cast<long long>(rules.GetRuleCount()));
        report.Put("target", rules.Check("Target", 7));
        report.Put("other", rules.Check("Other", 5));
        Logger::sTinyLogServer.load()->WaitUntilIdle(10000);
    });
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("backwards"), "0");
    EXPECT_EQ(outcome.Get("checks"), "1");
    EXPECT_EQ(outcome.Get("rules"), std::to_string(1 + 149 * 2 + 1));
    EXPECT_EQ(outcome.Get("target"), "0");
    EXPECT_EQ(outcome.Get("other"), "1");
}

TEST(Concurrency, ServerAnswersWhileItsRuleSetIsBeingLoaded) {
    TempDir dir;
    LayManyRules(dir);
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        setenv("ZR_TINY_LOGGER", "stdout,3", 1);
        Logger bootstrap("Test");
        TinyLogServer server("stdout,3");
        std::atomic<bool> done{false};
        std::atomic<int> backwards{0};
        std::thread asker([&] {
            bool enabled = false;
            for (long long i = 0; !done.load() && i < 50000000; ++i) {
                const bool now = server.IsPriorityEnabled("Target", 7);
                if (enabled && !now) {
                    backwards.fetch_add(1);
                }
                enabled = now;
                server.Log(7, "f", 1, "g", "Target", "x");
            }
        });
        server.LoadConfig(dir.Path().c_str());
        done.store(true);
        asker.join();
        report.Put("backwards", backwards.load());
        report.Put("target", server.IsPriorityEnabled("Target", 7));
        report.Put("other", server.IsPriorityEnabled("Other", 0));
        report.Put("idle", server.WaitUntilIdle(30000));
    });
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("backwards"), "0");
    EXPECT_EQ(outcome.Get("target"), "1");
    EXPECT_EQ(outcome.Get("other"), "1");
    EXPECT_EQ(outcome.Get("idle"), "1");
}
