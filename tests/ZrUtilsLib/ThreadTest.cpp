#include "ZrUtilsLib/Thread.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZrUtilsLib/LogSink.h"
#include "ZrUtilsLib/Semaphore.h"

using namespace ZrUtilsLib;
using Clock = std::chrono::steady_clock;

namespace {

// A worker whose body is given by the test.
class TestThread : public Thread {
public:
    TestThread(const char* name, unsigned int priority, std::function<Result(TestThread&)> body)
        : Thread(name, priority, true), mBody(std::move(body)) {}
    ~TestThread() override {
        StopThread();
        WaitUntilSignaled();
    }
    using Thread::IsStopping;

protected:
    Result Run() override { return mBody(*this); }

private:
    std::function<Result(TestThread&)> mBody;
};

Result LoopUntilStopped(TestThread& self) {
    while (!self.IsStopping()) {
        Thread::Sleep(1);
    }
    return Result(OK);
}

class CapturingSink : public LogSink {
public:
    void OnLog(int level, const char*, unsigned int, const char* function, const char* channel,
               const char* message) override {
        std::lock_guard<std::mutex> lock(mMutex);
        mLines.push_back(std::to_string(level) + "|" + channel + "|" + function + "|" + message);
    }
    bool Contains(const std::string& text) {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const std::string& line : mLines) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    std::mutex mMutex;
    std::vector<std::string> mLines;
};

}  // namespace

