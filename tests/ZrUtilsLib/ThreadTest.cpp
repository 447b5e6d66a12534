// Threads, locks and timed waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "ZrUtilsLib/Mutex.h"
#include "ZrUtilsLib/PUnix/Deadline.h"
#include "ZrUtilsLib/Thread.h"

using namespace ZrUtilsLib;
using Clock = std::chrono::steady_clock;

#define EXPECT_RESULT(expression, code) \
    EXPECT_EQ((expression).GetCode(), static_cast<unsigned int>(code))
#define ASSERT_RESULT(expression, code) \
    ASSERT_EQ((expression).GetCode(), static_cast<unsigned int>(code))

namespace {

long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A worker whose body is given by the test; by default it ends with NOT_FOUND once stopped.
struct TestThread : Thread {
    explicit TestThread(std::function<Result()> body = nullptr)
        : Thread("worker", Thread::InternalPriorityTimeSharing, true), body(std::move(body)) {}
    ~TestThread() override {
        StopThread();
        WaitUntilSignaled();
    }
    Result Run() override {
        while (!body && !IsStopping()) {
            Thread::Sleep(1);
        }
        return body ? body() : Result(NOT_FOUND);
    }
    using Thread::IsStopping;
    std::function<Result()> body;
};

}  // namespace

TEST(ThreadLifecycle, StartStopExitCodeAndRestart) {
    TestThread worker;
    EXPECT_FALSE(worker.IsRunning());
    ASSERT_RESULT(worker.StartThread(), OK);
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_RESULT(worker.GetExitCode(), STATE_ERROR);
    const auto start = Clock::now();
    EXPECT_RESULT(worker.WaitUntilSignaled(100), TIMEOUT);
    EXPECT_GE(MsSince(start), 90);
    EXPECT_RESULT(worker.StopThread(), OK);
    EXPECT_RESULT(worker.WaitUntilSignaled(), OK);
    EXPECT_FALSE(worker.IsRunning() || worker.IsStopping());
    EXPECT_RESULT(worker.GetExitCode(), NOT_FOUND);
    ASSERT_RESULT(worker.StartThread(), OK);  // again
    EXPECT_TRUE(worker.IsRunning());

    // A stop before the start is an error, and the start clears it.
    TestThread early;
    EXPECT_RESULT(early.StopThread(), THREAD_ERROR);
    EXPECT_TRUE(early.IsStopping());
    ASSERT_RESULT(early.StartThread(), OK);
    EXPECT_FALSE(early.IsStopping());

    // A timed wait made after the (unconsumed) stop broadcast still returns when the thread ends.
    for (int round = 0; round < 50; ++round) {
        TestThread ending;
        ASSERT_RESULT(ending.StartThread(), OK);
        ending.StopThread();
        const auto stopped = Clock::now();
        EXPECT_RESULT(ending.WaitUntilSignaled(10000), OK);
        EXPECT_LT(MsSince(stopped), 5000);
    }

    // A body that throws ends the thread with THREAD_ERROR, whatever it throws.
    const std::function<Result()> bodies[] = {
        []() -> Result { throw std::runtime_error("disk on fire"); }, []() -> Result { throw 42; }};
    for (const auto& body : bodies) {
        TestThread thrower(body);
        ASSERT_RESULT(thrower.StartThread(), OK);
        EXPECT_RESULT(thrower.WaitUntilSignaled(), OK);
        EXPECT_FALSE(thrower.IsRunning());
        EXPECT_RESULT(thrower.GetExitCode(), THREAD_ERROR);
    }
}

// Deadlines carry into the seconds; a named mutex is unlinked at once but shared with a child.
TEST(Mutexes, DeadlinesAndSharingAcrossFork) {
    const timespec carried = PUnix::DeadlineFrom(timespec{10, 600000000}, 1500);
    EXPECT_EQ(std::make_pair(carried.tv_sec, carried.tv_nsec), std::make_pair(12L, 100000000L));
    const timespec exact = PUnix::DeadlineFrom(timespec{10, 0}, 999);
    EXPECT_EQ(std::make_pair(exact.tv_sec, exact.tv_nsec), std::make_pair(10L, 999000000L));
    const std::string name = "/kvmutex" + std::to_string(Clock::now().time_since_epoch().count());
    bool created = false;
    Mutex shared(&created, name.c_str());
    ASSERT_TRUE(shared.IsValid() && created);
    EXPECT_EQ(sem_open(name.c_str(), O_RDWR), SEM_FAILED);
    ASSERT_RESULT(shared.Wait(), OK);
    int toParent[2];
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t child = fork();
    if (child == 0) {  // held by the parent: times out; once the parent releases it, gets it
        const char first = shared.Wait_ms(100).GetCode() == TIMEOUT ? 'T' : 'x';
        (void)!write(toParent[1], &first, 1);
        _exit(shared.Wait_ms(5000).GetCode() == OK ? 0 : 1);
    }
    char first = 0;
    EXPECT_EQ(read(toParent[0], &first, 1), 1);
    EXPECT_EQ(first, 'T');
    shared.Release();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(toParent[0]);
    close(toParent[1]);
}
