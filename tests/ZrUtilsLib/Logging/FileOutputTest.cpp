// The file output on real files: line format, rotation, the machine-wide lock and the signal
// guard. Every child mounts its own /dev/shm, so the named semaphore "Kova_SDK_Logger" it
// creates and removes is private to it.
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "Isolation.h"
#include "TextMatch.h"
#include "ZrUtilsLib/SuspendSignal.h"
#include "ZrUtilsLib/Thread.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;
using namespace LoggingTest;

namespace {

constexpr unsigned int kIdleWait = 20000;

bool PrivateShm(ChildReport& report, bool readOnly = false) {
    std::string error;
    if (!EnterPrivateMounts(&error) || !MountPrivateShm(readOnly, &error)) {
        report.Skip(error);
        return false;
    }
    return true;
}

std::vector<std::string> LinesOf(const std::string& path) {
    return SplitLines(ReadFile(path), "\r\n");
}

// About a hundred bytes per line, numbered.
std::string Numbered(int number) {
    char text[32];
    std::snprintf(text, sizeof(text), "message %03d ", number);
    return text + std::string(60, 'x');
}

// A second handle on the machine-wide lock, held as a writer of another process would.
sem_t* OpenSharedLock() {
    return sem_open(TinyLogServerFile::kLockName, O_CREAT, 0626, 1);
}

int LockValue(sem_t* lock) {
    int value = -1;
    sem_getvalue(lock, &value);
    return value;
}

std::atomic<int> gTermSignals{0};
void CountTerm(int) {
    gTermSignals.fetch_add(1);
}

bool CurrentHandlerIs(int signal, void (*handler)(int)) {
    struct sigaction current;
    sigaction(signal, nullptr, &current);
    return current.sa_handler == handler;
}

}  // namespace

TEST(FileOutput, LinesAppendedToTheExpandedPathUnderALockMadeWith0626) {
    TempDir logs;
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        if (!PrivateShm(report)) {
            return;
        }
        umask(0);
        setenv("LOGDIR", logs.Path().c_str(), 1);
        WriteFile(logs / "app.log", "earlier line\r\n");
        TinyLogServer server("file,6,$(LOGDIR)/app.log");
        server.Log(6, "Thread", 230, "StartThread", "ZrUtilsLib", "Start Thread");
        server.Log(3, "/Thread", 10, "Run", "ZrUtilsLib", "fail 2");
        report.Put("idle", server.WaitUntilIdle(kIdleWait));
        struct stat status;
        const bool lockExists = stat("/dev/shm/sem.Kova_SDK_Logger", &status) == 0;
        report.Put("lockMode", lockExists ? static_cast<long long>(status.st_mode & 0777) : -1);
    });
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("idle"), "1");
    EXPECT_EQ(outcome.GetNumber("lockMode"), 0626);
    const std::vector<std::string> lines = LinesOf(logs / "app.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier line");
    EXPECT_TRUE(
        FullMatch(lines[1], ("[0-9]+\tINFO\tZrUtilsLib->Thread:230::StartThread - Start Thread")))
        << lines[1];
    EXPECT_TRUE(FullMatch(lines[2], ("[0-9]+\tERR\tZrUtilsLib->/Thread:10::Run - fail 2")));
    EXPECT_EQ(ReadFile(logs / "app.log").substr(ReadFile(logs / "app.log").size() - 2), "\r\n");
}

TEST(FileOutput, RotatesToTheBackupNameAtEvery51stWriteWhenTooLarge) {
    TempDir logs;
    const std::string path = logs / "x.log";
    const std::string backup = logs / "x.bak.log";
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        if (!PrivateShm(report)) {
            return;
        }
        TinyLogServer server(("file,6," + path + ",2000,200").c_str());
        auto logUpTo = [&](int from, int to) {
            for (int i = from; i <= to; ++i) {
                server.Log(6, "f", 1, "g", "c", Numbered(i).c_str());
            }
            return server.WaitUntilIdle(kIdleWait);
        };
        // 50 writes: no size check yet, although the file is past 2000 bytes.
        report.Put("idle50", logUpTo(1, 50));
        report.Put("lines50", static_cast<long long>(LinesOf(path).size()));
        report.Put("backup50", FileExists(backup));
        // The 51st write checks the size and rotates.
        report.Put("idle51", logUpTo(51, 51));
        report.Put("path51", FileExists(path));
        report.Put("backup51", static_cast<long long>(LinesOf(backup).size()));
        // The next write starts a new file.
        report.Put("idle52", logUpTo(52, 52));
        report.Put("lines52", static_cast<long long>(LinesOf(path).size()));
        // 51 writes after the last check rotate again, replacing the old backup.
        report.Put("idle102", logUpTo(53, 102));
        report.Put("path102", FileExists(path));
        const std::vector<std::string> lines = LinesOf(backup);
        report.Put("backup102", static_cast<long long>(lines.size()));
        report.Put("backupFirst", lines.empty() ? "" : lines.front());
        report.Put("backupLast", lines.empty() ? "" : lines.back());
    });
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    for (const char* key : {"idle50", "idle51", "idle52", "idle102"}) {
        EXPECT_EQ(outcome.Get(key), "1") << key;
    }
    EXPECT_EQ(outcome.GetNumber("lines50"), 50);
    EXPECT_EQ(outcome.GetNumber("backup50"), 0);
    EXPECT_EQ(outcome.GetNumber("path51"), 0);
    EXPECT_EQ(outcome.GetNumber("backup51"), 51);
    EXPECT_EQ(outcome.GetNumber("lines52"), 1);
    EXPECT_EQ(outcome.GetNumber("path102"), 0);
    EXPECT_EQ(outcome.GetNumber("backup102"), 51);
    EXPECT_NE(outcome.Get("backupFirst").find("message 052 "), std::string::npos);
    EXPECT_NE(outcome.Get("backupLast").find("message 102 "), std::string::npos);
}

