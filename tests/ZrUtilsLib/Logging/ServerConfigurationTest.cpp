// The configuration string: limit level, record pool, thread and its priority, rejection.
#include <sched.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "Isolation.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;
using namespace LoggingTest;

namespace {

struct Expected {
    const char* configuration;
    int limitLevel;
    bool running;
    size_t records;  // 0: not checked
};

// Builds every server of the table in turn, in one child with a private /dev/shm (the file
// output opens the machine-wide named semaphore).
ChildOutcome BuildEach(const std::vector<Expected>& table, const std::string& logDir) {
    return RunInChild([&](ChildReport& report) {
        std::string error;
        if (!EnterPrivateMounts(&error) || !MountPrivateShm(false, &error)) {
            report.Skip(error);
            return;
        }
        setenv("LOGDIR", logDir.c_str(), 1);
        for (size_t i = 0; i < table.size(); ++i) {
            const std::string n = std::to_string(i);
            TinyLogServer server(table[i].configuration);
            report.Put("limit." + n, server.GetLimitLevel());
            report.Put("running." + n, server.IsRunning() ? 1 : 0);
            report.Put("records." + n, static_cast<long long>(server.GetRecordCount()));
            int policy = -1;
            int priority = -1;
            report.Put("thread." + n, FindThread("TinyLogServerThread", &policy, &priority));
            report.Put("policy." + n, policy);
            report.Put("priority." + n, priority);
        }
    });
}

}  // namespace

TEST(ServerConfiguration, LevelRecordsAndRejection) {
    TempDir logs;
    const std::vector<Expected> table = {
        {"stdout,7", 7, true, 128},
        {"stdout,,5", 5, true, 128},
        {",,stdout,,,6,,", 6, true, 128},
        {"stdout,12", 3, true, 128},
        {"stdout,-1", 3, true, 128},
        {"stdout, 4abc", 4, true, 128},  // leading blank and trailing text, like strtol
        {"stdout,x", 0, true, 128},      // no digits reads as 0
        {"stdout,8,0", 8, true, 128},
        {"stdout,8,-4", 8, true, 128},
        {"stdout,8,2", 8, true, 2},
        {"stdout,8,999999999999", 8, true, 65536},  // bounded pool
        {"syslog,3,127.0.0.1,17,9", 3, true, 9},
        {"syslog,3,localhost", 3, true, 128},  // thread runs, nothing will be sent
        {"file,6,$(LOGDIR)/a.log,0,5", 6, true, 5},
        {"file,2,$(LOGDIR)/a.log", 2, true, 128},
        // Rejected: limit level 0, no thread.
        {"stdout", 0, false, 0},
        {"console,3", 0, false, 0},
        {"STDOUT,3", 0, false, 0},
        {"syslog,3", 0, false, 0},
        {"syslog,3,1234567890.1234567890.1234567890.12", 0, false, 0},
        {"file,3", 0, false, 0},
        {"", 0, false, 0},
        {",,,", 0, false, 0},
    };
    const ChildOutcome outcome = BuildEach(table, logs.Path());
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string n = std::to_string(i);
        SCOPED_TRACE(table[i].configuration);
        EXPECT_EQ(outcome.GetNumber("limit." + n), table[i].limitLevel);
        EXPECT_EQ(outcome.GetNumber("running." + n), table[i].running ? 1 : 0);
        EXPECT_EQ(outcome.GetNumber("thread." + n), table[i].running ? 1 : 0);
        if (table[i].records != 0) {
            EXPECT_EQ(outcome.GetNumber("records." + n), static_cast<long long>(table[i].records));
        } else {
            EXPECT_EQ(outcome.GetNumber("records." + n), 0);  // no pool
        }
    }
}

TEST(ServerConfiguration, ThreadPriorityField) {
    TempDir logs;
    const std::vector<Expected> table = {
        {"stdout,3", 3, true, 0},
        {"stdout,3,0,4294967295", 3, true, 0},  // time sharing
        {"stdout,3,0,-1", 3, true, 0},          // the same value, read as a signed number
        {"syslog,3,127.0.0.1,0,0,50", 3, true, 0},
        {"file,3,$(LOGDIR)/p.log,0,0,61", 3, true, 0},
        {"stdout,3,0,100", 3, true, 0},  // out of range: refused, the thread still runs
    };
    const ChildOutcome outcome = BuildEach(table, logs.Path());
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    const struct {
        int policy;
        int priority;
    } expected[] = {{SCHED_FIFO, 11}, {SCHED_OTHER, 0}, {SCHED_OTHER, 0},
                    {SCHED_FIFO, 50}, {SCHED_FIFO, 61}, {SCHED_FIFO, 11}};
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string n = std::to_string(i);
        SCOPED_TRACE(table[i].configuration);
        ASSERT_EQ(outcome.GetNumber("thread." + n), 1);
        EXPECT_EQ(outcome.GetNumber("policy." + n), expected[i].policy);
        EXPECT_EQ(outcome.GetNumber("priority." + n), expected[i].priority);
    }
}

TEST(ServerConfiguration, RejectedServerOutputsNothing) {
    const ChildOutcome outcome = RunInChild([](ChildReport&) {
        TinyLogServer server("stdout");
        EXPECT_TRUE(server.IsPriorityEnabled("c", 0));  // limit level 0
        server.Log(0, "f", 1, "g", "c", "should not appear");
    });
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.output, "");
}