TEST(ThreadLifecycle, StartHandshakeStopAndJoin) {
    TestThread worker("worker", Thread::InternalPriorityTimeSharing, LoopUntilStopped);
    EXPECT_FALSE(worker.IsRunning());
    ASSERT_EQ(worker.StartThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_NE(worker.GetThreadID(), pthread_t(0));
    EXPECT_EQ(worker.GetExitCode().GetCode(), static_cast<unsigned int>(STATE_ERROR));

    const auto start = Clock::now();
    EXPECT_EQ(worker.WaitUntilSignaled(100).GetCode(), static_cast<unsigned int>(TIMEOUT));
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              90);

    EXPECT_EQ(worker.StopThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_EQ(worker.WaitUntilSignaled().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_FALSE(worker.IsStopping());
    EXPECT_EQ(worker.GetThreadID(), pthread_t(0));
    EXPECT_EQ(worker.GetExitCode().GetCode(), static_cast<unsigned int>(OK));

    // A joined thread can be started again.
    ASSERT_EQ(worker.StartThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_TRUE(worker.IsRunning());
}

TEST(ThreadLifecycle, StopBeforeStartIsAnErrorAndIsClearedByStart) {
    TestThread worker("early", Thread::InternalPriorityTimeSharing, LoopUntilStopped);
    EXPECT_EQ(worker.StopThread().GetCode(), static_cast<unsigned int>(THREAD_ERROR));
    EXPECT_TRUE(worker.IsStopping());
    ASSERT_EQ(worker.StartThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_FALSE(worker.IsStopping());
    EXPECT_TRUE(worker.IsRunning());
}

TEST(ThreadLifecycle, TimedWaitSeesTheEndAfterStop) {
    // The stop broadcast is consumed by nobody; the timed wait made afterwards must still
    // return when the thread ends, long before its deadline.
    for (int round = 0; round < 50; ++round) {
        TestThread worker("ending", Thread::InternalPriorityTimeSharing, LoopUntilStopped);
        ASSERT_EQ(worker.StartThread().GetCode(), static_cast<unsigned int>(OK));
        worker.StopThread();
        const auto start = Clock::now();
        const Result waited = worker.WaitUntilSignaled(10000);
        EXPECT_EQ(waited.GetCode(), static_cast<unsigned int>(OK));
        EXPECT_LT(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
            5000);
    }
}

TEST(ThreadExit, ExitCodeIsTheBodysResult) {
    Semaphore release(0, 0, nullptr);
    TestThread worker("notfound", Thread::InternalPriorityTimeSharing, [&](TestThread&) {
        release.Wait();
        return Result(NOT_FOUND);
    });
    ASSERT_EQ(worker.StartThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_EQ(worker.GetExitCode().GetCode(), static_cast<unsigned int>(STATE_ERROR));
    release.Release();
    EXPECT_EQ(worker.WaitUntilSignaled().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_EQ(worker.GetExitCode().GetCode(), static_cast<unsigned int>(NOT_FOUND));
}

TEST(ThreadExit, ExceptionsBecomeThreadError) {
    CapturingSink sink;
    TestThread throwing("thrower", Thread::InternalPriorityTimeSharing,
                        [](TestThread&) -> Result { throw std::runtime_error("disk on fire"); });
    ASSERT_EQ(throwing.StartThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_EQ(throwing.WaitUntilSignaled().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_FALSE(throwing.IsRunning());
    EXPECT_EQ(throwing.GetExitCode().GetCode(), static_cast<unsigned int>(THREAD_ERROR));
    EXPECT_TRUE(
        sink.Contains("3|ZrUtilsLib|ThreadFunction|Error caught in the thread function: "
                      "disk on fire"));

    TestThread unknown("unknown", Thread::InternalPriorityTimeSharing,
                       [](TestThread&) -> Result { throw 42; });
    ASSERT_EQ(unknown.StartThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_EQ(unknown.WaitUntilSignaled().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_EQ(unknown.GetExitCode().GetCode(), static_cast<unsigned int>(THREAD_ERROR));
    EXPECT_TRUE(sink.Contains("Unknown error caught in the thread function"));
}

TEST(ThreadPriority, ValidationAndPolicies) {
    CapturingSink sink;
    EXPECT_TRUE(Thread::IsPriorityValid(0));
    EXPECT_TRUE(Thread::IsPriorityValid(99));
    EXPECT_TRUE(Thread::IsPriorityValid(0xFFFFFFFF));
    EXPECT_FALSE(Thread::IsPriorityValid(100));
    EXPECT_FALSE(Thread::IsPriorityValid(0xFFFFFFFE));

    std::atomic<int> policySeen{-1};
    TestThread worker("prio", Thread::InternalPriorityHighest, [&](TestThread& self) {
        while (!self.IsStopping()) {
            policySeen = sched_getscheduler(0);
            Thread::Sleep(1);
        }
        return Result(OK);
    });
    ASSERT_EQ(worker.StartThread().GetCode(), static_cast<unsigned int>(OK));
    EXPECT_EQ(worker.SetPriority(100).GetCode(), static_cast<unsigned int>(INVALID_ARGUMENT));
    EXPECT_TRUE(
        sink.Contains("The priority 100 is out of range. The value must be between 0 and "
                      "99."));
    EXPECT_EQ(worker.GetPriority(), Thread::InternalPriorityHighest);

    // Real-time priorities may be refused without privileges: the thread then keeps its
    // time-sharing policy. Either outcome is allowed, nothing else.
    while (policySeen.load() < 0) {
        Thread::SwitchToThread();
    }
    const int policy = policySeen.load();
    EXPECT_TRUE(policy == SCHED_FIFO || policy == SCHED_OTHER) << policy;

    EXPECT_EQ(worker.SetPriority(Thread::InternalPriorityTimeSharing).GetCode(),
              static_cast<unsigned int>(OK));
    int appliedPolicy = -1;
    sched_param parameters{};
    ASSERT_EQ(pthread_getschedparam(worker.GetThreadID(), &appliedPolicy, &parameters), 0);
    EXPECT_EQ(appliedPolicy, SCHED_OTHER);
    EXPECT_EQ(worker.GetPriority(), Thread::InternalPriorityTimeSharing);
}

TEST(ThreadNaming, KernelKeepsFifteenCharacters) {
    std::string seen;
    Semaphore named(0, 0, nullptr);
    TestThread worker("Kova PCAP Linux Filter Thread", Thread::InternalPriorityTimeSharing,
                      [&](TestThread&) {
                          char name[32] = {};
                          prctl(PR_GET_NAME, name, 0, 0, 0);
                          seen = name;
                          named.Release();
                          return Result(OK);
                      });
    ASSERT_EQ(worker.StartThread().GetCode(), static_cast<unsigned int>(OK));
    ASSERT_EQ(named.Wait_ms(10000).GetCode(), static_cast<unsigned int>(OK));
    worker.WaitUntilSignaled();
    EXPECT_EQ(seen, "Kova PCAP Linux");
}

TEST(ThreadClock, SleepAndTickCounts) {
    const auto start = Clock::now();
    Thread::Sleep(0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              50);
    const uint64_t micro = Thread::GetTickCountMicro();
    const uint64_t milli = Thread::GetTickCount();
    EXPECT_LE(micro / 1000 > milli ? micro / 1000 - milli : milli - micro / 1000, 1u);
    EXPECT_GT(milli, 1700000000000ull);  // wall-clock milliseconds since the epoch
}