TEST(FileOutput, NoRotationBelowTheMaximumOrForAPathWithoutBackupName) {
    TempDir logs;
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        if (!PrivateShm(report)) {
            return;
        }
        if (chdir(logs.Path().c_str()) != 0) {
            report.Put("exception", "chdir");
            return;
        }
        {
            // Default maximum of 1024000 bytes.
            TinyLogServer server("file,6,big.log");
            for (int i = 1; i <= 120; ++i) {
                server.Log(6, "f", 1, "g", "c", Numbered(i).c_str());
            }
            report.Put("idleBig", server.WaitUntilIdle(kIdleWait));
        }
        {
            // Three characters: no backup name, so the file just grows.
            TinyLogServer server("file,6,x.l,10,200");
            for (int i = 1; i <= 110; ++i) {
                server.Log(6, "f", 1, "g", "c", Numbered(i).c_str());
            }
            report.Put("idleShort", server.WaitUntilIdle(kIdleWait));
        }
    });
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("idleBig"), "1");
    EXPECT_EQ(outcome.Get("idleShort"), "1");
    EXPECT_EQ(LinesOf(logs / "big.log").size(), 120u);
    EXPECT_FALSE(FileExists(logs / "big.bak.log"));
    EXPECT_EQ(LinesOf(logs / "x.l").size(), 110u);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(logs.Path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big.log", "x.l"}));
}

TEST(FileOutput, WritesWithoutTheLockWhenItCannotBeOpened) {
    TempDir logs;
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        // A read-only /dev/shm: the named semaphore cannot be created.
        if (!PrivateShm(report, true)) {
            return;
        }
        TinyLogServerFile direct(nullptr, nullptr);
        report.Put("opened", direct.Open((logs / "direct.log").c_str(), 0));
        LOGSERVERITEM record{};
        direct.Format(&record, 4, "f", 1, "g", "c", "direct");
        direct.Write(&record);

        TinyLogServer server(("file,6," + (logs / "server.log")).c_str());
        report.Put("running", server.IsRunning());
        server.Log(4, "f", 2, "g", "c", "queued");
        report.Put("idle", server.WaitUntilIdle(kIdleWait));
    });
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("opened"), "0");
    EXPECT_EQ(outcome.Get("running"), "1");
    EXPECT_EQ(outcome.Get("idle"), "1");
    EXPECT_NE(ReadFile(logs / "direct.log").find("\tWARN\tc->f:1::g - direct\r\n"),
              std::string::npos);
    EXPECT_NE(ReadFile(logs / "server.log").find("\tWARN\tc->f:2::g - queued\r\n"),
              std::string::npos);
}

TEST(FileOutput, ALockNeverPostedDelaysButDoesNotStopLogging) {
    TempDir logs;
    const std::string path = logs / "held.log";
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        if (!PrivateShm(report)) {
            return;
        }
        sem_t* lock = OpenSharedLock();
        if (lock == SEM_FAILED || sem_wait(lock) != 0) {
            report.Put("exception", "cannot hold the lock");
            return;
        }
        // The holder never posts, as if it had died inside its write.
        TinyLogServer server(("file,6," + path).c_str());
        const uint64_t start = Thread::GetTickCount();
        server.Log(6, "f", 1, "g", "c", "despite the lock");
        report.Put("idle", server.WaitUntilIdle(kIdleWait));
        report.Put("waited", static_cast<long long>(Thread::GetTickCount() - start));
        // A wait that timed out is not matched by a post.
        report.Put("valueAfterTimeout", LockValue(lock));
        sem_post(lock);
        server.Log(6, "f", 2, "g", "c", "lock free again");
        report.Put("idleAgain", server.WaitUntilIdle(kIdleWait));
        report.Put("valueAfterWrite", LockValue(lock));
        sem_close(lock);
    });
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("idle"), "1");
    EXPECT_GE(outcome.GetNumber("waited"), TinyLogServerFile::kLockWaitMilliseconds - 100);
    EXPECT_EQ(outcome.GetNumber("valueAfterTimeout"), 0);
    EXPECT_EQ(outcome.Get("idleAgain"), "1");
    EXPECT_EQ(outcome.GetNumber("valueAfterWrite"), 1);
    const std::vector<std::string> lines = LinesOf(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("despite the lock"), std::string::npos);
    EXPECT_NE(lines[1].find("lock free again"), std::string::npos);
}

TEST(FileOutput, FullPoolDropsTheMessageWithoutWaiting) {
    TempDir logs;
    const std::string path = logs / "pool.log";
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        if (!PrivateShm(report)) {
            return;
        }
        sem_t* lock = OpenSharedLock();
        if (lock == SEM_FAILED || sem_wait(lock) != 0) {
            report.Put("exception", "cannot hold the lock");
            return;
        }
        // Two records; the thread is held up in its first write by the lock.
        TinyLogServer server(("file,6," + path + ",0,2").c_str());
        const uint64_t start = Thread::GetTickCount();
        server.Log(6, "f", 1, "g", "c", "first");
        server.Log(6, "f", 2, "g", "c", "second");
        server.Log(6, "f", 3, "g", "c", "third");
        report.Put("logTime", static_cast<long long>(Thread::GetTickCount() - start));
        report.Put("dropped", static_cast<long long>(server.GetDroppedCount()));
        sem_post(lock);
        report.Put("idle", server.WaitUntilIdle(kIdleWait));
        server.Log(6, "f", 4, "g", "c", "fourth");
        report.Put("idleAgain", server.WaitUntilIdle(kIdleWait));
        sem_close(lock);
    });
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.GetNumber("dropped"), 1);
    // Logging never waited for the held output.
    EXPECT_LT(outcome.GetNumber("logTime"), 1000);
    EXPECT_EQ(outcome.Get("idle"), "1");
    EXPECT_EQ(outcome.Get("idleAgain"), "1");
    const std::vector<std::string> lines = LinesOf(path);
    ASSERT_EQ(lines.size(), 3u) << ReadFile(path);
    EXPECT_NE(lines[0].find(" - first"), std::string::npos);
    EXPECT_NE(lines[1].find(" - second"), std::string::npos);
    EXPECT_NE(lines[2].find(" - fourth"), std::string::npos);
}

TEST(FileOutput, TerminationSignalIsHeldBackUntilTheWriteEndsAndTheHandlerComesBack) {
    TempDir logs;
    const std::string path = logs / "signal.log";
    const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
        if (!PrivateShm(report)) {
            return;
        }
        struct sigaction own {};
        own.sa_handler = &CountTerm;
        sigemptyset(&own.sa_mask);
        sigaction(SIGTERM, &own, nullptr);
        sem_t* lock = OpenSharedLock();
        if (lock == SEM_FAILED || sem_wait(lock) != 0) {
            report.Put("exception", "cannot hold the lock");
            return;
        }
        TinyLogServer server(("file,6," + path).c_str());
        server.Log(6, "f", 1, "g", "c", "guarded");
        // Bounded wait for the server thread to enter its guarded write.
        bool guarded = false;
        for (int i = 0; i < 10000 && !guarded; ++i) {
            guarded = CurrentHandlerIs(SIGTERM, &SuspendSignal::SignalHandler);
            if (!guarded) {
                Thread::Sleep(1);
            }
        }
        report.Put("guarded", guarded);
        kill(getpid(), SIGTERM);
        report.Put("handledDuringWrite", gTermSignals.load());
        report.Put("lineDuringWrite", FileExists(path));
        sem_post(lock);
        report.Put("idle", server.WaitUntilIdle(kIdleWait));
        report.Put("handledAfterWrite", gTermSignals.load());
        report.Put("handlerBack", CurrentHandlerIs(SIGTERM, &CountTerm));
        sem_close(lock);
    });
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    ASSERT_EQ(outcome.Get("guarded"), "1");
    EXPECT_EQ(outcome.GetNumber("handledDuringWrite"), 0);
    EXPECT_EQ(outcome.GetNumber("lineDuringWrite"), 0);
    EXPECT_EQ(outcome.Get("idle"), "1");
    EXPECT_EQ(outcome.GetNumber("handledAfterWrite"), 1);
    EXPECT_EQ(outcome.Get("handlerBack"), "1");
    EXPECT_NE(ReadFile(path).find(" - guarded\r\n"), std::string::npos);
}
